#include "codepage.h"

#include <cerrno>
#include <iconv.h>
#include <map>
#include <vector>

namespace pst::detail {
namespace {

std::string iconv_name(uint32_t codepage)
{
    switch (codepage) {
    case 65001:
        return "UTF-8";
    case 20127:
        return "ASCII";
    case 28591:
        return "ISO-8859-1";
    case 1200:
        return "UTF-16LE";
    default:
        return "CP" + std::to_string(codepage);
    }
}

// Open conversions to UTF-16LE by code page, kept for the thread's lifetime: opening one loads the
// code page's conversion module, far too slow to do for every value of every message.
class Converters
{
public:
    ~Converters()
    {
        for (auto& [codepage, cd] : m_open)
            if (cd != kFailed)
                iconv_close(cd);
    }
    // The conversion from `codepage`, reset to its initial state; kFailed when iconv lacks it.
    iconv_t get(uint32_t codepage)
    {
        auto it = m_open.find(codepage);
        if (it == m_open.end())
            it = m_open.emplace(codepage, iconv_open("UTF-16LE", iconv_name(codepage).c_str())).first;
        if (it->second != kFailed)
            iconv(it->second, nullptr, nullptr, nullptr, nullptr);
        return it->second;
    }
    static inline const iconv_t kFailed = reinterpret_cast<iconv_t>(-1);

private:
    std::map<uint32_t, iconv_t> m_open;
};

} // namespace

std::u16string decode_codepage(const std::string& bytes, uint32_t codepage)
{
    std::u16string out;
    thread_local Converters converters;
    iconv_t cd = converters.get(codepage);
    if (cd == Converters::kFailed) {
        for (unsigned char c : bytes)
            out.push_back(c);
        return out;
    }
    std::vector<char> buf(bytes.size() * 4 + 8);
    char* in = const_cast<char*>(bytes.data());
    size_t in_left = bytes.size();
    while (in_left > 0) {
        char* o = buf.data();
        size_t o_left = buf.size();
        size_t r = iconv(cd, &in, &in_left, &o, &o_left);
        for (char* p = buf.data(); p + 1 < o; p += 2)
            out.push_back(
                static_cast<char16_t>(static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8)));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            // An undefined or truncated byte: keep it as Latin-1 and go on.
            out.push_back(static_cast<unsigned char>(*in));
            ++in;
            --in_left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

} // namespace pst::detail
