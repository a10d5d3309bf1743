// Texts kept back to back in chunks that never move, so a kept text stays where it was put
// until clear(); one allocation per megabyte of texts instead of one per text.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

class TextChunks
{
public:
    // Keeps the text that `build` appends to an empty string; returns where it now lies.
    template <typename Build> std::string_view keep(Build build)
    {
        m_scratch.clear();
        build(m_scratch);
        return store(m_scratch);
    }
    // Lets every kept text go.
    void clear();

private:
    std::string_view store(std::string_view text);

    std::vector<std::unique_ptr<char[]>> m_chunks;
    std::size_t m_used = 0; // of the last chunk
    std::size_t m_size = 0; // of the last chunk
    std::string m_scratch;  // one text while it is built
};

} // namespace ui
