// The forms the merge compares cards in, one table per form: what each gives, and that the
// appending forms put exactly that after what the buffer held (the keys are built that way).
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "contacts/text.h"
#include "normalise.h"

namespace {

std::u16string u16(std::string_view utf8)
{
    std::u16string out;
    contacts::utf8_to_utf16(utf8, out);
    return out;
}

std::string u8(std::u16string_view utf16)
{
    return contacts::utf16_to_utf8(utf16);
}

struct FormCase
{
    const char* in;
    const char* want;
};

// Appends to a buffer holding a prefix and checks the prefix is kept and the rest is `want`.
template <typename Append> void check_append(const char* in, const char* want, Append append)
{
    std::u16string buffer = u"prefix\x1f";
    append(u16(in), buffer);
    EXPECT_EQ(u8(buffer), std::string("prefix\x1f") + want) << "appended: \"" << in << '"';
    std::u16string empty;
    append(u16(in), empty);
    EXPECT_EQ(u8(empty), want) << "appended to nothing: \"" << in << '"';
}

const FormCase kTexts[] = {
    {"", ""},
    {" ", ""},
    {" \t\r\n\v\f", ""},
    {"a", "a"},
    {"Z", "z"},
    {"@[`{", "@[`{"}, // the neighbours of A-Z stay
    {"  Head  of\tSales ", "head of sales"},
    {"A\r\nB", "a b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", "abcdefghijklmnopqrstuvwxyz0123456789"},
    {"\xC2\xA0Stra\xC3\x9F"
     "e\xE3\x80\x80"
     "Eins\xC2\xA0",
     "strasse eins"},                   // NBSP, ß, ideographic space
    {"\xEF\xBC\xA1\xEF\xBC\xA2", "ab"}, // full-width letters
    {"\xC3\x84rger  \xC3\x96L", "\xC3\xA4rger \xC3\xB6l"},
    {"x\xE2\x80\x8By", "xy"}, // a zero-width space: NFKC case folding drops it
    {"\xEF\xBB\xBFx", "x"},   // a byte order mark at the start
    {"\x7F", "\x7F"},         // the last ASCII code, not a blank
};

TEST(Normalise, Text)
{
    merge::Normaliser norm("DE");
    for (const auto& c : kTexts) {
        EXPECT_EQ(u8(norm.text(u16(c.in))), c.want) << '"' << c.in << '"';
        check_append(c.in, c.want, [&](std::u16string_view v, std::u16string& out) { norm.append_text(v, out); });
    }
}

const FormCase kEmails[] = {
    {"", ""},
    {"   ", ""},
    {" Anna.Berg@Example.ORG ", "anna.berg@example.org"},
    {"A  B@x.de", "a  b@x.de"}, // inner blanks kept
    {"\xC3\x84@B.DE", "\xC3\xA4@b.de"},
};

TEST(Normalise, Email)
{
    merge::Normaliser norm("DE");
    for (const auto& c : kEmails) {
        EXPECT_EQ(u8(norm.email(u16(c.in))), c.want) << '"' << c.in << '"';
        check_append(c.in, c.want, [&](std::u16string_view v, std::u16string& out) { norm.append_email(v, out); });
    }
}

struct PhoneCase
{
    const char* region;
    const char* in;
    const char* want;
};

const PhoneCase kPhones[] = {
    {"DE", "", ""},
    {"DE", "   ", ""},
    {"DE", "ext.", ""},
    {"DE", "+49 171 1234567", "+491711234567"},
    {"DE", "+49-171.123/4567", "+491711234567"},
    {"DE", "0171 1234567", "+491711234567"},
    {"DE", "0171", "+490171"},                   // trunk and three digits: to the parse
    {"DE", "01711", "+491711"},                  // trunk and four digits: the plain form
    {"DE", "0049 171 1234567", "+491711234567"}, // an international prefix: the parse
    {"DE", "00", "00"},
    {"DE", "(030) 1234567", "+49301234567"},
    {"DE", "+49 (0)171 1234567", "+491711234567"},
    {"DE", "1+2", "12"}, // a plus after digits: to the parse, which fails
    {"DE", "+", ""},
    {"DE", " +1 650 253 0000 ", "+16502530000"},
    {"US", "(212) 555-0123", "+12125550123"},
    {"US", "1 212 555 0123", "+12125550123"},
    {"US", "0171 1234567", "01711234567"},
    {"", "0171 1234567", "01711234567"},
    {"", "+49 171 1234567", "+491711234567"},
};

TEST(Normalise, Phone)
{
    for (const auto& c : kPhones) {
        merge::Normaliser norm(c.region);
        EXPECT_EQ(u8(norm.phone(u16(c.in))), c.want) << c.region << " \"" << c.in << '"';
        check_append(c.in, c.want, [&](std::u16string_view v, std::u16string& out) { norm.append_phone(v, out); });
    }
}

const FormCase kNames[] = {
    {"", ""},
    {"  ", ""},
    {"...", ""},
    {"Anna", "anna"},
    {" O'Brien ", "o brien"},
    {"Jean--Luc", "jean luc"},
    {"M\xC3\xBCller", "muller"},
    {"Mueller", "muller"},
    {"MUELLER", "muller"},
    {"Boeing", "boing"},
    {"aee", "ae"}, // "ae" read from the left: the second e stays
    {"ue.", "u"},
    {"\xC3\x9Cmit", "umit"},
    {"\xD0\x92\xD0\xBB\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBC\xD0\xB8\xD1\x80", "vladimir"},
    {"Zo\xC3\xAB", "zo"}, // "oe" counts as "o"
    {"R2-D2", "r2 d2"},
};

TEST(Normalise, Name)
{
    merge::Normaliser norm("DE");
    for (int round = 0; round < 2; ++round) { // the second round meets what the first one kept
        for (const auto& c : kNames) {
            EXPECT_EQ(u8(norm.name(u16(c.in))), c.want) << '"' << c.in << '"';
            check_append(c.in, c.want, [&](std::u16string_view v, std::u16string& out) { norm.append_name(v, out); });
        }
    }
}

struct PersonCase
{
    const char* first;
    const char* last;
    const char* full;
    const char* want;
};

const PersonCase kPersons[] = {
    {"", "", "", ""},
    {"Anna", "Berg", "ignored", "anna berg"},
    {"Anna", "", "", "anna"},
    {"", "Berg", "", "berg"},
    {" ", "Berg", "", "berg"},
    {"...", "Berg", "", "berg"},
    {"Anna", "...", "", "anna"},
    {"", "", "Berg, Anna", "anna berg"},
    {"", "", "Berg,", "berg"},
    {"", "", ", Anna", "anna"},
    {"", "", "Anna M. Berg", "anna berg"},
    {"", "", "A B", "a b"},
    {"", "", "A B C", "a c"},
    {"", "", "Anna Maria Berg", "anna maria berg"},
    {"", "", "  M\xC3\xBCller,  Hans  ", "hans muller"},
};

TEST(Normalise, Person)
{
    merge::Normaliser norm("DE");
    for (const auto& c : kPersons) {
        EXPECT_EQ(u8(norm.person(u16(c.first), u16(c.last), u16(c.full))), c.want)
            << '"' << c.first << "\" \"" << c.last << "\" \"" << c.full << '"';
    }
}

} // namespace
