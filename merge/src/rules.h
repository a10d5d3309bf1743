// What each field of a card is to the merge (the role table), and the rule that makes two cards
// one: unite() builds their union or says why it may not.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "contacts/contact_record.h"
#include "merge/merge.h"
#include "normalise.h"

namespace merge {

enum class Role : uint8_t
{
    one_value,  // both present and different after normalisation: a clash
    name_part,  // a one-value field compared as a name (first, middle, last name)
    kept,       // the first card's value, else the other's; never a clash (derived or bookkeeping)
    email,      // one of the three e-mail slots
    phone,      // one number slot of a phone family
    address,    // part of an address (compared and united as a whole)
    categories, // "; "-separated values, united
    notes,      // texts, united
};

// The role of every field, by field_index.
const std::array<Role, contacts::kFieldCount>& role_table();

// The e-mail slots, in order.
inline constexpr std::array<contacts::Field, 3> kEmailSlots = {contacts::Field::email, contacts::Field::email_2,
                                                               contacts::Field::email_3};
// The numbers that are keys: a person's own lines, not a household's or an office's.
inline constexpr std::array<contacts::Field, 4> kKeyPhones = {
    contacts::Field::mobile_phone, contacts::Field::business_phone, contacts::Field::business_phone_2,
    contacts::Field::other_phone};

// The e-mail keys of a draft, by slot ("" for an empty slot).
std::array<std::u16string, 3> email_keys(Normaliser& norm, const contacts::ContactDraft& card);
// The phone keys of the key phones ("" for none).
std::array<std::u16string, 4> phone_keys(Normaliser& norm, const contacts::ContactDraft& card);
// The name the card goes by (Normaliser::person of its names).
std::u16string person_key(Normaliser& norm, const contacts::ContactDraft& card);
// The name as the card writes it: its full name, else its first and last name, else its e-mail
// address or company.
std::u16string shown_name(const contacts::ContactDraft& card);
// Every compared field in normalised form, one after another: equal for cards that are copies.
std::u16string content_key(Normaliser& norm, const contacts::ContactDraft& card);

// A card's keys at once (its e-mail and phone keys are parts of its content key too). Reused card
// after card, it allocates only to grow.
struct CardKeys
{
    std::u16string person;               // person_key
    std::array<std::u16string, 3> email; // email_keys
    std::array<std::u16string, 4> phone; // phone_keys
    std::u16string content;              // content_key
    // Room for the record's texts and for the values the content key holds sorted.
    contacts::RecordTexts texts;
    std::u16string values;
    std::vector<std::pair<uint32_t, uint32_t>> spans;
};
void card_keys(Normaliser& norm, const contacts::ContactRecord& record, CardKeys& keys);

// Whether a card is one of a person nobody saved: from the autocomplete list, the recipient cache
// or the correspondents of the mail (rather than a contact item of the file).
bool gathered(const contacts::ContactDraft& card);
bool gathered(const contacts::ContactRecord& card);

// Whether two records hold the same values as unite() compares them when it says whether the
// union added anything (texts, gender, identity, EX addresses, photo bytes): then unite() of
// their drafts, gathered alike, unites them with nothing added and every name kept.
bool same_record(const contacts::ContactRecord& a, const contacts::ContactRecord& b);

// The draft holding everything the record holds.
void draft_of(const contacts::ContactRecord& record, contacts::ContactDraft& draft);

struct Verdict
{
    bool united = false;
    bool added = false; // the union holds more than the first card
    HeldReason reason = HeldReason::field_clash;
    std::string field;
    std::u16string first_value;
    std::u16string second_value;
    // A gathered card joining a saved contact: its name, which differs from the contact's, when
    // the contact's nickname is taken by another name (so the name is on no field of the union).
    std::u16string unkept_name;
};

// Unites `first` and `second` into `out` (first's values lead), or says why not. When their
// names differ the verdict is `on_names` (shared_address for cards that met on an address or
// number; field_clash for copies).
//
// A gathered `second` joining a saved `first` (the caller puts the saved card first): the saved
// card's one-value fields win, so nothing clashes; a name that differs is kept as the nickname
// when the saved card has none (else it is `unkept_name`), and the saved card's name parts are
// not filled from it. The multi-value fields are united as always.
// `on_first_terms`: every second card is taken as a gathered one (the user's choice to merge).
Verdict unite(Normaliser& norm, const contacts::ContactDraft& first, const contacts::ContactDraft& second,
              HeldReason on_names, contacts::ContactDraft& out, bool on_first_terms = false);

} // namespace merge
