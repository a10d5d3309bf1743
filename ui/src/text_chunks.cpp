#include "ui/text_chunks.h"

#include <algorithm>

namespace ui {
namespace {

// A longer text gets a chunk of its own.
constexpr std::size_t kChunkBytes = std::size_t(1) << 20;

} // namespace

std::string_view TextChunks::store(std::string_view text)
{
    if (m_chunks.empty() || m_size - m_used < text.size()) {
        m_size = std::max(kChunkBytes, text.size());
        m_chunks.push_back(std::make_unique_for_overwrite<char[]>(m_size));
        m_used = 0;
    }
    char* place = m_chunks.back().get() + m_used;
    std::copy(text.begin(), text.end(), place);
    m_used += text.size();
    return std::string_view(place, text.size());
}

void TextChunks::clear()
{
    m_chunks.clear();
    m_used = m_size = 0;
}

} // namespace ui
