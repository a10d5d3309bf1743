#include "support.h"

#include "pstcheck/check.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace pst_test {

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "pst-writer-test-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    if (!made)
        throw std::runtime_error("mkdtemp failed");
    m_path = made;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(m_path, ec);
}

std::vector<std::string> TempDir::entries() const
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m_path))
        names.push_back(e.path().filename().string());
    return names;
}

void write_pst(const std::string& path, const std::function<void(pst::Writer&)>& fill, pst::WriterOptions options)
{
    options.deterministic = true;
    pst::Status st;
    auto w = pst::Writer::create(path, options, &st);
    ASSERT_TRUE(w) << st.message;
    fill(*w);
    st = w->finish();
    ASSERT_TRUE(st.ok) << st.message;
}

std::string check_problems(const std::string& path)
{
    return pstcheck::join(pstcheck::check_file(path));
}

std::string utf8(const std::u16string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string pattern_text(size_t units, char16_t first)
{
    std::u16string s;
    s.reserve(units);
    for (size_t i = 0; i < units; ++i)
        s.push_back(static_cast<char16_t>(first + i % 26));
    return s;
}

std::vector<uint8_t> pattern_bytes(size_t size, uint8_t seed)
{
    std::vector<uint8_t> b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
    return b;
}

std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace pst_test
