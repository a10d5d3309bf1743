#include "contacts/text.h"

namespace contacts {

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
    // Written in place: a code unit gives at most three bytes (a surrogate pair four for two).
    const std::size_t start = out.size();
    out.resize(start + 3 * s.size());
    char* p = out.data() + start;
    const auto put = [&p](unsigned value) { *p++ = static_cast<char>(value); };
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c < 0x80) {
            put(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        if (c < 0x800) {
            put(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            put(0xE0 | (c >> 12));
            put(0x80 | ((c >> 6) & 0x3F));
        } else {
            put(0xF0 | (c >> 18));
            put(0x80 | ((c >> 12) & 0x3F));
            put(0x80 | ((c >> 6) & 0x3F));
        }
        put(0x80 | (c & 0x3F));
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string utf16_to_utf8(std::u16string_view s)
{
    std::string out;
    utf16_to_utf8(s, out);
    return out;
}

std::size_t utf16le_to_utf16(const uint8_t* bytes, std::size_t size, char16_t* out)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (c == 0) {
            break;
        }
        out[n++] = c;
    }
    return n;
}

} // namespace contacts
