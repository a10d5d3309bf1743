#include <gtest/gtest.h>

#include <string>

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

} // namespace
