// A record written as a line of JSON and read back is the same record; a broken line says what
// is wrong with it.
#include <gtest/gtest.h>

#include <string>

#include "contacts/contact_record.h"
#include "contacts/text.h"
#include "dump/record_json.h"

namespace {

using contacts::ContactDraft;
using contacts::ContactRecord;
using contacts::Field;

// Every text field, the integers, a photo, a search key and an EX address; one text with a lone
// surrogate, one with a character outside the BMP, one empty (present, not absent).
ContactDraft full_draft()
{
    ContactDraft d;
    for (const auto& info : contacts::kFieldTable) {
        if (info.type == contacts::FieldType::Text) {
            std::u16string value = u"v\"\\\t";
            for (const char* p = info.name; *p != '\0'; ++p) {
                value.push_back(static_cast<char16_t>(*p));
            }
            d.set_text(info.field, value);
        }
    }
    d.set_text(Field::first_name, u"An\xD800na");
    d.set_text(Field::last_name, u"B\U0001D49Cerg \u00E9");
    d.set_text(Field::nickname, u"");
    d.clear_text(Field::spouse_name);
    d.set_gender(2);
    d.set_number(4711);
    d.set_origin(contacts::Origin::recovered);
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0xFF, 0xD9};
    d.set_photo(jpeg, contacts::PhotoType::jpeg);
    const uint8_t key[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    d.set_identity(contacts::identity_of_search_key(key));
    std::u16string packed;
    contacts::append_exchange_address(1, u"/o=Org/cn=Recipients/cn=ab", u"ab@example.org", packed);
    d.set_exchange(packed);
    return d;
}

// Every origin, the cards of the sources beyond the contact items among them, reads back.
TEST(RecordJson, EveryOriginReadsBack)
{
    for (const contacts::Origin origin : contacts::kOrigins) {
        ContactDraft d;
        d.set_text(Field::full_name, u"Ann");
        d.set_origin(origin);
        const auto record = ContactRecord::make(d);
        std::string line;
        dump::append_record_line(*record, {"in.pst", u"", 0}, line);
        dump::ReadRecord back;
        std::string error;
        ASSERT_TRUE(dump::read_record_line(line, back, &error)) << error;
        EXPECT_EQ(back.draft.origin(), origin) << contacts::origin_name(origin);
    }
}

TEST(RecordJson, RoundTripKeepsEverything)
{
    const ContactDraft d = full_draft();
    const auto record = ContactRecord::make(d);
    std::string line;
    dump::append_record_line(*record, {"/data/Outlook ü.pst", u"Top\\Kontakte", 0x2004}, line);
    ASSERT_EQ(line.back(), '\n');
    dump::ReadRecord back;
    std::string error;
    ASSERT_TRUE(dump::read_record_line(line, back, &error)) << error;
    const auto again = ContactRecord::make(back.draft);
    for (const auto& info : contacts::kFieldTable) {
        EXPECT_EQ(again->text(info.field), record->text(info.field)) << info.name;
    }
    EXPECT_EQ(again->number(), 4711);
    EXPECT_EQ(again->gender(), 2);
    EXPECT_EQ(again->kind_code(), record->kind_code());
    EXPECT_EQ(again->origin(), contacts::Origin::recovered);
    EXPECT_EQ(again->identity(), record->identity());
    EXPECT_EQ(again->exchange(), record->exchange());
    EXPECT_EQ(again->photo().type, contacts::PhotoType::jpeg);
    EXPECT_TRUE(std::equal(again->photo().bytes.begin(), again->photo().bytes.end(), record->photo().bytes.begin(),
                           record->photo().bytes.end()));
    EXPECT_EQ(back.source, "/data/Outlook ü.pst");
    EXPECT_EQ(back.folder, u"Top\\Kontakte");
    EXPECT_EQ(back.node_id, 0x2004u);
    // The same line again, byte for byte.
    std::string second;
    dump::append_record_line(*again, {back.source, back.folder, back.node_id}, second);
    EXPECT_EQ(second, line);
}

struct BadLine
{
    const char* line;
    const char* error;
};

class BadLines : public testing::TestWithParam<BadLine>
{
};

TEST_P(BadLines, SayWhatIsWrong)
{
    dump::ReadRecord out;
    std::string error;
    EXPECT_FALSE(dump::read_record_line(GetParam().line, out, &error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Dump, BadLines,
    testing::Values(
        BadLine{"", "not JSON"}, BadLine{"{\"number\":1", "not JSON"}, BadLine{"[1,2]", "not a JSON object"},
        BadLine{"{\"first_name\":\"A\"}", "\"number\" is missing"},
        BadLine{"{\"number\":\"1\"}", "\"number\" is not a whole number"},
        BadLine{"{\"number\":2147483648}", "\"number\" is out of range"},
        BadLine{"{\"number\":1,\"first_name\":5}", "\"first_name\" is not a text"},
        BadLine{"{\"number\":1,\"first_name\":{\"utf16\":\"4\"}}", "\"first_name\" is not a text"},
        BadLine{"{\"number\":1,\"gender\":40000}", "\"gender\" is out of range"},
        BadLine{"{\"number\":1,\"shoe_size\":\"44\"}", "\"shoe_size\" is no field of a contact"},
        BadLine{"{\"number\":1,\"identity\":\"0102\"}", "\"identity\" is not 16 bytes in hex"},
        BadLine{"{\"number\":1,\"photo\":\"zz\",\"photo_type\":\"JPEG\"}", "\"photo\" is not hex"},
        BadLine{"{\"number\":1,\"photo\":\"ffd8\",\"photo_type\":\"TIFF\"}", "\"photo_type\" is not JPEG, PNG or GIF"},
        BadLine{"{\"number\":1,\"origin\":\"lost\"}",
                "\"origin\" is not live, orphan, recovered, autocomplete, recipient_cache or correspondent"},
        BadLine{"{\"number\":1,\"exchange\":[{\"slot\":3,\"dn\":\"x\",\"original\":\"\"}]}",
                "\"exchange\" holds an entry that is not {slot, dn, original}"},
        BadLine{"{\"number\":1,\"node_id\":-1}", "\"node_id\" is out of range"}));

TEST(RecordJson, DumpsAreToldFromPstFiles)
{
    EXPECT_TRUE(dump::looks_like_dump(" \n{\"number\":1}"));
    EXPECT_FALSE(dump::looks_like_dump("!BDN"));
    EXPECT_FALSE(dump::looks_like_dump(""));
}

} // namespace
