// The sources beyond the contact items through the converter, with both readers: the recipient
// cache (IPM.AbchPerson items of IPF.Contact folders) and the correspondents of the mail (who the
// owner, the sender of Sent Items, wrote to), in a file our writer makes at test time.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/convert.h"
#include "converter_run.h"
#include "engine/sources.h"
#include "fixture/autocomplete.h"
#include "realfiles/real_files.h"
#include "test_files.h"

#include <filesystem>

namespace {

using testfiles::folder;
using testfiles::json;
using testfiles::message;
using testfiles::prop;
using testfiles::raw;
using testfiles::unicode;

json contact(const std::string& first_name, const std::string& email = "")
{
    json props = json::array({unicode(0x3A06, first_name), unicode(0x8005, first_name)});
    if (!email.empty()) {
        props.push_back(unicode(0x8082, "SMTP"));
        props.push_back(unicode(0x8083, email));
        props.push_back(unicode(0x8084, email));
    }
    return props;
}

json person(const std::string& name, const std::string& email)
{
    return message("IPM.AbchPerson", contact(name, email));
}

// A recipient row; an empty `smtp` leaves PR_SMTP_ADDRESS out.
json to(const std::string& name, const std::string& type, const std::string& address, const std::string& smtp = "")
{
    json props =
        json::array({unicode(0x3001, name), unicode(0x3002, type), unicode(0x3003, address), prop(0x0C15, "long", 1)});
    if (!smtp.empty()) {
        props.push_back(unicode(0x39FE, smtp));
    }
    return {{"props", props}};
}

json mail(const std::string& sender_name, const std::string& type, const std::string& address, const std::string& smtp,
          const std::string& date, json recipients)
{
    json props = json::array({unicode(0x0037, "Hello"), unicode(0x0C1A, sender_name), unicode(0x0C1E, type),
                              unicode(0x0C1F, address), prop(0x0E06, "systime", date)});
    if (!smtp.empty()) {
        props.push_back(unicode(0x5D01, smtp));
    }
    json m = message("IPM.Note", props);
    m["recipients"] = std::move(recipients);
    return m;
}

const std::string kErikDn = "/o=Example/ou=Exchange Administrative Group/cn=Recipients/cn=erik";
const std::string kDanaDn = "/o=Example/ou=Exchange Administrative Group/cn=Recipients/cn=dana";

json owner_to(json recipients, const std::string& date)
{
    return mail("Olga Owner", "SMTP", "owner@example.org", "", date, std::move(recipients));
}

// The autocomplete list of the Inbox's associated contents: a Unicode row, an 8-bit one, an EX row
// with its SMTP address and one without (whose DN a mail pairs with its SMTP address).
std::string autocomplete_hex()
{
    std::vector<fixture::StreamRow> rows;
    fixture::AutocompleteEntry zoe{"Zoë Ünal", "zoe@example.com", "SMTP", "", 73728, false};
    fixture::AutocompleteEntry jose{"José García", "jose@example.com", "SMTP", "", 40960, true};
    fixture::AutocompleteEntry dana{"Dana Lee", kDanaDn, "EX", "dana@example.com", 8192, false};
    fixture::AutocompleteEntry erik{"Erik Sand", kErikDn, "EX", "", 1, false};
    for (const auto& e : {zoe, jose, dana, erik}) {
        rows.push_back(fixture::autocomplete_row(e));
    }
    std::string hex;
    for (const uint8_t b : fixture::autocomplete_stream(rows)) {
        static const char* const kDigits = "0123456789ABCDEF";
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

// `saved_people`: the Contacts folder also holds saved contacts of some of the people the other
// sources name (Carl, Hugo, Dana, and Zoe with a nickname of her own), for the merge.
json description(bool saved_people = false)
{
    const json owner = to("Olga Owner", "SMTP", "owner@example.org");
    json cache = folder("Recipient Cache",
                        json::array({person("Hugo", "hugo@example.com"), person("Ines", "ines@example.com"),
                                     message("IPM.Contact", contact("Saved in the cache"))}),
                        json::array(), "IPF.Contact.RecipientCache");
    json saved = json::array(
        {message("IPM.Contact", contact("Anna")), message("IPM.Contact", contact("Bo")), person("Jon", "jon@x.org")});
    if (saved_people) {
        json zoe = contact("Zoe", "zoe@example.com");
        zoe.push_back(unicode(0x3A4F, "Zo"));
        for (json props : {contact("Carl", "carl@example.com"), contact("Hugo", "hugo@example.com"),
                           contact("Dana", "dana@example.com"), zoe}) {
            saved.push_back(message("IPM.Contact", props));
        }
    }
    json contacts = folder("Contacts", saved, json::array({cache}));
    json sent = folder(
        "Sent Items",
        json::array({owner_to(json::array({to("Carl Berg", "SMTP", "carl@example.com"),
                                           to("Dana Lee", "EX", kDanaDn, "dana@example.com")}),
                              "2024-03-01"),
                     owner_to(json::array({to("Carl", "SMTP", "carl@example.com"), to("Erik Sand", "EX", kErikDn)}),
                              "2024-04-02"),
                     owner_to(json::array({to("Carl Berg", "SMTP", "CARL@example.com")}), "2024-05-03")}),
        json::array(), "IPF.Note");
    json inbox = folder(
        "Inbox",
        json::array({mail("Shop", "SMTP", "noreply@shop.example", "", "2024-01-01", json::array({owner})),
                     mail("Erik Sand", "EX", kErikDn, "erik@example.com", "2024-06-01",
                          json::array({owner, to("Fay", "SMTP", "fay@example.net")})),
                     mail("Carl Berg", "SMTP", "carl@example.com", "", "2024-06-05", json::array({owner})),
                     {{"class", "IPM.Configuration.Autocomplete"},
                      {"fate", "associated"},
                      {"props", json::array({{{"tag", "0x7C09"}, {"type", "binary"}, {"hex", autocomplete_hex()}}})}},
                     {{"class", "IPM.Configuration.Other"}, {"fate", "associated"}, {"props", json::array()}}}),
        json::array(), "IPF.Note");
    return {{"folders", json::array({contacts, inbox, sent})}};
}

using testcli::convert;
using testcli::Converted;

std::vector<json> lines(const std::string& text)
{
    std::vector<json> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(json::parse(line));
    }
    return out;
}

// "name <email> origin | body" of each card.
std::vector<std::string> cards(const std::string& text)
{
    std::vector<std::string> out;
    for (const json& c : lines(text)) {
        out.push_back(c.value("full_name", "") + " <" + c.value("email", "") + "> " + c.value("origin", "") + " | " +
                      c.value("body", ""));
    }
    return out;
}

class SourcesTest : public ::testing::TestWithParam<const char*>
{
protected:
    void SetUp() override { m_path = testfiles::write_pst(m_dir, "sources.pst", description()); }
    Converted run(std::vector<std::string> options)
    {
        std::vector<std::string> args = {"--reader", GetParam(), "--no-recovery"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("--json");
        args.push_back(m_path);
        return convert(args);
    }
    testfiles::TempDir m_dir;
    std::string m_path;
};

TEST_P(SourcesTest, EachSourceGivesItsCards)
{
    const std::string carl = "Carl Berg <carl@example.com> correspondent | Found in 4 messages of the mail, the latest "
                             "on 2024-06-05";
    const std::string erik =
        "Erik Sand <erik@example.com> correspondent | Found in 2 messages of the mail, the latest on 2024-06-01";
    const std::string dana =
        "Dana Lee <dana@example.com> correspondent | Found in 1 message of the mail, the latest on 2024-03-01";
    const std::string anna = "Anna <> live | ", bo = "Bo <> live | ", saved = "Saved in the cache <> live | ";
    const std::string jon = "Jon <jon@x.org> recipient_cache | ";
    const std::string suggested = " autocomplete | Suggested by Outlook's autocomplete list, weight ";
    const std::vector<std::string> autocomplete = {
        "Zoë Ünal <zoe@example.com>" + suggested + "73,728", "José García <jose@example.com>" + suggested + "40,960",
        "Dana Lee <dana@example.com>" + suggested + "8,192", "Erik Sand <" + kErikDn + ">" + suggested + "1"};
    const std::string hugo = "Hugo <hugo@example.com> recipient_cache | ",
                      ines = "Ines <ines@example.com> recipient_cache | ";
    const struct
    {
        std::vector<std::string> options;
        std::vector<std::string> cards;
        std::string err;
    } cases[] = {
        {{}, {saved, anna, bo}, ""},
        {{"--sources", "contacts"}, {saved, anna, bo}, ""},
        {{"--sources", "recipients"}, {jon, hugo, ines}, "pelimoor-convert: 3 cards from the recipient cache\n"},
        {{"--sources=correspondents"}, {carl, erik, dana}, "pelimoor-convert: 3 cards of correspondents in the mail\n"},
        {{"--sources", "correspondents", "--min-messages", "2"},
         {carl, erik},
         "pelimoor-convert: 2 cards of correspondents in the mail\n"},
        {{"--sources", "correspondents", "--min-messages=4"},
         {carl},
         "pelimoor-convert: 1 card of correspondents in the mail\n"},
        {{"--sources", "correspondents", "--min-messages", "5"},
         {},
         "pelimoor-convert: 0 cards of correspondents in the mail\n"},
        {{"--sources", "autocomplete"}, autocomplete, "pelimoor-convert: 4 cards from the autocomplete list\n"},
        {{"--sources", "all"},
         {saved, anna, bo, autocomplete[0], autocomplete[1], autocomplete[2], autocomplete[3], jon, hugo, ines, carl,
          erik, dana},
         "pelimoor-convert: 4 cards from the autocomplete list\n"
         "pelimoor-convert: 3 cards from the recipient cache\n"
         "pelimoor-convert: 3 cards of correspondents in the mail\n"},
        {{"--sources", "correspondents,contacts,recipients"},
         {saved, anna, bo, jon, hugo, ines, carl, erik, dana},
         "pelimoor-convert: 3 cards from the recipient cache\n"
         "pelimoor-convert: 3 cards of correspondents in the mail\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        const Converted r = run(c.options);
        ASSERT_EQ(r.status, cli::kExitSuccess) << r.err;
        EXPECT_EQ(cards(r.out), c.cards);
        EXPECT_EQ(r.err, c.err);
    }
}

// The same stored bytes in messages of different code pages are different names; a person met
// twice in one message is counted once, under the name met first; names given equally often go
// to the one given first.
TEST_P(SourcesTest, CorrespondentsCountStoredNamesByTheirMessagesCodePage)
{
    const std::string long_address = "gus." + std::string(700, 'x') + "@example.com";
    const auto with_codepage = [](json m, int32_t codepage) {
        m["codepage"] = codepage;
        return m;
    };
    // "Jos\xE9" as an 8-bit text: José in code page 1252, Josй in 1251.
    const auto jose = [] {
        json r = to("", "SMTP", "jose@example.com");
        r["props"][0] = raw(0x3001, 0x001E, "4A6F73E9");
        return r;
    };
    const struct
    {
        const char* name;
        std::vector<std::pair<json, int32_t>> sent; // mails of the owner, each with its code page
        std::vector<std::string> cards;
    } cases[] = {
        {"one code page",
         {{json::array({jose()}), 1252}, {json::array({jose()}), 1252}},
         {"José <jose@example.com> correspondent | Found in 2 messages of the mail, the latest on 2024-02-02"}},
        {"the later code page more often",
         {{json::array({jose()}), 1252}, {json::array({jose()}), 1251}, {json::array({jose()}), 1251}},
         {"Josй <jose@example.com> correspondent | Found in 3 messages of the mail, the latest on 2024-02-02"}},
        {"the earlier code page more often",
         {{json::array({jose()}), 1252}, {json::array({jose()}), 1252}, {json::array({jose()}), 1251}},
         {"José <jose@example.com> correspondent | Found in 3 messages of the mail, the latest on 2024-02-02"}},
        {"twice in one message",
         {{json::array({to("Gus", "SMTP", "gus@example.com"), to("Gustav", "SMTP", "GUS@example.com")}), 1252},
          {json::array({to("Gustav", "SMTP", "gus@EXAMPLE.com")}), 1252}},
         {"Gus <gus@example.com> correspondent | Found in 2 messages of the mail, the latest on 2024-02-02"}},
        {"one name in several stored forms",
         {{json::array({to("Gus", "SMTP", "gus@example.com")}), 1252},
          {json::array({to("Gus", "SMTP", "GUS@example.com")}), 1252},
          {json::array({to("Gus", "SMTP", "Gus@Example.com")}), 1252},
          {json::array({to("Gustav", "SMTP", "gus@example.com")}), 1252},
          {json::array({to("Gustav", "SMTP", "gus@example.com")}), 1252}},
         {"Gus <gus@example.com> correspondent | Found in 5 messages of the mail, the latest on 2024-02-02"}},
        {"a tie",
         {{json::array({to("Gustav", "SMTP", "gus@example.com")}), 1252},
          {json::array({to("Gus", "SMTP", "gus@example.com")}), 1252}},
         {"Gustav <gus@example.com> correspondent | Found in 2 messages of the mail, the latest on 2024-02-02"}},
        // Stored forms longer than any before, found again; and ones that differ in their last
        // unit only, of lengths around a multiple of eight bytes.
        {"a long address after short ones",
         {{json::array({to("Gus", "SMTP", "gus@example.com")}), 1252},
          {json::array({to("Gus", "SMTP", long_address)}), 1252},
          {json::array({to("Gus", "SMTP", long_address)}), 1252}},
         {"Gus <" + long_address + "> correspondent | Found in 2 messages of the mail, the latest on 2024-02-02",
          "Gus <gus@example.com> correspondent | Found in 1 message of the mail, the latest on 2024-02-01"}},
        {"names that differ in their last unit",
         {{json::array({to("Ann", "SMTP", "a@example.com"), to("Ben", "SMTP", "b@example.com")}), 1252},
          {json::array({to("Anm", "SMTP", "a@example.com"), to("Bem", "SMTP", "b@example.com")}), 1252},
          {json::array({to("Anm", "SMTP", "a@example.com"), to("Bem", "SMTP", "b@example.com")}), 1252}},
         {"Anm <a@example.com> correspondent | Found in 3 messages of the mail, the latest on 2024-02-02",
          "Bem <b@example.com> correspondent | Found in 3 messages of the mail, the latest on 2024-02-02"}},
        // Stored forms of 62 bytes and the name's: names of 1, 8, 9 and 10 units end their forms
        // at 64, 78, 80 and 82 bytes, at or around a multiple of sixteen.
        {"names that differ in their last unit around sixteen bytes",
         {{json::array({to("C", "SMTP", "c@example.com"), to("Dddddddd", "SMTP", "d@example.com"),
                        to("Eeeeeeeee", "SMTP", "e@example.com"), to("Ffffffffff", "SMTP", "f@example.com")}),
           1252},
          {json::array({to("B", "SMTP", "c@example.com"), to("Dddddddc", "SMTP", "d@example.com"),
                        to("Eeeeeeeed", "SMTP", "e@example.com"), to("Fffffffffe", "SMTP", "f@example.com")}),
           1252},
          {json::array({to("B", "SMTP", "c@example.com"), to("Dddddddc", "SMTP", "d@example.com"),
                        to("Eeeeeeeed", "SMTP", "e@example.com"), to("Fffffffffe", "SMTP", "f@example.com")}),
           1252}},
         {"B <c@example.com> correspondent | Found in 3 messages of the mail, the latest on 2024-02-02",
          "Dddddddc <d@example.com> correspondent | Found in 3 messages of the mail, the latest on 2024-02-02",
          "Eeeeeeeed <e@example.com> correspondent | Found in 3 messages of the mail, the latest on 2024-02-02",
          "Fffffffffe <f@example.com> correspondent | Found in 3 messages of the mail, the latest on 2024-02-02"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json mails = json::array();
        int day = 1;
        for (const auto& [recipients, codepage] : c.sent) {
            const std::string date = "2024-02-0" + std::to_string(std::min(day++, 2));
            mails.push_back(with_codepage(owner_to(recipients, date), codepage));
        }
        const json file = {{"folders", json::array({folder("Sent Items", mails, json::array(), "IPF.Note")})}};
        const std::string path = testfiles::write_pst(m_dir, std::string(c.name) + ".pst", file);
        const Converted r =
            convert({"--reader", GetParam(), "--no-recovery", "--sources", "correspondents", "--json", path});
        ASSERT_EQ(r.status, cli::kExitSuccess) << r.err;
        EXPECT_EQ(cards(r.out), c.cards);
    }
}

// A mail with a property of a value type no reader knows is passed over as one that cannot be
// read, whichever property it is (the read of the correspondents' few properties sees every
// type); one of an unusual type it knows is read.
TEST_P(SourcesTest, CorrespondentsPassOverAMailWithAValueTypeNoReaderKnows)
{
    const json owner = to("Olga Owner", "SMTP", "owner@example.org");
    // Carl, and Olga as his mails' recipient, from the first mail or from both.
    const std::vector<std::string> once = {
        "Carl Berg <carl@example.com> correspondent | Found in 1 message of the mail, the latest on 2024-06-01",
        "Olga Owner <owner@example.org> correspondent | Found in 1 message of the mail, the latest on 2024-06-01"};
    const std::vector<std::string> twice = {
        "Carl Berg <carl@example.com> correspondent | Found in 2 messages of the mail, the latest on 2024-06-05",
        "Olga Owner <owner@example.org> correspondent | Found in 2 messages of the mail, the latest on 2024-06-05"};
    const std::string skipped = "pelimoor-convert: 1 item skipped: a message's senders and recipients cannot be read "
                                "(--verbose lists them)\n";
    const struct
    {
        const char* name;
        json extra; // a property of the second mail
        std::vector<std::string> cards;
        std::string err;
    } cases[] = {
        {"no reader knows 0x0000", raw(0x6001, 0x0000, "01020304"), once, skipped},
        {"no reader knows 0x1234", raw(0x6001, 0x1234, "0102"), once, skipped},
        {"the highest id", raw(0xFFFF, 0x0000, "01020304"), once, skipped},
        {"the lowest id", raw(0x0001, 0x1234, "0102"), once, skipped},
        {"a known multi-valued binary", raw(0x6001, 0x1102, "0100000008000000AABB"), twice, ""},
        {"a known integer", raw(0x6001, 0x0003, "07000000"), twice, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json second = mail("Carl Berg", "SMTP", "carl@example.com", "", "2024-06-05", json::array({owner}));
        second["props"].push_back(c.extra);
        const json file = {{"folders", json::array({folder("Inbox",
                                                           json::array({mail("Carl Berg", "SMTP", "carl@example.com",
                                                                             "", "2024-06-01", json::array({owner})),
                                                                        second}),
                                                           json::array(), "IPF.Note")})}};
        const std::string path = testfiles::write_pst(m_dir, std::string(c.name) + ".pst", file);
        const Converted r =
            convert({"--reader", GetParam(), "--no-recovery", "--sources", "correspondents", "--json", path});
        ASSERT_EQ(r.status, cli::kExitSuccess) << r.err;
        EXPECT_EQ(cards(r.out), c.cards);
        EXPECT_EQ(r.err, c.err + "pelimoor-convert: 2 cards of correspondents in the mail\n");
    }
}

// Without --sources, and with the default named, the output is what it always was.
TEST_P(SourcesTest, TheDefaultChangesNothing)
{
    EXPECT_EQ(run({}).out, run({"--sources", "contacts"}).out);
    const Converted all = run({"--sources", "all"});
    EXPECT_EQ(all.out.substr(0, run({}).out.size()), run({}).out);
}

// The mail's walk after the contacts' walk takes the rows that walk found (native reader): the
// same cards as without the contacts' walk, also from a large contact folder whose rows are read
// ahead on a thread and from its rows past the 32nd and before it.
TEST_P(SourcesTest, CorrespondentsAreTheSameAfterTheContactsWalk)
{
    const json owner = to("Olga Owner", "SMTP", "owner@example.org");
    json rows = json::array();
    for (int i = 0; i < 40; ++i) {
        rows.push_back(message("IPM.Contact", contact("C" + std::to_string(i))));
        if (i == 0 || i == 31 || i == 32 || i == 39) {
            rows.push_back(mail("P" + std::to_string(i), "SMTP", "p" + std::to_string(i) + "@example.com", "",
                                "2024-01-02", json::array({owner})));
        }
    }
    json sent = json::array();
    for (const int i : {0, 31, 32, 39}) {
        sent.push_back(
            owner_to(json::array({to("P", "SMTP", "p" + std::to_string(i) + "@example.com")}), "2024-02-03"));
    }
    const std::string path =
        testfiles::write_pst(m_dir, "mixed.pst",
                             {{"folders", json::array({folder("Contacts", rows, json::array(), "IPF.Contact"),
                                                       folder("Sent Items", sent, json::array(), "IPF.Note")})}});
    std::vector<std::string> expected, after;
    for (const std::string& card :
         cards(convert({"--reader", GetParam(), "--sources", "correspondents", "--json", path}).out)) {
        expected.push_back(card);
    }
    for (const std::string& card :
         cards(convert({"--reader", GetParam(), "--sources", "contacts,correspondents", "--json", path}).out)) {
        if (card.find("> correspondent |") != std::string::npos) {
            after.push_back(card);
        }
    }
    EXPECT_EQ(expected.size(), 4u);
    EXPECT_EQ(after, expected);
}

// vCard 4.0 of the autocomplete list: the origin as a category, an EX row's address through its
// PR_SMTP_ADDRESS or the file's DN map.
TEST_P(SourcesTest, VcardsOfTheAutocompleteListCarryTheirOrigin)
{
    const Converted r = convert({"--reader", GetParam(), "--sources", "autocomplete", "--format", "vcf", "--vcard",
                                 "4.0", "--out", m_dir.path().string(), m_path});
    ASSERT_EQ(r.status, cli::kExitSuccess) << r.err;
    std::string vcf;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir.path())) {
        if (entry.path().extension() == ".vcf") {
            vcf = testfiles::read_bytes(entry.path().string());
        }
    }
    std::vector<std::string> wanted;
    std::istringstream in(vcf);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("EMAIL", 0) == 0 || line.rfind("CATEGORIES", 0) == 0) {
            wanted.push_back(line);
        }
    }
    EXPECT_EQ(wanted, (std::vector<std::string>{"EMAIL;PREF=1:zoe@example.com\r", "CATEGORIES:Autocomplete\r",
                                                "EMAIL;PREF=1:jose@example.com\r", "CATEGORIES:Autocomplete\r",
                                                "EMAIL;PREF=1:dana@example.com\r", "CATEGORIES:Autocomplete\r",
                                                "EMAIL;PREF=1:erik@example.com\r", "CATEGORIES:Autocomplete\r"}));
}

// With --merge the cards of the other sources join the saved contacts of their addresses: the
// contact's name stays, another name becomes its nickname (Zoe's own nickname stays, so the report
// names the other), their notes are united; the cards that meet no contact stay as they are.
TEST_P(SourcesTest, WithMergeTheyJoinTheSavedContactsOfTheirAddresses)
{
    testfiles::TempDir out;
    const std::string path = testfiles::write_pst(out, "people.pst", description(true));
    const Converted r = convert({"--reader", GetParam(), "--no-recovery", "--sources", "all", "--merge", "--region",
                                 "DE", "--json", "--out", out.path().string(), path});
    ASSERT_EQ(r.status, cli::kExitSuccess) << r.err;
    std::vector<std::string> got;
    for (const json& c : lines(r.out)) {
        got.push_back(c.value("first_name", "") + "/" + c.value("full_name", "") + " (" + c.value("nickname", "") +
                      ") <" + c.value("email", "") + "> " + c.value("origin", "") + " | " + c.value("body", ""));
    }
    const std::string suggested = " | Suggested by Outlook's autocomplete list, weight ";
    EXPECT_EQ(got, (std::vector<std::string>{
                       "Saved in the cache/Saved in the cache () <> live | ",
                       "Anna/Anna () <> live | ",
                       "Bo/Bo () <> live | ",
                       "Carl/Carl (Carl Berg) <carl@example.com> live | Found in 4 messages of the mail, the latest "
                       "on 2024-06-05",
                       "Hugo/Hugo () <hugo@example.com> live | ",
                       "Dana/Dana (Dana Lee) <dana@example.com> live" + suggested +
                           "8,192\r\n\r\nFound in 1 message of the mail, the latest on 2024-03-01",
                       "Zoe/Zoe (Zo) <zoe@example.com> live" + suggested + "73,728",
                       "/José García (jose@example.com) <jose@example.com> autocomplete" + suggested + "40,960",
                       "/Erik Sand (Erik Sand) <" + kErikDn + "> autocomplete" + suggested + "1",
                       "Jon/Jon () <jon@x.org> recipient_cache | ",
                       "Ines/Ines () <ines@example.com> recipient_cache | ",
                       "/Erik Sand () <erik@example.com> correspondent | Found in 2 messages of the mail, the latest "
                       "on 2024-06-01",
                   }));
    EXPECT_EQ(r.err, "pelimoor-convert: 4 cards from the autocomplete list\n"
                     "pelimoor-convert: 3 cards from the recipient cache\n"
                     "pelimoor-convert: 3 cards of correspondents in the mail\n"
                     "pelimoor-convert: 17 contacts from 1 file: 12 written, 5 merged, 1 pair held for review\n");

    // The report: who joined whom, by origin; the held pair is Erik's two cards, which share only
    // his name (the autocomplete row has his DN alone).
    const std::string report = testfiles::read_bytes(out.file("merge-report.csv"));
    std::vector<std::string> rows;
    for (std::size_t at = 3; at < report.size();) {
        const std::size_t end = report.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        std::string row = report.substr(at, end - at);
        for (std::size_t p; (p = row.find(path)) != std::string::npos;) {
            row.replace(p, path.size(), "F");
        }
        rows.push_back(row);
        at = end + 2;
    }
    const std::string contacts = "F > Top of Personal Folders\\Contacts > item ";
    EXPECT_EQ(rows, (std::vector<std::string>{
                        R"("Outcome","Contact","Reason","Field","Value 1","Value 2","Sources")",
                        R"("merged","Carl","2 cards","","","",")" + contacts + "4 | F >  > item 15\"",
                        R"("merged","Hugo","2 cards","","","",")" + contacts +
                            "5 | F > Top of Personal Folders\\Contacts\\Recipient Cache > item 13\"",
                        R"("merged","Dana","3 cards","","","",")" + contacts +
                            "6 | F > Top of Personal Folders\\Inbox > item 10 | F >  > item 17\"",
                        R"("merged","Zoe","2 cards","nickname","Zo","Zoë Ünal",")" + contacts +
                            "7 | F > Top of Personal Folders\\Inbox > item 8\"",
                        R"("held","Erik Sand","name only","name","Erik Sand","Erik Sand","F > Top of Personal )"
                        R"(Folders\Inbox > item 11 | F >  > item 16")",
                    }));
}

INSTANTIATE_TEST_SUITE_P(Readers, SourcesTest, ::testing::Values("native", "libpff"));

// Files Outlook wrote: search folders ("All Messages", "Reminders") have no associated contents
// table where a normal folder has one, and are passed over without a skipped item.
TEST(Sources, RealFilesReadEverySourceWithoutSkips)
{
    for (const char* name : {"dist-list.pst", "sample-contacts.pst", "ansi-32bit.pst"}) {
        REAL_FILE_OR_SKIP(path, name);
        for (const char* reader : {"native", "libpff"}) {
            SCOPED_TRACE(std::string(name) + " " + reader);
            const Converted all = convert({"--reader", reader, "--sources", "all", "--list", path});
            const Converted plain = convert({"--reader", reader, "--list", path});
            EXPECT_EQ(all.status, cli::kExitSuccess);
            EXPECT_EQ(all.out, plain.out); // none of them holds a card beyond its contacts
            EXPECT_EQ(all.err, plain.err + "pelimoor-convert: 0 cards from the autocomplete list\n"
                                           "pelimoor-convert: 0 cards from the recipient cache\n"
                                           "pelimoor-convert: 0 cards of correspondents in the mail\n");
        }
    }
}

TEST(Sources, BadListsAreRefused)
{
    const struct
    {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--sources", "", "--json", "x.pst"},
         "pelimoor-convert: --sources needs a list of sources (contacts, autocomplete, recipients, correspondents) or "
         "all\n"},
        {{"--sources", "contacts,", "--json", "x.pst"},
         "pelimoor-convert: --sources needs a list of sources (contacts, autocomplete, recipients, correspondents) or "
         "all\n"},
        {{"--sources", "contacts,friends", "--json", "x.pst"},
         "pelimoor-convert: unknown source 'friends' (contacts, autocomplete, recipients, correspondents or all)\n"},
        {{"--sources", "Contacts", "--json", "x.pst"},
         "pelimoor-convert: unknown source 'Contacts' (contacts, autocomplete, recipients, correspondents or all)\n"},
        {{"--sources", "contacts,contacts", "--json", "x.pst"}, "pelimoor-convert: source 'contacts' given twice\n"},
        {{"--min-messages", "0", "--json", "x.pst"},
         "pelimoor-convert: bad value for --min-messages: '0' (a whole number from 1 to 1000000)\n"},
        {{"--min-messages", "1000001", "--json", "x.pst"},
         "pelimoor-convert: bad value for --min-messages: '1000001' (a whole number from 1 to 1000000)\n"},
        {{"--min-messages", "-3", "--json", "x.pst"},
         "pelimoor-convert: bad value for --min-messages: '-3' (a whole number from 1 to 1000000)\n"},
        {{"--json", "x.pst", "--sources"}, "pelimoor-convert: --sources needs a value\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Converted r = convert(c.args);
        EXPECT_EQ(r.status, cli::kExitUsage);
        EXPECT_EQ(r.err, c.err + "Try 'pelimoor-convert --help'.\n");
    }
}

TEST(Sources, ListsReadBackInTheirOrder)
{
    const struct
    {
        const char* list;
        const char* named;
    } cases[] = {
        {"all", "contacts,autocomplete,recipients,correspondents"},
        {"correspondents", "correspondents"},
        {"recipients,autocomplete", "autocomplete,recipients"},
        {"contacts", "contacts"},
    };
    for (const auto& c : cases) {
        engine::Sources sources;
        std::string problem;
        ASSERT_TRUE(engine::parse_sources(c.list, &sources, &problem)) << problem;
        EXPECT_EQ(engine::sources_list(sources), c.named);
    }
    engine::Sources edge;
    std::string problem;
    EXPECT_TRUE(engine::parse_sources("correspondents", &edge, &problem));
    EXPECT_FALSE(edge.has(engine::Source::contacts));
    EXPECT_TRUE(edge.beyond_contacts());
    EXPECT_FALSE(engine::Sources{}.beyond_contacts());
}

} // namespace
