// pelimoor-convert: run() in process on files our writer makes, and the real binary once.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "cli/convert.h"
#include "contacts/contact_store.h"
#include "contacts/messages.h"
#include "contacts/text.h"
#include "converter_run.h"
#include "engine/scan_run.h"
#include "entry_ids.h"
#include "program_run.h"
#include "test_files.h"

namespace {

using testfiles::json;
using testfiles::unicode;

using testcli::convert;
using testcli::Converted;

struct UsageCase
{
    std::vector<std::string> args;
    const char* says;
};

TEST(ConvertUsage, BadUsageTable)
{
    const UsageCase cases[] = {
        {{}, "no mode given"},
        {{"--bogus", "x.pst"}, "unknown mode '--bogus'"},
        {{"x.pst"}, "unknown mode 'x.pst'"},
        {{"--list"}, "--list needs a FILE.pst"},
        {{"--json"}, "--json needs a FILE.pst"},
        {{"--json", "--reader", "libpff"}, "--json needs a FILE.pst"},
        {{"--help", "extra"}, "--help takes no arguments"},
        {{"--reader", "pff", "--list", "x.pst"}, "unknown reader 'pff' (native or libpff)"},
        {{"--list", "x.pst", "--reader"}, "--reader needs a value"},
        {{"--codepage=437", "--list", "x.pst"}, "unsupported code page '437'"},
        {{"--codepage", "1259", "--list", "x.pst"}, "unsupported code page '1259'"},
        {{"--codepage", "932x", "--list", "x.pst"}, "unsupported code page '932x'"},
        {{"--reader=native", "--codepage", "1258"}, "no mode given"},
    };
    for (const auto& c : cases) {
        const Converted r = convert(c.args);
        EXPECT_EQ(r.status, cli::kExitUsage) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos);
        EXPECT_TRUE(r.out.empty());
    }
}

TEST(ConvertUsage, HelpNamesEveryModeAndTheExitStatus)
{
    const Converted r = convert({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* s : {"--list FILE.pst", "--json FILE.pst", "--help", "Exit status", "tabs", "JSON",
                          "--reader native|libpff", "--codepage N", "PELIMOOR_READER", "PELIMOOR_CODEPAGE"}) {
        EXPECT_NE(r.out.find(s), std::string::npos) << s;
    }
    EXPECT_TRUE(r.err.empty());
}

class ConvertFiles : public ::testing::Test
{
protected:
    std::string sample()
    {
        const json anna = testfiles::message(
            "IPM.Contact",
            json::array(
                {unicode(0x8005, "Doe, Anna"), unicode(0x3A06, "Anna"), unicode(0x3A11, "Doe"),
                 unicode(0x3A16, "Acme\tInc"), unicode(0x3A08, "+1 555 0100"), unicode(0x3A1C, "+1 555 0199"),
                 unicode(0x3A44, ""), unicode(0x1000, "line 1\r\nline \"2\" \\ \xF0\x9F\x98\x80"),
                 json{
                     {"set", "public"}, {"name", "Keywords"}, {"type", "multi_unicode"}, {"value", {"VIP", "Familie"}}},
                 testfiles::prop(0x1090, "long", 2)}));
        const json star = testfiles::message(
            "IPM.Contact", json::array({unicode(0x3A06, "\xF0\x9D\x92\x9C"
                                                        "lice"),
                                        unicode(0x3A09, "12 34"), testfiles::prop(0x1090, "long", 1)}));
        const json mail = testfiles::message("IPM.Note", json::array({unicode(0x3A06, "not a contact")}));
        return testfiles::write_pst(m_dir, "c.pst",
                                    {{"folders", json::array({testfiles::folder("Contacts", json::array({anna, star})),
                                                              testfiles::folder("Mail", json::array({mail}))})}});
    }
    testfiles::TempDir m_dir;
};

TEST_F(ConvertFiles, ListWritesOneTabSeparatedLinePerContact)
{
    const Converted r = convert({"--list", sample()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1\tDoe, Anna\tAnna\tDoe\tAcme\\tInc\t+1 555 0100\t\t\t+1 555 0199\n"
                     "2\t\t\xF0\x9D\x92\x9C"
                     "lice\t\t\t\t\t12 34\t\n");
}

// A character to escape anywhere in a value: before, at and after the edges of the groups of
// eight bytes the list looks at together, after a control byte that needs no escape, and none.
TEST_F(ConvertFiles, ListEscapesAtEveryPlaceOfAValue)
{
    const struct
    {
        const char* company;
        const char* listed;
    } kCases[] = {
        {"\\", "\\\\"},
        {"abcdefg\t", "abcdefg\\t"},
        {"abcdefgh\n", "abcdefgh\\n"},
        {"abcdefghijklmno\r", "abcdefghijklmno\\r"},
        {"abcdefghijklmnop", "abcdefghijklmnop"},
        {"abcdefgh\x01ijklmnop\\", "abcdefgh\x01ijklmnop\\\\"},
        {"M\xC3\xBCller\\\tGmbH & Co. KG", "M\xC3\xBCller\\\\\\tGmbH & Co. KG"},
    };
    json contacts = json::array();
    std::string expected;
    for (size_t i = 0; i < std::size(kCases); ++i) {
        contacts.push_back(testfiles::message("IPM.Contact", json::array({unicode(0x3A16, kCases[i].company)})));
        expected += std::to_string(i + 1) + "\t\t\t\t" + kCases[i].listed + "\t\t\t\t\n";
    }
    const std::string path = testfiles::write_pst(
        m_dir, "escapes.pst", {{"folders", json::array({testfiles::folder("Contacts", contacts)})}});
    const Converted r = convert({"--list", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
}

TEST_F(ConvertFiles, JsonKeepsAbsentEmptyAndEveryCharacterApart)
{
    const Converted r = convert({"--json", sample()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::vector<nlohmann::ordered_json> objects;
    while (std::getline(lines, line)) {
        // The index key of a name starting outside the BMP is half a surrogate pair, written as
        // an escape; this parser refuses unpaired surrogates, so that one is checked as text.
        const auto half = line.find("\\ud835");
        if (half != std::string::npos) {
            line.replace(half, 6, 1, '?');
        }
        objects.push_back(nlohmann::ordered_json::parse(line));
    }
    ASSERT_EQ(objects.size(), 2u);
    const auto& anna = objects[0];
    EXPECT_EQ(anna.begin().key(), "number");
    EXPECT_EQ(anna["number"], 1);
    EXPECT_EQ(anna["kind_name"], "contacts");
    EXPECT_EQ(anna["kind_code"], 7);
    EXPECT_EQ(anna["first_name"], "Anna");
    EXPECT_EQ(anna["middle_name"], "");
    EXPECT_FALSE(anna.contains("nickname"));
    EXPECT_EQ(anna["mileage"], "+1 555 0199");
    EXPECT_EQ(anna["index_key"], "A");
    EXPECT_EQ(anna["group_name"], "All");
    EXPECT_EQ(anna["gender"], 0);
    EXPECT_EQ(anna["body"], "line 1\r\nline \"2\" \\ \xF0\x9F\x98\x80");
    EXPECT_EQ(anna["categories"], "VIP; Familie");
    EXPECT_EQ(anna["flag"], "Flagged");
    EXPECT_EQ((--anna.end()).key(), "origin");
    EXPECT_EQ(anna["origin"], "live");
    EXPECT_FALSE(anna.contains("photo_type"));
    const auto& star = objects[1];
    EXPECT_EQ(star["first_name"], "\xF0\x9D\x92\x9C"
                                  "lice");
    EXPECT_FALSE(star.contains("body"));
    EXPECT_FALSE(star.contains("categories"));
    EXPECT_EQ(star["flag"], "Completed");
    EXPECT_EQ(star["index_key"], "?");
    // The index key is the first UTF-16 code unit: half of a surrogate pair, kept as an escape.
    EXPECT_NE(r.out.find("\"index_key\":\"\\ud835\""), std::string::npos);
}

TEST_F(ConvertFiles, RefusedAndUnreadableFilesExitWithOne)
{
    std::string bytes = testfiles::read_bytes(sample());
    bytes[8] = 'S';
    bytes[9] = 'O';
    const std::string ost = m_dir.file("a.ost");
    testfiles::write_bytes(ost, bytes);
    const Converted refused = convert({"--list", ost});
    EXPECT_EQ(refused.status, cli::kExitScanFailed);
    EXPECT_EQ(refused.err, "This is not a valid PST File\n");
    EXPECT_TRUE(refused.out.empty());

    const Converted missing = convert({"--json", m_dir.file("missing.pst")});
    EXPECT_EQ(missing.status, cli::kExitScanFailed);
    EXPECT_EQ(missing.err, "Please check file use in another proess or File is highly corrupted! Please select "
                           "another file OR contact support team..\npelimoor-convert: " +
                               m_dir.file("missing.pst") + ": No such file or directory\n");

    testfiles::write_bytes(m_dir.file("cut.pst"), bytes.replace(8, 2, "SM").substr(0, 600));
    const Converted cut = convert({"--list", m_dir.file("cut.pst")});
    EXPECT_EQ(cut.status, cli::kExitScanFailed);
    EXPECT_EQ(cut.err, "Scanning process failed! Please select another file OR contact support team..\n");
}

// A file that cannot be opened: the sentence, then the reason the header check or the reader
// found, on a line of its own; the same for either reader where both read the header alike.
TEST_F(ConvertFiles, AFileThatCannotBeOpenedSaysWhy)
{
    const std::string bytes = testfiles::read_bytes(sample());
    std::string bad_crc = bytes;
    bad_crc[100] = static_cast<char>(bad_crc[100] ^ 0x5a); // covered by the header's partial CRC
    testfiles::write_bytes(m_dir.file("crc.pst"), bad_crc);
    testfiles::write_bytes(m_dir.file("junk.pst"), std::string(4096, 'j'));
    testfiles::write_bytes(m_dir.file("nine.pst"), bytes.substr(0, 9));
    testfiles::write_bytes(m_dir.file("ten.pst"), bytes.substr(0, 10));
    testfiles::write_bytes(m_dir.file("header.pst"), bytes.substr(0, 500));
    testfiles::write_bytes(m_dir.file("empty.pst"), "");
    std::filesystem::create_directories(m_dir.file("folder.pst"));
    const struct
    {
        const char* file;
        std::string reason;
    } cases[] = {
        {"missing.pst", m_dir.file("missing.pst") + ": No such file or directory"},
        {"folder.pst", m_dir.file("folder.pst") + ": Is a directory"},
        {"empty.pst", "not a personal folder file: 0 bytes are too few for a header"},
        {"nine.pst", "not a personal folder file: 9 bytes are too few for a header"},
        {"ten.pst", "not a personal folder file: 10 bytes are too few for a header"},
        {"junk.pst", "not a personal folder file (no !BDN signature)"},
        {"header.pst", "not a personal folder file: 500 bytes are too few for a header"},
        {"crc.pst", "the file header is damaged (its partial CRC does not match)"},
    };
    const std::string sentence = contacts::utf16_to_utf8(contacts::kMessageOpenFailed) + "\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Converted r = convert({"--list", m_dir.file(c.file)});
        EXPECT_EQ(r.status, cli::kExitScanFailed);
        EXPECT_EQ(r.err, sentence + "pelimoor-convert: " + c.reason + "\n");
        EXPECT_TRUE(r.out.empty());
    }
}

// Items that cannot be read: counted per reason on standard error; --verbose lists each one
// with its folder and position. Both readers skip the same item.
TEST_F(ConvertFiles, SkippedItemsAreCountedAndListedWithVerbose)
{
    json bad = testfiles::message("IPM.Contact", json::array({unicode(0x3A06, "bad")}));
    bad["props"].push_back(testfiles::raw(0x6001, 0x0000, "01020304"));
    const json good = testfiles::message("IPM.Contact", json::array({unicode(0x3A06, "good")}));
    const std::string path = testfiles::write_pst(
        m_dir, "skip.pst", {{"folders", json::array({testfiles::folder("Contacts", json::array({good, bad, good}))})}});
    for (const char* reader : {"native", "libpff"}) {
        SCOPED_TRACE(reader);
        const Converted quiet = convert({"--reader", reader, "--list", path});
        EXPECT_EQ(quiet.status, 0);
        EXPECT_EQ(quiet.out.size(), 2 * std::string("1\t\tgood\t\t\t\t\t\t\n").size());
        EXPECT_EQ(quiet.err,
                  "pelimoor-convert: 1 item skipped: the item's type cannot be read (--verbose lists them)\n");
        const Converted verbose = convert({"--verbose", "--reader", reader, "--list", path});
        EXPECT_EQ(verbose.status, 0);
        EXPECT_EQ(verbose.out, quiet.out);
        // Our reader says what it found; libpff's texts are not passed on.
        const std::string detail = std::string(reader) == "native"
                                       ? " (property 0x6001 has the value type 0x0000, which no reader knows)"
                                       : "";
        EXPECT_EQ(verbose.err, "skipped: Top of Personal Folders\\Contacts, item 2: the item's type cannot be read" +
                                   detail +
                                   "\n"
                                   "pelimoor-convert: 1 item skipped: the item's type cannot be read\n");
    }
}

// Contacts beyond the live folders follow the live ones with their origin; a deleted copy of a
// live contact is not listed twice; --no-recovery gives the live list alone, byte for byte.
TEST_F(ConvertFiles, OrphanAndDeletedContactsFollowTheLiveOnes)
{
    const auto contact = [](const char* first, const char* fate) {
        json m = testfiles::message("IPM.Contact", json::array({unicode(0x3A06, first), unicode(0x3A11, "Roe")}));
        m["fate"] = fate;
        return m;
    };
    json pictured = contact("Pia", "live");
    pictured["photo"] = "jpeg";
    pictured["photo_size"] = 3000;
    const json live =
        json::array({contact("Bea", "live"), pictured, contact("Dora", "deleted"), contact("Bea", "deleted"),
                     contact("Olga", "orphan"), contact("Otto", "orphan_not_a_folder")});
    const std::string path =
        testfiles::write_pst(m_dir, "beyond.pst", {{"folders", json::array({testfiles::folder("Contacts", live)})}});

    const Converted r = convert({"--json", path});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> seen;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const json o = json::parse(line);
        seen.push_back(o["first_name"].get<std::string>() + " " + o["origin"].get<std::string>() + " " +
                       std::to_string(o["number"].get<int>()));
        if (o.contains("photo_type")) {
            EXPECT_EQ(o["first_name"], "Pia");
            EXPECT_EQ(o["photo_type"], "JPEG");
            EXPECT_EQ(o["photo_bytes"], 3000);
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Bea live 1", "Pia live 2", "Olga orphan 3", "Otto orphan 4",
                                              "Dora recovered 5"}));
    EXPECT_EQ(r.err, "pelimoor-convert: " + contacts::utf16_to_utf8(contacts::recovered_line(2, 1)) + "\n");

    const Converted live_only = convert({"--no-recovery", "--list", path});
    EXPECT_EQ(live_only.status, 0);
    EXPECT_EQ(live_only.out, "1\t\tBea\tRoe\t\t\t\t\t\n2\t\tPia\tRoe\t\t\t\t\t\n");
    EXPECT_EQ(live_only.err, "");
    EXPECT_EQ(convert({"--list", path}).out.substr(0, live_only.out.size()), live_only.out);
}

// ---- several files in one run

class ConvertSeveralFiles : public ::testing::Test
{
protected:
    static json person(const char* first, const char* last)
    {
        return testfiles::message("IPM.Contact", json::array({unicode(0x3A06, first), unicode(0x3A11, last)}));
    }
    // A file of the same shape as every other one here (so their node ids are equal): a folder
    // "Contacts" holding `first` and a sub folder "Work" holding `second`.
    std::string shaped(const std::string& name, const char* first, const char* second)
    {
        const json work = testfiles::folder("Work", json::array({person(second, "Work")}));
        return testfiles::write_pst(
            m_dir, name,
            {{"folders", json::array({testfiles::folder("Contacts", json::array({person(first, "Home")}),
                                                        json::array({work}))})}});
    }
    std::string junk()
    {
        const std::string path = m_dir.file("notes.txt");
        testfiles::write_bytes(path, "these are my notes, not a personal folder file");
        return path;
    }
    testfiles::TempDir m_dir;
};

// --list with one, two and three files, a file that is not a PST among good ones, and none
// readable: the lines of every file read in the order given, numbered on; with more than one
// file each line ends with its file; a refused file is named with its reason on standard error.
TEST_F(ConvertSeveralFiles, ListNamesTheFileOfEachLineAndGoesOnPastARefusedOne)
{
    const std::string a = shaped("a.pst", "Anna", "Carl");
    const std::string b = shaped("b.pst", "Dora", "Emil");
    const std::string c = shaped("c.pst", "Fritz", "Gus");
    const std::string bad = junk();
    const std::string missing = m_dir.file("gone.pst");
    const std::string refused = contacts::utf16_to_utf8(contacts::kMessageOpenFailed);
    const std::string no_signature = "not a personal folder file (no !BDN signature)\n";
    const auto line = [](int n, const char* first, const char* last, const std::string& file) {
        return std::to_string(n) + "\t\t" + first + "\t" + last + "\t\t\t\t\t" + (file.empty() ? "" : "\t" + file) +
               "\n";
    };
    const struct
    {
        std::vector<std::string> files;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{a}, 0, line(1, "Carl", "Work", "") + line(2, "Anna", "Home", ""), ""},
        {{a, b},
         0,
         line(1, "Carl", "Work", a) + line(2, "Anna", "Home", a) + line(3, "Emil", "Work", b) +
             line(4, "Dora", "Home", b),
         ""},
        {{c, a, b},
         0,
         line(1, "Gus", "Work", c) + line(2, "Fritz", "Home", c) + line(3, "Carl", "Work", a) +
             line(4, "Anna", "Home", a) + line(5, "Emil", "Work", b) + line(6, "Dora", "Home", b),
         ""},
        {{a, bad, b},
         cli::kExitSomeRefused,
         line(1, "Carl", "Work", a) + line(2, "Anna", "Home", a) + line(3, "Emil", "Work", b) +
             line(4, "Dora", "Home", b),
         "pelimoor-convert: " + bad + ": " + refused + "\npelimoor-convert: " + bad + ": " + no_signature},
        {{bad, a},
         cli::kExitSomeRefused,
         line(1, "Carl", "Work", a) + line(2, "Anna", "Home", a),
         "pelimoor-convert: " + bad + ": " + refused + "\npelimoor-convert: " + bad + ": " + no_signature},
        {{bad, missing},
         cli::kExitScanFailed,
         "",
         "pelimoor-convert: " + bad + ": " + refused + "\npelimoor-convert: " + bad + ": " + no_signature +
             "pelimoor-convert: " + missing + ": " + refused + "\npelimoor-convert: " + missing + ": " + missing +
             ": No such file or directory\n"},
        {{bad}, cli::kExitScanFailed, "", refused + "\npelimoor-convert: " + no_signature},
    };
    for (const char* reader : {"native", "libpff"}) {
        for (const auto& k : cases) {
            SCOPED_TRACE(std::string(reader) + " " + std::to_string(k.files.size()) + " file(s), " + k.files[0]);
            std::vector<std::string> args = {"--reader", reader, "--list"};
            args.insert(args.end(), k.files.begin(), k.files.end());
            const Converted r = convert(args);
            EXPECT_EQ(r.status, k.status);
            EXPECT_EQ(r.out, k.out);
            EXPECT_EQ(r.err, k.err);
        }
    }
}

// --json with two and three files: each object ends with the file it came from and its folder
// path; with one file it has neither key (the objects of old).
TEST_F(ConvertSeveralFiles, JsonNamesSourceAndFolderOnlyWithSeveralFiles)
{
    const std::string a = shaped("a.pst", "Anna", "Carl");
    const std::string b = shaped("b.pst", "Dora", "Emil");
    const std::string c = shaped("c.pst", "Fritz", "Gus");
    const std::string contacts = "Top of Personal Folders\\Contacts";
    const std::string work = contacts + "\\Work";
    const struct
    {
        std::vector<std::string> files;
        std::vector<std::vector<std::string>> seen; // first name, source, folder
    } cases[] = {
        {{a}, {{"Carl"}, {"Anna"}}},
        {{b, a}, {{"Emil", b, work}, {"Dora", b, contacts}, {"Carl", a, work}, {"Anna", a, contacts}}},
        {{a, b, c},
         {{"Carl", a, work},
          {"Anna", a, contacts},
          {"Emil", b, work},
          {"Dora", b, contacts},
          {"Gus", c, work},
          {"Fritz", c, contacts}}},
    };
    for (const char* reader : {"native", "libpff"}) {
        for (const auto& k : cases) {
            SCOPED_TRACE(std::string(reader) + " " + std::to_string(k.files.size()) + " file(s)");
            std::vector<std::string> args = {"--reader", reader, "--json"};
            args.insert(args.end(), k.files.begin(), k.files.end());
            const Converted r = convert(args);
            ASSERT_EQ(r.status, 0) << r.err;
            std::istringstream lines(r.out);
            std::vector<std::vector<std::string>> seen;
            for (std::string line; std::getline(lines, line);) {
                const auto o = nlohmann::ordered_json::parse(line);
                std::vector<std::string> row = {o["first_name"].get<std::string>()};
                if (o.contains("source")) {
                    auto key = o.end();
                    EXPECT_EQ((--key).key(), "folder");
                    EXPECT_EQ((--key).key(), "source");
                    EXPECT_EQ((--key).key(), "origin");
                    row.push_back(o["source"].get<std::string>());
                    row.push_back(o["folder"].get<std::string>());
                } else {
                    EXPECT_FALSE(o.contains("folder"));
                    EXPECT_EQ((--o.end()).key(), "origin");
                }
                EXPECT_EQ(o["number"], seen.size() + 1);
                seen.push_back(row);
            }
            EXPECT_EQ(seen, k.seen);
        }
    }
}

// Contacts found outside the folders name their file and no folder; the standard-error lines
// of each file name it.
TEST_F(ConvertSeveralFiles, RecoveredContactsAndMessagesNameTheirFile)
{
    json gone = person("Olga", "Roe");
    gone["fate"] = "orphan";
    const std::string a = testfiles::write_pst(
        m_dir, "a.pst", {{"folders", json::array({testfiles::folder("Contacts", json::array({gone}))})}});
    const std::string b = shaped("b.pst", "Dora", "Emil");
    const Converted r = convert({"--json", b, a});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::vector<std::string> seen;
    for (std::string line; std::getline(lines, line);) {
        const json o = json::parse(line);
        seen.push_back(o["first_name"].get<std::string>() + " " + o["origin"].get<std::string>() + " " +
                       o["source"].get<std::string>() + " '" + o["folder"].get<std::string>() + "'");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Emil live " + b + " 'Top of Personal Folders\\Contacts\\Work'",
                                              "Dora live " + b + " 'Top of Personal Folders\\Contacts'",
                                              "Olga orphan " + a + " ''"}));
    EXPECT_EQ(r.err, "pelimoor-convert: " + a + ": " + contacts::utf16_to_utf8(contacts::recovered_line(1, 0)) + "\n");
}

// Each file's distribution lists name that file's contacts: two files of one shape (so the same
// node ids), each with a list of its one contact, give two group cards, each naming the card of
// its own file's contact (whose UIDs differ although their node ids are equal).
TEST_F(ConvertSeveralFiles, ListsNameTheContactsOfTheirOwnFile)
{
    using testfiles::hex;
    // A PidLidDistributionListMembers value of one wrapped entry id naming node `nid`.
    const auto members = [](uint32_t nid) { return testfiles::multi_binary({testfiles::wrapped_entry_id(nid)}); };
    const auto write = [&](const std::string& name, const char* first, uint32_t nid) {
        json list = testfiles::message("IPM.DistList", json::array({unicode(0x3001, "Team")}));
        list["props"].push_back(
            {{"set", "address"}, {"lid", "0x8055"}, {"type", "0x1102"}, {"hex", hex(members(nid))}});
        return testfiles::write_pst(
            m_dir, name,
            {{"folders", json::array({testfiles::folder("Contacts", json::array({person(first, "Roe"), list}))})}});
    };
    const auto node_of_contact = [](const std::string& path) {
        contacts::ContactStore store;
        engine::ScanSession session;
        engine::ScanListener quiet;
        EXPECT_EQ(engine::scan_run(session, path, store, quiet).outcome, engine::ScanOutcome::Done);
        return store.first() ? contacts::contact_source(store, *store.first()).node_id : 0u;
    };
    const uint32_t nid = node_of_contact(write("a.pst", "Ann", 0));
    ASSERT_NE(nid, 0u);
    const std::string a = write("a.pst", "Ann", nid);
    const std::string b = write("b.pst", "Zoe", nid);
    ASSERT_EQ(node_of_contact(b), nid);
    for (const char* reader : {"native", "libpff"}) {
        SCOPED_TRACE(reader);
        const std::string out = m_dir.file(std::string("vcf-") + reader);
        std::filesystem::create_directory(out);
        const Converted r = convert({"--reader", reader, "--format", "vcf", "--vcard", "4.0", "--out", out, a, b});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("pelimoor-convert: 2 group(s) written\n"), std::string::npos) << r.err;
        const std::string vcf = testfiles::read_bytes(r.out.substr(0, r.out.size() - 1) + "/contacts.vcf");
        // Per card: its FN and, for a group, its members; per contact card its UID.
        std::map<std::string, std::string> uid_of;
        std::vector<std::pair<std::string, std::string>> groups; // FN, MEMBER
        std::string fn, uid, member;
        std::istringstream lines(vcf);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.rfind("FN:", 0) == 0) {
                fn = line.substr(3);
            } else if (line.rfind("UID:", 0) == 0) {
                uid = line.substr(4);
            } else if (line.rfind("MEMBER:", 0) == 0) {
                member = line.substr(7);
            } else if (line == "END:VCARD") {
                if (member.empty()) {
                    uid_of[fn] = uid;
                } else {
                    groups.emplace_back(fn, member);
                }
                fn.clear();
                uid.clear();
                member.clear();
            }
        }
        ASSERT_EQ(uid_of.size(), 2u) << vcf;
        EXPECT_NE(uid_of["Ann Roe"], uid_of["Zoe Roe"]);
        EXPECT_EQ(groups, (std::vector<std::pair<std::string, std::string>>{{"Team", uid_of["Ann Roe"]},
                                                                            {"Team", uid_of["Zoe Roe"]}}))
            << vcf;
    }
}

// The installed program: same output, same status, nothing on standard error when piped.
TEST_F(ConvertFiles, RealBinaryEndToEnd)
{
    const std::string path = sample();
    int status = -1;
    const std::string out = testcli::run_program(
        std::string(PELIMOOR_CONVERT) + " --list '" + path + "' 2>" + m_dir.file("err.txt"), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, convert({"--list", path}).out);
    EXPECT_TRUE(testfiles::read_bytes(m_dir.file("err.txt")).empty());

    const int usage = std::system((std::string(PELIMOOR_CONVERT) + " --nope 2>/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(usage));
    EXPECT_EQ(WEXITSTATUS(usage), cli::kExitUsage);
}

} // namespace
