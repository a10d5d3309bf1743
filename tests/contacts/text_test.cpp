#include <gtest/gtest.h>

#include <string>

#include "contacts/contact_extraction.h"
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

struct DateCase
{
    const char* what;
    uint64_t filetime;
    int shift;
    const char16_t* expected; // nullptr: no date
};

constexpr uint64_t kTicksPerDay = 864000000000ULL;
constexpr uint64_t k2000 = 125911584000000000ULL; // 2000-01-01 00:00 UTC

TEST(Text, FiletimeDatesTable)
{
    const DateCase cases[] = {
        {"midnight", k2000, 0, u"2000-01-01"},
        {"local midnight east of UTC, stored in UTC", k2000 - 9 * kTicksPerDay / 24, 12, u"2000-01-01"},
        {"local midnight west of UTC, stored in UTC", k2000 + 8 * kTicksPerDay / 24, 12, u"2000-01-01"},
        {"raw UTC value east of UTC is a day early", k2000 - 9 * kTicksPerDay / 24, 0, u"1999-12-31"},
        {"leap day", k2000 + 59 * kTicksPerDay, 0, u"2000-02-29"},
        {"first day", 0, 0, u"1601-01-01"},
        {"no-date marker 4501-01-01", 915151392000000000ULL, 0, nullptr},
        {"beyond the year range", UINT64_MAX, 0, nullptr},
    };
    for (const auto& c : cases) {
        char16_t out[10];
        const bool ok = contacts::format_filetime_date(c.filetime, c.shift, out);
        ASSERT_EQ(ok, c.expected != nullptr) << c.what;
        if (ok) {
            EXPECT_EQ(std::u16string(out, 10), c.expected) << c.what;
        }
    }
}

TEST(Text, IndexKeyIsTheFirstCodeUnit)
{
    struct Case
    {
        const char16_t* first; // nullptr: absent
        const char16_t* key;   // nullptr: absent
    };
    const std::u16string high(1, char16_t(0xD835));
    const Case cases[] = {
        {u"Anna", u"A"},
        {u"anna", u"a"},
        {u"", u""},
        {nullptr, nullptr},
        {u"\u00C9mile", u"\u00C9"},
        {u"\U0001D49Cnna", high.c_str()},
    };
    for (const auto& c : cases) {
        contacts::ContactDraft draft;
        if (c.first) {
            draft.set_text(contacts::Field::first_name, c.first);
        }
        draft.set_text(contacts::Field::index_key, u"stale");
        contacts::set_index_key(draft);
        const auto key = draft.text(contacts::Field::index_key);
        ASSERT_EQ(key.has_value(), c.key != nullptr);
        if (c.key) {
            EXPECT_EQ(*key, std::u16string_view(c.key));
        }
    }
}

} // namespace
