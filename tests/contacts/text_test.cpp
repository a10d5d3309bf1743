#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "contacts/text.h"

namespace {

struct Utf8Case
{
    const char* what;
    std::string utf8;
    std::u16string utf16;
    bool valid;
};

TEST(Text, Utf8ToUtf16Table)
{
    const Utf8Case cases[] = {
        {"ascii", "Anna", u"Anna", true},
        {"empty", "", u"", true},
        {"two-byte", "J\xC3\xBCrgen", u"J\u00FCrgen", true},
        {"three-byte", "\xE6\x9D\xB1\xE4\xBA\xAC", u"\u6771\u4EAC", true},
        {"four-byte", "\xF0\x9D\x92\x9C", u"\U0001D49C", true},
        {"emoji", "a\xF0\x9F\x98\x80z", u"a\U0001F600z", true},
        {"real replacement char", "\xEF\xBF\xBD", u"\uFFFD", true},
        {"lone continuation", "a\x80z", u"a\uFFFDz", false},
        {"truncated", "a\xE6\x9D", u"a\uFFFD\uFFFD", false},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD", false},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},
        {"bad lead byte", "\xFF", u"\uFFFD", false},
    };
    for (const auto& c : cases) {
        std::u16string out = u"<";
        contacts::utf8_to_utf16(c.utf8, out);
        EXPECT_EQ(out, u"<" + c.utf16) << c.what;
        EXPECT_EQ(contacts::utf8_is_valid(c.utf8), c.valid) << c.what;
        if (c.valid) {
            EXPECT_EQ(contacts::utf16_to_utf8(c.utf16), c.utf8) << c.what;
        }
    }
}

TEST(Text, LoneSurrogatesBecomeReplacementInUtf8)
{
    EXPECT_EQ(contacts::utf16_to_utf8(std::u16string(1, char16_t(0xD835))), "\xEF\xBF\xBD");
    EXPECT_EQ(contacts::utf16_to_utf8(std::u16string(u"a") + char16_t(0xDC9C) + u"b"), "a\xEF\xBF\xBD"
                                                                                       "b");
}

TEST(Text, StoredUtf16StopsAtNulAndDropsAnOddByte)
{
    const uint8_t bytes[] = {'A', 0, 0x35, 0xD8, 0x9C, 0xDC, 0, 0, 'x', 0};
    char16_t out[8];
    ASSERT_EQ(contacts::utf16le_to_utf16(bytes, sizeof bytes, out), 3u);
    EXPECT_EQ(std::u16string(out, 3), u"A\U0001D49C");
    ASSERT_EQ(contacts::utf16le_to_utf16(bytes, 3, out), 1u);
    EXPECT_EQ(out[0], u'A');
}

// A unit at a time, as the conversions were first written: the reference for their faster forms.
std::string reference_utf8(std::u16string_view s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            out += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
                    static_cast<char>(0x80 | (c & 0x3F))};
        } else {
            out += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3F)),
                    static_cast<char>(0x80 | (c >> 6 & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        }
    }
    return out;
}

TEST(Text, FastConversionsEqualTheUnitByUnitOnesAtEveryPosition)
{
    // Each unit at every position of texts up to three groups of eight long, among ASCII: the
    // edges of ASCII (U+007F, U+0080), of two and three bytes (U+07FF, U+0800), units whose low
    // or high byte is zero (U+0100, U+FF00), both halves of U+10FFFF and lone ones, and NUL.
    const char16_t kUnits[] = {0x0000, 0x0001, 0x007F, 0x0080, 0x00FF, 0x0100, 0x07FF,
                               0x0800, 0xFF00, 0xFFFF, 0xDBFF, 0xDFFF, 0xD800, 0xDC00};
    for (std::size_t length = 1; length <= 25; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            for (const char16_t unit : kUnits) {
                std::u16string text(length, u'a');
                text[at] = unit;
                if (unit == 0xDBFF && at + 1 < length) {
                    text[at + 1] = 0xDFFF; // U+10FFFF as a pair
                }
                const std::u16string_view before_nul(
                    text.data(), text.find(u'\0') == std::u16string::npos ? text.size() : text.find(u'\0'));
                EXPECT_EQ(contacts::utf16_to_utf8(before_nul), reference_utf8(before_nul)) << length << " " << at;

                std::vector<uint8_t> stored;
                for (const char16_t c : text) {
                    stored.push_back(static_cast<uint8_t>(c & 0xFF));
                    stored.push_back(static_cast<uint8_t>(c >> 8));
                }
                // Also from an odd address: stored texts lie anywhere in a block.
                std::vector<uint8_t> shifted(stored.size() + 1);
                std::copy(stored.begin(), stored.end(), shifted.begin() + 1);
                for (const std::size_t size : {stored.size(), stored.size() - 1}) { // and an odd last byte
                    for (const uint8_t* from : {stored.data(), shifted.data() + 1}) {
                        std::u16string out(length, u'?');
                        const std::size_t n = contacts::utf16le_to_utf16(from, size, out.data());
                        const std::size_t whole = std::min(before_nul.size(), size / 2);
                        EXPECT_EQ(std::u16string_view(out.data(), n), before_nul.substr(0, whole))
                            << length << " " << at;
                        EXPECT_EQ(contacts::units_before_nul(from, size / 2), n) << length << " " << at;
                        // Nothing written from the first NUL on.
                        EXPECT_EQ(out.substr(n), std::u16string(length - n, u'?')) << length << " " << at;
                    }
                }
            }
        }
    }
}

} // namespace
