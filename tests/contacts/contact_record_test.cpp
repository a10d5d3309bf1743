#include <gtest/gtest.h>

#include <set>
#include <string>

#include "contacts/contact_record.h"

namespace {

using contacts::ContactDraft;
using contacts::ContactRecord;
using contacts::Field;
using contacts::FieldType;
using contacts::kFieldTable;

TEST(FieldTable, RowsAreInFieldOrderWithUniqueNames)
{
    ASSERT_EQ(kFieldTable.size(), 85u);
    std::set<std::string> names;
    for (std::size_t i = 0; i < kFieldTable.size(); ++i) {
        EXPECT_EQ(contacts::field_index(kFieldTable[i].field), i);
        EXPECT_TRUE(names.insert(kFieldTable[i].name).second) << kFieldTable[i].name;
        EXPECT_EQ(contacts::field_by_name(kFieldTable[i].name), &kFieldTable[i]);
    }
    EXPECT_EQ(contacts::field_by_name("no_such_field"), nullptr);
    EXPECT_STREQ(kFieldTable.front().name, "kind_name");
    EXPECT_STREQ(kFieldTable.back().name, "number");
}

TEST(OutputLabels, CsvHeaderIsTheLabelsJoinedByCommas)
{
    std::u16string header;
    for (const auto& label : contacts::kOutputLabels) {
        header += header.empty() ? u"" : u",";
        header += label.label;
    }
    EXPECT_EQ(header, u"Suffix,Title,First Name,Middle Name,Last Name,Fullname,Email,Email-2,Email-3,Email Type,"
                      u"Assistant Name,Assistant Phone,Birth Day,Business Address,Business City,Business Country,"
                      u"Business Fax,Business HomePage,Business Phone,Business Phone 2,Business Postal Code,"
                      u"Business State,Business Street,Car Phone,Company Main Phone,Company Name,Customer Id,"
                      u"Department,Display Name Prefix,Free Busy Address,Gov Id,Hobbies,Home Address,Home City,"
                      u"Home Country,Home Fax,Home Phone,Home Phone2,Home State,Home Street,isdn phone,Language,"
                      u"Manager Name,Mileage,Mobile Phone,Nickname,Office Location,Other City,Other Country,"
                      u"Other State,Other Street,Personal Homepage,Profession,Radio Phone,Spouse Name,Surname,"
                      u"Telex,ttytdd Phone,Body");
}

// The label forms the outputs and the preview print, one row per kind of separator.
TEST(OutputLabels, FormsOfEachKindOfSeparator)
{
    struct Case
    {
        std::size_t index;
        std::u16string_view text, html;
        bool in_preview;
    };
    const Case cases[] = {
        {0, u"Suffix : ", u"<b>Suffix :</b> ", true},
        {3, u"Middle Name :", u"<b>Middle Name :</b>", true},
        {5, u"Fullname : ", u"<b>Fullname :</b> ", false},
        {13, u"Business Address :", u"<b>Business Address :</b> ", true},
        {45, u"Nickname: ", u"<b>Nickname:</b> ", true},
        {51, u"Personal Homepage:", u"<b>Personal Homepage:</b> ", true},
        {55, u"Surname : ", u"<b>Surname :</b> ", true},
        {56, u"Telex :", u"<b>Telex :</b> ", true},
        {58, u"Body : ", u"<b>Body :</b> ", false},
    };
    for (const Case& c : cases) {
        const contacts::OutputLabel& label = contacts::kOutputLabels.at(c.index);
        EXPECT_EQ(contacts::text_form(label), c.text) << c.index;
        EXPECT_EQ(contacts::html_form(label), c.html) << c.index;
        EXPECT_EQ(label.in_preview, c.in_preview) << c.index;
    }
    EXPECT_EQ(contacts::kOutputLabels[55].field, Field::last_name);
}

TEST(ContactRecord, KeepsAbsentEmptyAndPresentApart)
{
    ContactDraft draft;
    draft.set_text(Field::first_name, u"Anna");
    draft.set_text(Field::last_name, u"");
    draft.set_text(Field::body, std::u16string(u"line1\r\nline2\0hidden", 20));
    draft.set_text(Field::gender, u"ignored: not a text field");
    draft.set_gender(2);
    draft.set_number(41);
    auto record = ContactRecord::make(draft);
    ASSERT_TRUE(record);

    EXPECT_EQ(record->text(Field::first_name), std::u16string_view(u"Anna"));
    EXPECT_EQ(record->text(Field::last_name), std::u16string_view(u""));
    EXPECT_FALSE(record->text(Field::middle_name).has_value());
    EXPECT_FALSE(record->has(Field::middle_name));
    EXPECT_EQ(record->text_or_empty(Field::middle_name), u"");
    EXPECT_EQ(record->text(Field::body), std::u16string_view(u"line1\r\nline2")); // cut at the NUL
    EXPECT_FALSE(record->text(Field::gender).has_value());
    EXPECT_EQ(record->text(Field::kind_name), std::u16string_view(u"contacts"));
    EXPECT_EQ(record->text(Field::group_name), std::u16string_view(u"All"));
    EXPECT_EQ(record->gender(), 2);
    EXPECT_EQ(record->number(), 41);
    EXPECT_EQ(record->kind_code(), 7);
    EXPECT_EQ(record->next(), nullptr);
}

// All texts at once are the texts one by one: no field, every field, empty texts, a text cut at
// a NUL, the last field with EX addresses and a photo after it.
TEST(ContactRecord, ATextIsCutAtItsFirstNulWhereverItLies)
{
    // Every length up to three blocks of four code units, with the NUL at every position (and
    // none), beside code units whose halves are zero bytes (U+0100, U+FF00) or all ones.
    const std::u16string units = u"a\u0100\uFF00\uFFFFb\u0001c\u00FFd\u8000efgh";
    for (std::size_t length = 0; length <= 13; ++length) {
        for (std::size_t nul = 0; nul <= length; ++nul) {
            std::u16string text = units.substr(0, length);
            if (nul < length) {
                text[nul] = u'\0';
            }
            ContactDraft draft;
            draft.set_text(Field::body, text);
            draft.set_text(Field::first_name, u"after");
            auto record = ContactRecord::make(draft);
            ASSERT_TRUE(record);
            EXPECT_EQ(record->text(Field::body), std::u16string_view(text).substr(0, nul)) << length << " " << nul;
            EXPECT_EQ(record->text(Field::first_name), std::u16string_view(u"after"));
        }
    }
}

// A text its decoder ended before a NUL keeps the length given; a text set after that, in the
// same draft, in a copy of it or after a reset, is cut at its first NUL again.
TEST(ContactRecord, ATextEndedBeforeANulIsTakenAsItIs)
{
    const std::u16string with_nul(u"ab\0cd", 5);
    struct Case
    {
        const char* what;
        void (*set)(ContactDraft&, std::u16string_view);
        std::u16string_view body;
    };
    const Case cases[] = {
        {"ended at its length", [](ContactDraft& d, std::u16string_view) { d.end_text_before_nul(Field::body, 6); },
         u"xyzuvw"},
        {"ended one short", [](ContactDraft& d, std::u16string_view) { d.end_text_before_nul(Field::body, 5); },
         u"xyzuv"},
        {"ended at nothing", [](ContactDraft& d, std::u16string_view) { d.end_text_before_nul(Field::body, 0); }, u""},
        {"longer than set: not taken",
         [](ContactDraft& d, std::u16string_view) { d.end_text_before_nul(Field::body, 7); }, u"xyzuvw"},
        {"set again with a NUL", [](ContactDraft& d, std::u16string_view nul) { d.set_text(Field::body, nul); }, u"ab"},
        {"copied, then set with a NUL",
         [](ContactDraft& d, std::u16string_view nul) {
             ContactDraft copy(d);
             copy.set_text(Field::body, nul);
             d = copy;
         },
         u"ab"},
        {"reset, then set with a NUL",
         [](ContactDraft& d, std::u16string_view nul) {
             d.reset();
             d.set_text(Field::body, nul);
         },
         u"ab"},
    };
    for (const Case& c : cases) {
        ContactDraft draft;
        draft.set_text(Field::body, u"xyzuvw");
        draft.end_text_before_nul(Field::body, 6);
        c.set(draft, with_nul);
        const auto record = ContactRecord::make(draft);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->text(Field::body), c.body) << c.what;
    }
}

// Stored UTF-16LE set in one call: cut at the first NUL, an odd last byte left out, the texts set
// before kept when the draft grows for a long one, and a field that is no text left alone.
TEST(ContactRecord, AStoredUnicodeTextIsSetUpToItsFirstNul)
{
    std::vector<uint8_t> long_text(2 * 1500, 'x'); // past the draft's first room (1024 units)
    for (std::size_t i = 1; i < long_text.size(); i += 2) {
        long_text[i] = 0;
    }
    struct Case
    {
        const char* what;
        std::vector<uint8_t> bytes;
        std::u16string body;
    };
    const Case cases[] = {
        {"none", {}, u""},
        {"one byte", {'a'}, u""},
        {"a unit and an odd byte", {'a', 0, 'b'}, u"a"},
        {"NUL first", {0, 0, 'a', 0}, u""},
        {"NUL last", {'a', 0, 0x00, 0x01, 0, 0}, u"aĀ"},
        {"no NUL", {'a', 0, 0xFF, 0xFF}, u"a￿"},
        {"long", long_text, std::u16string(1500, u'x')},
    };
    for (const Case& c : cases) {
        ContactDraft draft;
        draft.set_text(Field::first_name, u"before");
        draft.set_text_utf16le(Field::body, c.bytes.data(), c.bytes.size());
        draft.set_text_utf16le(Field::kind_code, c.bytes.data(), c.bytes.size());
        draft.set_text(Field::last_name, u"after");
        const auto record = ContactRecord::make(draft);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->text(Field::body), std::u16string_view(c.body)) << c.what;
        EXPECT_EQ(record->text(Field::first_name), std::u16string_view(u"before")) << c.what;
        EXPECT_EQ(record->text(Field::last_name), std::u16string_view(u"after")) << c.what;
        EXPECT_EQ(record->kind_code(), contacts::kContactKindCode) << c.what;
    }
}

// Two drafts swapped member by member: each then makes the record the other made before, every
// value included (a member the swap forgot would stay behind).
TEST(ContactRecord, SwappedDraftsTradeEveryValue)
{
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xD9};
    const auto describe = [](const ContactDraft& d) {
        const auto r = ContactRecord::make(d);
        contacts::RecordTexts texts;
        r->texts(texts);
        std::u16string all;
        for (const auto& info : kFieldTable) {
            all += std::u16string(texts[contacts::field_index(info.field)]) + (r->has(info.field) ? u"|" : u"-");
        }
        const auto photo = r->photo();
        return std::make_tuple(all, r->number(), r->kind_code(), r->gender(), r->origin(), r->identity(), r->place(),
                               r->node_id(), std::u16string(r->exchange()),
                               std::vector<uint8_t>(photo.bytes.begin(), photo.bytes.end()), photo.type);
    };
    ContactDraft full, other;
    full.set_text(Field::first_name, u"Anna");
    const uint8_t body[] = {'n', 0, 'o', 0, 0, 0, 'x', 0};
    full.set_text_utf16le(Field::body, body, sizeof body);
    full.set_gender(2);
    full.set_kind_code(9);
    full.set_number(41);
    full.set_origin(contacts::Origin::recovered);
    full.set_photo(jpeg, contacts::PhotoType::jpeg);
    full.set_identity(contacts::identity_of_node(0x200024));
    full.set_exchange(u"0/o=Example/cn=anna");
    full.set_place(3);
    full.set_node_id(0x200024);
    other.set_text(Field::last_name, u"Berg");
    const auto full_before = describe(full), other_before = describe(other);
    full.swap(other);
    EXPECT_EQ(describe(other), full_before);
    EXPECT_EQ(describe(full), other_before);
}

TEST(ContactRecord, AllTextsAtOnceAreEachText)
{
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xD9};
    std::vector<ContactDraft> drafts(5);
    for (const auto& info : kFieldTable) {
        drafts[1].set_text(info.field, std::u16string(u"v:") + char16_t(u'A' + contacts::field_index(info.field) % 26));
        drafts[2].set_text(info.field, u"");
    }
    drafts[3].set_text(Field::first_name, u"Anna");
    drafts[3].set_text(Field::body, std::u16string(u"a\0b", 3));
    drafts[3].set_text(Field::categories, u"\U0010FFFF");
    drafts[4].set_text(Field::kind_code, u"not a text");
    drafts[4].set_text(Field::flag, u"last text field");
    drafts[4].set_exchange(u"0/o=Example/cn=anna");
    drafts[4].set_photo(jpeg, contacts::PhotoType::jpeg);
    for (std::size_t d = 0; d < drafts.size(); ++d) {
        const auto record = ContactRecord::make(drafts[d]);
        ASSERT_TRUE(record);
        contacts::RecordTexts texts;
        texts.fill(u"stale");
        record->texts(texts);
        for (const auto& info : kFieldTable) {
            EXPECT_EQ(texts[contacts::field_index(info.field)], record->text_or_empty(info.field))
                << "draft " << d << ", " << info.name;
        }
    }
}

TEST(ContactRecord, LaterSetReplacesAndResetForgetsEverything)
{
    ContactDraft draft;
    draft.set_text(Field::email, u"old@example.com");
    draft.set_text(Field::email, u"new@example.com");
    auto record = ContactRecord::make(draft);
    EXPECT_EQ(record->text(Field::email), std::u16string_view(u"new@example.com"));

    draft.set_gender(1);
    draft.reset();
    auto empty = ContactRecord::make(draft);
    for (const auto& info : kFieldTable) {
        if (info.type == FieldType::Text) {
            EXPECT_FALSE(empty->has(info.field)) << info.name;
        }
    }
    EXPECT_EQ(empty->gender(), 0);
}

// Setting a field from another field of the same draft survives the buffer growing.
TEST(ContactRecord, DraftValueTakenFromTheDraftItself)
{
    ContactDraft draft;
    draft.set_text(Field::first_name, u"Anna");
    for (int i = 0; i < 200; ++i) {
        draft.set_text(Field::nickname, *draft.text(Field::first_name));
    }
    draft.set_text(Field::last_name, draft.text(Field::first_name)->substr(1));
    EXPECT_EQ(draft.text(Field::nickname), std::u16string_view(u"Anna"));
    EXPECT_EQ(draft.text(Field::last_name), std::u16string_view(u"nna"));
}

// A record is one block: an empty contact costs far less than 76 string objects would
// (76 * 32 bytes), and each text adds its own size and one offset.
TEST(ContactRecord, FootprintIsOneCompactBlock)
{
    ContactDraft draft;
    auto empty = ContactRecord::make(draft);
    EXPECT_LT(empty->footprint(), 76u * 32u / 2);

    const std::u16string value(100, u'x');
    draft.set_text(Field::first_name, value);
    draft.set_text(Field::body, value);
    auto filled = ContactRecord::make(draft);
    EXPECT_EQ(filled->footprint(), empty->footprint() + 2 * sizeof(uint16_t) + 2 * value.size() * sizeof(char16_t));
    EXPECT_LE(empty->footprint(), 72u); // 8 of them name the file, folder and item it came from
}

TEST(ContactRecord, TextsAtTheEdgeOfShortOffsets)
{
    // The texts of a record fill 65,535 code units, one more, and many more:
    // each text stays whole and in its place, whatever the width of the offsets; the offsets
    // take two bytes a text up to the edge and four past it.
    ContactDraft small;
    small.set_text(Field::first_name, u"A");
    small.set_text(Field::last_name, u"Z");
    const std::size_t small_bytes = ContactRecord::make(small)->footprint();
    for (const std::size_t units : {std::size_t{65535}, std::size_t{65536}, std::size_t{200000}}) {
        // "A" and "Z" take a unit each; the body the rest.
        const std::u16string body(units - 2, u'b');
        ContactDraft draft;
        draft.set_text(Field::first_name, u"A");
        draft.set_text(Field::body, body);
        draft.set_text(Field::last_name, u"Z");
        const std::u16string_view exchange = u"1/o=x\x1Fsmtp\x1E";
        draft.set_exchange(exchange);
        auto record = ContactRecord::make(draft);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->text(Field::first_name), std::u16string_view(u"A")) << units;
        EXPECT_EQ(record->text(Field::last_name), std::u16string_view(u"Z")) << units;
        EXPECT_EQ(record->text(Field::body), std::u16string_view(body)) << units;
        EXPECT_EQ(record->exchange(), exchange) << units;
        contacts::RecordTexts texts;
        record->texts(texts);
        EXPECT_EQ(texts[contacts::field_index(Field::last_name)], std::u16string_view(u"Z")) << units;
        EXPECT_EQ(texts[contacts::field_index(Field::body)].size(), body.size()) << units;
        const std::size_t offset_bytes = units <= 65535 ? 2 : 4;
        EXPECT_EQ(record->footprint(), small_bytes + (offset_bytes - 2) * 2 + offset_bytes +
                                           (body.size() + exchange.size()) * sizeof(char16_t))
            << units;
    }
}

} // namespace
