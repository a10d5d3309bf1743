#include "codepage.h"

#include <cerrno>
#include <iconv.h>
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

} // namespace

std::u16string decode_codepage(const std::string& bytes, uint32_t codepage)
{
    std::u16string out;
    iconv_t cd = iconv_open("UTF-16LE", iconv_name(codepage).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
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
    iconv_close(cd);
    return out;
}

} // namespace pst::detail
