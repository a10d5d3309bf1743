// A record written as a line of JSON and read back is the same record; a broken line says what
// is wrong with it.
#include <gtest/gtest.h>

#include <string>

#include "contacts/contact_record.h"
#include "contacts/text.h"
#include "dump/group_json.h"
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

// Group lines: a list of a contact, a list inside it and a one-off address (with a lone surrogate)
// read back as written; the lines are told from record lines by their first key.
TEST(GroupJson, RoundTripKeepsEveryMember)
{
    contacts::ContactDraft draft;
    draft.set_number(7);
    const contacts::ContactRecordPtr ann = contacts::ContactRecord::make(draft);
    contacts::ContactGroup group;
    group.name = u"Team \xD800";
    group.identity[0] = 0xAB;
    group.identity[15] = 0x01;
    group.members = {{ann.get(), -1, {}, {}}, {nullptr, 0, {}, {}}, {nullptr, -1, u"Guest", u"guest@x.example"}};
    std::string line;
    dump::append_group_line(group, line);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_TRUE(dump::is_group_line(line));
    EXPECT_TRUE(dump::is_group_line(" {\"group\":\"x\"}"));
    EXPECT_FALSE(dump::is_group_line("{\"number\":1,\"group\":\"x\"}"));
    EXPECT_FALSE(dump::is_group_line("{\"groups\":\"x\"}"));
    dump::ReadGroup out;
    std::string error;
    ASSERT_TRUE(dump::read_group_line(line, out, &error)) << error;
    EXPECT_EQ(out.name, group.name);
    EXPECT_EQ(out.identity, group.identity);
    ASSERT_EQ(out.members.size(), 3u);
    EXPECT_EQ(out.members[0].contact, 7);
    EXPECT_EQ(out.members[0].group, -1);
    EXPECT_EQ(out.members[1].contact, 0);
    EXPECT_EQ(out.members[1].group, 0);
    EXPECT_EQ(out.members[2].name, u"Guest");
    EXPECT_EQ(out.members[2].address, u"guest@x.example");
}

TEST(GroupJson, BadLinesSayWhatIsWrong)
{
    const std::string member_error = "\"members\" holds an entry that is not {contact}, {group} or {name, address}";
    for (const BadLine& bad : {
             BadLine{"{\"group\":", "not JSON"},
             BadLine{"[\"group\"]", "not a JSON object"},
             BadLine{"{\"group\":5}", "\"group\" is not a text"},
             BadLine{"{\"members\":[]}", "\"group\" is missing"},
             BadLine{"{\"group\":\"T\",\"identity\":\"01\"}", "\"identity\" is not 16 bytes in hex"},
             BadLine{"{\"group\":\"T\",\"members\":{}}", "\"members\" is not a list"},
             BadLine{"{\"group\":\"T\",\"members\":[{\"contact\":0}]}", member_error.c_str()},
             BadLine{"{\"group\":\"T\",\"members\":[{\"contact\":2147483648}]}", member_error.c_str()},
             BadLine{"{\"group\":\"T\",\"members\":[{\"group\":-1}]}", member_error.c_str()},
             BadLine{"{\"group\":\"T\",\"members\":[{\"name\":\"N\"}]}", member_error.c_str()},
             BadLine{"{\"group\":\"T\",\"members\":[{\"contact\":1,\"group\":0}]}", member_error.c_str()},
             BadLine{"{\"group\":\"T\",\"colour\":\"red\"}", "\"colour\" is no field of a group"},
         }) {
        dump::ReadGroup out;
        std::string error;
        EXPECT_FALSE(dump::read_group_line(bad.line, out, &error)) << bad.line;
        EXPECT_EQ(error, bad.error) << bad.line;
    }
    dump::ReadGroup edge;
    std::string error;
    EXPECT_TRUE(
        dump::read_group_line("{\"group\":\"T\",\"members\":[{\"contact\":2147483647},{\"group\":0}]}", edge, &error))
        << error;
    EXPECT_EQ(edge.members[0].contact, 2147483647);
}

TEST(RecordJson, DumpsAreToldFromPstFiles)
{
    EXPECT_TRUE(dump::looks_like_dump(" \n{\"number\":1}"));
    EXPECT_FALSE(dump::looks_like_dump("!BDN"));
    EXPECT_FALSE(dump::looks_like_dump(""));
}

} // namespace
