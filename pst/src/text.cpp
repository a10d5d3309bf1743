#include "pst/text.h"

#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>
#include <map>
#include <memory>
#include <utility>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pst {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at s[i]; advances i. Rejects overlongs, surrogates and values above
// U+10FFFF (each bad sequence consumes one byte and yields U+FFFD).
char32_t decode_one(std::string_view s, std::size_t& i)
{
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + static_cast<std::size_t>(extra) >= s.size()) {
        ++i;
        return kReplacement;
    }
    for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return kReplacement;
    }
    i += static_cast<std::size_t>(extra) + 1;
    return cp;
}

std::size_t put_utf16(char32_t cp, char16_t* out)
{
    if (cp < 0x10000) {
        out[0] = static_cast<char16_t>(cp);
        return 1;
    }
    cp -= 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    return 2;
}

// Writes the UTF-8 form of `cp` at `p` (room for 4 bytes) and returns the end.
char* put_utf8(char32_t cp, char* p)
{
    if (cp < 0x80) {
        *p++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *p++ = static_cast<char>(0xC0 | (cp >> 6));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *p++ = static_cast<char>(0xE0 | (cp >> 12));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (cp >> 18));
        *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return p;
}

} // namespace

bool utf8_is_valid(std::string_view utf8)
{
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t at = i;
        const char32_t cp = decode_one(utf8, i);
        // A replacement from a one-byte step is an error; a real U+FFFD takes three bytes.
        if (cp == kReplacement && i - at != 3) {
            return false;
        }
    }
    return true;
}

std::size_t utf8_to_utf16(std::string_view utf8, char16_t* out)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        n += put_utf16(decode_one(utf8, i), out + n);
    }
    return n;
}

std::size_t utf8_to_utf16(std::string_view utf8, std::u16string& out)
{
    const std::size_t at = out.size();
    out.resize(at + utf8.size());
    const std::size_t n = utf8_to_utf16(utf8, out.data() + at);
    out.resize(at + n);
    return n;
}

void utf16_to_utf8(std::u16string_view s, std::string& out)
{
    // Three bytes per code unit at most (a pair's four bytes stand for two units): written in
    // place, then cut to size, with no check of room per byte.
    const std::size_t start = out.size();
    out.resize(start + s.size() * 3);
    char* p = out.data() + start;
    for (std::size_t i = 0; i < s.size(); ++i) {
        // Four ASCII units at a time: most texts are mostly ASCII.
        while (i + 4 <= s.size()) {
            uint64_t word;
            std::memcpy(&word, s.data() + i, sizeof word);
            if ((word & 0xFF80FF80FF80FF80u) != 0) {
                break;
            }
            p[0] = static_cast<char>(s[i]);
            p[1] = static_cast<char>(s[i + 1]);
            p[2] = static_cast<char>(s[i + 2]);
            p[3] = static_cast<char>(s[i + 3]);
            p += 4;
            i += 4;
        }
        if (i == s.size()) {
            break;
        }
        char32_t c = s[i];
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        p = put_utf8(c, p);
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string utf16_to_utf8(std::u16string_view s)
{
    std::string out;
    utf16_to_utf8(s, out);
    return out;
}

namespace {

// The units before the first zero unit of the `count` 16-bit units at `bytes`; with `out`, those
// units copied there too, in the same pass (little-endian hosts only: the stored units are the
// host's). Eight units at a time, compared with zero as one vector; the units left after them as
// the last eight or the last four of the text, which overlap units already found non-zero (a
// text without a zero, as most are, is done then: the overlap is copied twice, the same); else
// four as one word (a zero unit is zero in either byte order), then unit by unit from the group
// that holds the zero or in the last units. Nothing is written at or past the first zero unit.
template <bool kCopy> std::size_t scan_units(const uint8_t* bytes, std::size_t count, char16_t* out)
{
    using Units8 = uint16_t __attribute__((vector_size(16)));
    constexpr uint64_t kOnes = 0x0001000100010001u, kHighs = 0x8000800080008000u;
    const auto group_has_zero = [](const Units8& group) {
        const Units8 zero = group == 0;
#ifdef __SSE2__
        return _mm_movemask_epi8(reinterpret_cast<__m128i>(zero)) != 0; // one instruction
#else
        uint64_t halves[2];
        std::memcpy(halves, &zero, sizeof halves);
        return (halves[0] | halves[1]) != 0;
#endif
    };
    const auto word_has_zero = [](uint64_t word) { return ((word - kOnes) & ~word & kHighs) != 0; };
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        Units8 group;
        std::memcpy(&group, bytes + 2 * i, sizeof group);
        if (group_has_zero(group)) {
            break;
        }
        if constexpr (kCopy) {
            std::memcpy(out + i, &group, sizeof group);
        }
    }
    if (i < count && i + 8 > count) { // fewer than eight units left, none of them looked at
        if (count >= 8) {
            Units8 last;
            std::memcpy(&last, bytes + 2 * (count - 8), sizeof last);
            if (!group_has_zero(last)) {
                if constexpr (kCopy) {
                    std::memcpy(out + count - 8, &last, sizeof last);
                }
                return count;
            }
        } else if (count >= 4) {
            uint64_t first, last;
            std::memcpy(&first, bytes, sizeof first);
            std::memcpy(&last, bytes + 2 * (count - 4), sizeof last);
            if (!word_has_zero(first) && !word_has_zero(last)) {
                if constexpr (kCopy) {
                    std::memcpy(out, &first, sizeof first);
                    std::memcpy(out + count - 4, &last, sizeof last);
                }
                return count;
            }
        }
    }
    if (i + 4 <= count) {
        uint64_t word;
        std::memcpy(&word, bytes + 2 * i, sizeof word);
        if (!word_has_zero(word)) {
            if constexpr (kCopy) {
                std::memcpy(out + i, &word, sizeof word);
            }
            i += 4;
        }
    }
    for (; i < count; ++i) {
        if (bytes[2 * i] == 0 && bytes[2 * i + 1] == 0) {
            return i;
        }
        if constexpr (kCopy) {
            std::memcpy(out + i, bytes + 2 * i, sizeof(char16_t));
        }
    }
    return count;
}

} // namespace

std::size_t units_before_nul(const void* units, std::size_t count)
{
    return scan_units<false>(static_cast<const uint8_t*>(units), count, nullptr);
}

std::size_t utf16le_to_utf16(const uint8_t* bytes, std::size_t size, char16_t* out)
{
    if constexpr (std::endian::native == std::endian::little) {
        return scan_units<true>(bytes, size / 2, out); // the stored units are the host's
    } else {
        const std::size_t n = units_before_nul(bytes, size / 2);
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        }
        return n;
    }
}

namespace {

// Code page 1252 at 0x80..0x9F (U+FFFD where the byte is undefined); other bytes map to
// themselves. The common case, decoded without iconv.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,
};

// iconv's name of a code page number.
std::string iconv_name(uint32_t codepage)
{
    struct Named
    {
        uint32_t codepage;
        const char* name;
    };
    static constexpr Named kNames[] = {{65001, "UTF-8"},       {20127, "ASCII"},       {20866, "KOI8-R"},
                                       {21866, "KOI8-U"},      {50220, "ISO-2022-JP"}, {50221, "ISO-2022-JP"},
                                       {50222, "ISO-2022-JP"}, {51932, "EUC-JP"},      {20932, "EUC-JP"},
                                       {51949, "EUC-KR"},      {52936, "HZ"},          {1200, "UTF-16LE"}};
    for (const Named& n : kNames)
        if (n.codepage == codepage)
            return n.name;
    if (codepage >= 28591 && codepage <= 28605)
        return "ISO-8859-" + std::to_string(codepage - 28590);
    return "CP" + std::to_string(codepage);
}

// One iconv conversion, closed with the object.
class Converter
{
public:
    Converter(const std::string& to, const std::string& from) : m_cd(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter()
    {
        if (ok())
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts `in` and hands each piece of output to `put`. At bytes that cannot be converted,
    // `bad(cut_off)` is asked whether to go on (cut_off: the text ends inside a sequence) and
    // `skip(byte)` says how many input bytes to step over. Returns false when `bad` gave up.
    template <typename Put, typename Bad, typename Skip> bool run(std::string_view in, Put put, Bad bad, Skip skip)
    {
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr); // the initial shift state
        char* src = const_cast<char*>(in.data());
        std::size_t left = in.size();
        char buffer[1024];
        while (left > 0) {
            char* dst = buffer;
            std::size_t room = sizeof buffer;
            const std::size_t r = iconv(m_cd, &src, &left, &dst, &room);
            put(buffer, static_cast<std::size_t>(dst - buffer));
            if (r != static_cast<std::size_t>(-1) || errno == E2BIG)
                continue;
            const bool cut_off = errno == EINVAL;
            if (!bad(cut_off))
                return false;
            if (cut_off)
                break;
            const std::size_t n = std::min(left, skip(static_cast<unsigned char>(*src)));
            src += n;
            left -= n;
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        }
        // Stateful encodings shift back, and those that combine characters (1258) hand over the
        // one they held back.
        char* dst = buffer;
        std::size_t room = sizeof buffer;
        iconv(m_cd, nullptr, nullptr, &dst, &room);
        put(buffer, static_cast<std::size_t>(dst - buffer));
        return true;
    }

private:
    iconv_t m_cd;
};

// The thread's conversion between two code pages, opened once: opening one loads a conversion
// module, far too slow to repeat for every value of every message.
Converter& converter(uint32_t to, uint32_t from)
{
    thread_local std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<Converter>> open;
    auto& c = open[{to, from}];
    if (!c)
        c = std::make_unique<Converter>(iconv_name(to), iconv_name(from));
    return *c;
}

constexpr uint32_t kUtf16leCodepage = 1200;

std::size_t utf8_sequence_length(unsigned char lead)
{
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    return lead >= 0xC0 ? 2 : 1;
}

} // namespace

bool codepage_known(uint32_t codepage)
{
    return converter(kUtf16leCodepage, codepage).ok() && converter(codepage, kUtf8Codepage).ok();
}

void decode_8bit(std::span<const uint8_t> bytes, uint32_t codepage, std::u16string& out)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == 0) {
            bytes = bytes.first(i);
            break;
        }
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (codepage == kUtf8Codepage) {
        utf8_to_utf16(text, out);
        return;
    }
    Converter* c = codepage == kWesternCodepage ? nullptr : &converter(kUtf16leCodepage, codepage);
    if (c == nullptr || !c->ok()) {
        const std::size_t at = out.size();
        out.resize(at + bytes.size());
        char16_t* to = out.data() + at;
        for (uint8_t b : bytes)
            *to++ = b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : char16_t{b};
        return;
    }
    c->run(
        text,
        [&](const char* p, std::size_t size) {
            for (std::size_t i = 0; i + 1 < size; i += 2)
                out.push_back(static_cast<char16_t>(static_cast<uint8_t>(p[i]) | static_cast<uint8_t>(p[i + 1]) << 8));
        },
        [&](bool) {
            out.push_back(u'\uFFFD');
            return true;
        },
        [](unsigned char) { return std::size_t{1}; });
}

std::u16string decode_8bit(std::string_view bytes, uint32_t codepage)
{
    std::u16string out;
    decode_8bit(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), codepage, out);
    return out;
}

std::optional<std::string> encode_8bit(std::string_view utf8, uint32_t codepage, bool strict)
{
    Converter& c = converter(codepage, kUtf8Codepage);
    if (!c.ok())
        return std::nullopt;
    std::string out;
    const bool done = c.run(
        utf8, [&](const char* p, std::size_t size) { out.append(p, size); },
        [&](bool) {
            out += '?';
            return !strict;
        },
        utf8_sequence_length);
    if (!done)
        return std::nullopt;
    return out;
}

} // namespace pst
