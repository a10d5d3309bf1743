// The contact record and the one table that describes its fields.
//
// A record holds 76 texts read from a contact item, the notes text (`body`), the categories
// (`categories`, the "Keywords" values joined by "; "), the flag state (`flag`: "Flagged",
// "Completed" or absent), the contact's display name (`display_name`, PR_DISPLAY_NAME: the name
// Outlook shows, where `full_name` is the name it files the contact under), the index key, two
// shared constant texts (`kind_name`, `group_name`) and three integers. Texts are UTF-16
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
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pst/text.h"

namespace contacts {

// Where a contact was found: in the file's live folders, in a message node no folder reaches
// (an orphan), or in a property context left in free space (recovered from a deleted item); or,
// for the cards of a person nobody saved, in Outlook's autocomplete list, in its recipient cache
// (IPM.AbchPerson items), or among the senders and recipients of the mail.
enum class Origin : uint8_t
{
    live,
    orphan,
    recovered,
    autocomplete,
    recipient_cache,
    correspondent,
};
inline constexpr std::array<Origin, 6> kOrigins = {
    Origin::live,         Origin::orphan,          Origin::recovered,
    Origin::autocomplete, Origin::recipient_cache, Origin::correspondent};
// "live" / "orphan" / "recovered" / "autocomplete" / "recipient_cache" / "correspondent".
std::string_view origin_name(Origin origin) noexcept;
// The category the vCard 3.0 and 4.0 outputs give a card of a person nobody saved, so that it can
// be found after import: "Autocomplete", "Recipient cache", "Correspondent"; empty for the
// contacts of the file (live, orphan or recovered).
std::u16string_view origin_category(Origin origin) noexcept;

// The image type of a contact photo.
enum class PhotoType : uint8_t
{
    none,
    jpeg,
    png,
    gif,
};
// "JPEG" / "PNG" / "GIF" (vCard TYPE values); "" for none.
std::string_view photo_type_name(PhotoType type) noexcept;
// "image/jpeg" / "image/png" / "image/gif"; "" for none.
std::string_view photo_mime_type(PhotoType type) noexcept;
// The type a MIME type ("image/jpeg", "image/jpg", "image/pjpeg", ...), a file extension
// (".jpg", "png", ...) or the bytes' magic names; none when nothing fits.
PhotoType photo_type_from_mime(std::string_view mime) noexcept;
PhotoType photo_type_from_extension(std::string_view extension) noexcept;
PhotoType photo_type_from_magic(std::span<const uint8_t> bytes) noexcept;

// A contact photo: its bytes (owned by the record) and type; empty bytes and none when absent.
struct PhotoView
{
    std::span<const uint8_t> bytes;
    PhotoType type = PhotoType::none;
    bool empty() const noexcept { return bytes.empty(); }
};

// What identifies a contact within its file, for the UIDs of the vCard 3.0 and 4.0 outputs: the
// first 16 bytes of its PidTagSearchKey, else its node id. All zero when unknown.
using ContactIdentity = std::array<uint8_t, 16>;
// The identity of a node id: "NID:" and the id in 4 big-endian bytes, the rest zero.
ContactIdentity identity_of_node(uint32_t node_id) noexcept;
// The identity of a search key: its first 16 bytes (zero-padded); all zero when empty.
ContactIdentity identity_of_search_key(std::span<const uint8_t> key) noexcept;

// An e-mail address of a contact whose type is EX: the slot (0-2: e-mail 1-3), the legacy
// Exchange DN ("/o=.../cn=...") and the original display name stored beside it (which Outlook
// fills with the SMTP address when it knows one; may be empty).
struct ExchangeAddress
{
    int slot = 0;
    std::u16string_view dn;
    std::u16string_view original;
};
// The packed form the draft and record keep: per address the slot digit, the DN, U+001F, the
// original display name, U+001E. `exchange_addresses` unpacks it (malformed parts are skipped).
void append_exchange_address(int slot, std::u16string_view dn, std::u16string_view original, std::u16string& packed);
std::vector<ExchangeAddress> exchange_addresses(std::u16string_view packed);

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
    display_name,
    number,
};

inline constexpr std::size_t kFieldCount = static_cast<std::size_t>(Field::number) + 1; // 85

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
    uint16_t tag; // property tag it is read from; 0 when not read from the item
};
inline constexpr uint16_t kTagNone = 0;

// The field table, indexed by field_index(). Extraction takes the tags from here, the converter
// the names; the views take their labels from kListColumns and kOutputLabels below.
inline constexpr std::array<FieldInfo, kFieldCount> kFieldTable = {{
    {Field::kind_name, "kind_name", FieldType::Constant, kTagNone},
    {Field::kind_code, "kind_code", FieldType::Int32, kTagNone},
    {Field::first_name, "first_name", FieldType::Text, 0x3A06},
    {Field::middle_name, "middle_name", FieldType::Text, 0x3A44},
    {Field::last_name, "last_name", FieldType::Text, 0x3A11},
    {Field::work_po_box, "work_po_box", FieldType::Text, 0x804A},
    {Field::work_postal_code, "work_postal_code", FieldType::Text, 0x8048},
    {Field::work_state, "work_state", FieldType::Text, 0x8047},
    {Field::work_city, "work_city", FieldType::Text, 0x8046},
    {Field::work_street, "work_street", FieldType::Text, 0x8045},
    {Field::work_country, "work_country", FieldType::Text, 0x8049},
    {Field::business_city, "business_city", FieldType::Text, 0x3A27},
    {Field::business_postal_code, "business_postal_code", FieldType::Text, 0x3A2A},
    {Field::business_state, "business_state", FieldType::Text, 0x3A28},
    {Field::business_street, "business_street", FieldType::Text, 0x3A29},
    {Field::business_country, "business_country", FieldType::Text, 0x3A26},
    {Field::mileage, "mileage", FieldType::Text, 0x3A1C},
    {Field::display_name_prefix, "display_name_prefix", FieldType::Text, 0x3A13},
    {Field::organizational_id, "organizational_id", FieldType::Text, 0x3A10},
    {Field::gov_id, "gov_id", FieldType::Text, 0x3A07},
    {Field::ttytdd_phone, "ttytdd_phone", FieldType::Text, 0x3A4B},
    {Field::account, "account", FieldType::Text, 0x3A00},
    {Field::callback_phone, "callback_phone", FieldType::Text, 0x3A02},
    {Field::other_postal_code, "other_postal_code", FieldType::Text, 0x3A61},
    {Field::other_street, "other_street", FieldType::Text, 0x3A63},
    {Field::other_state, "other_state", FieldType::Text, 0x3A62},
    {Field::other_country, "other_country", FieldType::Text, 0x3A60},
    {Field::other_city, "other_city", FieldType::Text, 0x3A5F},
    {Field::home_street, "home_street", FieldType::Text, 0x3A5D},
    {Field::home_state, "home_state", FieldType::Text, 0x3A5C},
    {Field::home_postal_code, "home_postal_code", FieldType::Text, 0x3A5B},
    {Field::home_country, "home_country", FieldType::Text, 0x3A5A},
    {Field::business_home_page, "business_home_page", FieldType::Text, 0x3A51},
    {Field::personal_home_page, "personal_home_page", FieldType::Text, 0x3A50},
    {Field::nickname, "nickname", FieldType::Text, 0x3A4F},
    {Field::manager_name, "manager_name", FieldType::Text, 0x3A4E},
    {Field::birthday, "birthday", FieldType::Text, 0x3A42},
    {Field::anniversary, "anniversary", FieldType::Text, 0x3A41},
    {Field::home_city, "home_city", FieldType::Text, 0x3A59},
    {Field::company_main_phone, "company_main_phone", FieldType::Text, 0x3A57},
    {Field::spouse_name, "spouse_name", FieldType::Text, 0x3A48},
    {Field::profession, "profession", FieldType::Text, 0x3A46},
    {Field::assistant_name, "assistant_name", FieldType::Text, 0x3A30},
    {Field::assistant_phone, "assistant_phone", FieldType::Text, 0x3A2E},
    {Field::language, "language", FieldType::Text, 0x002F},
    {Field::gender, "gender", FieldType::Int16, 0x3A4D},
    {Field::home_address, "home_address", FieldType::Text, 0x3A5D},
    {Field::hobbies, "hobbies", FieldType::Text, 0x3A43},
    {Field::customer_id, "customer_id", FieldType::Text, 0x3A4A},
    {Field::home_phone_2, "home_phone_2", FieldType::Text, 0x3A2F},
    {Field::home_phone, "home_phone", FieldType::Text, 0x3A09},
    {Field::isdn_phone, "isdn_phone", FieldType::Text, 0x3A2D},
    {Field::telex, "telex", FieldType::Text, 0x3A2C},
    {Field::home_fax, "home_fax", FieldType::Text, 0x3A25},
    {Field::business_fax, "business_fax", FieldType::Text, 0x3A24},
    {Field::primary_fax, "primary_fax", FieldType::Text, 0x3A23},
    {Field::pager, "pager", FieldType::Text, 0x3A21},
    {Field::other_phone, "other_phone", FieldType::Text, 0x3A1F},
    {Field::car_phone, "car_phone", FieldType::Text, 0x3A1E},
    {Field::radio_phone, "radio_phone", FieldType::Text, 0x3A1D},
    {Field::mobile_phone, "mobile_phone", FieldType::Text, 0x3A1C},
    {Field::business_phone_2, "business_phone_2", FieldType::Text, 0x3A1B},
    {Field::business_phone, "business_phone", FieldType::Text, 0x3A08},
    {Field::primary_phone, "primary_phone", FieldType::Text, 0x3A1A},
    {Field::office_location, "office_location", FieldType::Text, 0x3A19},
    {Field::department, "department", FieldType::Text, 0x3A18},
    {Field::job_title, "job_title", FieldType::Text, 0x3A17},
    {Field::company_name, "company_name", FieldType::Text, 0x3A16},
    {Field::title, "title", FieldType::Text, 0x3A45},
    {Field::suffix, "suffix", FieldType::Text, 0x3A05},
    {Field::email_type, "email_type", FieldType::Text, 0x8082},
    {Field::email_3, "email_3", FieldType::Text, 0x80A3},
    {Field::email_2, "email_2", FieldType::Text, 0x8094},
    {Field::email, "email", FieldType::Text, 0x8084},
    {Field::free_busy_address, "free_busy_address", FieldType::Text, 0x80D8},
    {Field::business_address, "business_address", FieldType::Text, 0x3A15},
    {Field::initials, "initials", FieldType::Text, 0x3A0A},
    {Field::full_name, "full_name", FieldType::Text, 0x8005},
    {Field::index_key, "index_key", FieldType::Text, kTagNone},
    {Field::group_name, "group_name", FieldType::Constant, kTagNone},
    {Field::body, "body", FieldType::Text, 0x1000},
    // Read by their own readers (a string-named multi-value, a flag code), not through the tag.
    {Field::categories, "categories", FieldType::Text, kTagNone},
    {Field::flag, "flag", FieldType::Text, kTagNone},
    // Read after the body; the vCard 3.0 and 4.0 outputs name the contact by it.
    {Field::display_name, "display_name", FieldType::Text, 0x3001},
    {Field::number, "number", FieldType::Int32, kTagNone},
}};

constexpr const FieldInfo& field_info(Field f)
{
    return kFieldTable[field_index(f)];
}

// The columns of the contact list after column 0 (the number, "S.No"), in order. Rows of a
// scan show the first kScanListColumns; rows of a fill show every column except those marked.
// The converter's --list writes the number and the scan's columns.
struct ListColumn
{
    Field field;
    const char16_t* title;
    bool in_fill_rows = true; // false: a fill row leaves the cell empty
};
inline constexpr std::array<ListColumn, 10> kListColumns = {{
    {Field::full_name, u"Full name", false},
    {Field::first_name, u"First name"},
    {Field::last_name, u"Last name"},
    {Field::company_name, u"Company"},
    {Field::business_phone, u"Business Phone"},
    {Field::business_fax, u"Business Fax"},
    {Field::home_phone, u"Home Phone"},
    {Field::mobile_phone, u"Mobile Phone"},
    {Field::flag, u"Flag"},
    {Field::categories, u"Categories"},
}};
inline constexpr std::size_t kScanListColumns = 8;

// One label of the text, HTML and CSV outputs and of the preview, in their shared order (59
// labels). "Last Name" and "Surname" both show `last_name`. The CSV header is the labels; the
// text form is the label and its separator ("Suffix : "); the HTML form puts the label and the
// separator without its trailing blanks in bold, then a blank ("<b>Suffix :</b> ").
struct OutputLabel
{
    const char16_t* label; // as in the CSV header
    Field field;
    const char16_t* separator = u" : "; // after the label in the text form
    bool html_blank = true;             // the HTML form ends with a blank after the bold part
    bool in_preview = true;             // the window's preview shows this line
};
inline constexpr std::array<OutputLabel, 59> kOutputLabels = {{
    {u"Suffix", Field::suffix},
    {u"Title", Field::title},
    {u"First Name", Field::first_name},
    {u"Middle Name", Field::middle_name, u" :", false},
    {u"Last Name", Field::last_name},
    {u"Fullname", Field::full_name, u" : ", true, false},
    {u"Email", Field::email},
    {u"Email-2", Field::email_2},
    {u"Email-3", Field::email_3},
    {u"Email Type", Field::email_type},
    {u"Assistant Name", Field::assistant_name},
    {u"Assistant Phone", Field::assistant_phone},
    {u"Birth Day", Field::birthday},
    {u"Business Address", Field::business_address, u" :"},
    {u"Business City", Field::business_city},
    {u"Business Country", Field::business_country},
    {u"Business Fax", Field::business_fax},
    {u"Business HomePage", Field::business_home_page},
    {u"Business Phone", Field::business_phone},
    {u"Business Phone 2", Field::business_phone_2},
    {u"Business Postal Code", Field::business_postal_code},
    {u"Business State", Field::business_state},
    {u"Business Street", Field::business_street},
    {u"Car Phone", Field::car_phone},
    {u"Company Main Phone", Field::company_main_phone},
    {u"Company Name", Field::company_name},
    {u"Customer Id", Field::customer_id},
    {u"Department", Field::department},
    {u"Display Name Prefix", Field::display_name_prefix},
    {u"Free Busy Address", Field::free_busy_address},
    {u"Gov Id", Field::gov_id},
    {u"Hobbies", Field::hobbies},
    {u"Home Address", Field::home_address},
    {u"Home City", Field::home_city},
    {u"Home Country", Field::home_country},
    {u"Home Fax", Field::home_fax},
    {u"Home Phone", Field::home_phone},
    {u"Home Phone2", Field::home_phone_2},
    {u"Home State", Field::home_state},
    {u"Home Street", Field::home_street},
    {u"isdn phone", Field::isdn_phone},
    {u"Language", Field::language},
    {u"Manager Name", Field::manager_name},
    {u"Mileage", Field::mileage},
    {u"Mobile Phone", Field::mobile_phone},
    {u"Nickname", Field::nickname, u": "},
    {u"Office Location", Field::office_location},
    {u"Other City", Field::other_city},
    {u"Other Country", Field::other_country, u" :"},
    {u"Other State", Field::other_state},
    {u"Other Street", Field::other_street},
    {u"Personal Homepage", Field::personal_home_page, u":"},
    {u"Profession", Field::profession},
    {u"Radio Phone", Field::radio_phone},
    {u"Spouse Name", Field::spouse_name},
    {u"Surname", Field::last_name},
    {u"Telex", Field::telex, u" :"},
    {u"ttytdd Phone", Field::ttytdd_phone},
    {u"Body", Field::body, u" : ", true, false},
}};

// The text form ("Suffix : ") and HTML form ("<b>Suffix :</b> ") of a label of kOutputLabels.
std::u16string_view text_form(const OutputLabel& label);
std::u16string_view html_form(const OutputLabel& label);

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
    ContactDraft(const ContactDraft& other);
    ContactDraft& operator=(const ContactDraft& other);
    ContactDraft(ContactDraft&&) noexcept = default;
    ContactDraft& operator=(ContactDraft&&) noexcept = default;
    // Exchanges the values (and buffers) of two drafts, member by member: a draft read ahead
    // changes hands once for every contact.
    void swap(ContactDraft& other) noexcept;

    // Every text absent, gender 0, number 0, kind code kContactKindCode. A draft reused contact
    // after contact allocates only to grow: reset() keeps the room of its texts and photo, each up
    // to kKeptBytes (the room of a contact with long texts or a large photo is released).
    void reset();
    static constexpr std::size_t kKeptBytes = 16 * 1024;

    // Sets a Text field (Constant and integer fields are ignored). A later set replaces the value.
    void set_text(Field f, std::u16string_view value);
    void clear_text(Field f); // makes the field absent
    // Reserves `length` code units for field f and returns where to write them; valid until the
    // next call on this draft. Lets a decoder write straight into the draft.
    char16_t* set_text_uninitialized(Field f, std::size_t length);
    // Shortens a text set before (for decoders that reserved an upper bound).
    void truncate_text(Field f, std::size_t length);
    // As truncate_text, for a decoder that wrote the text only up to its first NUL: the record
    // then takes its length as it is instead of looking for a NUL in it again. Any later set of
    // the field forgets this.
    void end_text_before_nul(Field f, std::size_t length);
    // Sets a Text field from stored UTF-16LE bytes (an odd last byte left out) up to their first
    // NUL, in one call: what set_text_uninitialized, a decoder and end_text_before_nul would do.
    // Inline: most texts of a file are set so.
    void set_text_utf16le(Field f, const uint8_t* bytes, std::size_t size)
    {
        if (field_info(f).type != FieldType::Text) {
            return;
        }
        const auto i = field_index(f);
        if (m_capacity - m_used < size / 2) {
            grow(size / 2);
        }
        const std::size_t length = pst::utf16le_to_utf16(bytes, size, m_buffer.get() + m_used);
        m_start[i] = static_cast<uint32_t>(m_used);
        m_length[i] = static_cast<uint32_t>(length);
        m_no_nul.set(i);
        m_present[i / 32] |= 1u << (i % 32);
        m_used += length;
    }

    void set_gender(int16_t v) { m_gender = v; }
    void set_kind_code(int32_t v) { m_kind_code = v; }
    void set_number(int32_t v) { m_number = v; }
    void set_origin(Origin v) { m_origin = v; }
    // The contact photo (copied); empty bytes or PhotoType::none clear it.
    void set_photo(std::span<const uint8_t> bytes, PhotoType type);
    void set_identity(const ContactIdentity& v) { m_identity = v; }
    // The packed EX addresses (append_exchange_address); empty: none.
    void set_exchange(std::u16string_view packed) { m_exchange.assign(packed); }
    // Where the contact was found: its place in the store's sources (contact_sources.h) and its
    // node id in the file.
    void set_place(uint32_t place) { m_place = place; }
    void set_node_id(uint32_t node_id) { m_node_id = node_id; }

    // nullopt when absent.
    std::optional<std::u16string_view> text(Field f) const;
    bool has(Field f) const { return m_length[field_index(f)] != kAbsent; }
    int16_t gender() const { return m_gender; }
    int32_t kind_code() const { return m_kind_code; }
    int32_t number() const { return m_number; }
    Origin origin() const { return m_origin; }
    PhotoView photo() const { return {m_photo, m_photo.empty() ? PhotoType::none : m_photo_type}; }
    const ContactIdentity& identity() const { return m_identity; }
    std::u16string_view exchange() const { return m_exchange; }
    uint32_t place() const { return m_place; }
    uint32_t node_id() const { return m_node_id; }

private:
    friend class ContactRecord; // reads the texts where they lie
    // Room for `length` more code units.
    void grow(std::size_t length);
    static constexpr uint32_t kAbsent = 0xFFFFFFFFu;
    // The texts, one after another; grown without filling what decoders overwrite anyway.
    std::unique_ptr<char16_t[]> m_buffer;
    std::size_t m_used = 0;
    std::size_t m_capacity = 0;
    std::array<uint32_t, kFieldCount> m_start{};
    std::array<uint32_t, kFieldCount> m_length{};
    std::bitset<kFieldCount> m_no_nul; // texts known to hold no NUL (end_text_before_nul)
    // The texts set, one bit per field index (m_length not kAbsent): a record is planned from the
    // texts a contact has, not from every text field.
    std::array<uint32_t, (kFieldCount + 31) / 32> m_present{};
    int16_t m_gender = 0;
    int32_t m_kind_code = kContactKindCode;
    int32_t m_number = 0;
    Origin m_origin = Origin::live;
    PhotoType m_photo_type = PhotoType::none;
    std::vector<uint8_t> m_photo;
    ContactIdentity m_identity{};
    std::u16string m_exchange;
    uint32_t m_place = 0;
    uint32_t m_node_id = 0;
};

class ContactRecord;
class ContactStore;
// Every field's text_or_empty at once, by field_index (see ContactRecord::texts).
using RecordTexts = std::array<std::u16string_view, kFieldCount>;
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
    // The text, or an empty view when absent (for readers that treat both alike).
    std::u16string_view text_or_empty(Field f) const noexcept;
    bool has(Field f) const noexcept;
    // text_or_empty of every field in one pass over the record, for writers that read most
    // fields of each record (a lookup per field counts the present fields before it).
    void texts(RecordTexts& out) const noexcept;

    int32_t kind_code() const noexcept { return m_kind_code; }
    int32_t number() const noexcept { return m_number; }
    int16_t gender() const noexcept { return m_gender; }
    Origin origin() const noexcept { return m_origin; }
    // The contact photo; empty (type none) when the contact has none.
    PhotoView photo() const noexcept;
    // What identifies the contact in its file; all zero when unknown.
    const ContactIdentity& identity() const noexcept { return m_identity; }
    // The packed EX addresses (exchange_addresses() unpacks them); empty when none.
    std::u16string_view exchange() const noexcept;
    // Its place among the store's sources (contact_source() says file and folder) and its node
    // id in that file; kNoPlace and 0 when built outside a scan.
    uint32_t place() const noexcept { return m_place; }
    uint32_t node_id() const noexcept { return m_node_id; }

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
    // What a record of a draft holds: its present texts (a bit each, as the record keeps them)
    // with each one's length up to its first NUL, and the bytes it needs (0 when it would exceed
    // 4 GiB).
    struct Plan
    {
        std::array<uint32_t, (kFieldCount + 31) / 32> present_bits;
        std::array<uint32_t, kFieldCount> length; // of the present texts only
        std::size_t present = 0;
        bool short_offsets = false;
        std::size_t bytes = 0;
    };
    static void plan_for(const ContactDraft& draft, Plan& plan) noexcept;
    // Builds the record in `memory` (plan.bytes bytes, 8-byte aligned).
    static ContactRecord* build_in(void* memory, const Plan& plan, const ContactDraft& draft, bool in_arena) noexcept;
    // Layout after the header: one start offset per present text field (in field order; a
    // uint16_t when the texts hold at most 65,535 code units, as nearly all do, else a
    // uint32_t), then the texts one after another in code units (a text ends where the next
    // starts), then the packed EX
    // addresses (m_exchange_units code units at m_exchange_at); with a photo, then its bytes
    // and their count as an unaligned uint32_t. A record without a photo pays nothing for it.
    // Where the text of present slot `slot` starts, in code units after block().
    uint32_t offset(std::size_t slot) const noexcept;
    // The text of present slot `slot`.
    std::u16string_view slot_text(std::size_t slot) const noexcept;
    const char16_t* block() const noexcept;

    std::atomic<ContactRecord*> m_next{nullptr};
    uint32_t m_bytes = 0;
    int32_t m_kind_code = 0;
    int32_t m_number = 0;
    int16_t m_gender = 0;
    uint8_t m_present_count = 0;
    bool m_in_arena = false; // memory belongs to the store's arena, not to the heap
    Origin m_origin = Origin::live;
    PhotoType m_photo_type = PhotoType::none; // none: no photo follows the texts
    bool m_short_offsets = false;             // the offsets are uint16_t (texts of 65,535 units or fewer)
    // Bit i set when field i holds a text.
    std::array<uint32_t, (kFieldCount + 31) / 32> m_present{};
    ContactIdentity m_identity{};
    uint32_t m_exchange_at = 0; // code units after block()
    uint32_t m_exchange_units = 0;
    uint32_t m_place = 0;
    uint32_t m_node_id = 0;
};

// Field names as UTF-8 for the converter and tests; nullptr for an unknown name.
const FieldInfo* field_by_name(std::string_view name) noexcept;

} // namespace contacts
