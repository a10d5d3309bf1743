#include "rules.h"

#include <algorithm>
#include <optional>
#include <span>

namespace merge {

namespace {

using contacts::ContactDraft;
using contacts::Field;
using contacts::field_index;

// A family of phone fields: a number that is not yet on the card goes into the first empty one.
struct PhoneFamily
{
    std::array<Field, 2> slots;
    int count;
};
constexpr std::array<PhoneFamily, 17> kPhoneFamilies = {{
    {{Field::business_phone, Field::business_phone_2}, 2},
    {{Field::home_phone, Field::home_phone_2}, 2},
    {{Field::mobile_phone}, 1},
    {{Field::other_phone}, 1},
    {{Field::primary_phone}, 1},
    {{Field::car_phone}, 1},
    {{Field::radio_phone}, 1},
    {{Field::pager}, 1},
    {{Field::callback_phone}, 1},
    {{Field::isdn_phone}, 1},
    {{Field::ttytdd_phone}, 1},
    {{Field::assistant_phone}, 1},
    {{Field::company_main_phone}, 1},
    {{Field::business_fax}, 1},
    {{Field::home_fax}, 1},
    {{Field::primary_fax}, 1},
    {{Field::telex}, 1},
}};

// An address: its parts (street, city, state, postal code, country, then one more that only
// this address has) and its name in the report.
struct AddressGroup
{
    std::array<Field, 6> parts;
    int count;
    const char* name;
    bool may_move; // a different one of the other card may go into the other address
};
constexpr std::size_t kOtherAddress = 3;
constexpr std::array<AddressGroup, 4> kAddresses = {{
    {{Field::home_street, Field::home_city, Field::home_state, Field::home_postal_code, Field::home_country,
      Field::home_address},
     6,
     "home address",
     true},
    {{Field::business_street, Field::business_city, Field::business_state, Field::business_postal_code,
      Field::business_country, Field::business_address},
     6,
     "business address",
     true},
    {{Field::work_street, Field::work_city, Field::work_state, Field::work_postal_code, Field::work_country,
      Field::work_po_box},
     6,
     "work address",
     false},
    {{Field::other_street, Field::other_city, Field::other_state, Field::other_postal_code, Field::other_country},
     5,
     "other address",
     false},
}};

// Kept fields are bookkeeping or made from other fields (the full name from the names, the
// initials, the free/busy address from the e-mail address); mileage is read from the mobile
// number's property and compares with it.
std::array<Role, contacts::kFieldCount> make_roles()
{
    std::array<Role, contacts::kFieldCount> roles{};
    roles.fill(Role::one_value);
    for (Field f : {Field::kind_name, Field::kind_code, Field::index_key, Field::group_name, Field::number,
                    Field::email_type, Field::free_busy_address, Field::initials, Field::full_name, Field::display_name,
                    Field::flag, Field::gender, Field::mileage}) {
        roles[field_index(f)] = Role::kept;
    }
    for (Field f : {Field::first_name, Field::middle_name, Field::last_name}) {
        roles[field_index(f)] = Role::name_part;
    }
    for (Field f : kEmailSlots) {
        roles[field_index(f)] = Role::email;
    }
    for (const auto& family : kPhoneFamilies) {
        for (int i = 0; i < family.count; ++i) {
            roles[field_index(family.slots[static_cast<std::size_t>(i)])] = Role::phone;
        }
    }
    for (const auto& group : kAddresses) {
        for (int i = 0; i < group.count; ++i) {
            roles[field_index(group.parts[static_cast<std::size_t>(i)])] = Role::address;
        }
    }
    roles[field_index(Field::categories)] = Role::categories;
    roles[field_index(Field::body)] = Role::notes;
    return roles;
}

std::u16string_view text(const ContactDraft& card, Field f)
{
    return card.text(f).value_or(std::u16string_view());
}

// What the keys read of a record, read once: its texts (absent as empty), gender and EX addresses.
struct RecordCard
{
    const contacts::RecordTexts& texts;
    const contacts::ContactRecord& record;
    int16_t gender() const { return record.gender(); }
    std::u16string_view exchange() const { return record.exchange(); }
};

std::u16string_view text(const RecordCard& card, Field f)
{
    return card.texts[field_index(f)];
}

bool blank(std::u16string_view s)
{
    return std::all_of(s.begin(), s.end(),
                       [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; });
}

// The e-mail key of slot `slot`: the SMTP address stored beside an Exchange DN when there is one.
template <typename Card>
std::u16string email_key(Normaliser& norm, const Card& card, std::size_t slot,
                         const std::vector<contacts::ExchangeAddress>& exchange)
{
    const std::u16string_view value = text(card, kEmailSlots[slot]);
    if (blank(value)) {
        return {};
    }
    for (const auto& ex : exchange) {
        if (static_cast<std::size_t>(ex.slot) == slot && ex.original.find(u'@') != std::u16string_view::npos) {
            return norm.email(ex.original);
        }
    }
    return norm.email(value);
}

// The normalised form of an address, its parts joined, appended to `out`; nothing when it has none.
template <typename Card>
void append_address_key(Normaliser& norm, const Card& card, const AddressGroup& group, std::u16string& out)
{
    const std::size_t start = out.size();
    bool any = false;
    // The formatted address (sixth part of home and business) is made from the others; compare
    // the parts when there are any.
    for (int i = 0; i < 5 && i < group.count; ++i) {
        const std::size_t before = out.size();
        norm.append_text(text(card, group.parts[static_cast<std::size_t>(i)]), out);
        any = any || out.size() != before;
        out.push_back(u'\x1f');
    }
    if (group.count == 6) {
        if (!any || group.parts[5] == Field::work_po_box) {
            const std::size_t before = out.size();
            norm.append_text(text(card, group.parts[5]), out);
            any = any || out.size() != before;
        }
    }
    if (!any) {
        out.resize(start);
    }
}

std::u16string address_key(Normaliser& norm, const ContactDraft& card, const AddressGroup& group)
{
    std::u16string key;
    append_address_key(norm, card, group, key);
    return key;
}

std::vector<std::u16string_view> split_categories(std::u16string_view s)
{
    std::vector<std::u16string_view> out;
    while (!s.empty()) {
        const std::size_t semi = s.find(u';');
        std::u16string_view one = s.substr(0, semi);
        while (!one.empty() && one.front() == u' ') {
            one.remove_prefix(1);
        }
        while (!one.empty() && one.back() == u' ') {
            one.remove_suffix(1);
        }
        if (!one.empty()) {
            out.push_back(one);
        }
        s = semi == std::u16string_view::npos ? std::u16string_view() : s.substr(semi + 1);
    }
    return out;
}

std::u16string compared(Normaliser& norm, Field f, std::u16string_view value)
{
    return role_table()[field_index(f)] == Role::name_part ? norm.name(value) : norm.text(value);
}

// Middle names: an initial agrees with any name that starts with it.
bool middle_names_agree(const std::u16string& a, const std::u16string& b)
{
    if (a.size() == 1 || b.size() == 1) {
        return a.front() == b.front();
    }
    return a == b;
}

Verdict held(HeldReason reason, std::string field, std::u16string_view a, std::u16string_view b)
{
    Verdict v;
    v.reason = reason;
    v.field = std::move(field);
    v.first_value.assign(a);
    v.second_value.assign(b);
    return v;
}

// The fields that make up a name, or are made from one (filled from a card of the same name only).
bool is_name_field(Field f)
{
    switch (f) {
    case Field::first_name:
    case Field::middle_name:
    case Field::last_name:
    case Field::full_name:
    case Field::display_name:
    case Field::display_name_prefix:
    case Field::title:
    case Field::suffix:
    case Field::initials:
    case Field::index_key:
    case Field::nickname:
        return true;
    default:
        return false;
    }
}

// Whether two drafts hold the same values.
bool same_card(const ContactDraft& a, const ContactDraft& b)
{
    for (const auto& info : contacts::kFieldTable) {
        if (info.type == contacts::FieldType::Text && a.text(info.field) != b.text(info.field)) {
            return false;
        }
    }
    const auto pa = a.photo().bytes;
    const auto pb = b.photo().bytes;
    return a.gender() == b.gender() && a.identity() == b.identity() && a.exchange() == b.exchange() &&
           std::equal(pa.begin(), pa.end(), pb.begin(), pb.end());
}

} // namespace

const std::array<Role, contacts::kFieldCount>& role_table()
{
    static const std::array<Role, contacts::kFieldCount> roles = make_roles();
    return roles;
}

std::array<std::u16string, 3> email_keys(Normaliser& norm, const ContactDraft& card)
{
    const auto exchange = contacts::exchange_addresses(card.exchange());
    std::array<std::u16string, 3> keys;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        keys[i] = email_key(norm, card, i, exchange);
    }
    return keys;
}

std::array<std::u16string, 4> phone_keys(Normaliser& norm, const ContactDraft& card)
{
    std::array<std::u16string, 4> keys;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        keys[i] = norm.phone(text(card, kKeyPhones[i]));
    }
    return keys;
}

std::u16string shown_name(const ContactDraft& card)
{
    const std::u16string_view full = text(card, Field::full_name);
    if (!blank(full)) {
        return std::u16string(full);
    }
    std::u16string name(text(card, Field::first_name));
    const std::u16string_view last = text(card, Field::last_name);
    if (!name.empty() && !last.empty()) {
        name.push_back(u' ');
    }
    name += last;
    if (name.empty()) {
        name = text(card, Field::email);
    }
    if (name.empty()) {
        name = text(card, Field::company_name);
    }
    return name;
}

std::u16string person_key(Normaliser& norm, const ContactDraft& card)
{
    return norm.person(text(card, Field::first_name), text(card, Field::last_name), text(card, Field::full_name));
}

namespace {

template <typename Card> void keys_of(Normaliser& norm, const Card& card, CardKeys& keys)
{
    keys.person.clear();
    norm.append_person(text(card, Field::first_name), text(card, Field::last_name), text(card, Field::full_name),
                       keys.person);
    const auto exchange = contacts::exchange_addresses(card.exchange());
    for (std::size_t i = 0; i < keys.email.size(); ++i) {
        keys.email[i] = email_key(norm, card, i, exchange);
    }
    std::u16string& key = keys.content;
    key.assign(keys.person);
    key.push_back(u'\x1e');
    const auto& roles = role_table();
    for (const auto& info : contacts::kFieldTable) {
        const Role role = roles[field_index(info.field)];
        if ((role == Role::one_value || role == Role::name_part) && info.type == contacts::FieldType::Text) {
            if (role == Role::name_part) {
                norm.append_name(text(card, info.field), key);
            } else {
                norm.append_text(text(card, info.field), key);
            }
            key.push_back(u'\x1f');
        }
    }
    key.push_back(static_cast<char16_t>(u'0' + (card.gender() & 7)));
    // Values gathered in keys.values (their spans), then written in sorted order.
    const auto begin_values = [&keys] {
        keys.values.clear();
        keys.spans.clear();
    };
    const auto end_value = [&keys](std::size_t start) {
        keys.spans.emplace_back(static_cast<uint32_t>(start), static_cast<uint32_t>(keys.values.size() - start));
    };
    const auto write_sorted = [&keys, &key] {
        const std::u16string_view all = keys.values;
        std::sort(keys.spans.begin(), keys.spans.end(), [all](const auto& a, const auto& b) {
            return all.substr(a.first, a.second) < all.substr(b.first, b.second);
        });
        for (const auto& [start, length] : keys.spans) {
            key.append(all.substr(start, length));
            key.push_back(u'\x1f');
        }
    };
    begin_values();
    for (const auto& email : keys.email) {
        const std::size_t start = keys.values.size();
        keys.values += email;
        end_value(start);
    }
    write_sorted();
    begin_values();
    for (const auto& family : kPhoneFamilies) {
        for (int i = 0; i < family.count; ++i) {
            const Field f = family.slots[static_cast<std::size_t>(i)];
            const std::size_t start = keys.values.size();
            norm.append_phone(text(card, f), keys.values);
            end_value(start);
            if (const auto slot = std::find(kKeyPhones.begin(), kKeyPhones.end(), f); slot != kKeyPhones.end()) {
                keys.phone[static_cast<std::size_t>(slot - kKeyPhones.begin())].assign(keys.values, start,
                                                                                       keys.values.size() - start);
            }
        }
    }
    write_sorted();
    for (const auto& group : kAddresses) {
        append_address_key(norm, card, group, key);
        key.push_back(u'\x1e');
    }
    begin_values();
    for (auto c : split_categories(text(card, Field::categories))) {
        const std::size_t start = keys.values.size();
        norm.append_text(c, keys.values);
        end_value(start);
    }
    write_sorted();
    norm.append_text(text(card, Field::body), key);
}

} // namespace

std::u16string content_key(Normaliser& norm, const ContactDraft& card)
{
    CardKeys keys;
    keys_of(norm, card, keys);
    return std::move(keys.content);
}

void card_keys(Normaliser& norm, const contacts::ContactRecord& record, CardKeys& keys)
{
    record.texts(keys.texts);
    keys_of(norm, RecordCard{keys.texts, record}, keys);
}

bool same_record(const contacts::ContactRecord& a, const contacts::ContactRecord& b)
{
    if (a.gender() != b.gender() || a.identity() != b.identity() || a.exchange() != b.exchange()) {
        return false;
    }
    for (const auto& info : contacts::kFieldTable) {
        if (info.type == contacts::FieldType::Text && a.text(info.field) != b.text(info.field)) {
            return false;
        }
    }
    const auto pa = a.photo().bytes;
    const auto pb = b.photo().bytes;
    return std::equal(pa.begin(), pa.end(), pb.begin(), pb.end());
}

void draft_of(const contacts::ContactRecord& record, ContactDraft& draft)
{
    draft.reset();
    contacts::RecordTexts texts; // read in one pass: a lookup per field counts the fields before it
    record.texts(texts);
    for (const auto& info : contacts::kFieldTable) {
        if (info.type == contacts::FieldType::Text && record.has(info.field)) {
            draft.set_text(info.field, texts[field_index(info.field)]);
        }
    }
    draft.set_gender(record.gender());
    draft.set_kind_code(record.kind_code());
    draft.set_number(record.number());
    draft.set_origin(record.origin());
    const contacts::PhotoView photo = record.photo();
    draft.set_photo(photo.bytes, photo.type);
    draft.set_identity(record.identity());
    draft.set_exchange(record.exchange());
    draft.set_place(record.place());
    draft.set_node_id(record.node_id());
}

bool gathered(const ContactDraft& card)
{
    return !contacts::origin_category(card.origin()).empty();
}

bool gathered(const contacts::ContactRecord& card)
{
    return !contacts::origin_category(card.origin()).empty();
}

Verdict unite(Normaliser& norm, const ContactDraft& first, const ContactDraft& second, HeldReason on_names,
              ContactDraft& out, bool on_first_terms)
{
    // A card nobody saved joins the saved contact of its address on the contact's terms.
    const bool joining = on_first_terms || (gathered(second) && !gathered(first));
    // Names: the name each card goes by, then each name part.
    const std::u16string name_a = person_key(norm, first);
    const std::u16string name_b = person_key(norm, second);
    const bool other_name = !name_a.empty() && !name_b.empty() && name_a != name_b;
    if (other_name && !joining) {
        return held(on_names, on_names == HeldReason::shared_address ? "name" : "full_name", shown_name(first),
                    shown_name(second));
    }
    const auto& roles = role_table();
    for (const auto& info : contacts::kFieldTable) {
        const Role role = roles[field_index(info.field)];
        if (joining || (role != Role::one_value && role != Role::name_part) || info.type != contacts::FieldType::Text) {
            continue;
        }
        const std::u16string_view a = text(first, info.field);
        const std::u16string_view b = text(second, info.field);
        if (blank(a) || blank(b)) {
            continue;
        }
        const std::u16string na = compared(norm, info.field, a);
        const std::u16string nb = compared(norm, info.field, b);
        const bool agree =
            info.field == Field::middle_name ? na.empty() || nb.empty() || middle_names_agree(na, nb) : na == nb;
        if (!agree) {
            return held(HeldReason::field_clash, info.name, a, b);
        }
    }
    if (!joining && first.gender() != 0 && second.gender() != 0 && first.gender() != second.gender()) {
        return held(HeldReason::field_clash, "gender",
                    std::u16string(1, static_cast<char16_t>(u'0' + first.gender() % 10)),
                    std::u16string(1, static_cast<char16_t>(u'0' + second.gender() % 10)));
    }

    out = first;
    std::u16string unkept_name;
    if (other_name) {
        // The other name is the nickname when that is free or says the same.
        const std::u16string name = shown_name(second);
        const std::u16string_view nickname = text(first, Field::nickname);
        if (blank(nickname)) {
            out.set_text(Field::nickname, name);
        } else if (norm.name(nickname) != norm.name(name)) {
            unkept_name = name;
        }
    }
    // One-value and kept fields the first card lacks; not the parts of another name.
    for (const auto& info : contacts::kFieldTable) {
        const Role role = roles[field_index(info.field)];
        if ((role == Role::one_value || role == Role::name_part || role == Role::kept) &&
            info.type == contacts::FieldType::Text && blank(text(out, info.field)) &&
            !blank(text(second, info.field)) && !(other_name && is_name_field(info.field))) {
            out.set_text(info.field, text(second, info.field));
        }
    }
    if (out.gender() == 0) {
        out.set_gender(second.gender());
    }

    // E-mail addresses: the other card's new ones into the free slots.
    {
        auto keys = email_keys(norm, out);
        const auto second_keys = email_keys(norm, second);
        const auto second_exchange = contacts::exchange_addresses(second.exchange());
        std::u16string exchange(out.exchange());
        for (std::size_t s = 0; s < second_keys.size(); ++s) {
            if (second_keys[s].empty() || std::find(keys.begin(), keys.end(), second_keys[s]) != keys.end()) {
                continue;
            }
            const auto free = std::find(keys.begin(), keys.end(), std::u16string());
            if (free == keys.end()) {
                return held(HeldReason::no_room, "email", text(first, Field::email), text(second, kEmailSlots[s]));
            }
            const auto slot = static_cast<std::size_t>(free - keys.begin());
            out.set_text(kEmailSlots[slot], text(second, kEmailSlots[s]));
            for (const auto& ex : second_exchange) {
                if (static_cast<std::size_t>(ex.slot) == s) {
                    contacts::append_exchange_address(static_cast<int>(slot), ex.dn, ex.original, exchange);
                }
            }
            *free = second_keys[s];
        }
        out.set_exchange(exchange);
    }

    // Numbers: a number the card does not have yet into the first free field of its family.
    {
        std::vector<std::u16string> numbers;
        for (const auto& family : kPhoneFamilies) {
            for (int i = 0; i < family.count; ++i) {
                numbers.push_back(norm.phone(text(out, family.slots[static_cast<std::size_t>(i)])));
            }
        }
        for (const auto& family : kPhoneFamilies) {
            for (int i = 0; i < family.count; ++i) {
                const Field from = family.slots[static_cast<std::size_t>(i)];
                const std::u16string_view value = text(second, from);
                if (blank(value)) {
                    continue;
                }
                const std::u16string key = norm.phone(value);
                if (!key.empty() && std::find(numbers.begin(), numbers.end(), key) != numbers.end()) {
                    continue;
                }
                if (key.empty() && value == text(out, from)) {
                    continue;
                }
                std::optional<Field> into;
                for (int j = 0; j < family.count && !into; ++j) {
                    if (blank(text(out, family.slots[static_cast<std::size_t>(j)]))) {
                        into = family.slots[static_cast<std::size_t>(j)];
                    }
                }
                if (!into) {
                    return held(HeldReason::no_room, contacts::field_info(from).name, text(out, from), value);
                }
                out.set_text(*into, value);
                numbers.push_back(key);
            }
        }
    }

    // Addresses: one the card lacks is taken; a different home or business address goes into
    // the other address while that is free.
    for (const auto& group : kAddresses) {
        const std::u16string b = address_key(norm, second, group);
        if (b.empty()) {
            continue;
        }
        const std::u16string a = address_key(norm, out, group);
        const auto copy = [&](const AddressGroup& into, int parts) {
            for (int i = 0; i < parts; ++i) {
                const auto p = static_cast<std::size_t>(i);
                if (const auto value = second.text(group.parts[p])) {
                    out.set_text(into.parts[p], *value);
                } else {
                    out.clear_text(into.parts[p]);
                }
            }
        };
        if (a.empty()) {
            copy(group, group.count);
            continue;
        }
        if (a == b) {
            continue;
        }
        const AddressGroup& other = kAddresses[kOtherAddress];
        if (group.may_move && address_key(norm, out, other).empty()) {
            copy(other, other.count);
            continue;
        }
        if (group.may_move && address_key(norm, out, other) == b) {
            continue;
        }
        return held(HeldReason::no_room, group.name, text(out, group.parts[0]), text(second, group.parts[0]));
    }

    // Categories: the other card's new ones after the first's.
    {
        std::u16string joined(text(out, Field::categories));
        std::vector<std::u16string> seen;
        for (auto c : split_categories(joined)) {
            seen.push_back(norm.text(c));
        }
        bool changed = false;
        for (auto c : split_categories(text(second, Field::categories))) {
            std::u16string key = norm.text(c);
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
                continue;
            }
            if (!joined.empty()) {
                joined += u"; ";
            }
            joined += c;
            seen.push_back(std::move(key));
            changed = true;
        }
        if (changed) {
            out.set_text(Field::categories, joined);
        }
    }

    // Notes: a text one card holds within the other's is not repeated.
    {
        const std::u16string_view a = text(out, Field::body);
        const std::u16string_view b = text(second, Field::body);
        if (!blank(b) && a.find(b) == std::u16string_view::npos) {
            if (blank(a) || b.find(a) != std::u16string_view::npos) {
                out.set_text(Field::body, b);
            } else {
                std::u16string both(a);
                both += u"\r\n\r\n";
                both += b;
                out.set_text(Field::body, both);
            }
        }
    }

    if (out.photo().empty() && !second.photo().empty()) {
        const contacts::PhotoView photo = second.photo();
        out.set_photo(photo.bytes, photo.type);
    }
    if (out.identity() == contacts::ContactIdentity{}) {
        out.set_identity(second.identity());
    }
    Verdict v;
    v.united = true;
    v.added = !same_card(first, out);
    v.unkept_name = std::move(unkept_name);
    return v;
}

} // namespace merge
