// The contact record and the one table that describes its fields.
//
// A record holds 76 texts read from a contact item, the notes text (`body`), the categories
// (`categories`, the "Keywords" values joined by "; "), the flag state (`flag`: "Flagged",
// "Completed" or absent), the index key, two shared constant texts (`kind_name`, `group_name`)
// and three integers. Texts are UTF-16
// (`char16_t`), each either absent or present (possibly empty); readers that show texts treat
// absent and empty alike, but the record keeps the difference.
//
// Footprint: a record is one allocation: a small header with a presence bit per field, one
// offset per present text and the present texts back to back, each NUL-terminated. An empty
// contact costs a few dozen bytes, not 76 string objects.
//
// Records are built from a ContactDraft (mutable, reusable) and are immutable once built.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace contacts {

// Every field of the record, in declared order.
enum class Field : uint8_t
{
    kind_name,
    kind_code,
    first_name,
    middle_name,
    last_name,
    work_po_box,
    work_postal_code,
    work_state,
    work_city,
    work_street,
    work_country,
    business_city,
    business_postal_code,
    business_state,
    business_street,
    business_country,
    mileage,
    display_name_prefix,
    organizational_id,
    gov_id,
    ttytdd_phone,
    account,
    callback_phone,
    other_postal_code,
    other_street,
    other_state,
    other_country,
    other_city,
    home_street,
    home_state,
    home_postal_code,
    home_country,
    business_home_page,
    personal_home_page,
    nickname,
    manager_name,
    birthday,
    anniversary,
    home_city,
    company_main_phone,
    spouse_name,
    profession,
    assistant_name,
    assistant_phone,
    language,
    gender,
    home_address,
    hobbies,
    customer_id,
    home_phone_2,
    home_phone,
    isdn_phone,
    telex,
    home_fax,
    business_fax,
    primary_fax,
    pager,
    other_phone,
    car_phone,
    radio_phone,
    mobile_phone,
    business_phone_2,
    business_phone,
    primary_phone,
    office_location,
    department,
    job_title,
    company_name,
    title,
    suffix,
    email_type,
    email_3,
    email_2,
    email,
    free_busy_address,
    business_address,
    initials,
    full_name,
    index_key,
    group_name,
    body,
    categories,
    flag,
    number,
};

inline constexpr std::size_t kFieldCount = static_cast<std::size_t>(Field::number) + 1; // 84

constexpr std::size_t field_index(Field f)
{
    return static_cast<std::size_t>(f);
}

enum class FieldType : uint8_t
{
    Text,     // owned UTF-16 text or absent
    Constant, // shared constant text (kind_name, group_name)
    Int32,    // kind_code, number
    Int16,    // gender
};

// One row of the field table.
struct FieldInfo
{
    Field field;
    const char* name; // the field's name ("first_name"); also the converter's JSON key
    FieldType type;
    uint16_t tag;            // property tag it is read from; 0 when not read from the item
    const char16_t* caption; // caption in the preview and the outputs; nullptr = not labelled
    uint8_t list_column;     // list subitem 1..8 showing it; 0 = none
};

inline constexpr uint16_t kTagNone = 0;

// The field table, indexed by field_index(). Extraction takes the tags from here; the preview,
// the list and the writers take captions and columns from here.
inline constexpr std::array<FieldInfo, kFieldCount> kFieldTable = {{
    {Field::kind_name, "kind_name", FieldType::Constant, kTagNone, nullptr, 0},
    {Field::kind_code, "kind_code", FieldType::Int32, kTagNone, nullptr, 0},
    {Field::first_name, "first_name", FieldType::Text, 0x3A06, u"First Name", 2},
    {Field::middle_name, "middle_name", FieldType::Text, 0x3A44, u"Middle Name", 0},
    {Field::last_name, "last_name", FieldType::Text, 0x3A11, u"Last Name", 3},
    {Field::work_po_box, "work_po_box", FieldType::Text, 0x804A, nullptr, 0},
    {Field::work_postal_code, "work_postal_code", FieldType::Text, 0x8048, nullptr, 0},
    {Field::work_state, "work_state", FieldType::Text, 0x8047, nullptr, 0},
    {Field::work_city, "work_city", FieldType::Text, 0x8046, nullptr, 0},
    {Field::work_street, "work_street", FieldType::Text, 0x8045, nullptr, 0},
    {Field::work_country, "work_country", FieldType::Text, 0x8049, nullptr, 0},
    {Field::business_city, "business_city", FieldType::Text, 0x3A27, u"Business City", 0},
    {Field::business_postal_code, "business_postal_code", FieldType::Text, 0x3A2A, u"Business Postal Code", 0},
    {Field::business_state, "business_state", FieldType::Text, 0x3A28, u"Business State", 0},
    {Field::business_street, "business_street", FieldType::Text, 0x3A29, u"Business Street", 0},
    {Field::business_country, "business_country", FieldType::Text, 0x3A26, u"Business Country", 0},
    {Field::mileage, "mileage", FieldType::Text, 0x3A1C, u"Mileage", 0},
    {Field::display_name_prefix, "display_name_prefix", FieldType::Text, 0x3A13, u"Display Name Prefix", 0},
    {Field::organizational_id, "organizational_id", FieldType::Text, 0x3A10, nullptr, 0},
    {Field::gov_id, "gov_id", FieldType::Text, 0x3A07, u"Gov Id", 0},
    {Field::ttytdd_phone, "ttytdd_phone", FieldType::Text, 0x3A4B, u"ttytdd Phone", 0},
    {Field::account, "account", FieldType::Text, 0x3A00, nullptr, 0},
    {Field::callback_phone, "callback_phone", FieldType::Text, 0x3A02, nullptr, 0},
    {Field::other_postal_code, "other_postal_code", FieldType::Text, 0x3A61, nullptr, 0},
    {Field::other_street, "other_street", FieldType::Text, 0x3A63, u"Other Street", 0},
    {Field::other_state, "other_state", FieldType::Text, 0x3A62, u"Other State", 0},
    {Field::other_country, "other_country", FieldType::Text, 0x3A60, u"Other Country", 0},
    {Field::other_city, "other_city", FieldType::Text, 0x3A5F, u"Other City", 0},
    {Field::home_street, "home_street", FieldType::Text, 0x3A5D, u"Home Street", 0},
    {Field::home_state, "home_state", FieldType::Text, 0x3A5C, u"Home State", 0},
    {Field::home_postal_code, "home_postal_code", FieldType::Text, 0x3A5B, nullptr, 0},
    {Field::home_country, "home_country", FieldType::Text, 0x3A5A, u"Home Country", 0},
    {Field::business_home_page, "business_home_page", FieldType::Text, 0x3A51, u"Business HomePage", 0},
    {Field::personal_home_page, "personal_home_page", FieldType::Text, 0x3A50, u"Personal Homepage", 0},
    {Field::nickname, "nickname", FieldType::Text, 0x3A4F, u"Nickname", 0},
    {Field::manager_name, "manager_name", FieldType::Text, 0x3A4E, u"Manager Name", 0},
    {Field::birthday, "birthday", FieldType::Text, 0x3A42, u"Birth Day", 0},
    {Field::anniversary, "anniversary", FieldType::Text, 0x3A41, nullptr, 0},
    {Field::home_city, "home_city", FieldType::Text, 0x3A59, u"Home City", 0},
    {Field::company_main_phone, "company_main_phone", FieldType::Text, 0x3A57, u"Company Main Phone", 0},
    {Field::spouse_name, "spouse_name", FieldType::Text, 0x3A48, u"Spouse Name", 0},
    {Field::profession, "profession", FieldType::Text, 0x3A46, u"Profession", 0},
    {Field::assistant_name, "assistant_name", FieldType::Text, 0x3A30, u"Assistant Name", 0},
    {Field::assistant_phone, "assistant_phone", FieldType::Text, 0x3A2E, u"Assistant Phone", 0},
    {Field::language, "language", FieldType::Text, 0x002F, u"Language", 0},
    {Field::gender, "gender", FieldType::Int16, 0x3A4D, nullptr, 0},
    {Field::home_address, "home_address", FieldType::Text, 0x3A5D, u"Home Address", 0},
    {Field::hobbies, "hobbies", FieldType::Text, 0x3A43, u"Hobbies", 0},
    {Field::customer_id, "customer_id", FieldType::Text, 0x3A4A, u"Customer Id", 0},
    {Field::home_phone_2, "home_phone_2", FieldType::Text, 0x3A2F, u"Home Phone2", 0},
    {Field::home_phone, "home_phone", FieldType::Text, 0x3A09, u"Home Phone", 7},
    {Field::isdn_phone, "isdn_phone", FieldType::Text, 0x3A2D, u"isdn phone", 0},
    {Field::telex, "telex", FieldType::Text, 0x3A2C, u"Telex", 0},
    {Field::home_fax, "home_fax", FieldType::Text, 0x3A25, u"Home Fax", 0},
    {Field::business_fax, "business_fax", FieldType::Text, 0x3A24, u"Business Fax", 6},
    {Field::primary_fax, "primary_fax", FieldType::Text, 0x3A23, nullptr, 0},
    {Field::pager, "pager", FieldType::Text, 0x3A21, nullptr, 0},
    {Field::other_phone, "other_phone", FieldType::Text, 0x3A1F, nullptr, 0},
    {Field::car_phone, "car_phone", FieldType::Text, 0x3A1E, u"Car Phone", 0},
    {Field::radio_phone, "radio_phone", FieldType::Text, 0x3A1D, u"Radio Phone", 0},
    {Field::mobile_phone, "mobile_phone", FieldType::Text, 0x3A1C, u"Mobile Phone", 8},
    {Field::business_phone_2, "business_phone_2", FieldType::Text, 0x3A1B, u"Business Phone 2", 0},
    {Field::business_phone, "business_phone", FieldType::Text, 0x3A08, u"Business Phone", 5},
    {Field::primary_phone, "primary_phone", FieldType::Text, 0x3A1A, nullptr, 0},
    {Field::office_location, "office_location", FieldType::Text, 0x3A19, u"Office Location", 0},
    {Field::department, "department", FieldType::Text, 0x3A18, u"Department", 0},
    {Field::job_title, "job_title", FieldType::Text, 0x3A17, nullptr, 0},
    {Field::company_name, "company_name", FieldType::Text, 0x3A16, u"Company Name", 4},
    {Field::title, "title", FieldType::Text, 0x3A45, u"Title", 0},
    {Field::suffix, "suffix", FieldType::Text, 0x3A05, u"Suffix", 0},
    {Field::email_type, "email_type", FieldType::Text, 0x8082, u"Email Type", 0},
    {Field::email_3, "email_3", FieldType::Text, 0x80A3, u"Email-3", 0},
    {Field::email_2, "email_2", FieldType::Text, 0x8094, u"Email-2", 0},
    {Field::email, "email", FieldType::Text, 0x8084, u"Email", 0},
    {Field::free_busy_address, "free_busy_address", FieldType::Text, 0x80D8, u"Free Busy Address", 0},
    {Field::business_address, "business_address", FieldType::Text, 0x3A15, u"Business Address", 0},
    {Field::initials, "initials", FieldType::Text, 0x3A0A, nullptr, 0},
    {Field::full_name, "full_name", FieldType::Text, 0x8005, u"Fullname", 1},
    {Field::index_key, "index_key", FieldType::Text, kTagNone, nullptr, 0},
    {Field::group_name, "group_name", FieldType::Constant, kTagNone, nullptr, 0},
    {Field::body, "body", FieldType::Text, 0x1000, u"Body", 0},
    // Read by their own readers (a string-named multi-value, a flag code), not through the tag.
    {Field::categories, "categories", FieldType::Text, kTagNone, nullptr, 0},
    {Field::flag, "flag", FieldType::Text, kTagNone, nullptr, 0},
    {Field::number, "number", FieldType::Int32, kTagNone, nullptr, 0},
}};

constexpr const FieldInfo& field_info(Field f)
{
    return kFieldTable[field_index(f)];
}

// The list columns of the contact list: column 0 is the number ("S.No"), columns 1 to 8 show
// these fields. kListColumns[i] is the field of subitem i + 1.
inline constexpr std::array<Field, 8> kListColumns = {
    Field::full_name,      Field::first_name,   Field::last_name,  Field::company_name,
    Field::business_phone, Field::business_fax, Field::home_phone, Field::mobile_phone,
};
// The list column headers of those fields, in the same order.
inline constexpr std::array<const char16_t*, 8> kListColumnHeaders = {
    u"Full name",      u"First name",   u"Last name",  u"Company",
    u"Business Phone", u"Business Fax", u"Home Phone", u"Mobile Phone",
};

// One label of the text, HTML and CSV outputs, in their shared order (59 labels). "Last Name"
// and "Surname" both show `last_name`.
struct OutputLabel
{
    const char16_t* label; // as in the CSV header
    Field field;
    const char16_t* text_form; // text output: label form before the value
    const char16_t* html_form; // HTML output: label form before the value
};

inline constexpr std::array<OutputLabel, 59> kOutputLabels = {{
    {u"Suffix", Field::suffix, u"Suffix : ", u"<b>Suffix :</b> "},
    {u"Title", Field::title, u"Title : ", u"<b>Title :</b> "},
    {u"First Name", Field::first_name, u"First Name : ", u"<b>First Name :</b> "},
    {u"Middle Name", Field::middle_name, u"Middle Name :", u"<b>Middle Name :</b>"},
    {u"Last Name", Field::last_name, u"Last Name : ", u"<b>Last Name :</b> "},
    {u"Fullname", Field::full_name, u"Fullname : ", u"<b>Fullname :</b> "},
    {u"Email", Field::email, u"Email : ", u"<b>Email :</b> "},
    {u"Email-2", Field::email_2, u"Email-2 : ", u"<b>Email-2 :</b> "},
    {u"Email-3", Field::email_3, u"Email-3 : ", u"<b>Email-3 :</b> "},
    {u"Email Type", Field::email_type, u"Email Type : ", u"<b>Email Type :</b> "},
    {u"Assistant Name", Field::assistant_name, u"Assistant Name : ", u"<b>Assistant Name :</b> "},
    {u"Assistant Phone", Field::assistant_phone, u"Assistant Phone : ", u"<b>Assistant Phone :</b> "},
    {u"Birth Day", Field::birthday, u"Birth Day : ", u"<b>Birth Day :</b> "},
    {u"Business Address", Field::business_address, u"Business Address :", u"<b>Business Address :</b> "},
    {u"Business City", Field::business_city, u"Business City : ", u"<b>Business City :</b> "},
    {u"Business Country", Field::business_country, u"Business Country : ", u"<b>Business Country :</b> "},
    {u"Business Fax", Field::business_fax, u"Business Fax : ", u"<b>Business Fax :</b> "},
    {u"Business HomePage", Field::business_home_page, u"Business HomePage : ", u"<b>Business HomePage :</b> "},
    {u"Business Phone", Field::business_phone, u"Business Phone : ", u"<b>Business Phone :</b> "},
    {u"Business Phone 2", Field::business_phone_2, u"Business Phone 2 : ", u"<b>Business Phone 2 :</b> "},
    {u"Business Postal Code", Field::business_postal_code, u"Business Postal Code : ",
     u"<b>Business Postal Code :</b> "},
    {u"Business State", Field::business_state, u"Business State : ", u"<b>Business State :</b> "},
    {u"Business Street", Field::business_street, u"Business Street : ", u"<b>Business Street :</b> "},
    {u"Car Phone", Field::car_phone, u"Car Phone : ", u"<b>Car Phone :</b> "},
    {u"Company Main Phone", Field::company_main_phone, u"Company Main Phone : ", u"<b>Company Main Phone :</b> "},
    {u"Company Name", Field::company_name, u"Company Name : ", u"<b>Company Name :</b> "},
    {u"Customer Id", Field::customer_id, u"Customer Id : ", u"<b>Customer Id :</b> "},
    {u"Department", Field::department, u"Department : ", u"<b>Department :</b> "},
    {u"Display Name Prefix", Field::display_name_prefix, u"Display Name Prefix : ", u"<b>Display Name Prefix :</b> "},
    {u"Free Busy Address", Field::free_busy_address, u"Free Busy Address : ", u"<b>Free Busy Address :</b> "},
    {u"Gov Id", Field::gov_id, u"Gov Id : ", u"<b>Gov Id :</b> "},
    {u"Hobbies", Field::hobbies, u"Hobbies : ", u"<b>Hobbies :</b> "},
    {u"Home Address", Field::home_address, u"Home Address : ", u"<b>Home Address :</b> "},
    {u"Home City", Field::home_city, u"Home City : ", u"<b>Home City :</b> "},
    {u"Home Country", Field::home_country, u"Home Country : ", u"<b>Home Country :</b> "},
    {u"Home Fax", Field::home_fax, u"Home Fax : ", u"<b>Home Fax :</b> "},
    {u"Home Phone", Field::home_phone, u"Home Phone : ", u"<b>Home Phone :</b> "},
    {u"Home Phone2", Field::home_phone_2, u"Home Phone2 : ", u"<b>Home Phone2 :</b> "},
    {u"Home State", Field::home_state, u"Home State : ", u"<b>Home State :</b> "},
    {u"Home Street", Field::home_street, u"Home Street : ", u"<b>Home Street :</b> "},
    {u"isdn phone", Field::isdn_phone, u"isdn phone : ", u"<b>isdn phone :</b> "},
    {u"Language", Field::language, u"Language : ", u"<b>Language :</b> "},
    {u"Manager Name", Field::manager_name, u"Manager Name : ", u"<b>Manager Name :</b> "},
    {u"Mileage", Field::mileage, u"Mileage : ", u"<b>Mileage :</b> "},
    {u"Mobile Phone", Field::mobile_phone, u"Mobile Phone : ", u"<b>Mobile Phone :</b> "},
    {u"Nickname", Field::nickname, u"Nickname: ", u"<b>Nickname:</b> "},
    {u"Office Location", Field::office_location, u"Office Location : ", u"<b>Office Location :</b> "},
    {u"Other City", Field::other_city, u"Other City : ", u"<b>Other City :</b> "},
    {u"Other Country", Field::other_country, u"Other Country :", u"<b>Other Country :</b> "},
    {u"Other State", Field::other_state, u"Other State : ", u"<b>Other State :</b> "},
    {u"Other Street", Field::other_street, u"Other Street : ", u"<b>Other Street :</b> "},
    {u"Personal Homepage", Field::personal_home_page, u"Personal Homepage:", u"<b>Personal Homepage:</b> "},
    {u"Profession", Field::profession, u"Profession : ", u"<b>Profession :</b> "},
    {u"Radio Phone", Field::radio_phone, u"Radio Phone : ", u"<b>Radio Phone :</b> "},
    {u"Spouse Name", Field::spouse_name, u"Spouse Name : ", u"<b>Spouse Name :</b> "},
    {u"Surname", Field::last_name, u"Surname : ", u"<b>Surname :</b> "},
    {u"Telex", Field::telex, u"Telex :", u"<b>Telex :</b> "},
    {u"ttytdd Phone", Field::ttytdd_phone, u"ttytdd Phone : ", u"<b>ttytdd Phone :</b> "},
    {u"Body", Field::body, u"Body : ", u"<b>Body :</b> "},
}};

// Shared constant texts of every record.
inline constexpr std::u16string_view kKindName = u"contacts";
inline constexpr std::u16string_view kGroupName = u"All";
inline constexpr int32_t kContactKindCode = 7;

// Mutable values of one contact while it is being read. Reusable: reset() empties it without
// giving back its memory, so reading many contacts allocates (almost) nothing here.
class ContactDraft
{
public:
    ContactDraft();

    // Every text absent, gender 0, number 0, kind code kContactKindCode.
    void reset();

    // Sets a Text field (Constant and integer fields are ignored). A later set replaces the value.
    void set_text(Field f, std::u16string_view value);
    void clear_text(Field f); // makes the field absent
    // Reserves `length` code units for field f and returns where to write them; valid until the
    // next call on this draft. Lets a decoder write straight into the draft.
    char16_t* set_text_uninitialized(Field f, std::size_t length);
    // Shortens a text set before (for decoders that reserved an upper bound).
    void truncate_text(Field f, std::size_t length);

    void set_gender(int16_t v) { m_gender = v; }
    void set_kind_code(int32_t v) { m_kind_code = v; }
    void set_number(int32_t v) { m_number = v; }

    // nullopt when absent.
    std::optional<std::u16string_view> text(Field f) const;
    bool has(Field f) const { return m_length[field_index(f)] != kAbsent; }
    int16_t gender() const { return m_gender; }
    int32_t kind_code() const { return m_kind_code; }
    int32_t number() const { return m_number; }

private:
    static constexpr uint32_t kAbsent = 0xFFFFFFFFu;
    std::u16string m_buffer;
    std::array<uint32_t, kFieldCount> m_start{};
    std::array<uint32_t, kFieldCount> m_length{};
    int16_t m_gender = 0;
    int32_t m_kind_code = kContactKindCode;
    int32_t m_number = 0;
};

class ContactRecord;
class ContactStore;
struct ContactRecordDeleter
{
    void operator()(ContactRecord* r) const noexcept;
};
// Ownership of a record that is not (yet) in a store.
using ContactRecordPtr = std::unique_ptr<ContactRecord, ContactRecordDeleter>;

// An immutable contact. Built by contact_record_build (contact_store.h, in the store's own
// memory) or by make() (on the heap); owned by the store once appended and alive until the
// store is cleared.
class ContactRecord
{
public:
    ContactRecord(const ContactRecord&) = delete;
    ContactRecord& operator=(const ContactRecord&) = delete;

    // Builds a record holding a copy of the draft's values, in one allocation; a text is cut at
    // its first NUL. Returns nullptr when memory runs out (nothing is left allocated).
    static ContactRecordPtr make(const ContactDraft& draft) noexcept;

    // The text of a Text or Constant field; nullopt when absent (or for an integer field).
    std::optional<std::u16string_view> text(Field f) const noexcept;
    // The same as a NUL-terminated string; nullptr when absent.
    const char16_t* c_str(Field f) const noexcept;
    // The text, or an empty view when absent (for readers that treat both alike).
    std::u16string_view text_or_empty(Field f) const noexcept;
    bool has(Field f) const noexcept;

    int32_t kind_code() const noexcept { return m_kind_code; }
    int32_t number() const noexcept { return m_number; }
    int16_t gender() const noexcept { return m_gender; }

    // The next record of the store, or nullptr at the end (acquire load: a record seen through
    // this link is complete).
    const ContactRecord* next() const noexcept { return m_next.load(std::memory_order_acquire); }

    // Bytes this record occupies (header, offsets and texts).
    std::size_t footprint() const noexcept { return m_bytes; }

private:
    friend struct ContactRecordDeleter;
    friend int contact_store_append(ContactStore& store, ContactRecordPtr record) noexcept;
    friend void contact_store_clear(ContactStore& store) noexcept;
    friend class ContactStore;
    ContactRecord() = default;
    // Bytes a record of `draft` needs; 0 when it would exceed 4 GiB.
    static std::size_t size_for(const ContactDraft& draft) noexcept;
    // Builds the record in `memory` (size_for(draft) bytes, 8-byte aligned).
    static ContactRecord* build_in(void* memory, std::size_t bytes, const ContactDraft& draft, bool in_arena) noexcept;
    // Layout after the header: one uint32_t start offset per present text field (in field
    // order), then the texts, each NUL-terminated, in code units.
    const uint32_t* offsets() const noexcept;
    const char16_t* block() const noexcept;

    std::atomic<ContactRecord*> m_next{nullptr};
    uint32_t m_bytes = 0;
    int32_t m_kind_code = 0;
    int32_t m_number = 0;
    int16_t m_gender = 0;
    uint8_t m_present_count = 0;
    bool m_in_arena = false; // memory belongs to the store's arena, not to the heap
    // Bit i set when field i holds a text.
    std::array<uint32_t, (kFieldCount + 31) / 32> m_present{};
};

// Field names as UTF-8 for the converter and tests; nullptr for an unknown name.
const FieldInfo* field_by_name(std::string_view name) noexcept;

} // namespace contacts
