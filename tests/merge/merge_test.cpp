// The merge rules on cards made in memory: one table of pairs (two cards, the outcome, the
// reason), the report row by row, the same output for every order of the input, and a bucket of
// 100,000 cards that share one number.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <numeric>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "contacts/contact_record.h"
#include "contacts/text.h"
#include "merge/merge.h"

namespace {

using contacts::ContactDraft;
using contacts::ContactRecord;
using contacts::ContactRecordPtr;
using contacts::Field;
using merge::HeldReason;

std::u16string u16(std::string_view utf8)
{
    std::u16string out;
    contacts::utf8_to_utf16(utf8, out);
    return out;
}

struct Value
{
    Field field;
    const char* text;
};

struct CardFields
{
    std::vector<Value> values;
    int16_t gender = 0;
    int search_key = 0;                  // nonzero: a search key made of this number; negative: a node id
    const char* exchange_smtp = nullptr; // e-mail 1 is an Exchange DN with this SMTP address beside it
    contacts::Origin origin = contacts::Origin::live;
};

ContactRecordPtr make_record(const CardFields& card, int32_t number)
{
    ContactDraft draft;
    for (const Value& v : card.values) {
        draft.set_text(v.field, u16(v.text));
    }
    draft.set_gender(card.gender);
    draft.set_number(number);
    draft.set_origin(card.origin);
    if (card.search_key > 0) {
        const uint8_t key[16] = {0x10, static_cast<uint8_t>(card.search_key), 0x22, 0x33};
        draft.set_identity(contacts::identity_of_search_key(key));
    } else if (card.search_key < 0) {
        draft.set_identity(contacts::identity_of_node(static_cast<uint32_t>(-card.search_key)));
    }
    if (card.exchange_smtp != nullptr) {
        std::u16string packed;
        contacts::append_exchange_address(0, u16(card.values.front().text), u16(card.exchange_smtp), packed);
        draft.set_exchange(packed);
    }
    return ContactRecord::make(draft);
}

enum class Expect
{
    merged,
    held,
    apart, // neither merged nor held: nothing in common
};

struct RuleCase
{
    const char* name;
    CardFields a;
    CardFields b;
    Expect outcome;
    HeldReason reason = HeldReason::field_clash;
    const char* field = "";
    std::vector<Value> merged_values = {}; // what the merged card holds
    const char* region = "DE";
    const char* names_not_kept = ""; // merged: the report's names of joined cards on no field
};

const Value kAnna = {Field::first_name, "Anna"};
const Value kBerg = {Field::last_name, "Berg"};
const Value kAnnaMail = {Field::email, "anna.berg@example.org"};
constexpr auto kAutocomplete = contacts::Origin::autocomplete;
constexpr auto kCache = contacts::Origin::recipient_cache;
constexpr auto kCorrespondent = contacts::Origin::correspondent;

const std::vector<RuleCase> kRules = {
    {"e-mail in other case and spacing",
     {{kAnna, kBerg, {Field::email, " Anna.Berg@Example.ORG "}}},
     {{kAnna, kBerg, kAnnaMail}},
     Expect::merged},
    {"a changed job title",
     {{kAnna, kBerg, kAnnaMail, {Field::job_title, "Engineer"}}},
     {{kAnna, kBerg, kAnnaMail, {Field::job_title, "Manager"}}},
     Expect::held,
     HeldReason::field_clash,
     "job_title"},
    {"a job title on one card only",
     {{kAnna, kBerg, kAnnaMail}},
     {{kAnna, kBerg, kAnnaMail, {Field::job_title, "Manager"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::job_title, "Manager"}}},
    {"job titles equal but for case and blanks",
     {{kAnna, kBerg, kAnnaMail, {Field::job_title, "Head  of Sales"}}},
     {{kAnna, kBerg, kAnnaMail, {Field::job_title, "head of sales "}}},
     Expect::merged},
    {"a mobile number national and international",
     {{kAnna, kBerg, {Field::mobile_phone, "0171 1234567"}}},
     {{kAnna, kBerg, {Field::mobile_phone, "+49 (171) 123-4567"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::mobile_phone, "0171 1234567"}}},
    {"an international prefix and a plus",
     {{kAnna, kBerg, {Field::mobile_phone, "0049 171 1234567"}}},
     {{kAnna, kBerg, {Field::mobile_phone, "+49 171 1234567"}, {Field::job_title, "CEO"}}},
     Expect::merged},
    {"a trunk prefix in parentheses",
     {{kAnna, kBerg, {Field::mobile_phone, "+49 (0)171 1234567"}}},
     {{kAnna, kBerg, {Field::mobile_phone, "0171/1234567"}, {Field::job_title, "CEO"}}},
     Expect::merged},
    {"a number of another region written with its country code",
     {{kAnna, kBerg, {Field::mobile_phone, "+44 20 7946 0958"}}},
     {{kAnna, kBerg, {Field::mobile_phone, "+442079460958"}, {Field::job_title, "CEO"}}},
     Expect::merged},
    {"North American numbers in region US",
     {{kAnna, kBerg, {Field::business_phone, "(212) 555-0123"}}},
     {{kAnna, kBerg, {Field::business_phone, "+1 212-555-0123"}, {Field::job_title, "CEO"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {},
     "US"},
    {"a trunk prefix in region US",
     {{kAnna, kBerg, {Field::business_phone, "1 212 555 0123"}}},
     {{kAnna, kBerg, {Field::business_phone, "+1 212-555-0123"}, {Field::job_title, "CEO"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {},
     "US"},
    {"the same without a region: only the name in common",
     {{kAnna, kBerg, {Field::mobile_phone, "0171 1234567"}}},
     {{kAnna, kBerg, {Field::mobile_phone, "+49 (171) 123-4567"}}},
     Expect::held,
     HeldReason::name_only,
     "name",
     {},
     ""},
    {"a business number is a key",
     {{kAnna, kBerg, {Field::business_phone, "+49 30 1234567"}}},
     {{kAnna, kBerg, {Field::business_phone, "030 1234567"}}},
     Expect::merged},
    {"a number shared with a shorter name is held",
     {{kAnna, kBerg, {Field::business_phone, "+49 30 1234567"}}},
     {{kAnna, {Field::business_phone, "030 1234567"}}},
     Expect::held,
     HeldReason::shared_address,
     "name"},
    {"business phone 2 is a key",
     {{kAnna, kBerg, {Field::business_phone_2, "+49 30 7654321"}}},
     {{kAnna, kBerg, {Field::business_phone, "030 7654321"}}},
     Expect::merged},
    {"the other number is a key",
     {{kAnna, kBerg, {Field::other_phone, "+49 30 5550000"}}},
     {{kAnna, kBerg, {Field::other_phone, "030 5550000"}}},
     Expect::merged},
    {"a home number is no key (one name: name only)",
     {{kAnna, kBerg, {Field::home_phone, "+49 30 111111"}}},
     {{kAnna, kBerg, {Field::home_phone, "030 111111"}, {Field::company_name, "Acme"}}},
     Expect::held,
     HeldReason::name_only,
     "name"},
    {"cards equal but for how a home number is written are copies",
     {{kAnna, kBerg, {Field::home_phone, "+49 30 111111"}}},
     {{kAnna, kBerg, {Field::home_phone, "030 111111"}}},
     Expect::merged},
    {"a household's home number, two names",
     {{kAnna, kBerg, {Field::home_phone, "+49 30 111111"}}},
     {{{Field::first_name, "Bernd"}, kBerg, {Field::home_phone, "+49 30 111111"}}},
     Expect::apart},
    {"a fax number is no key",
     {{kAnna, kBerg, {Field::business_fax, "+49 30 2222"}}},
     {{{Field::first_name, "Carl"}, kBerg, {Field::business_fax, "+49 30 2222"}}},
     Expect::apart},
    {"\"Last, First\" turned round",
     {{{Field::full_name, "Berg, Anna"}, kAnnaMail}},
     {{kAnna, kBerg, {Field::full_name, "Anna Berg"}, kAnnaMail}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::full_name, "Berg, Anna"}, {Field::first_name, "Anna"}}},
    {"a middle initial dropped",
     {{{Field::full_name, "Anna M. Berg"}, kAnnaMail}},
     {{{Field::full_name, "Anna Berg"}, kAnnaMail}},
     Expect::merged},
    {"a middle initial and the middle name",
     {{kAnna, {Field::middle_name, "M."}, kBerg, kAnnaMail}},
     {{kAnna, {Field::middle_name, "Maria"}, kBerg, kAnnaMail}},
     Expect::merged},
    {"two middle names",
     {{kAnna, {Field::middle_name, "Lena"}, kBerg, kAnnaMail}},
     {{kAnna, {Field::middle_name, "Maria"}, kBerg, kAnnaMail}},
     Expect::held,
     HeldReason::field_clash,
     "middle_name"},
    {"accents and umlauts",
     {{{Field::first_name, "José"}, {Field::last_name, "Müller"}, {Field::email, "jm@x.de"}}},
     {{{Field::first_name, "Jose"}, {Field::last_name, "MUELLER"}, {Field::email, "jm@x.de"}}},
     Expect::merged},
    {"another script",
     {{{Field::first_name, "Иван"}, {Field::last_name, "Петров"}, {Field::email, "ip@x.ru"}}},
     {{{Field::first_name, "Ivan"}, {Field::last_name, "Petrov"}, {Field::email, "ip@x.ru"}}},
     Expect::merged},
    {"full-width letters (NFKC)",
     {{{Field::company_name, "ＡＣＭＥ"}, kAnna, kBerg, kAnnaMail}},
     {{{Field::company_name, "acme"}, kAnna, kBerg, kAnnaMail}},
     Expect::merged},
    {"two people of one name",
     {{kAnna, kBerg, kAnnaMail}},
     {{kAnna, kBerg, {Field::email, "anna@other.example"}}},
     Expect::held,
     HeldReason::name_only,
     "name"},
    {"a shared info@ address",
     {{kAnna, kBerg, {Field::email, "info@shop.example"}}},
     {{{Field::first_name, "Bernd"}, {Field::last_name, "Kurz"}, {Field::email, "Info@shop.example"}}},
     Expect::held,
     HeldReason::shared_address,
     "name"},
    {"a shared switchboard as business number",
     {{kAnna, kBerg, {Field::business_phone, "+49 30 9000"}}},
     {{{Field::first_name, "Bernd"}, {Field::business_phone, "+49 30 9000"}}},
     Expect::held,
     HeldReason::shared_address},
    {"a card without a name",
     {{kAnna, kBerg, kAnnaMail}},
     {{kAnnaMail, {Field::company_name, "Acme"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::company_name, "Acme"}, {Field::first_name, "Anna"}}},
    {"an added e-mail address",
     {{kAnna, kBerg, kAnnaMail}},
     {{kAnna, kBerg, kAnnaMail, {Field::email_2, "ab@home.example"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::email, "anna.berg@example.org"}, {Field::email_2, "ab@home.example"}}},
    {"three addresses in all fit",
     {{kAnna, kBerg, kAnnaMail, {Field::email_2, "b@x.example"}}},
     {{kAnna, kBerg, kAnnaMail, {Field::email_3, "c@x.example"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::email_3, "c@x.example"}}},
    {"a fourth address does not fit",
     {{kAnna, kBerg, kAnnaMail, {Field::email_2, "b@x.example"}, {Field::email_3, "c@x.example"}}},
     {{kAnna, kBerg, kAnnaMail, {Field::email_2, "d@x.example"}}},
     Expect::held,
     HeldReason::no_room,
     "email"},
    {"an Exchange address beside its SMTP address",
     {{{Field::email, "/o=Org/ou=Site/cn=Recipients/cn=aberg"}, kAnna, kBerg}, 0, 0, "anna.berg@example.org"},
     {{kAnna, kBerg, kAnnaMail}},
     Expect::merged},
    {"a second business number goes into business phone 2",
     {{kAnna, kBerg, kAnnaMail, {Field::business_phone, "+49 30 1111"}}},
     {{kAnna, kBerg, kAnnaMail, {Field::business_phone, "+49 30 2222"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::business_phone, "+49 30 1111"}, {Field::business_phone_2, "+49 30 2222"}}},
    {"a second mobile number does not fit",
     {{kAnna, kBerg, kAnnaMail, {Field::mobile_phone, "+49 171 1"}}},
     {{kAnna, kBerg, kAnnaMail, {Field::mobile_phone, "+49 172 2"}}},
     Expect::held,
     HeldReason::no_room,
     "mobile_phone"},
    {"numbers that cannot be read compare by digits",
     {{kAnna, kBerg, {Field::mobile_phone, "555-0100"}, {Field::job_title, "CEO"}}},
     {{kAnna, kBerg, {Field::mobile_phone, "(555) 0100"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {},
     ""},
    {"a birthday clash",
     {{kAnna, kBerg, kAnnaMail, {Field::birthday, "1980-05-17"}}},
     {{kAnna, kBerg, kAnnaMail, {Field::birthday, "1980-05-18"}}},
     Expect::held,
     HeldReason::field_clash,
     "birthday"},
    {"an anniversary clash",
     {{kAnna, kBerg, kAnnaMail, {Field::anniversary, "2001-01-01"}}},
     {{kAnna, kBerg, kAnnaMail, {Field::anniversary, "2002-01-01"}}},
     Expect::held,
     HeldReason::field_clash,
     "anniversary"},
    {"a gender clash",
     {{kAnna, kBerg, kAnnaMail}, 1},
     {{kAnna, kBerg, kAnnaMail}, 2},
     Expect::held,
     HeldReason::field_clash,
     "gender"},
    {"a gender on one card only", {{kAnna, kBerg, kAnnaMail}, 0}, {{kAnna, kBerg, kAnnaMail}, 1}, Expect::merged},
    {"a company clash",
     {{kAnna, kBerg, kAnnaMail, {Field::company_name, "Acme"}}},
     {{kAnna, kBerg, kAnnaMail, {Field::company_name, "Globex"}}},
     Expect::held,
     HeldReason::field_clash,
     "company_name"},
    {"the same search key, no e-mail",
     {{kAnna, kBerg}, 0, 7},
     {{kAnna, kBerg, {Field::job_title, "CEO"}}, 0, 7},
     Expect::merged},
    {"the same search key, a clash",
     {{kAnna, kBerg, {Field::job_title, "CTO"}}, 0, 7},
     {{kAnna, kBerg, {Field::job_title, "CEO"}}, 0, 7},
     Expect::held,
     HeldReason::field_clash,
     "job_title"},
    // Copies equal in every field join without a union; one nobody saved still meets the saved
    // card on its terms, and one difference anywhere is looked at.
    {"the same item with every field equal",
     {{kAnna, kBerg, kAnnaMail, {Field::mobile_phone, "0171 1234567"}, {Field::job_title, "CEO"}}, 1, 7},
     {{kAnna, kBerg, kAnnaMail, {Field::mobile_phone, "0171 1234567"}, {Field::job_title, "CEO"}}, 1, 7},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::job_title, "CEO"}, {Field::mobile_phone, "0171 1234567"}}},
    {"every field equal, one card nobody saved",
     {{kAnna, kBerg, kAnnaMail}},
     {{kAnna, kBerg, kAnnaMail}, 0, 0, nullptr, kAutocomplete},
     Expect::merged},
    {"every field equal but the gender",
     {{kAnna, kBerg, kAnnaMail}, 1, 7},
     {{kAnna, kBerg, kAnnaMail}, 2, 7},
     Expect::held,
     HeldReason::field_clash,
     "gender"},
    {"every field equal but one present only empty",
     {{kAnna, kBerg, kAnnaMail, {Field::job_title, ""}}, 0, 7},
     {{kAnna, kBerg, kAnnaMail}, 0, 7},
     Expect::merged},
    {"the same node id in two files is no copy",
     {{kAnna, kBerg}, 0, -33},
     {{{Field::first_name, "Ute"}}, 0, -33},
     Expect::apart},
    {"copies without any key",
     {{kAnna, kBerg, {Field::company_name, "Acme"}}},
     {{{Field::first_name, "anna"}, {Field::last_name, "BERG"}, {Field::company_name, "ACME"}}},
     Expect::merged},
    {"addresses: one card's home address is taken",
     {{kAnna, kBerg, kAnnaMail}},
     {{kAnna, kBerg, kAnnaMail, {Field::home_city, "Bonn"}, {Field::home_street, "Weg 1"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::home_city, "Bonn"}, {Field::home_street, "Weg 1"}}},
    {"addresses: a second home address goes into the other address",
     {{kAnna, kBerg, kAnnaMail, {Field::home_city, "Köln"}}},
     {{kAnna, kBerg, kAnnaMail, {Field::home_city, "Bonn"}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::home_city, "Köln"}, {Field::other_city, "Bonn"}}},
    {"categories and notes united",
     {{kAnna, kBerg, kAnnaMail, {Field::categories, "VIP; Family"}, {Field::body, "Met in Bonn."}}},
     {{kAnna, kBerg, kAnnaMail, {Field::categories, "family; Golf"}, {Field::body, "Plays golf."}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::categories, "VIP; Family; Golf"}, {Field::body, "Met in Bonn.\r\n\r\nPlays golf."}}},
    {"a note within the other is not repeated",
     {{kAnna, kBerg, kAnnaMail, {Field::body, "Met in Bonn."}}},
     {{kAnna, kBerg, kAnnaMail, {Field::body, "Met in Bonn. Plays golf."}}},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::body, "Met in Bonn. Plays golf."}}},

    // Cards of people nobody saved join the saved contact of their address on its terms.
    {"a correspondent of another name joins: the name becomes the nickname",
     {{kAnna, kBerg, kAnnaMail, {Field::job_title, "Engineer"}}},
     {{{Field::full_name, "Annie B."}, kAnnaMail, {Field::body, "Found in 3 messages of the mail"}},
      0,
      0,
      nullptr,
      kCorrespondent},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {kAnna,
      kBerg,
      {Field::full_name, ""},
      {Field::nickname, "Annie B."},
      {Field::job_title, "Engineer"},
      {Field::body, "Found in 3 messages of the mail"}}},
    {"an autocomplete card's one-value fields lose to the contact's",
     {{kAnna, kBerg, kAnnaMail, {Field::job_title, "Engineer"}}, 1},
     {{kAnna, kBerg, kAnnaMail, {Field::job_title, "Manager"}, {Field::company_name, "Acme"}},
      2,
      0,
      nullptr,
      kAutocomplete},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::job_title, "Engineer"}, {Field::company_name, "Acme"}}},
    {"the nickname taken by another name: the report names the other",
     {{kAnna, kBerg, kAnnaMail, {Field::nickname, "Anni"}}},
     {{{Field::full_name, "A. Berg-Lund"}, {Field::email, "Anna.Berg@example.org"}}, 0, 0, nullptr, kCache},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::nickname, "Anni"}, kAnna, kBerg},
     "DE",
     "A. Berg-Lund"},
    {"the nickname says the other name already",
     {{kAnna, kBerg, kAnnaMail, {Field::nickname, "Annie B"}}},
     {{{Field::full_name, "annie  b"}, kAnnaMail}, 0, 0, nullptr, kAutocomplete},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::nickname, "Annie B"}}},
    {"another name's parts do not fill the contact's",
     {{kBerg, kAnnaMail}},
     {{{Field::first_name, "Annie"}, {Field::last_name, "Lund"}, {Field::title, "Dr."}, kAnnaMail},
      0,
      0,
      nullptr,
      kCache},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::first_name, ""}, kBerg, {Field::title, ""}, {Field::nickname, "Annie Lund"}}},
    {"a contact without a name takes the card's",
     {{kAnnaMail, {Field::company_name, "Acme"}}},
     {{{Field::full_name, "Anna Berg"}, kAnnaMail}, 0, 0, nullptr, kAutocomplete},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::full_name, "Anna Berg"}, {Field::nickname, ""}, {Field::company_name, "Acme"}}},
    {"a recipient cache card joins on a mobile number and adds its business number",
     {{kAnna, kBerg, {Field::mobile_phone, "0171 1234567"}}},
     {{{Field::full_name, "Anna (work)"},
       {Field::mobile_phone, "+49 171 1234567"},
       {Field::business_phone, "0228 5550"}},
      0,
      0,
      nullptr,
      kCache},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::mobile_phone, "0171 1234567"}, {Field::business_phone, "0228 5550"}, {Field::nickname, "Anna (work)"}}},
    {"a fourth address still does not fit",
     {{kAnna, kBerg, kAnnaMail, {Field::email_2, "a2@x.example"}, {Field::email_3, "a3@x.example"}}},
     {{{Field::full_name, "Anna"}, kAnnaMail, {Field::email_2, "a4@x.example"}}, 0, 0, nullptr, kCache},
     Expect::held,
     HeldReason::no_room,
     "email"},
    {"two cards nobody saved, of other names, share an address",
     {{{Field::full_name, "Annie"}, kAnnaMail}, 0, 0, nullptr, kAutocomplete},
     {{{Field::full_name, "Anna Berg"}, kAnnaMail}, 0, 0, nullptr, kCorrespondent},
     Expect::held,
     HeldReason::shared_address,
     "name"},
    {"two cards nobody saved, of one name, merge",
     {{{Field::full_name, "Anna Berg"}, kAnnaMail, {Field::body, "Suggested"}}, 0, 0, nullptr, kAutocomplete},
     {{{Field::full_name, "anna berg"}, kAnnaMail, {Field::body, "Found"}}, 0, 0, nullptr, kCorrespondent},
     Expect::merged,
     HeldReason::field_clash,
     "",
     {{Field::full_name, "Anna Berg"}, {Field::nickname, ""}, {Field::body, "Suggested\r\n\r\nFound"}}},
    {"a card nobody saved of the contact's name and another address",
     {{kAnna, kBerg, kAnnaMail}},
     {{{Field::full_name, "Anna Berg"}, {Field::email, "anna@home.example"}}, 0, 0, nullptr, kCorrespondent},
     Expect::held,
     HeldReason::name_only,
     "name"},
    {"a card nobody saved sharing nothing stays apart",
     {{kAnna, kBerg, kAnnaMail}},
     {{{Field::full_name, "Bo"}, {Field::email, "bo@example.org"}}, 0, 0, nullptr, kAutocomplete},
     Expect::apart},
};

void PrintTo(const RuleCase& c, std::ostream* os)
{
    *os << c.name;
}

class RuleTable : public testing::TestWithParam<RuleCase>
{
};

TEST_P(RuleTable, Outcome)
{
    const RuleCase& c = GetParam();
    for (int order = 0; order < 2; ++order) {
        SCOPED_TRACE(order == 0 ? "a first" : "b first");
        const ContactRecordPtr a = make_record(c.a, 1);
        const ContactRecordPtr b = make_record(c.b, 2);
        std::vector<merge::Card> cards = {{a.get(), "a.pst", u"Contacts"}, {b.get(), "b.pst", u"Contacts"}};
        if (order == 1) {
            std::swap(cards[0], cards[1]);
        }
        const merge::MergeResult r = merge::merge_cards(cards, {c.region});
        switch (c.outcome) {
        case Expect::merged: {
            ASSERT_EQ(r.cards.size(), 1u);
            EXPECT_EQ(r.merged, 1);
            EXPECT_TRUE(r.held.empty()) << r.held.front().field;
            const ContactRecord& m = *r.cards[0].record;
            for (const Value& v : c.merged_values) {
                EXPECT_EQ(contacts::utf16_to_utf8(m.text_or_empty(v.field)), v.text)
                    << contacts::field_info(v.field).name;
            }
            EXPECT_EQ(std::vector<uint32_t>(r.cards[0].cards.begin(), r.cards[0].cards.end()),
                      (std::vector<uint32_t>{order == 0 ? 0u : 1u, order == 0 ? 1u : 0u}));
            EXPECT_EQ(m.origin(), c.a.origin); // a saved contact leads, and keeps its origin
            {
                std::string names;
                for (const auto& name : r.cards[0].names_not_kept) {
                    names += (names.empty() ? "" : "; ") + contacts::utf16_to_utf8(name);
                }
                EXPECT_EQ(names, c.names_not_kept);
            }
            break;
        }
        case Expect::held:
            ASSERT_EQ(r.cards.size(), 2u);
            ASSERT_EQ(r.held.size(), 1u);
            EXPECT_EQ(merge::held_reason_name(r.held[0].reason), merge::held_reason_name(c.reason));
            if (*c.field != '\0') {
                EXPECT_EQ(r.held[0].field, c.field);
            }
            EXPECT_EQ(cards[r.held[0].first].source, "a.pst"); // held pairs name the first card first
            break;
        case Expect::apart:
            EXPECT_EQ(r.cards.size(), 2u);
            EXPECT_TRUE(r.held.empty());
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Merge, RuleTable, testing::ValuesIn(kRules), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p != '\0'; ++p) {
        name.push_back(std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
    }
    return name;
});

// Several cards: the report row by row, and the same bytes for every order of the input.
struct Book
{
    std::vector<ContactRecordPtr> records;
    std::vector<merge::Card> cards;
    void add(const char* source, CardFields card)
    {
        int32_t number = 1;
        for (const auto& c : sources) {
            number += c == source ? 1 : 0;
        }
        records.push_back(make_record(card, number));
        sources.push_back(source);
    }
    void finish()
    {
        cards.clear();
        for (std::size_t i = 0; i < records.size(); ++i) {
            cards.push_back({records[i].get(), sources[i], u"Top of Personal Folders/Contacts"});
        }
    }
    std::vector<std::string> sources;
};

// The output's texts, one line per card.
std::string texts_of(const merge::MergeResult& r)
{
    std::string out;
    EXPECT_EQ(r.records.size(), r.cards.size());
    for (const auto& card : r.cards) {
        out += std::to_string(card.record->number());
        for (const auto& info : contacts::kFieldTable) {
            if (info.type == contacts::FieldType::Text) {
                out += '|';
                out += contacts::utf16_to_utf8(card.record->text_or_empty(info.field));
            }
        }
        out += '\n';
    }
    return out;
}

Book three_files()
{
    Book book;
    book.add("b.pst", {{kAnna, kBerg, kAnnaMail, {Field::job_title, "Engineer"}}});
    book.add("a.pst", {{{Field::full_name, "Berg, Anna"},
                        {Field::email, "ANNA.BERG@example.org"},
                        {Field::email_2, "ab@home.example"}}});
    book.add("c.pst", {{kAnna, kBerg, {Field::email, "anna.b@mail.example"}, {Field::mobile_phone, "0171 99"}}});
    book.add("a.pst", {{{Field::first_name, "Info"}, {Field::email, "info@shop.example"}}});
    book.add("c.pst", {{{Field::first_name, "Bernd"}, {Field::email, "info@shop.example"}}});
    book.add("b.pst", {{kAnna, kBerg, kAnnaMail, {Field::job_title, "Manager"}}});
    book.finish();
    return book;
}

TEST(MergeReport, RowByRow)
{
    Book book = three_files();
    const merge::MergeResult r = merge::merge_cards(book.cards, {"DE"});
    const std::string csv = merge::merge_report_csv(book.cards, r);
    std::vector<std::string> rows;
    for (std::size_t at = 0; at < csv.size();) {
        const std::size_t end = csv.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "every row ends with CRLF";
        rows.push_back(csv.substr(at, end - at));
        at = end + 2;
    }
    const std::vector<std::string> expected = {
        "\xEF\xBB\xBF\"Outcome\",\"Contact\",\"Reason\",\"Field\",\"Value 1\",\"Value 2\",\"Sources\"",
        "\"merged\",\"Berg, Anna\",\"2 cards\",\"\",\"\",\"\",\"a.pst > Top of Personal Folders/Contacts > item 1 | "
        "b.pst > Top of Personal Folders/Contacts > item 1\"",
        "\"held\",\"Berg, Anna\",\"field clash\",\"job_title\",\"Engineer\",\"Manager\",\"a.pst > Top of Personal "
        "Folders/Contacts > item 1 | b.pst > Top of Personal Folders/Contacts > item 2\"",
        "\"held\",\"Berg, Anna\",\"name only\",\"name\",\"Berg, Anna\",\"Anna Berg\",\"a.pst > Top of Personal "
        "Folders/Contacts "
        "> item 1 | c.pst > Top of Personal Folders/Contacts > item 1\"",
        "\"held\",\"Info\",\"shared address\",\"name\",\"Info\",\"Bernd\",\"a.pst > Top of Personal Folders/Contacts > "
        "item 2 | c.pst > Top of Personal Folders/Contacts > item 2\"",
    };
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(merge::merge_summary(6, 3, r), "6 contacts from 3 files: 5 written, 1 merged, 3 pairs held for review");
}

TEST(MergeOrder, EveryOrderOfTheInputGivesTheSameOutput)
{
    Book book = three_files();
    const merge::MergeResult first = merge::merge_cards(book.cards, {"DE"});
    const std::string texts = texts_of(first);
    const std::string report = merge::merge_report_csv(book.cards, first);
    std::vector<std::size_t> perm(book.cards.size());
    std::iota(perm.begin(), perm.end(), 0);
    int orders = 0;
    while (std::next_permutation(perm.begin(), perm.end())) {
        std::vector<merge::Card> cards;
        for (std::size_t i : perm) {
            cards.push_back(book.cards[i]);
        }
        const merge::MergeResult r = merge::merge_cards(cards, {"DE"});
        ASSERT_EQ(texts_of(r), texts) << "order " << orders;
        ASSERT_EQ(merge::merge_report_csv(cards, r), report) << "order " << orders;
        ++orders;
    }
    EXPECT_EQ(orders, 719);
}

// Files read twice, the second time changed: cards of one source at one number, ordered by their
// content, alone or among cards in plain order; the same output for every order of the input.
TEST(MergeOrder, CardsOfOneSourceAndNumberGiveTheSameOutputInEveryOrder)
{
    const std::vector<std::pair<const char*, int32_t>> places = {
        {"a.pst", 1}, {"a.pst", 2}, {"b.pst", 1}, {"a.pst", 1}, {"a.pst", 2}, {"a.pst", 3},
    };
    const std::vector<CardFields> cards = {
        {{kAnna, kBerg, {Field::job_title, "Engineer"}}},
        {{{Field::first_name, "Info"}, {Field::email, "info@shop.example"}}},
        {{kAnna, kBerg, {Field::job_title, "Manager"}}},
        {{kAnna, kBerg, {Field::job_title, "Engineer"}, {Field::mobile_phone, "0171 99"}}},
        {{{Field::first_name, "Info"}, {Field::email, "info@shop.example"}, {Field::company_name, "Shop"}}},
        {{{Field::first_name, "Bernd"}}},
    };
    for (const std::size_t count : {std::size_t{2}, std::size_t{3}, cards.size()}) {
        SCOPED_TRACE(count);
        Book book;
        for (std::size_t i = 0; i < count; ++i) {
            // The first card is given again in the last place of a short list.
            const std::size_t c = count == 2 && i == 1 ? 3 : i;
            book.records.push_back(make_record(cards[c], places[c].second));
            book.sources.push_back(places[c].first);
        }
        book.finish();
        const merge::MergeResult first = merge::merge_cards(book.cards, {"DE"});
        const std::string texts = texts_of(first);
        const std::string report = merge::merge_report_csv(book.cards, first);
        std::vector<std::size_t> perm(book.cards.size());
        std::iota(perm.begin(), perm.end(), 0);
        while (std::next_permutation(perm.begin(), perm.end())) {
            std::vector<merge::Card> shuffled;
            for (std::size_t i : perm) {
                shuffled.push_back(book.cards[i]);
            }
            const merge::MergeResult r = merge::merge_cards(shuffled, {"DE"});
            ASSERT_EQ(texts_of(r), texts);
            ASSERT_EQ(merge::merge_report_csv(shuffled, r), report);
        }
    }
}

TEST(MergeGroups, MembersNameTheMergedCard)
{
    Book book = three_files();
    const merge::MergeResult r = merge::merge_cards(book.cards, {"DE"});
    contacts::ContactGroups groups;
    groups.groups.push_back({u"Team", {}, {}});
    groups.groups[0].members.push_back({book.cards[0].record, -1, {}, {}});
    groups.groups[0].members.push_back({book.cards[1].record, -1, {}, {}});
    groups.groups[0].members.push_back({nullptr, -1, u"Guest", u"guest@x.example"});
    const contacts::ContactGroups out = merge::repoint_groups(groups, book.cards, r);
    ASSERT_EQ(out.groups[0].members.size(), 3u);
    EXPECT_EQ(out.groups[0].members[0].contact, r.output_of[0]);
    EXPECT_EQ(out.groups[0].members[1].contact, r.output_of[1]);
    EXPECT_EQ(out.groups[0].members[2].contact, nullptr);
    // cards 0 (b.pst, Engineer) and 1 (a.pst, Berg, Anna) are not one card: the job title clash
    // held card 5 apart, and card 0 went with card 1.
    EXPECT_EQ(r.output_of[0], r.output_of[1]);
}

// Two cards nobody saved, of two other names, in files that come before the contact's: both join
// the contact (they meet it before they meet each other), for every order of the input.
TEST(MergeGathered, CardsNobodySavedMeetTheContactWhereverItStands)
{
    Book book;
    book.add("a.pst", {{{Field::full_name, "Annie"}, kAnnaMail}, 0, 0, nullptr, kAutocomplete});
    book.add("b.pst", {{{Field::full_name, "A. B."}, kAnnaMail}, 0, 0, nullptr, kCorrespondent});
    book.add("c.pst", {{kAnna, kBerg, kAnnaMail}});
    book.finish();
    std::vector<std::size_t> perm = {0, 1, 2};
    do {
        std::vector<merge::Card> cards;
        for (std::size_t i : perm) {
            cards.push_back(book.cards[i]);
        }
        const merge::MergeResult r = merge::merge_cards(cards, {"DE"});
        ASSERT_EQ(r.cards.size(), 1u);
        EXPECT_TRUE(r.held.empty());
        const ContactRecord& m = *r.cards[0].record;
        EXPECT_EQ(m.origin(), contacts::Origin::live);
        EXPECT_EQ(m.number(), 1);
        EXPECT_EQ(contacts::utf16_to_utf8(m.text_or_empty(Field::first_name)), "Anna");
        EXPECT_EQ(contacts::utf16_to_utf8(m.text_or_empty(Field::nickname)), "Annie");
        ASSERT_EQ(r.cards[0].names_not_kept.size(), 1u);
        const std::string csv = merge::merge_report_csv(cards, r);
        EXPECT_NE(csv.find("\"merged\",\"Anna Berg\",\"3 cards\",\"nickname\",\"Annie\",\"A. B.\",\"a.pst > "),
                  std::string::npos)
            << csv;
    } while (std::next_permutation(perm.begin(), perm.end()));
}

// The pairs the user merged after review: a pair held for a clash becomes one card on the first
// card's terms (its job title, the other name as the nickname) and the report says the user
// merged it; a pair whose union does not fit stays held; a pair naming no input card is passed
// over; the result is the same for every order of the input.
// An exact copy nobody saved, ahead of the saved card in the merge order, is no plain copy: the
// saved card leads.
TEST(MergeGathered, AnEqualCardNobodySavedAheadOfTheContactLetsItLead)
{
    Book book;
    book.add("a.pst", {{kAnna, kBerg, kAnnaMail}, 0, 0, nullptr, kCache});
    book.add("b.pst", {{kAnna, kBerg, kAnnaMail}});
    book.add("c.pst", {{kAnna, kBerg, kAnnaMail}});
    book.finish();
    const merge::MergeResult r = merge::merge_cards(book.cards, {"DE"});
    ASSERT_EQ(r.cards.size(), 1u);
    EXPECT_TRUE(r.held.empty());
    EXPECT_EQ(r.cards[0].record->origin(), contacts::Origin::live);
    EXPECT_EQ(r.cards[0].record->number(), 1);
    EXPECT_EQ(std::vector<uint32_t>(r.cards[0].cards.begin(), r.cards[0].cards.end()),
              (std::vector<uint32_t>{0, 1, 2}));
}

// Each card lists its own input cards in the merge order, merged cards between single ones and
// a group whose cards lie apart alike, and the lists go with the result when it is moved.
TEST(MergeResultLists, EachCardListsItsOwnCardsAndTheyMoveWithTheResult)
{
    const Value bo_mail = {Field::email, "bo.lind@example.org"};
    Book book;
    book.add("a.pst", {{kAnna, kBerg, kAnnaMail}});                                        // 0
    book.add("a.pst", {{{Field::first_name, "Bo"}, {Field::last_name, "Lind"}, bo_mail}}); // 1
    book.add("a.pst", {{{Field::first_name, "Cy"}, {Field::last_name, "Moe"}}});           // 2
    book.add("b.pst", {{kAnna, kBerg, kAnnaMail}});                                        // 3
    book.add("c.pst", {{{Field::first_name, "Bo"}, {Field::last_name, "Lind"}, bo_mail}}); // 4
    book.add("c.pst", {{kAnna, kBerg, kAnnaMail, {Field::job_title, "Chemist"}}});         // 5
    book.finish();
    merge::MergeResult made = merge::merge_cards(book.cards, {"DE"});
    const merge::MergeResult r = std::move(made);
    ASSERT_EQ(r.cards.size(), 3u);
    const std::vector<std::vector<uint32_t>> lists = {{0, 3, 5}, {1, 4}, {2}};
    for (std::size_t c = 0; c < lists.size(); ++c) {
        EXPECT_EQ(std::vector<uint32_t>(r.cards[c].cards.begin(), r.cards[c].cards.end()), lists[c]) << c;
        EXPECT_TRUE(r.cards[c].names_not_kept.empty()) << c;
        EXPECT_EQ(r.output_of[lists[c].back()], r.cards[c].record) << c;
    }
    EXPECT_EQ(r.members.size(), book.cards.size());
    const std::string csv = merge::merge_report_csv(book.cards, r);
    EXPECT_NE(csv.find("\"merged\",\"Anna Berg\",\"3 cards\""), std::string::npos) << csv;
    EXPECT_NE(csv.find("\"merged\",\"Bo Lind\",\"2 cards\""), std::string::npos) << csv;
}

TEST(MergeUser, ChosenPairsAreMergedOnTheFirstCardsTerms)
{
    Book book = three_files();
    const Value cora = {Field::first_name, "Cora"};
    const Value dahl = {Field::last_name, "Dahl"};
    book.add("d.pst", {{cora,
                        dahl,
                        {Field::email, "c1@x.example"},
                        {Field::email_2, "c2@x.example"},
                        {Field::email_3, "c3@x.example"}}});
    book.add("e.pst", {{cora, dahl, {Field::email, "c3@x.example"}, {Field::email_2, "c4@x.example"}}});
    book.finish();
    const merge::MergeResult rules = merge::merge_cards(book.cards, {"DE"});
    // Held by the rules: the job title (b.pst 1 and 2), the name only, the shared info@ address,
    // and the e-mail addresses beyond three.
    ASSERT_EQ(rules.held.size(), 4u);
    const ContactRecordPtr stranger = make_record({{{Field::first_name, "Nobody"}}}, 1);
    merge::MergeOptions options{"DE", {}};
    options.user_merged = {{book.cards[0].record, book.cards[5].record}, // Engineer, Manager
                           {book.cards[6].record, book.cards[7].record}, // no room: stays held
                           {book.cards[3].record, stranger.get()}};      // not an input card
    const merge::MergeResult r = merge::merge_cards(book.cards, options);
    EXPECT_EQ(r.merged, rules.merged + 1);
    EXPECT_EQ(r.held.size(), 3u);
    const ContactRecord& chosen = *r.output_of[5];
    EXPECT_EQ(&chosen, r.output_of[0]);
    const merge::MergedCard* card = nullptr;
    for (const auto& c : r.cards) {
        card = c.record == &chosen ? &c : card;
    }
    ASSERT_NE(card, nullptr);
    EXPECT_TRUE(card->by_user);
    // The a.pst card (Berg, Anna) leads the group the rules made of it and b.pst's Engineer.
    EXPECT_EQ(contacts::utf16_to_utf8(chosen.text_or_empty(Field::job_title)), "Engineer");
    EXPECT_EQ(contacts::utf16_to_utf8(chosen.text_or_empty(Field::full_name)), "Berg, Anna");
    const std::string csv = merge::merge_report_csv(book.cards, r);
    EXPECT_NE(csv.find("\"merged by the user\",\"Berg, Anna\",\"3 cards\""), std::string::npos) << csv;
    EXPECT_NE(csv.find("\"held\",\"Cora Dahl\",\"no room\",\"email\""), std::string::npos) << csv;
    for (const auto& c : r.cards) {
        EXPECT_EQ(c.by_user, &c == card);
    }

    std::vector<merge::Card> reversed(book.cards.rbegin(), book.cards.rend());
    const merge::MergeResult again = merge::merge_cards(reversed, options);
    EXPECT_EQ(texts_of(again), texts_of(r));
    EXPECT_EQ(merge::merge_report_csv(reversed, again), csv);
}

// The pairs the user kept apart after review: the held pair's row says so, whichever way round
// the pair was named; a kept pair that the merge did not hold changes nothing; no card changes.
TEST(MergeUser, KeptPairsAreReportedAsKeptApart)
{
    Book book = three_files();
    const merge::MergeResult rules = merge::merge_cards(book.cards, {"DE"});
    merge::MergeOptions options{"DE", {}};
    options.user_kept = {{book.cards[5].record, book.cards[1].record},  // the job title, named second first
                         {book.cards[3].record, book.cards[4].record},  // info@
                         {book.cards[0].record, book.cards[2].record}}; // never held as such
    const merge::MergeResult r = merge::merge_cards(book.cards, options);
    EXPECT_EQ(texts_of(r), texts_of(rules));
    const std::string csv = merge::merge_report_csv(book.cards, r);
    EXPECT_NE(csv.find("\"kept apart by the user\",\"Berg, Anna\",\"field clash\",\"job_title\""), std::string::npos)
        << csv;
    EXPECT_NE(csv.find("\"held\",\"Berg, Anna\",\"name only\""), std::string::npos) << csv;
    EXPECT_NE(csv.find("\"kept apart by the user\",\"Info\",\"shared address\""), std::string::npos) << csv;
    EXPECT_EQ(merge::merge_summary(6, 3, r), merge::merge_summary(6, 3, rules));
}

// The checkpoint and the progress: a merge watched but not stopped gives the same bytes; one
// stopped at its first, a middle or its last checkpoint is `stopped` and empty, with no progress
// after the stop; the progress climbs from 0 to its total (two steps per card).
TEST(MergeStop, CheckpointEndsTheMergeAtAnyStep)
{
    const Book book = three_files();
    const merge::MergeResult plain = merge::merge_cards(book.cards, {"DE"});
    const std::string plain_csv = merge::merge_report_csv(book.cards, plain);
    int calls = 0;
    {
        merge::MergeOptions options{"DE", {}};
        options.checkpoint = [&] {
            ++calls;
            return false;
        };
        std::vector<int64_t> done;
        options.progress = [&](int64_t d, int64_t total) {
            EXPECT_EQ(total, 12);
            done.push_back(d);
        };
        const merge::MergeResult watched = merge::merge_cards(book.cards, options);
        EXPECT_FALSE(watched.stopped);
        EXPECT_EQ(texts_of(watched), texts_of(plain));
        EXPECT_EQ(merge::merge_report_csv(book.cards, watched), plain_csv);
        ASSERT_FALSE(done.empty());
        EXPECT_EQ(done.front(), 0);
        EXPECT_EQ(done.back(), 12);
        EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
        EXPECT_EQ(static_cast<int>(done.size()), calls);
    }
    ASSERT_GT(calls, 7);
    for (const int stop_at : {1, 2, 6, 7, calls / 2, calls - 1, calls}) {
        merge::MergeOptions options{"DE", {}};
        int asked = 0;
        int reported = 0;
        options.checkpoint = [&] { return ++asked >= stop_at; };
        options.progress = [&](int64_t, int64_t) { ++reported; };
        const merge::MergeResult r = merge::merge_cards(book.cards, options);
        EXPECT_TRUE(r.stopped) << stop_at;
        EXPECT_EQ(asked, stop_at);
        EXPECT_EQ(reported, stop_at - 1) << stop_at;
        EXPECT_TRUE(r.records.empty() && r.cards.empty() && r.held.empty() && r.owned.empty()) << stop_at;
        EXPECT_EQ(r.merged, 0);
    }
}

// A switchboard number on 100,000 cards of different people: one held row per card (not one
// per pair), and no card merged.
TEST(MergeBucket, HundredThousandCardsShareOneNumber)
{
    constexpr int kCards = 100000;
    std::vector<ContactRecordPtr> records;
    std::vector<std::u16string> names;
    records.reserve(kCards);
    for (int i = 0; i < kCards; ++i) {
        ContactDraft draft;
        draft.set_text(Field::first_name, u"Person");
        draft.set_text(Field::last_name, u16("N" + std::to_string(i)));
        draft.set_text(Field::business_phone, u"+49 30 900000");
        draft.set_number(i + 1);
        records.push_back(ContactRecord::make(draft));
    }
    std::vector<merge::Card> cards;
    for (const auto& r : records) {
        cards.push_back({r.get(), "big.pst", u"Contacts"});
    }
    const merge::MergeResult r = merge::merge_cards(cards, {"DE"});
    EXPECT_EQ(r.cards.size(), static_cast<std::size_t>(kCards));
    EXPECT_EQ(r.held.size(), static_cast<std::size_t>(kCards - 1));
    for (const auto& h : r.held) {
        ASSERT_EQ(h.reason, HeldReason::shared_address);
    }
}

// Cards that share a name and nothing else, the cards of one name far apart: each is held as
// "name only" with the first card of its name, for names of one to three cards among nameless
// cards, in a book big enough that the names are parted into many runs.
TEST(MergeNames, EveryCardMeetsTheFirstCardOfItsNameOnce)
{
    constexpr int kNames = 4000;
    std::vector<ContactRecordPtr> records;
    std::map<int, std::size_t> first;
    std::set<std::pair<std::size_t, std::size_t>> expected;
    for (int round = 0; round < 3; ++round) {
        for (int n = 0; n < kNames; ++n) {
            const bool named = round < n % 4; // name n has n % 4 cards
            const bool nameless = n % 4 == 0 && round == 0;
            if (!named && !nameless) {
                continue;
            }
            ContactDraft draft;
            if (named) {
                draft.set_text(Field::first_name, u"Person");
                draft.set_text(Field::last_name, u16("N" + std::to_string(n)));
                const std::size_t card = records.size();
                if (const auto [at, added] = first.emplace(n, card); !added) {
                    expected.emplace(at->second, card);
                }
            }
            draft.set_text(Field::business_phone, u16("+49 30 " + std::to_string(100000 + records.size())));
            draft.set_number(static_cast<int32_t>(records.size() + 1));
            records.push_back(ContactRecord::make(draft));
        }
    }
    std::vector<merge::Card> cards;
    for (const auto& r : records) {
        cards.push_back({r.get(), "names.pst", u"Contacts"});
    }
    const merge::MergeResult r = merge::merge_cards(cards, {"DE"});
    EXPECT_EQ(r.cards.size(), records.size());
    std::set<std::pair<std::size_t, std::size_t>> held;
    for (const auto& h : r.held) {
        ASSERT_EQ(h.reason, HeldReason::name_only);
        held.emplace(h.first, h.second);
    }
    EXPECT_EQ(held.size(), r.held.size());
    EXPECT_EQ(held, expected);
    EXPECT_EQ(expected.size(), std::size_t{kNames / 4 * 3});
}

} // namespace
