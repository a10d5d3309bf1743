#include "contacts/contact_extraction.h"

#include <charconv>
#include <new>
#include <string_view>

#include "contacts/pff.h"
#include "contacts/text.h"

namespace contacts {

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

constexpr std::size_t kMinimumScratch = 24;
constexpr std::size_t kBodySlot = kReadOrder.size(); // slot of the body after the 76 rows
constexpr uint32_t kTagBody = 0x1000;

// How one value is read in the read pass.
enum class Source : uint8_t
{
    Absent,
    StoredUtf16, // PT_UNICODE: the record entry's stored UTF-16LE bytes
    LibpffUtf8,  // PT_STRING8 (or no record set): libpff's UTF-8 getter with its code page
    Empty,       // a string without bytes, which libpff's getters do not read
    Other,       // another value type (dates, the gender code): not read as text
};

struct Slot
{
    pff::RecordEntry entry;
    Source source = Source::Absent;
    uint32_t value_type = 0;
    std::size_t size = 0;
};

uint32_t tag_of(Field f)
{
    return field_info(f).tag;
}

// Finds the entry of `tag` of any value type and decides how to read it.
void probe(libpff_item_t* item, libpff_record_set_t* set, uint32_t tag, bool body, Slot& slot)
{
    slot = Slot{};
    if (set != nullptr) {
        if (libpff_record_set_get_entry_by_type(set, tag, 0, slot.entry.out(),
                                                LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE, nullptr) != 1) {
            slot.entry.release();
            return;
        }
        if (libpff_record_entry_get_value_type(slot.entry.get(), &slot.value_type, nullptr) != 1) {
            return;
        }
        if (slot.value_type == pff::kTypeUnicode) {
            if (libpff_record_entry_get_data_size(slot.entry.get(), &slot.size, nullptr) == 1) {
                slot.source = slot.size == 0 ? Source::Empty : Source::StoredUtf16;
            }
            return;
        }
        if (slot.value_type != pff::kTypeString8) {
            slot.source = Source::Other;
            return;
        }
        size_t stored = 0;
        if (!body && libpff_record_entry_get_data_size(slot.entry.get(), &stored, nullptr) == 1 && stored == 0) {
            slot.source = Source::Empty;
            return;
        }
    }
    const int found = body ? libpff_message_get_plain_text_body_size(item, &slot.size, nullptr)
                           : libpff_message_get_entry_value_utf8_string_size(item, tag, &slot.size, nullptr);
    if (found == 1) {
        slot.source = Source::LibpffUtf8;
    }
}

// Reads a slot's value through `scratch` (large enough for every slot). `reserve(n)` gives room
// for n code units, `finish(n)` tells how many were written. Returns false when nothing was read.
template <typename Reserve, typename Finish>
bool read_slot(libpff_item_t* item, uint32_t tag, bool body, Slot& slot, uint8_t* scratch, std::size_t scratch_size,
               Reserve reserve, Finish finish)
{
    switch (slot.source) {
    case Source::StoredUtf16: {
        if (libpff_record_entry_get_data(slot.entry.get(), scratch, slot.size, nullptr) != 1) {
            return false;
        }
        finish(utf16le_to_utf16(scratch, slot.size, reserve(slot.size / 2)));
        return true;
    }
    case Source::LibpffUtf8: {
        const int found = body ? libpff_message_get_plain_text_body(item, scratch, scratch_size, nullptr)
                               : libpff_message_get_entry_value_utf8_string(item, tag, scratch, scratch_size, nullptr);
        if (found != 1) {
            return false;
        }
        std::string_view utf8(reinterpret_cast<const char*>(scratch), scratch_size);
        utf8 = utf8.substr(0, utf8.find('\0'));
        finish(utf8_to_utf16(utf8, reserve(utf8.size())));
        return true;
    }
    case Source::Empty:
        reserve(0);
        finish(0);
        return true;
    default:
        return false;
    }
}

constexpr uint32_t kTypeLong = 0x0003;
constexpr uint32_t kTypeMultiString8 = 0x101E;
constexpr uint32_t kTypeMultiUnicode = 0x101F;

// Code page 1252 at 0x80..0x9F (undefined bytes become U+FFFD); other bytes map to themselves.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,
};

uint32_t le32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Appends one stored value, cut at its first NUL.
void append_value(const uint8_t* p, std::size_t size, bool unicode, std::u16string& out)
{
    if (unicode) {
        for (std::size_t i = 0; i + 1 < size; i += 2) {
            const char16_t unit = static_cast<char16_t>(p[i] | p[i + 1] << 8);
            if (unit == 0) {
                return;
            }
            out.push_back(unit);
        }
        return;
    }
    for (std::size_t i = 0; i < size && p[i] != 0; ++i) {
        out.push_back(p[i] >= 0x80 && p[i] < 0xA0 ? kCp1252High[p[i] - 0x80] : char16_t{p[i]});
    }
}

// The "Keywords" entry, when the record set has one in PS_PUBLIC_STRINGS.
bool find_categories(libpff_record_set_t* set, pff::RecordEntry& entry)
{
    if (libpff_record_set_get_entry_by_utf8_name(set, reinterpret_cast<const uint8_t*>(kCategoriesName.data()),
                                                 kCategoriesName.size(), 0, entry.out(),
                                                 LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE, nullptr) != 1) {
        entry.release();
        return false;
    }
    libpff_name_to_id_map_entry_t* name = nullptr; // owned by the record entry
    std::array<uint8_t, 16> guid{};
    return libpff_record_entry_get_name_to_id_map_entry(entry.get(), &name, nullptr) == 1 && name != nullptr &&
           libpff_name_to_id_map_entry_get_guid(name, guid.data(), guid.size(), nullptr) == 1 &&
           guid == kPsPublicStrings;
}

void read_flag(libpff_record_set_t* set, ContactDraft& draft)
{
    pff::RecordEntry entry;
    uint32_t status = 0;
    if (libpff_record_set_get_entry_by_type(set, kTagFlagStatus, kTypeLong, entry.out(), 0, nullptr) != 1) {
        entry.release();
        return;
    }
    if (libpff_record_entry_get_data_as_32bit_integer(entry.get(), &status, nullptr) != 1) {
        return;
    }
    if (status == 2) {
        draft.set_text(Field::flag, u"Flagged");
    } else if (status == 1) {
        draft.set_text(Field::flag, u"Completed");
    }
}

bool read_filetime(libpff_record_entry_t* entry, uint64_t* value)
{
    return libpff_record_entry_get_data_as_filetime(entry, value, nullptr) == 1;
}

} // namespace

bool join_multi_strings(const uint8_t* data, std::size_t size, bool unicode, std::u16string& out)
{
    out.clear();
    if (data == nullptr || size < 4) {
        return false;
    }
    const uint64_t count = le32(data);
    if (4 + 4 * count > size) {
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const std::size_t begin = le32(data + 4 + 4 * i);
        const std::size_t end = i + 1 < count ? le32(data + 4 + 4 * (i + 1)) : size;
        if (begin < 4 + 4 * count || begin > end || end > size) {
            out.clear();
            return false;
        }
        const std::size_t before = out.size();
        if (before != 0) {
            out += u"; ";
        }
        const std::size_t start = out.size();
        append_value(data + begin, end - begin, unicode, out);
        if (out.size() == start) {
            out.resize(before); // an empty value adds nothing
        }
    }
    return true;
}

ContactReader::ContactReader() : m_scratch(kMinimumScratch) {}

void ContactReader::read_categories(libpff_record_set_t* set, ContactDraft& draft)
{
    pff::RecordEntry entry;
    uint32_t type = 0;
    std::size_t size = 0;
    if (!find_categories(set, entry) || libpff_record_entry_get_value_type(entry.get(), &type, nullptr) != 1 ||
        (type != kTypeMultiUnicode && type != kTypeMultiString8) ||
        libpff_record_entry_get_data_size(entry.get(), &size, nullptr) != 1 || size == 0) {
        return;
    }
    if (size > m_scratch.size()) {
        try {
            m_scratch.resize(size);
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    if (libpff_record_entry_get_data(entry.get(), m_scratch.data(), size, nullptr) != 1) {
        return;
    }
    if (join_multi_strings(m_scratch.data(), size, type == kTypeMultiUnicode, m_joined) && !m_joined.empty()) {
        draft.set_text(Field::categories, m_joined);
    }
}

int ContactReader::read(libpff_item_t* item, ContactDraft& draft)
{
    draft.reset();
    if (item == nullptr) {
        return -1;
    }
    pff::RecordSet set;
    if (libpff_item_get_record_set_by_index(item, 0, set.out(), nullptr) != 1) {
        set.release();
    }

    // Size pass: find every value and the largest size among the text values.
    std::array<Slot, kReadOrder.size() + 1> slots;
    std::size_t largest = kMinimumScratch;
    for (std::size_t i = 0; i <= kReadOrder.size(); ++i) {
        const bool body = i == kBodySlot;
        probe(item, set.get(), body ? kTagBody : tag_of(kReadOrder[i]), body, slots[i]);
        if (slots[i].source == Source::StoredUtf16 || slots[i].source == Source::LibpffUtf8) {
            largest = std::max(largest, slots[i].size);
        }
    }
    if (largest > m_scratch.size()) {
        try {
            m_scratch.resize(largest);
        } catch (const std::bad_alloc&) {
            draft.reset();
            return -1;
        }
    }

    // Read pass, in the read table's order, then the body. The gender code is a number in the
    // record; a file that stores it as text gets its leading digits taken.
    for (std::size_t i = 0; i <= kReadOrder.size(); ++i) {
        const bool body = i == kBodySlot;
        const Field field = body ? Field::body : kReadOrder[i];
        const uint32_t tag = body ? kTagBody : tag_of(field);
        if (field == Field::gender) {
            std::u16string text;
            const auto reserve = [&](std::size_t n) {
                text.resize(n);
                return text.data();
            };
            if (read_slot(item, tag, false, slots[i], m_scratch.data(), largest, reserve,
                          [&](std::size_t n) { text.resize(n); })) {
                const std::string digits = utf16_to_utf8(text);
                int value = 0;
                std::from_chars(digits.data(), digits.data() + digits.size(), value);
                draft.set_gender(static_cast<int16_t>(value));
            }
            continue;
        }
        read_slot(
            item, tag, body, slots[i], m_scratch.data(), largest,
            [&](std::size_t n) { return draft.set_text_uninitialized(field, n); },
            [&](std::size_t n) { draft.truncate_text(field, n); });
    }

    // Birthday and anniversary stored as dates.
    for (std::size_t i = 0; i < kReadOrder.size(); ++i) {
        const Field f = kReadOrder[i];
        if ((f != Field::birthday && f != Field::anniversary) || draft.has(f) || slots[i].source != Source::Other ||
            slots[i].value_type != pff::kTypeSysTime) {
            continue;
        }
        const uint32_t local_tag = f == Field::birthday ? kTagBirthdayLocal : kTagAnniversaryLocal;
        uint64_t filetime = 0;
        int shift = 12;
        pff::RecordEntry local;
        if (set &&
            libpff_record_set_get_entry_by_type(set.get(), local_tag, pff::kTypeSysTime, local.out(), 0, nullptr) ==
                1 &&
            read_filetime(local.get(), &filetime)) {
            shift = 0;
        } else if (!read_filetime(slots[i].entry.get(), &filetime)) {
            continue;
        }
        char16_t date[10];
        if (format_filetime_date(filetime, shift, date)) {
            draft.set_text(f, std::u16string_view(date, 10));
        }
    }

    if (set) {
        read_categories(set.get(), draft);
        read_flag(set.get(), draft);
    }
    return 1;
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

} // namespace contacts
