// Reading contact items through both readers, from files our own writer makes at test time.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "contacts/contact_record.h"
#include "contacts/text.h"
#include "engine/contact_extraction.h"
#include "engine/pst_source.h"
#include "test_files.h"

namespace {

using contacts::ContactDraft;
using contacts::Field;
using testfiles::json;
using testfiles::prop;
using testfiles::unicode;

std::string u8(std::u16string_view s)
{
    return contacts::utf16_to_utf8(s);
}

// The draft holds `field` exactly when `expected` is given, and then that text (UTF-8).
void expect_text(const ContactDraft& d, Field field, const char* expected, const char* what)
{
    ASSERT_EQ(d.has(field), expected != nullptr) << what;
    if (expected) {
        EXPECT_EQ(u8(*d.text(field)), expected) << what;
    }
}

// Every contact item under `item`, depth first as the walk goes.
void collect_contacts(engine::PstItem& item, bool root, std::vector<const engine::PropertyList*>& out,
                      std::vector<std::unique_ptr<engine::PstItem>>& keep)
{
    uint8_t type = 0;
    if (!root && !item.type(&type).found()) {
        return;
    }
    if (!root && type == engine::kItemContact) {
        const engine::PropertyList* list = nullptr;
        ASSERT_TRUE(item.properties(&list).found());
        out.push_back(list);
        return;
    }
    if (!root && type != engine::kItemFolder) {
        return;
    }
    using Count = pst::Status (engine::PstItem::*)(int*);
    using Get = pst::Status (engine::PstItem::*)(int, std::unique_ptr<engine::PstItem>*);
    const std::pair<Count, Get> kinds[] = {
        {&engine::PstItem::sub_item_count, &engine::PstItem::sub_item},
        {&engine::PstItem::sub_folder_count, &engine::PstItem::sub_folder},
        {&engine::PstItem::sub_message_count, &engine::PstItem::sub_message},
    };
    for (size_t k = root ? 0 : 1; k < (root ? 1 : 3); ++k) {
        int count = 0;
        ASSERT_TRUE((item.*kinds[k].first)(&count).found());
        for (int i = 0; i < count; ++i) {
            std::unique_ptr<engine::PstItem> child;
            ASSERT_TRUE((item.*kinds[k].second)(i, &child).found());
            collect_contacts(*child, false, out, keep);
            keep.push_back(std::move(child));
        }
    }
}

// Writes the messages into one contact folder and reads every contact item back into drafts,
// through the reader the test runs with.
class Extraction : public ::testing::TestWithParam<engine::ReaderKind>
{
protected:
    std::vector<ContactDraft> read(const json& messages, int fallback_codepage = 1252)
    {
        const std::string path =
            testfiles::write_pst(m_dir, "x.pst", {{"folders", json::array({testfiles::folder("Contacts", messages)})}});
        return read_file(path, fallback_codepage);
    }
    std::vector<ContactDraft> read_file(const std::string& path, int fallback_codepage = 1252)
    {
        std::string why;
        pst::Status opened;
        auto source = engine::PstSource::open(path, {GetParam(), fallback_codepage}, &opened);
        EXPECT_TRUE(source) << opened.message;
        std::vector<ContactDraft> drafts;
        if (!source) {
            return drafts;
        }
        std::unique_ptr<engine::PstItem> root;
        EXPECT_TRUE(source->root_folder(&root).found());
        std::vector<const engine::PropertyList*> contacts;
        std::vector<std::unique_ptr<engine::PstItem>> keep;
        collect_contacts(*root, true, contacts, keep);
        engine::ContactReader reader;
        for (const auto* list : contacts) {
            drafts.emplace_back();
            reader.read(*list, drafts.back(), fallback_codepage);
        }
        return drafts;
    }
    ContactDraft read_one(const json& props)
    {
        auto drafts = read(json::array({testfiles::message("IPM.Contact", props)}));
        EXPECT_EQ(drafts.size(), 1u);
        return drafts.empty() ? ContactDraft() : drafts.front();
    }

    testfiles::TempDir m_dir;
};

// Each property of the read table lands in its field; 0x3A1C and 0x3A5D fill two fields each.
TEST_P(Extraction, EveryReadLandsInItsField)
{
    json props = json::array();
    std::set<uint16_t> tags;
    for (Field f : engine::kReadOrder) {
        const uint16_t tag = contacts::field_info(f).tag;
        if (f != Field::gender && tags.insert(tag).second) {
            props.push_back(unicode(tag, "value of " + testfiles::hex_tag(tag)));
        }
    }
    props.push_back(unicode(0x1000, "the notes"));
    props.push_back(unicode(0x3001, "the display name"));
    const ContactDraft d = read_one(props);
    for (Field f : engine::kReadOrder) {
        const auto& info = contacts::field_info(f);
        if (f == Field::gender) {
            EXPECT_FALSE(d.has(f));
            continue;
        }
        ASSERT_TRUE(d.has(f)) << info.name;
        EXPECT_EQ(u8(*d.text(f)), "value of " + testfiles::hex_tag(info.tag)) << info.name;
    }
    EXPECT_EQ(u8(*d.text(Field::body)), "the notes");
    EXPECT_EQ(u8(*d.text(Field::display_name)), "the display name");
    EXPECT_EQ(d.text(Field::mileage), d.text(Field::mobile_phone));
    EXPECT_EQ(d.text(Field::home_street), d.text(Field::home_address));
    EXPECT_EQ(d.gender(), 0);
}

TEST_P(Extraction, ContactWithoutPropertiesHasEveryFieldAbsent)
{
    const ContactDraft d = read_one(json::array());
    for (const auto& info : contacts::kFieldTable) {
        EXPECT_FALSE(d.has(info.field)) << info.name;
    }
    EXPECT_EQ(d.gender(), 0);
}

TEST_P(Extraction, EmptyValuesArePresentButEmpty)
{
    const ContactDraft d = read_one(json::array({unicode(0x3A06, ""), prop(0x3A11, "string8", "")}));
    ASSERT_TRUE(d.has(Field::first_name));
    EXPECT_TRUE(d.text(Field::first_name)->empty());
    ASSERT_TRUE(d.has(Field::last_name));
    EXPECT_TRUE(d.text(Field::last_name)->empty());
}

struct TextCase
{
    const char* what;
    uint32_t tag;
    std::string type;
    std::string value;
    Field field;
};

// Characters outside ASCII and outside the Basic Multilingual Plane reach the draft exactly, in
// Unicode and (where code page 1252 has them) 8-bit values, in named properties and the body.
TEST_P(Extraction, TextsArriveAsStoredTable)
{
    const std::string long_value(5000, 'L');
    const TextCase cases[] = {
        {"8-bit accents", 0x3A06, "string8", "Caf\xC3\xA9 J\xC3\xBCrgen \xE2\x82\xAC", Field::first_name},
        {"8-bit named", 0x8005, "string8", "M\xC3\xBCller, Ren\xC3\xA9", Field::full_name},
        {"8-bit body", 0x1000, "string8",
         "Gr\xC3\xBC\xC3\x9F"
         "e\r\nZeile 2",
         Field::body},
        {"unicode CJK", 0x3A11, "unicode", "\xE6\x9D\xB1\xE4\xBA\xAC", Field::last_name},
        {"non-BMP first name", 0x3A06, "unicode",
         "\xF0\x9D\x92\x9C"
         "nna",
         Field::first_name},
        {"non-BMP named", 0x8084, "unicode", "\xF0\x9F\x93\xA7 mail", Field::email},
        {"emoji body", 0x1000, "unicode", "Hi \xF0\x9F\x98\x80 there \xF0\x9F\x8E\x89", Field::body},
        {"23 characters", 0x3A16, "unicode", std::string(23, 'a'), Field::company_name},
        {"24 characters", 0x3A16, "unicode", std::string(24, 'b'), Field::company_name},
        {"long unicode", 0x3A15, "unicode", long_value, Field::business_address},
        {"long 8-bit", 0x3A15, "string8", long_value, Field::business_address},
    };
    for (const auto& c : cases) {
        const ContactDraft d = read_one(json::array({prop(c.tag, c.type, c.value)}));
        ASSERT_TRUE(d.has(c.field)) << c.what;
        EXPECT_EQ(u8(*d.text(c.field)), c.value) << c.what;
    }
}

TEST_P(Extraction, BodyLongerThanEveryOtherValueIsReadWhole)
{
    std::string body;
    for (int i = 0; body.size() < 120000; ++i) {
        body += "line " + std::to_string(i) + " \xF0\x9F\x98\x80\r\n";
    }
    const ContactDraft d = read_one(json::array({unicode(0x3A06, std::string(300, 'f')), unicode(0x1000, body)}));
    EXPECT_EQ(u8(*d.text(Field::body)), body);
    EXPECT_EQ(d.text(Field::first_name)->size(), 300u);
}

// Values of one contact never leak into the next one read with the same reader.
TEST_P(Extraction, NothingCarriesOverToTheNextContact)
{
    const auto drafts = read(json::array({
        testfiles::message("IPM.Contact", json::array({unicode(0x3A06, "Anna"), unicode(0x1000, "long notes")})),
        testfiles::message("IPM.Contact", json::array({unicode(0x3A11, "Berg")})),
    }));
    ASSERT_EQ(drafts.size(), 2u);
    EXPECT_FALSE(drafts[1].has(Field::first_name));
    EXPECT_FALSE(drafts[1].has(Field::body));
    EXPECT_EQ(u8(*drafts[1].text(Field::last_name)), "Berg");
}

struct DateCase
{
    const char* what;
    json props;
    Field field;
    const char* expected; // nullptr: absent
};

// Dates: the local named date when present, otherwise the stored UTC value plus 12 hours.
TEST_P(Extraction, BirthdayAndAnniversaryDatesTable)
{
    const DateCase cases[] = {
        {"UTC date of local midnight east of UTC", json::array({prop(0x3A42, "systime", "1999-12-31T15:00:00Z")}),
         Field::birthday, "2000-01-01"},
        {"UTC date of local midnight west of UTC", json::array({prop(0x3A42, "systime", "1980-05-17T05:00:00Z")}),
         Field::birthday, "1980-05-17"},
        {"local date wins",
         json::array({prop(0x3A42, "systime", "1999-12-31T15:00:00Z"), prop(0x80DE, "systime", "2000-01-02")}),
         Field::birthday, "2000-01-02"},
        {"anniversary from its local date",
         json::array({prop(0x3A41, "systime", "2010-06-11T22:00:00Z"), prop(0x80DF, "systime", "2010-06-12")}),
         Field::anniversary, "2010-06-12"},
        {"anniversary without local date", json::array({prop(0x3A41, "systime", "2010-06-11T22:00:00Z")}),
         Field::anniversary, "2010-06-12"},
        {"birthday stored as text stays text", json::array({unicode(0x3A42, "17 May")}), Field::birthday, "17 May"},
        {"no-date marker", json::array({prop(0x3A42, "systime", "4501-01-01")}), Field::birthday, nullptr},
        {"local date alone is not a birthday", json::array({prop(0x80DE, "systime", "2000-01-02")}), Field::birthday,
         nullptr},
        {"birthday of another type", json::array({prop(0x3A42, "long", 19800517)}), Field::birthday, nullptr},
    };
    for (const auto& c : cases) {
        const ContactDraft d = read_one(c.props);
        ASSERT_EQ(d.has(c.field), c.expected != nullptr) << c.what;
        if (c.expected) {
            EXPECT_EQ(u8(*d.text(c.field)), c.expected) << c.what;
        }
    }
}

TEST_P(Extraction, GenderAndOtherValueTypes)
{
    const ContactDraft numeric = read_one(json::array({prop(0x3A4D, "short", 2), prop(0x3A06, "long", 5)}));
    EXPECT_EQ(numeric.gender(), 0); // requested as text only
    EXPECT_FALSE(numeric.has(Field::first_name));
    const ContactDraft text = read_one(json::array({unicode(0x3A4D, "2")}));
    EXPECT_EQ(text.gender(), 2);
}

json keywords(const std::string& set, json values)
{
    return json{{"set", set}, {"name", "Keywords"}, {"type", "multi_unicode"}, {"value", std::move(values)}};
}

struct CategoryFlagCase
{
    const char* what;
    json props;
    const char* categories; // nullptr: absent
    const char* flag;       // nullptr: absent
};

// Categories from "Keywords" in PS_PUBLIC_STRINGS (values joined by "; "), the flag state from
// PR_FLAG_STATUS; neither when the properties are missing, elsewhere or of another kind.
TEST_P(Extraction, CategoriesAndFlagTable)
{
    const CategoryFlagCase cases[] = {
        {"two categories, flagged",
         json::array({keywords("public", {"VIP", "Φίλοι \xF0\x9F\x98\x80"}), prop(0x1090, "long", 2)}),
         "VIP; Φίλοι \xF0\x9F\x98\x80", "Flagged"},
        {"completed, no categories", json::array({prop(0x1090, "long", 1)}), nullptr, "Completed"},
        {"neither", json::array({unicode(0x3A06, "Anna")}), nullptr, nullptr},
        {"one category, other flag code", json::array({keywords("public", {"Solo"}), prop(0x1090, "long", 3)}), "Solo",
         nullptr},
        {"empty values are skipped", json::array({keywords("public", {"", "a", ""})}), "a", nullptr},
        {"no values", json::array({keywords("public", json::array())}), nullptr, nullptr},
        {"Keywords of another set", json::array({keywords("common", {"x"})}), nullptr, nullptr},
        {"8-bit values in code page 1252",
         json::array({json{{"set", "public"},
                           {"name", "Keywords"},
                           {"type", "0x101E"},
                           {"hex", "020000000C0000000F000000616263E974E9"}}}),
         "abc; \xC3\xA9t\xC3\xA9", nullptr},
        {"malformed offsets",
         json::array({json{{"set", "public"}, {"name", "Keywords"}, {"type", "0x101F"}, {"hex", "02000000FF000000"}}}),
         nullptr, nullptr},
        {"flag status as text", json::array({unicode(0x1090, "2")}), nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const ContactDraft d = read_one(c.props);
        expect_text(d, Field::categories, c.categories, c.what);
        expect_text(d, Field::flag, c.flag, c.what);
    }
}

// The code page decodes 8-bit texts only, single or multiple; it is the message's when the
// message names one, else the fallback. 0xE9 is "é" in 1252, "й" in 1251.
TEST_P(Extraction, EightBitTextsInTheMessagesCodePageTable)
{
    const json given = json{{"tag", "0x3A06"}, {"type", "0x001E"}, {"hex", "E9"}};
    const json keywords8 =
        json{{"set", "public"}, {"name", "Keywords"}, {"type", "0x101E"}, {"hex", "0100000008000000E9"}};
    struct Case
    {
        const char* what;
        json props;
        const char* first_name;
        const char* categories;
    };
    const Case cases[] = {
        {"8-bit text, code page 1251", json::array({given, prop(0x3FFD, "long", 1251)}), "\xD0\xB9", nullptr},
        {"8-bit text, no code page: the fallback", json::array({given}), "\xC3\xA9", nullptr},
        {"only 8-bit categories, code page 1251",
         json::array({unicode(0x3A11, "Xu"), keywords8, prop(0x3FFD, "long", 1251)}), nullptr, "\xD0\xB9"},
        {"Unicode texts only, code page 1251", json::array({unicode(0x3A06, "\xC3\xA9"), prop(0x3FFD, "long", 1251)}),
         "\xC3\xA9", nullptr},
    };
    for (const auto& c : cases) {
        const ContactDraft d = read_one(c.props);
        expect_text(d, Field::first_name, c.first_name, c.what);
        expect_text(d, Field::categories, c.categories, c.what);
    }
}

// The e-mail slots whose address type is EX give the packed Exchange addresses, in slot order,
// each with its original display name when it has one.
TEST_P(Extraction, ExchangeSlotsTable)
{
    const std::string dn = "/o=Org/ou=Admin/cn=Recipients/cn=anna";
    struct Slot
    {
        int slot;
        const char* dn;
        const char* original;
    };
    struct Case
    {
        const char* what;
        json props;
        std::vector<Slot> expected;
    };
    const Case cases[] = {
        {"slot 1 EX with its original",
         json::array({unicode(0x8082, "EX"), unicode(0x8083, dn), unicode(0x8084, "Anna Ex")}),
         {{0, dn.c_str(), "Anna Ex"}}},
        {"slot 2 ex in lower case, slot 1 SMTP",
         json::array(
             {unicode(0x8082, "SMTP"), unicode(0x8083, "a@example.org"), unicode(0x8092, "ex"), unicode(0x8093, dn)}),
         {{1, dn.c_str(), ""}}},
        {"all three slots",
         json::array({unicode(0x8082, "EX"), unicode(0x8083, "/cn=one"), unicode(0x8092, "EX"),
                      unicode(0x8093, "/cn=two"), unicode(0x8094, "Two"), unicode(0x80A2, "EX"),
                      unicode(0x80A3, "/cn=three")}),
         {{0, "/cn=one", ""}, {1, "/cn=two", "Two"}, {2, "/cn=three", ""}}},
        {"EX without an address", json::array({unicode(0x80A2, "EX"), unicode(0x80A4, "Nobody")}), {}},
        {"EX with an empty address", json::array({unicode(0x8082, "EX"), unicode(0x8083, "")}), {}},
        {"a type of three letters", json::array({unicode(0x8082, "EXC"), unicode(0x8083, dn)}), {}},
        {"none", json::array({unicode(0x3A06, "Anna")}), {}},
    };
    for (const auto& c : cases) {
        const ContactDraft d = read_one(c.props);
        std::u16string packed, dn16, original16;
        for (const Slot& s : c.expected) {
            dn16.clear();
            original16.clear();
            contacts::utf8_to_utf16(s.dn, dn16);
            contacts::utf8_to_utf16(s.original, original16);
            contacts::append_exchange_address(s.slot, dn16, original16, packed);
        }
        EXPECT_EQ(u8(d.exchange()), u8(packed)) << c.what;
    }
}

struct MultiCase
{
    const char* what;
    std::vector<uint8_t> bytes;
    bool unicode;
    bool ok;
    std::u16string joined;
};

TEST(MultiStrings, DecodesAndRejectsLayoutsTable)
{
    const MultiCase cases[] = {
        {"too short", {1, 0, 0}, true, false, u""},
        {"count past the end", {3, 0, 0, 0, 16, 0, 0, 0}, true, false, u""},
        {"offset past the end", {1, 0, 0, 0, 9, 0, 0, 0}, true, false, u""},
        {"offset inside the offsets", {1, 0, 0, 0, 2, 0, 0, 0}, true, false, u""},
        {"offsets out of order", {2, 0, 0, 0, 14, 0, 0, 0, 12, 0, 0, 0, 'a', 0, 'b', 0}, true, false, u""},
        {"no values", {0, 0, 0, 0}, true, true, u""},
        {"two values", {2, 0, 0, 0, 12, 0, 0, 0, 14, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0}, true, true, u"a; bc"},
        {"value cut at its NUL", {1, 0, 0, 0, 8, 0, 0, 0, 'a', 0, 0, 0, 'z', 0}, true, true, u"a"},
        {"odd trailing byte", {1, 0, 0, 0, 8, 0, 0, 0, 'a', 0, 'b'}, true, true, u"a"},
        {"8-bit", {2, 0, 0, 0, 12, 0, 0, 0, 13, 0, 0, 0, 'x', 0x80, 'y'}, false, true, u"x; \u20ACy"},
    };
    for (const auto& c : cases) {
        std::u16string out = u"stale";
        EXPECT_EQ(engine::join_multi_strings(c.bytes.data(), c.bytes.size(), c.unicode, out), c.ok) << c.what;
        EXPECT_EQ(out, c.joined) << c.what;
    }
}

// Every field read from the item is in the read table exactly once, and nothing else is (the
// body and the display name are read after it).
TEST(FieldTable, ReadOrderCoversEveryTaggedFieldOnce)
{
    std::set<Field> read(engine::kReadOrder.begin(), engine::kReadOrder.end());
    EXPECT_EQ(read.size(), engine::kReadOrder.size());
    for (const auto& info : contacts::kFieldTable) {
        const bool tagged =
            info.tag != contacts::kTagNone && info.field != Field::body && info.field != Field::display_name;
        EXPECT_EQ(read.count(info.field) == 1, tagged) << info.name;
    }
    EXPECT_EQ(engine::kReadOrder.front(), Field::full_name);
    EXPECT_EQ(engine::kReadOrder.back(), Field::work_po_box);
}

struct FiletimeCase
{
    const char* what;
    uint64_t filetime;
    int shift;
    const char16_t* expected; // nullptr: no date
};

constexpr uint64_t kTicksPerDay = 864000000000ULL;
constexpr uint64_t k2000 = 125911584000000000ULL; // 2000-01-01 00:00 UTC

TEST(ExtractionText, FiletimeDatesTable)
{
    const FiletimeCase cases[] = {
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
        const bool ok = engine::format_filetime_date(c.filetime, c.shift, out);
        ASSERT_EQ(ok, c.expected != nullptr) << c.what;
        if (ok) {
            EXPECT_EQ(std::u16string(out, 10), c.expected) << c.what;
        }
    }
}

TEST(ExtractionText, IndexKeyIsTheFirstCodeUnit)
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
        engine::set_index_key(draft);
        const auto key = draft.text(contacts::Field::index_key);
        ASSERT_EQ(key.has_value(), c.key != nullptr);
        if (c.key) {
            EXPECT_EQ(*key, std::u16string_view(c.key));
        }
    }
}

// The first message under `item` (depth first), made anew by its folder for each call.
std::unique_ptr<engine::PstItem> first_message(engine::PstItem& item)
{
    int count = 0;
    if (item.sub_message_count(&count).found() && count > 0) {
        std::unique_ptr<engine::PstItem> message;
        EXPECT_TRUE(item.sub_message(0, &message).found());
        return message;
    }
    EXPECT_TRUE(item.sub_folder_count(&count).found());
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<engine::PstItem> folder;
        EXPECT_TRUE(item.sub_folder(i, &folder).found());
        if (auto message = first_message(*folder)) {
            return message;
        }
    }
    return nullptr;
}

// A walk of many messages asks each for a few properties, the set it asks for changing from one
// read to the next: each read has the properties it asks for that the message holds (our reader
// those alone), none left over from the read before. Ids at the edges of 64-id groups and of the
// range below the named ones.
TEST_P(Extraction, PropertiesOfTheIdsAskedForTable)
{
    const std::vector<uint16_t> held = {0x003F, 0x0040, 0x0C1A, 0x7FFF};
    json props = json::array();
    for (const uint16_t id : held) {
        props.push_back(testfiles::unicode(id, "v"));
    }
    const std::string path = testfiles::write_pst(
        m_dir, "m.pst",
        {{"folders", json::array({testfiles::folder("Inbox", json::array({testfiles::message("IPM.Note", props)}),
                                                    json::array(), "IPF.Note")})}});
    pst::Status opened;
    auto source = engine::PstSource::open(path, {GetParam(), 1252}, &opened);
    ASSERT_TRUE(source) << opened.message;
    std::unique_ptr<engine::PstItem> root;
    ASSERT_TRUE(source->root_folder(&root).found());
    const std::vector<std::vector<uint16_t>> asks = {{0x003F, 0x0040},         {0x7FFF},         {},
                                                     {0x0040, 0x7FFF, 0x0E06}, {0x0C1A, 0x0001}, {0x003F, 0x0040}};
    for (const auto& ids : asks) {
        auto message = first_message(*root);
        ASSERT_TRUE(message);
        const engine::PropertyList* list = nullptr;
        ASSERT_TRUE(message->properties_of(ids, &list).found());
        std::set<uint32_t> found;
        for (const auto& p : list->all()) {
            if (p.id < 0x8000) {
                found.insert(p.id);
            }
        }
        std::set<uint32_t> expected;
        for (const uint16_t id : ids) {
            if (std::find(held.begin(), held.end(), id) != held.end()) {
                expected.insert(id);
            }
        }
        if (GetParam() == engine::ReaderKind::native) {
            EXPECT_EQ(found, expected) << ids.size();
        } else {
            EXPECT_TRUE(std::includes(found.begin(), found.end(), expected.begin(), expected.end())) << ids.size();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothReaders, Extraction,
                         ::testing::Values(engine::ReaderKind::native, engine::ReaderKind::libpff),
                         [](const auto& info) { return std::string(engine::reader_kind_name(info.param)); });

// One rule names contacts and groups alike: the search key's first 16 bytes, else (no key, an
// empty one or one of zeros) the node id, else nothing.
TEST(ItemIdentity, SearchKeyElseNodeId)
{
    const std::vector<uint8_t> key = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    const std::vector<uint8_t> zeros(16, 0), empty;
    const struct
    {
        const std::vector<uint8_t>* key; // nullptr: no PidTagSearchKey
        uint32_t node;
        contacts::ContactIdentity expected;
    } cases[] = {
        {&key, 0x200024, contacts::identity_of_search_key(key)},
        {&key, 0, contacts::identity_of_search_key(key)},
        {nullptr, 0x200024, contacts::identity_of_node(0x200024)},
        {&empty, 0x200024, contacts::identity_of_node(0x200024)},
        {&zeros, 0x200024, contacts::identity_of_node(0x200024)},
        {nullptr, 0, contacts::ContactIdentity{}},
    };
    for (const auto& c : cases) {
        engine::PropertyList list;
        if (c.key != nullptr) {
            list.add(0x300B, pst::type_code(pst::PropType::Binary), c.key->data(), c.key->size());
        }
        EXPECT_EQ(engine::item_identity(list, c.node), c.expected) << (c.key ? c.key->size() : -1) << " " << c.node;
    }
}

// A list keeps room for its properties past a clear: filled to the edges of its room (16, then
// doubled), cleared and refilled with fewer, swapped with another, every property is the last
// one added under its place, and none of an earlier fill shows.
TEST(PropertyListRoom, FillsClearsAndSwapsTable)
{
    const auto fill = [](engine::PropertyList& list, size_t n, uint8_t tag) {
        const uint8_t heap[] = {tag, 1, 2, 3};
        const uint32_t at = list.append_bytes(heap);
        for (size_t i = 0; i < n; ++i) {
            if (i % 2 == 0) {
                list.add(static_cast<uint32_t>(i), 0x0102, &tag, 1);
            } else {
                list.add_at(static_cast<uint32_t>(i), 0x0102, at, 1);
            }
        }
    };
    const auto check = [](const engine::PropertyList& list, size_t n, uint8_t tag, const char* what) {
        ASSERT_EQ(list.all().size(), n) << what;
        for (size_t i = 0; i < n; ++i) {
            const engine::PropertyList::Property& p = list.all()[i];
            EXPECT_EQ(p.id, i) << what;
            ASSERT_EQ(list.bytes(p).size(), 1u) << what;
            EXPECT_EQ(list.bytes(p)[0], tag) << what << " " << i;
        }
        EXPECT_EQ(list.find(static_cast<uint32_t>(n)), nullptr) << what; // nothing past the last one
    };
    for (const size_t n : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{32}, size_t{33}}) {
        engine::PropertyList list, other;
        fill(list, n + 40, 7);
        list.clear();
        fill(list, n, 9);
        check(list, n, 9, "refilled");
        fill(other, n + 3, 5);
        list.swap(other);
        check(list, n + 3, 5, "swapped in");
        check(other, n, 9, "swapped out");
        list.reserve(1, 0); // less room than it holds: nothing lost
        check(list, n + 3, 5, "reserved less");
    }
}

// The values' bytes grow past their room at its edges (256 bytes, then doubled) and by values
// larger than the room doubled; cleared, a list keeps the room up to kKeptBytes and gives up
// more. Every value reads back as it was appended.
TEST(PropertyListRoom, ValueBytesGrowAtTheEdgesTable)
{
    const struct
    {
        std::vector<size_t> sizes;
    } cases[] = {
        {{255}},
        {{256}},
        {{257}},
        {{255, 1}},
        {{255, 2}},
        {{256, 256}},
        {{256, 257}},
        {{100, 1000}},
        {{0, 0, 1}},
        {{3000}},
        {{engine::PropertyList::kKeptBytes, 1}},
    };
    engine::PropertyList list;
    for (const auto& c : cases) {
        list.clear();
        std::vector<std::vector<uint8_t>> values;
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            std::vector<uint8_t> v(c.sizes[i]);
            for (size_t k = 0; k < v.size(); ++k) {
                v[k] = static_cast<uint8_t>(k * 7 + i);
            }
            list.add(static_cast<uint32_t>(i), 0x0102, v.data(), v.size());
            values.push_back(std::move(v));
        }
        ASSERT_EQ(list.all().size(), values.size());
        size_t total = 0;
        for (size_t i = 0; i < values.size(); ++i) {
            const auto bytes = list.bytes(list.all()[i]);
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), values[i].begin(), values[i].end())) << i;
            total += values[i].size();
        }
        EXPECT_GE(list.held_bytes(), total);
    }
    EXPECT_GT(list.held_bytes(), engine::PropertyList::kKeptBytes);
    list.clear(); // more than it keeps: given up
    EXPECT_LE(list.held_bytes(), engine::PropertyList::kKeptBytes);
}

} // namespace
