#include "engine/contact_extraction.h"

#include <bit>
#include <charconv>
#include <new>
#include <stdexcept>
#include <string_view>

#include "contacts/contact_store.h"
#include "contacts/text.h"
#include "engine/text_decoding.h"
#include "pst/little_endian.h"

namespace engine {

const std::array<Field, 76> kReadOrder = {
    Field::full_name,
    Field::first_name,
    Field::initials,
    Field::last_name,
    Field::business_address,
    Field::free_busy_address,
    Field::email,
    Field::email_2,
    Field::email_3,
    Field::email_type,
    Field::suffix,
    Field::title,
    Field::company_name,
    Field::job_title,
    Field::department,
    Field::office_location,
    Field::primary_phone,
    Field::business_phone,
    Field::business_phone_2,
    Field::mobile_phone,
    Field::radio_phone,
    Field::car_phone,
    Field::other_phone,
    Field::pager,
    Field::primary_fax,
    Field::business_fax,
    Field::home_fax,
    Field::telex,
    Field::isdn_phone,
    Field::home_phone,
    Field::home_phone_2,
    Field::customer_id,
    Field::hobbies,
    Field::home_address,
    Field::gender,
    Field::middle_name,
    Field::language,
    Field::assistant_phone,
    Field::assistant_name,
    Field::profession,
    Field::spouse_name,
    Field::company_main_phone,
    Field::home_city,
    Field::anniversary,
    Field::birthday,
    Field::manager_name,
    Field::nickname,
    Field::personal_home_page,
    Field::business_home_page,
    Field::home_country,
    Field::home_postal_code,
    Field::home_state,
    Field::home_street,
    Field::other_city,
    Field::other_country,
    Field::other_state,
    Field::other_street,
    Field::other_postal_code,
    Field::callback_phone,
    Field::account,
    Field::ttytdd_phone,
    Field::gov_id,
    Field::organizational_id,
    Field::display_name_prefix,
    Field::mileage,
    Field::business_country,
    Field::business_street,
    Field::business_state,
    Field::business_postal_code,
    Field::business_city,
    Field::work_country,
    Field::work_street,
    Field::work_city,
    Field::work_state,
    Field::work_postal_code,
    Field::work_po_box,
};

namespace {

// The texts read after the read table, each from its own property: the notes, then the name
// that Outlook shows.
constexpr std::array<Field, 2> kReadAfter = {Field::body, Field::display_name};

uint32_t tag_of(Field f)
{
    return contacts::field_info(f).tag;
}

// Appends one stored value, cut at its first NUL.
void append_value(const uint8_t* p, std::size_t size, bool unicode, int codepage, std::u16string& out)
{
    if (!unicode) {
        decode_8bit(std::span<const uint8_t>(p, size), codepage, out);
        return;
    }
    const std::size_t at = out.size();
    out.resize(at + size / 2);
    out.resize(at + contacts::utf16le_to_utf16(p, size, out.data() + at));
}

bool read_filetime(const PropertyList& list, const PropertyList::Property* p, uint64_t* value)
{
    if (p == nullptr || p->type != type_code(PropType::SysTime) || p->size < 8) {
        return false;
    }
    const auto b = list.bytes(*p);
    *value = pst::get64(b.data());
    return true;
}

// The three e-mail slots' address type, address and original display name (PSETID_Address).
struct EmailSlot
{
    uint32_t type, address, original;
};
constexpr std::array<EmailSlot, 3> kEmailSlots = {{
    {0x8082, 0x8083, 0x8084},
    {0x8092, 0x8093, 0x8094},
    {0x80A2, 0x80A3, 0x80A4},
}};

// The tags read (the read table's texts, those read after it, then the e-mail slots' tags),
// each with a slot of its own: the 16-bit tag's slot number, 0 for tags that are not read.
constexpr std::size_t kTextSlots = kReadOrder.size() + kReadAfter.size();
// The field of text slot `i` (below kTextSlots): the read table's, then those read after it.
constexpr Field text_of_slot(std::size_t i)
{
    return i < kReadOrder.size() ? kReadOrder[i] : kReadAfter[i - kReadOrder.size()];
}
constexpr std::size_t kReadSlots = kTextSlots + 3 * kEmailSlots.size();
struct ReadTags
{
    std::array<uint8_t, 0x10000> slot_of{};
    // The slot of each text of the read order (kReadOrder, then kReadAfter), without looking
    // up its field's tag and that tag's slot for every contact.
    std::array<uint8_t, kTextSlots> slot_of_text{};
    // By slot number: the texts of the read order (bits by index, as above) that read the tag of
    // that slot, so that a contact's texts are visited by the tags it has instead of all of them.
    static constexpr std::size_t kTextWords = (kTextSlots + 63) / 64;
    std::array<std::array<uint64_t, kTextWords>, kReadSlots + 1> texts_of_slot{};
};
const ReadTags& read_tags()
{
    static const ReadTags tags = [] {
        ReadTags t;
        uint8_t next = 0;
        auto add = [&](uint32_t tag) {
            if (tag >= t.slot_of.size()) {
                throw std::logic_error("a read tag wider than 16 bits");
            }
            if (t.slot_of[tag] == 0) {
                t.slot_of[tag] = ++next;
            }
        };
        for (std::size_t i = 0; i < kTextSlots; ++i) {
            const uint32_t tag = tag_of(text_of_slot(i));
            add(tag);
            t.slot_of_text[i] = t.slot_of[tag];
            t.texts_of_slot[t.slot_of[tag]][i / 64] |= uint64_t{1} << (i % 64);
        }
        for (const EmailSlot& slot : kEmailSlots) {
            for (const uint32_t tag : {slot.type, slot.address, slot.original}) {
                add(tag);
            }
        }
        return t;
    }();
    return tags;
}

void read_flag(const PropertyList& list, ContactDraft& draft)
{
    const auto status = list.long_value(kTagFlagStatus);
    if (status == 2u) {
        draft.set_text(Field::flag, u"Flagged");
    } else if (status == 1u) {
        draft.set_text(Field::flag, u"Completed");
    }
}

} // namespace

bool join_multi_strings(const uint8_t* data, std::size_t size, bool unicode, std::u16string& out, int codepage)
{
    out.clear();
    if (data == nullptr || size < 4) {
        return false;
    }
    const uint64_t count = pst::get32(data);
    if (4 + 4 * count > size) {
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const std::size_t begin = pst::get32(data + 4 + 4 * i);
        const std::size_t end = i + 1 < count ? pst::get32(data + 4 + 4 * (i + 1)) : size;
        if (begin < 4 + 4 * count || begin > end || end > size) {
            out.clear();
            return false;
        }
        const std::size_t before = out.size();
        if (before != 0) {
            out += u"; ";
        }
        const std::size_t start = out.size();
        append_value(data + begin, end - begin, unicode, codepage, out);
        if (out.size() == start) {
            out.resize(before); // an empty value adds nothing
        }
    }
    return true;
}

void ContactReader::read_categories(const PropertyList& list, int codepage, ContactDraft& draft)
{
    const PropertyList::Property* p = list.find_named(kCategoriesName);
    if (p == nullptr || list.guid_of(*p) == nullptr || *list.guid_of(*p) != pst::kPsPublicStrings ||
        (p->type != type_code(PropType::MultiUnicode) && p->type != type_code(PropType::MultiString8)) ||
        p->size == 0) {
        return;
    }
    const auto bytes = list.bytes(*p);
    if (join_multi_strings(bytes.data(), bytes.size(), p->type == type_code(PropType::MultiUnicode), m_joined,
                           codepage) &&
        !m_joined.empty()) {
        draft.set_text(Field::categories, m_joined);
    }
}

void ContactReader::read_exchange(const PropertyList& list, int codepage, ContactDraft& draft,
                                  std::span<const PropertyList::Property* const> found)
{
    m_joined.clear();
    for (std::size_t slot = 0; slot < kEmailSlots.size(); ++slot) {
        const PropertyList::Property* type = found[3 * slot];
        if (type == nullptr || !property_text(list, *type, codepage, m_text) || m_text.size() != 2 ||
            (m_text[0] | 0x20) != u'e' || (m_text[1] | 0x20) != u'x') {
            continue;
        }
        const PropertyList::Property* address = found[3 * slot + 1];
        if (address == nullptr || !property_text(list, *address, codepage, m_text) || m_text.empty()) {
            continue;
        }
        std::u16string original;
        if (const PropertyList::Property* p = found[3 * slot + 2]; p != nullptr) {
            property_text(list, *p, codepage, original);
        }
        contacts::append_exchange_address(static_cast<int>(slot), m_text, original, m_joined);
    }
    draft.set_exchange(m_joined);
}

void ContactReader::read(const PropertyList& list, ContactDraft& draft, int fallback_codepage)
{
    draft.reset();

    // The first property of each read tag, found in one pass over the list; and whether any
    // value is an 8-bit text (single or multiple), the only values the code page decodes.
    const ReadTags& tags = read_tags();
    std::array<const PropertyList::Property*, kReadSlots> first{};
    std::array<uint64_t, ReadTags::kTextWords> texts{}; // the texts whose tag the list has, by index
    bool eight_bit = false;
    for (const PropertyList::Property& p : list.all()) {
        if (p.id < tags.slot_of.size() && tags.slot_of[p.id] != 0 && first[tags.slot_of[p.id] - 1] == nullptr) {
            first[tags.slot_of[p.id] - 1] = &p;
            for (std::size_t w = 0; w < texts.size(); ++w) {
                texts[w] |= tags.texts_of_slot[tags.slot_of[p.id]][w];
            }
        }
        eight_bit = eight_bit || p.type == type_code(PropType::String8) || p.type == type_code(PropType::MultiString8);
    }
    // Looked for only when some text needs it: three more passes over the list otherwise.
    const int codepage = eight_bit ? message_codepage(list, fallback_codepage) : fallback_codepage;

    // The texts in the read table's order, then the body and the display name. The gender code
    // is a number in the record; a file that stores it as text gets its leading digits taken.
    for (std::size_t w = 0; w < texts.size(); ++w) {
        for (uint64_t bits = texts[w]; bits != 0; bits &= bits - 1) {
            const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
            const Field field = text_of_slot(i);
            const PropertyList::Property* p = first[tags.slot_of_text[i] - 1];
            if (p->type == type_code(PropType::Unicode) && field != Field::gender) {
                // Decoded straight into the draft: most texts of a file are Unicode.
                const std::span<const uint8_t> bytes = list.bytes(*p);
                draft.set_text_utf16le(field, bytes.data(), bytes.size());
                continue;
            }
            if (!property_text(list, *p, codepage, m_text)) {
                continue;
            }
            if (field == Field::gender) {
                const std::string digits = contacts::utf16_to_utf8(m_text);
                int value = 0;
                std::from_chars(digits.data(), digits.data() + digits.size(), value);
                draft.set_gender(static_cast<int16_t>(value));
                continue;
            }
            draft.set_text(field, m_text);
        }
    }

    // The first property with `tag`: from the pass above for the tags read.
    const auto first_of = [&](uint32_t tag) {
        const uint8_t slot = tag < tags.slot_of.size() ? tags.slot_of[tag] : 0;
        return slot != 0 ? first[slot - 1] : list.find(tag);
    };

    // Birthday and anniversary stored as dates.
    for (const Field f : {Field::birthday, Field::anniversary}) {
        const PropertyList::Property* p = first_of(tag_of(f));
        if (draft.has(f) || p == nullptr || p->type != type_code(PropType::SysTime)) {
            continue;
        }
        const uint32_t local_tag = f == Field::birthday ? kTagBirthdayLocal : kTagAnniversaryLocal;
        uint64_t filetime = 0;
        int shift = 12;
        if (read_filetime(list, list.find(local_tag, type_code(PropType::SysTime)), &filetime)) {
            shift = 0;
        } else if (!read_filetime(list, p, &filetime)) {
            continue;
        }
        char16_t date[10];
        if (format_filetime_date(filetime, shift, date)) {
            draft.set_text(f, std::u16string_view(date, 10));
        }
    }

    read_categories(list, codepage, draft);
    read_flag(list, draft);
    std::array<const PropertyList::Property*, 3 * kEmailSlots.size()> exchange{};
    for (std::size_t i = 0; i < exchange.size(); ++i) {
        const EmailSlot& slot = kEmailSlots[i / 3];
        const uint32_t tag = i % 3 == 0 ? slot.type : i % 3 == 1 ? slot.address : slot.original;
        exchange[i] = first_of(tag);
    }
    read_exchange(list, codepage, draft, exchange);
}

contacts::ContactIdentity item_identity(const PropertyList& list, uint32_t node_id)
{
    contacts::ContactIdentity identity{};
    if (const PropertyList::Property* key = list.find(kTagSearchKey, type_code(PropType::Binary)); key != nullptr) {
        identity = contacts::identity_of_search_key(list.bytes(*key));
    }
    if (identity == contacts::ContactIdentity{} && node_id != 0) {
        identity = contacts::identity_of_node(node_id);
    }
    return identity;
}

contacts::PhotoType photo_type_of(const ContactPhoto& photo)
{
    contacts::PhotoType type = contacts::photo_type_from_magic(photo.bytes);
    if (type == contacts::PhotoType::none) {
        type = contacts::photo_type_from_mime(photo.mime);
    }
    if (type == contacts::PhotoType::none) {
        type = contacts::photo_type_from_extension(photo.extension);
    }
    return type;
}

void read_contact_values(const PropertyList& list, uint32_t node_id, const ContactPhoto* photo, ContactReader& reader,
                         ContactDraft& draft, int fallback_codepage)
{
    reader.read(list, draft, fallback_codepage);
    set_index_key(draft);
    draft.set_identity(item_identity(list, node_id));
    if (photo != nullptr) {
        draft.set_photo(photo->bytes, photo_type_of(*photo));
    }
}

pst::Status read_contact(PstItem& item, ContactReader& reader, ContactDraft& draft, int kind_code,
                         int fallback_codepage)
{
    if (!item.take_contact_draft(draft, fallback_codepage)) {
        const PropertyList* list = nullptr;
        if (pst::Status read = item.properties(&list); !read) {
            return read;
        }
        ContactPhoto photo;
        const bool has_photo = item.contact_photo(&photo).found();
        read_contact_values(*list, item.node_id(), has_photo ? &photo : nullptr, reader, draft, fallback_codepage);
    }
    draft.set_kind_code(kind_code);
    return pst::Status::success();
}

contacts::ContactRecordPtr build_contact(contacts::ContactStore& store, ContactDraft& draft)
{
    draft.set_number(store.next_number());
    return contacts::contact_record_build(store, draft);
}

bool format_filetime_date(uint64_t filetime, int shift_hours, char16_t out[10])
{
    constexpr int64_t kTicksPerSecond = 10'000'000;
    constexpr int64_t kDays1601To1970 = 134774;
    const int64_t seconds = static_cast<int64_t>(filetime / kTicksPerSecond) + int64_t{shift_hours} * 3600;
    int64_t z = seconds / 86400 - kDays1601To1970 + 719468; // days since 0000-03-01
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    // Outlook writes 4501-01-01 for "no date"; such values and anything out of range are skipped.
    if (year < 1601 || year >= 4500) {
        return false;
    }
    const auto digit = [](int64_t v) { return static_cast<char16_t>(u'0' + v); };
    out[0] = digit(year / 1000);
    out[1] = digit(year / 100 % 10);
    out[2] = digit(year / 10 % 10);
    out[3] = digit(year % 10);
    out[4] = u'-';
    out[5] = digit(month / 10);
    out[6] = digit(month % 10);
    out[7] = u'-';
    out[8] = digit(day / 10);
    out[9] = digit(day % 10);
    return true;
}

void set_index_key(ContactDraft& draft)
{
    const auto first = draft.text(Field::first_name);
    if (!first) {
        draft.clear_text(Field::index_key);
        return;
    }
    // A copy: `first` points into the draft's buffer, which set_text may reallocate.
    const std::u16string key(first->substr(0, 1));
    draft.set_text(Field::index_key, key);
}

} // namespace engine
