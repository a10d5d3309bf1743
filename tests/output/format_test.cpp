// The pieces of each format, written into memory: the fixed texts, quoting and escaping, the
// fields left out, file and folder names.
#include <contacts/conversion.h>
#include <contacts/output_writers.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>

#include "contacts/text.h"
#include "support.h"

namespace {

using output_test::lines_of;

using contacts::Field;
using output_test::make_record;
using output_test::utf8;

std::string csv_row(const output_test::Values& v)
{
    std::string out;
    contacts::append_csv_row(*make_record(v), out);
    return out;
}
std::string text_page(const output_test::Values& v)
{
    std::string out;
    contacts::append_text_page(*make_record(v), out);
    return out;
}
std::string html_page(const output_test::Values& v)
{
    std::string out;
    contacts::append_html_page(*make_record(v), out);
    return out;
}
std::string vcard(const output_test::Values& v)
{
    std::string out;
    contacts::append_vcard(*make_record(v), out);
    return out;
}

TEST(CsvFormat, HeaderIsTheOneLineOfFiftyNineLabels)
{
    std::string header;
    contacts::append_csv_header(header);
    EXPECT_EQ(header,
              "Suffix,Title,First Name,Middle Name,Last Name,Fullname,Email,Email-2,Email-3,Email Type,Assistant "
              "Name,Assistant Phone,Birth Day,Business Address,Business City,Business Country,Business Fax,"
              "Business HomePage,Business Phone,Business Phone 2,Business Postal Code,Business State,Business "
              "Street,Car Phone,Company Main Phone,Company Name,Customer Id,Department,Display Name Prefix,"
              "Free Busy Address,Gov Id,Hobbies,Home Address,Home City,Home Country,Home Fax,Home Phone,Home "
              "Phone2,Home State,Home Street,isdn phone,Language,Manager Name,Mileage,Mobile Phone,Nickname,"
              "Office Location,Other City,Other Country,Other State,Other Street,Personal Homepage,Profession,"
              "Radio Phone,Spouse Name,Surname,Telex,ttytdd Phone,Body\r\n");
}

TEST(CsvFormat, ValuesAreQuotedOnlyWhereTheyMustBe)
{
    struct Case
    {
        std::u16string value;
        std::string written;
    } cases[] = {
        {u"plain", "plain"},
        {u"Doe, John", "\"Doe, John\""},
        {u"say \"hi\"", "\"say \"\"hi\"\"\""},
        {u"line1\r\nline2", "\"line1\r\nline2\""},
        {u"lf\nonly", "\"lf\nonly\""},
        {u"semi;colon <x>", "semi;colon <x>"},
        {u"Jürgen 😀", "Jürgen 😀"},
    };
    for (const auto& c : cases) {
        // Suffix is the first column: the value starts the line.
        const std::string row = csv_row({{Field::suffix, c.value}});
        EXPECT_EQ(row.substr(0, c.written.size() + 1), c.written + ",") << utf8(c.value);
        EXPECT_EQ(row.substr(row.size() - 2), "\r\n");
    }
}

TEST(TextFormat, LabelFormsValuesAndBodyLastWithoutLineEnd)
{
    const std::string page = text_page({
        {Field::body, u"the notes"},
        {Field::middle_name, u"Q"},
        {Field::business_street, u"1 Main St"},
        {Field::nickname, u"Jo"},
        {Field::telex, u"T1"},
        {Field::personal_home_page, u"http://x"},
        {Field::other_country, u"NL"},
        {Field::business_address, u"BA"},
        {Field::first_name, u""}, // present but empty: left out
        {Field::job_title, u"not labelled"},
    });
    EXPECT_EQ(page, "Middle Name :Q\r\nBusiness Address :BA\r\nBusiness Street : 1 Main St\r\nNickname: Jo\r\n"
                    "Other Country :NL\r\nPersonal Homepage:http://x\r\nTelex :T1\r\nBody : the notes");
}

TEST(TextFormat, WithoutBodyEveryEntryEndsItsLineAndAnEmptyContactIsEmpty)
{
    EXPECT_EQ(text_page({{Field::last_name, u"Doe"}}), "Last Name : Doe\r\nSurname : Doe\r\n");
    EXPECT_EQ(text_page({}), "");
}

TEST(HtmlFormat, ValuesCannotInjectMarkup)
{
    struct Case
    {
        std::u16string value;
        std::string written;
    } cases[] = {
        {u"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        {u"Smith & Sons", "Smith &amp; Sons"},
        {u"\"quoted\" 'single'", "&quot;quoted&quot; &#39;single&#39;"},
        {u"&amp;", "&amp;amp;"},
        {u"Zoë 😀", "Zoë 😀"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(html_page({{Field::body, c.value}}), "<b>Body :</b> " + c.written) << utf8(c.value);
    }
}

TEST(VcardFormat, TemplatePiecesInOrder)
{
    const std::string card = vcard({
        {Field::first_name, u"John"},
        {Field::middle_name, u"Q"},
        {Field::last_name, u"Doe"},
        {Field::full_name, u"Doe, John"},
        {Field::nickname, u"Jo"},
        {Field::title, u"Mr."},
        {Field::personal_home_page, u"http://home"},
        {Field::business_home_page, u"http://work"},
        {Field::email, u"a@x"},
        {Field::email_2, u"b@x"},
        {Field::email_3, u"c@x"},
        {Field::company_name, u"Acme"},
        {Field::department, u"R&D"},
        {Field::home_phone, u"1"},
        {Field::business_phone, u"2"},
        {Field::business_phone_2, u"3"},
        {Field::mobile_phone, u"4"},
        {Field::business_street, u"S"},
        {Field::business_city, u"C"},
        {Field::business_state, u"ST"},
        {Field::business_postal_code, u"Z"},
        {Field::business_country, u"CO"},
        {Field::home_street, u"hs"},
        {Field::home_city, u"hc"},
        {Field::home_state, u"hst"},
        {Field::home_postal_code, u"hz"},
        {Field::home_country, u"hco"},
        {Field::birthday, u"1980-02-29"},
    });
    EXPECT_EQ(card, "BEGIN: VCARD\r\nVERSION:2.1\r\nN:Doe;John;Q\r\nFN:Doe, John\r\nNICKNAME:Jo\r\nTITLE:Mr.\r\n"
                    "URL;HOME:http://home\r\nURL;WORK:http://work\r\nEMAIL;PREF;INTERNET:a@x\r\n"
                    "EMAIL;PREF;INTERNET:b@x\r\nEMAIL;PREF;INTERNET:c@x\r\nORG:Acme;R&D\r\nTEL;HOME;VOICE:1\r\n"
                    "TEL;WORK;VOICE:2\r\nTEL;BUSINESS;VOICE:3\r\nTEL;CELL;VOICE:4\r\nADR;WORK:;;S;C;ST;Z;CO\r\n"
                    "ADR;HOME:;;hs;hc;hst;hz;hco;\r\nBDAY:1980-02-29\r\nEND:VCARD\r\n");
}

TEST(VcardFormat, EmptyLinesAreLeftOutButNameLinesStay)
{
    EXPECT_EQ(vcard({}), "BEGIN: VCARD\r\nVERSION:2.1\r\nN:;;\r\nFN:\r\nEND:VCARD\r\n");
    // Half an address is still an address.
    EXPECT_EQ(lines_of(vcard({{Field::home_country, u"NL"}, {Field::department, u"D"}}))[4], "ORG:;D");
    EXPECT_EQ(lines_of(vcard({{Field::home_country, u"NL"}}))[4], "ADR;HOME:;;;;;;NL;");
}

TEST(VcardFormat, FullNameFallsBack)
{
    struct Case
    {
        output_test::Values values;
        std::string fn;
    } cases[] = {
        {{{Field::full_name, u"Doe, John"}, {Field::first_name, u"John"}}, "FN:Doe, John"},
        {{{Field::first_name, u"John"}, {Field::last_name, u"Doe"}, {Field::company_name, u"Acme"}}, "FN:John Doe"},
        {{{Field::last_name, u"Doe"}}, "FN:Doe"},
        {{{Field::full_name, u""}, {Field::company_name, u"Acme"}, {Field::email, u"a@x"}}, "FN:Acme"},
        {{{Field::email, u"a@x"}}, "FN:a@x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lines_of(vcard(c.values))[3], c.fn);
    }
}

TEST(VcardFormat, SemicolonsAndBackslashesInsideComponentsAreEscaped)
{
    const auto lines =
        lines_of(vcard({{Field::last_name, u"a;b"}, {Field::first_name, u"c\\"}, {Field::nickname, u";"}}));
    EXPECT_EQ(lines[2], "N:a\\;b;c\\\\;");
    EXPECT_EQ(lines[4], "NICKNAME:\\;");
}

TEST(VcardFormat, BirthdayOnlyWhenItIsADate)
{
    for (const auto* text : {u"next week", u"1980-13-01", u"1981-02-29", u""}) {
        EXPECT_EQ(vcard({{Field::birthday, text}}).find("BDAY"), std::string::npos) << utf8(text);
    }
}

TEST(VcardFormat, QuotedPrintableForNonAsciiAndLineBreaksWithShortLines)
{
    const std::u16string street = u"Königsallee 1\r\nHinterhaus, 3. Stock — Tür 😀 " + std::u16string(60, u'x') + u"=";
    const std::string card = vcard({{Field::first_name, u"Zoë"}, {Field::home_street, street}});
    const auto lines = lines_of(card);
    EXPECT_EQ(lines[2], "N;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:;Zo=C3=AB;");
    std::string joined; // the ADR;HOME value with soft breaks removed
    bool in_adr = false;
    for (const auto& l : lines) {
        EXPECT_LT(l.size(), 76u) << l;
        if (l.rfind("ADR;HOME;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:", 0) == 0) {
            in_adr = true;
            joined = l.substr(l.find(':') + 1);
        } else if (in_adr) {
            joined += l;
        }
        if (in_adr && (l.empty() || l.back() != '=')) {
            in_adr = false;
        } else if (in_adr) {
            joined.pop_back();
        }
    }
    EXPECT_EQ(joined.substr(0, 37), ";;K=C3=B6nigsallee 1=0D=0AHinterhaus,");
    EXPECT_NE(joined.find("=F0=9F=98=80"), std::string::npos);
    EXPECT_EQ(joined.substr(joined.size() - 11), "xxx=3D;;;;;"); // four separators and the fifth
}

// The NICKNAME property of `value`: its physical lines, the first with the property's name.
std::vector<std::string> nickname_lines(const std::u16string& value)
{
    auto lines = lines_of(vcard({{Field::nickname, value}}));
    const auto first =
        std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("NICKNAME"); });
    auto last = first;
    while (last != lines.end() && !last->empty() && last->back() == '=') {
        ++last;
    }
    return {first, last == lines.end() ? last : last + 1};
}

// Decodes one physical quoted-printable line on its own, as an importer that decodes line by line
// does; a soft break's '=' ends it. False when an escape is cut short.
bool decode_line(std::string_view line, std::string& bytes)
{
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (line.ends_with('=')) {
        line.remove_suffix(1);
    }
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '=') {
            bytes.push_back(line[i]);
        } else if (i + 2 < line.size() && hex(line[i + 1]) && hex(line[i + 2])) {
            bytes.push_back(static_cast<char>(std::stoi(std::string(line.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

constexpr std::string_view kNickname = "NICKNAME;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:"; // 49 characters

// A character of 2, 3 or 4 UTF-8 bytes at the end of a line: it stays when its last escape ends
// at column 74 (the soft break's '=' is the 75th), and moves whole to the next line when any of
// its bytes would pass that column, on the first line and on a continuation line alike. The piece
// before a break is never a literal character (Evolution would keep the break in the value): an
// 'a' there is written "=61", or moves to the next line when even that does not fit; a ';' stays.
TEST(VcardFormat, QuotedPrintableBreaksBeforeACharacterNeverInsideIt)
{
    const auto a = [](std::size_t n) { return std::string(n, 'a'); };
    const auto as = [](std::size_t n) { return std::u16string(n, u'a'); };
    const std::string p(kNickname);
    const std::string first = p + a(22) + "=61="; // the first line when 25 or more 'a' open the value
    struct Case
    {
        std::u16string value;
        std::vector<std::string> lines;
    } cases[] = {
        {as(19) + u"é", {p + a(19) + "=C3=A9"}},
        {as(20) + u"é", {p + a(19) + "=61=", "=C3=A9"}},
        {as(16) + u"ン", {p + a(16) + "=E3=83=B3"}},
        {as(17) + u"ン", {p + a(16) + "=61=", "=E3=83=B3"}},
        {as(22) + u"ン", {p + a(21) + "=61=", "=E3=83=B3"}}, // room for one of its escapes only
        {as(13) + u"😀", {p + a(13) + "=F0=9F=98=80"}},
        {as(14) + u"😀", {p + a(13) + "=61=", "=F0=9F=98=80"}},
        {as(16) + u"😀", {p + a(15) + "=61=", "=F0=9F=98=80"}},
        {as(22) + u"😀", {p + a(21) + "=61=", "=F0=9F=98=80"}},
        // The escape of the last 'a' ends exactly at column 74; then it does not fit and the 'a'
        // moves on, once and twice.
        {as(23) + u"é", {first, "=C3=A9"}},
        {as(24) + u"é", {first, "a=C3=A9"}},
        {as(25) + u"é", {first, "aa=C3=A9"}},
        // A separator or a blank before the break.
        {as(18) + u";é", {p + a(18) + "\\;=", "=C3=A9"}},
        {as(19) + u" é", {p + a(19) + "=20=", "=C3=A9"}},
        // Continuation lines have all 74 columns.
        {as(25 + 66) + u"é", {first, a(68) + "=C3=A9"}},
        {as(25 + 67) + u"é", {first, a(68) + "=61=", "=C3=A9"}},
        {as(25 + 63) + u"ン", {first, a(65) + "=E3=83=B3"}},
        {as(25 + 64) + u"ン", {first, a(65) + "=61=", "=E3=83=B3"}},
        {as(25 + 60) + u"😀", {first, a(62) + "=F0=9F=98=80"}},
        {as(25 + 61) + u"😀", {first, a(62) + "=61=", "=F0=9F=98=80"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nickname_lines(c.value), c.lines) << utf8(c.value);
    }
}

// Every alignment of runs of 2-, 3- and 4-byte characters (with escaped ASCII, blanks and ';'):
// each line is shorter than 76 characters and decodes on its own to whole UTF-8 characters, and
// Evolution's vCard parser reads every value back exactly.
TEST(VcardFormat, QuotedPrintableLinesDecodeAloneAndEvolutionReadsThemBack)
{
    std::vector<std::u16string> values;
    for (const std::u16string run : {u"é", u"ン", u"😀", u"=é", u" ン", u";é", u"éン😀"}) {
        for (std::size_t lead = 0; lead <= 40; ++lead) {
            std::u16string value(lead, u'a');
            for (int i = 0; i < 24; ++i) {
                value += run;
            }
            values.push_back(value);
        }
    }
    std::string file;
    for (const auto& value : values) {
        std::string joined;
        for (const auto& line : nickname_lines(value)) {
            EXPECT_LT(line.size(), 76u) << line;
            std::string bytes;
            const std::string_view body =
                line.starts_with(kNickname) ? std::string_view(line).substr(kNickname.size()) : line;
            ASSERT_TRUE(decode_line(body, bytes)) << line;
            EXPECT_TRUE(contacts::utf8_is_valid(bytes)) << line;
            joined += bytes;
        }
        std::string component; // the value as written: a ';' escaped with a backslash
        for (char c : utf8(value)) {
            component += c == ';' ? std::string("\\;") : std::string(1, c);
        }
        EXPECT_EQ(joined, component);
        file += vcard({{Field::nickname, value}});
    }
    output_test::TempDir dir;
    const auto path = dir.path() / "boundaries.vcf";
    std::ofstream(path, std::ios::binary) << file;
    const auto cards = nlohmann::json::parse(output_test::python_readback("evolution", {path}));
    ASSERT_EQ(cards.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(cards[i].value("NICKNAME", std::vector<std::string>{}), std::vector<std::string>{utf8(values[i])})
            << i;
    }
}

TEST(FileNames, NumberLastNameFirstNameMadeSafe)
{
    struct Case
    {
        output_test::Values values;
        int32_t number;
        contacts::Format format;
        std::string name;
    } cases[] = {
        {{{Field::last_name, u"Doe"}, {Field::first_name, u"John"}}, 7, contacts::Format::Txt, "7 Doe,John.txt"},
        {{{Field::last_name, u"Doe"}}, 8, contacts::Format::Html, "8 Doe,.html"},
        {{{Field::first_name, u"Zoë"}}, 9, contacts::Format::Txt, "9 ,Zoë.txt"},
        {{}, 10, contacts::Format::Txt, "10.txt"},
        {{{Field::last_name, u"../../etc"}, {Field::first_name, u"a/b\\c:d*e?f\"g<h>i|j\r\n"}},
         11,
         contacts::Format::Txt,
         "11 .._.._etc,a_b_c_d_e_f_g_h_i_j__.txt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(contacts::contact_file_name(*make_record(c.values, c.number), c.format), c.name);
    }
}

TEST(FileNames, LongNamesAreCutOnACharacterBoundary)
{
    const std::string name = contacts::contact_file_name(
        *make_record({{Field::last_name, std::u16string(80, u'é')}, {Field::first_name, std::u16string(300, u'x')}}, 1),
        contacts::Format::Html);
    EXPECT_EQ(name, "1 " + utf8(std::u16string(50, u'é')) + "," + std::string(100, 'x') + ".html");
    EXPECT_LT(name.size(), 255u);
}

TEST(OutputFolder, NameHasNoLeadingZeros)
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_hour = 3;
    t.tm_min = 7;
    EXPECT_EQ(contacts::output_folder_name(t), "Tressoly-Recovery-2026-1-5 3-7");
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    EXPECT_EQ(contacts::output_folder_name(t), "Tressoly-Recovery-2026-12-31 23-59");
}

TEST(OutputFolder, AnExistingFolderIsNeverReused)
{
    output_test::TempDir dir;
    std::tm t{};
    t.tm_year = 126;
    pst::Status why;
    const auto first = contacts::create_output_folder(dir.path(), t, &why);
    const auto second = contacts::create_output_folder(dir.path(), t, &why);
    const auto third = contacts::create_output_folder(dir.path(), t, &why);
    EXPECT_EQ(first.filename(), "Tressoly-Recovery-2026-1-0 0-0");
    EXPECT_EQ(second.filename(), "Tressoly-Recovery-2026-1-0 0-0 (2)");
    EXPECT_EQ(third.filename(), "Tressoly-Recovery-2026-1-0 0-0 (3)");
}

TEST(OutputFolder, MissingOrFileDestinationNamesThePath)
{
    output_test::TempDir dir;
    std::tm t{};
    pst::Status why;
    EXPECT_TRUE(contacts::create_output_folder(dir.path() / "missing", t, &why).empty());
    EXPECT_FALSE(why);
    EXPECT_EQ(why.message, (dir.path() / "missing").string() + ": No such file or directory");
    const auto file = dir.path() / "file";
    std::ofstream(file) << "x";
    EXPECT_TRUE(contacts::create_output_folder(file, t, &why).empty());
    EXPECT_EQ(why.message, file.string() + ": Not a directory");
}

} // namespace
