// The CSV layouts that importers match by their own header names: Google Contacts' export
// header and Outlook's 92-column desktop export header (in English).
//
// Values are quoted as in the 59-label CSV (RFC 4180). Google's multi-values share a cell
// separated by " ::: "; its "Labels" column holds "* myContacts" and the categories. Outlook's
// dates are written as its export writes them ("4/15/1995", "0/0/00" for none), its categories
// separated by ';'.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "contacts/output_writers.h"
#include "contacts/text.h"
#include "output_dates.h"

namespace contacts {

namespace {

constexpr std::array<const char*, 86> kGoogleColumns = {
    "First Name",
    "Middle Name",
    "Last Name",
    "Phonetic First Name",
    "Phonetic Middle Name",
    "Phonetic Last Name",
    "Name Prefix",
    "Name Suffix",
    "Nickname",
    "File As",
    "Organization Name",
    "Organization Title",
    "Organization Department",
    "Birthday",
    "Notes",
    "Photo",
    "Labels",
    "E-mail 1 - Label",
    "E-mail 1 - Value",
    "E-mail 2 - Label",
    "E-mail 2 - Value",
    "E-mail 3 - Label",
    "E-mail 3 - Value",
    "Phone 1 - Label",
    "Phone 1 - Value",
    "Phone 2 - Label",
    "Phone 2 - Value",
    "Phone 3 - Label",
    "Phone 3 - Value",
    "Phone 4 - Label",
    "Phone 4 - Value",
    "Phone 5 - Label",
    "Phone 5 - Value",
    "Phone 6 - Label",
    "Phone 6 - Value",
    "Phone 7 - Label",
    "Phone 7 - Value",
    "Phone 8 - Label",
    "Phone 8 - Value",
    "Phone 9 - Label",
    "Phone 9 - Value",
    "Phone 10 - Label",
    "Phone 10 - Value",
    "Phone 11 - Label",
    "Phone 11 - Value",
    "Phone 12 - Label",
    "Phone 12 - Value",
    "Phone 13 - Label",
    "Phone 13 - Value",
    "Phone 14 - Label",
    "Phone 14 - Value",
    "Phone 15 - Label",
    "Phone 15 - Value",
    "Address 1 - Label",
    "Address 1 - Formatted",
    "Address 1 - Street",
    "Address 1 - City",
    "Address 1 - PO Box",
    "Address 1 - Region",
    "Address 1 - Postal Code",
    "Address 1 - Country",
    "Address 1 - Extended Address",
    "Address 2 - Label",
    "Address 2 - Formatted",
    "Address 2 - Street",
    "Address 2 - City",
    "Address 2 - PO Box",
    "Address 2 - Region",
    "Address 2 - Postal Code",
    "Address 2 - Country",
    "Address 2 - Extended Address",
    "Address 3 - Label",
    "Address 3 - Formatted",
    "Address 3 - Street",
    "Address 3 - City",
    "Address 3 - PO Box",
    "Address 3 - Region",
    "Address 3 - Postal Code",
    "Address 3 - Country",
    "Address 3 - Extended Address",
    "Website 1 - Label",
    "Website 1 - Value",
    "Website 2 - Label",
    "Website 2 - Value",
    "Event 1 - Label",
    "Event 1 - Value",
};

constexpr std::array<const char*, 92> kOutlookColumns = {
    "Title",
    "First Name",
    "Middle Name",
    "Last Name",
    "Suffix",
    "Company",
    "Department",
    "Job Title",
    "Business Street",
    "Business Street 2",
    "Business Street 3",
    "Business City",
    "Business State",
    "Business Postal Code",
    "Business Country/Region",
    "Home Street",
    "Home Street 2",
    "Home Street 3",
    "Home City",
    "Home State",
    "Home Postal Code",
    "Home Country/Region",
    "Other Street",
    "Other Street 2",
    "Other Street 3",
    "Other City",
    "Other State",
    "Other Postal Code",
    "Other Country/Region",
    "Assistant's Phone",
    "Business Fax",
    "Business Phone",
    "Business Phone 2",
    "Callback",
    "Car Phone",
    "Company Main Phone",
    "Home Fax",
    "Home Phone",
    "Home Phone 2",
    "ISDN",
    "Mobile Phone",
    "Other Fax",
    "Other Phone",
    "Pager",
    "Primary Phone",
    "Radio Phone",
    "TTY/TDD Phone",
    "Telex",
    "Account",
    "Anniversary",
    "Assistant's Name",
    "Billing Information",
    "Birthday",
    "Business Address PO Box",
    "Categories",
    "Children",
    "Directory Server",
    "E-mail Address",
    "E-mail Type",
    "E-mail Display Name",
    "E-mail 2 Address",
    "E-mail 2 Type",
    "E-mail 2 Display Name",
    "E-mail 3 Address",
    "E-mail 3 Type",
    "E-mail 3 Display Name",
    "Gender",
    "Government ID Number",
    "Hobby",
    "Home Address PO Box",
    "Initials",
    "Internet Free Busy",
    "Keywords",
    "Language",
    "Location",
    "Manager's Name",
    "Mileage",
    "Notes",
    "Office Location",
    "Organizational ID Number",
    "Other Address PO Box",
    "Priority",
    "Private",
    "Profession",
    "Referred By",
    "Sensitivity",
    "Spouse",
    "User 1",
    "User 2",
    "User 3",
    "User 4",
    "Web Page",
};

constexpr Field kNoField = Field::kind_name;
constexpr std::u16string_view kMultiSeparator = u" ::: ";

// A record and all its texts, taken from it at once for its row.
struct RowRecord
{
    explicit RowRecord(const ContactRecord& r) : record(r) { r.texts(texts); }
    const ContactRecord& record;
    RecordTexts texts;
};

std::u16string_view text(const RowRecord& r, Field f)
{
    return f == kNoField ? std::u16string_view{} : r.texts[field_index(f)];
}

// The categories of the record (joined by "; ") one by one.
template <typename Each> void for_each_category(const RowRecord& record, Each each)
{
    const auto all = text(record, Field::categories);
    for (std::size_t start = 0; start < all.size();) {
        const std::size_t end = std::min(all.find(u"; ", start), all.size());
        if (end > start) {
            each(all.substr(start, end - start));
        }
        start = end + 2;
    }
}

// The cells of one row: views of the record's texts where a cell holds one as it stands, strings
// of their own for the values put together here. Reused from row to row.
class Row
{
public:
    void reset(std::size_t columns)
    {
        m_views.assign(columns, {});
        m_owned.resize(columns);
        for (const std::size_t i : m_used) {
            m_owned[i].clear(); // keeps its memory
        }
        m_used.clear();
        m_is_owned.assign(columns, false);
    }
    void set(std::size_t i, std::u16string_view value)
    {
        m_views[i] = value;
        m_is_owned[i] = false;
    }
    // The cell's own string, to be filled by the caller.
    std::u16string& own(std::size_t i)
    {
        if (!m_is_owned[i]) {
            m_is_owned[i] = true;
            m_used.push_back(i);
        }
        return m_owned[i];
    }
    std::u16string_view operator[](std::size_t i) const
    {
        return m_is_owned[i] ? std::u16string_view(m_owned[i]) : m_views[i];
    }
    std::size_t size() const { return m_views.size(); }

private:
    std::vector<std::u16string_view> m_views;
    std::vector<std::u16string> m_owned;
    std::vector<bool> m_is_owned;
    std::vector<std::size_t> m_used;
};

void write_row(const Row& cells, std::string& out)
{
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) {
            out.push_back(',');
        }
        if (const std::u16string_view cell = cells[i]; !cell.empty()) {
            append_csv_value(cell, out);
        }
    }
    out += "\r\n";
}

// ---- Google Contacts

// Column positions of the numbered groups.
constexpr std::size_t kGoogleEmails = 17;    // 3 x (Label, Value)
constexpr std::size_t kGooglePhones = 23;    // 15 x (Label, Value)
constexpr std::size_t kGoogleAddresses = 53; // 3 x 9
constexpr std::size_t kGoogleWebsites = 80;  // 2 x (Label, Value)
constexpr std::size_t kGoogleEvent = 84;
constexpr std::size_t kGooglePhoneSlots = 15;

// The telephone fields and Google's label for each; a row puts the numbers of one label into
// one cell, in the order of their labels' first appearance here.
struct GooglePhone
{
    Field field;
    const char16_t* label;
};
constexpr std::array<GooglePhone, 19> kGooglePhones_ = {{
    {Field::mobile_phone, u"Mobile"},
    {Field::business_phone, u"Work"},
    {Field::business_phone_2, u"Work"},
    {Field::home_phone, u"Home"},
    {Field::home_phone_2, u"Home"},
    {Field::primary_phone, u"Main"},
    {Field::company_main_phone, u"Company Main"},
    {Field::business_fax, u"Work Fax"},
    {Field::home_fax, u"Home Fax"},
    {Field::primary_fax, u"Other Fax"},
    {Field::pager, u"Pager"},
    {Field::other_phone, u"Other"},
    {Field::car_phone, u"Car"},
    {Field::radio_phone, u"Radio"},
    {Field::isdn_phone, u"ISDN"},
    {Field::telex, u"Telex"},
    {Field::ttytdd_phone, u"TTY/TDD"},
    {Field::assistant_phone, u"Assistant"},
    {Field::callback_phone, u"Callback"},
}};

struct GoogleAddress
{
    const char16_t* label;
    Field street, city, po_box, region, postal_code, country;
};
constexpr std::array<GoogleAddress, 3> kGoogleAddresses_ = {{
    {u"Work", Field::business_street, Field::business_city, Field::work_po_box, Field::business_state,
     Field::business_postal_code, Field::business_country},
    {u"Home", Field::home_street, Field::home_city, kNoField, Field::home_state, Field::home_postal_code,
     Field::home_country},
    {u"Other", Field::other_street, Field::other_city, kNoField, Field::other_state, Field::other_postal_code,
     Field::other_country},
}};

// "1999-12-31" for a valid date field, else empty.
std::u16string_view iso_date(const RowRecord& record, Field f)
{
    const auto t = text(record, f);
    return parse_iso_date(t) ? t : std::u16string_view();
}

void google_row(const RowRecord& r, const ContactEmails& emails, std::span<const std::u16string_view> groups,
                Row& cells)
{
    constexpr std::array<Field, 17> kBase = {Field::first_name,
                                             Field::middle_name,
                                             Field::last_name,
                                             kNoField,
                                             kNoField,
                                             kNoField,
                                             Field::title,
                                             Field::suffix,
                                             Field::nickname,
                                             Field::full_name,
                                             Field::company_name,
                                             Field::job_title,
                                             Field::department,
                                             kNoField /* Birthday */,
                                             Field::body,
                                             kNoField /* Photo */,
                                             kNoField /* Labels */};
    for (std::size_t i = 0; i < kBase.size(); ++i) {
        cells.set(i, text(r, kBase[i]));
    }
    cells.set(13, iso_date(r, Field::birthday));
    if (!emails.kept_dns.empty()) {
        cells.own(14) = notes_with_dns(text(r, Field::body), emails.kept_dns);
    }
    std::u16string& labels = cells.own(16);
    labels = u"* myContacts";
    for_each_category(r, [&](std::u16string_view c) {
        labels += kMultiSeparator;
        labels += c;
    });
    for (const std::u16string_view group : groups) {
        labels += kMultiSeparator;
        labels += group;
    }

    std::size_t slot = 0;
    for (const std::u16string_view v : emails.address) {
        if (!v.empty()) {
            cells.set(kGoogleEmails + 2 * slot, slot == 0 ? u"* Other" : u"Other");
            cells.set(kGoogleEmails + 2 * slot + 1, v);
            ++slot;
        }
    }

    // Numbers grouped by label, the labels in slots of their own.
    std::array<const char16_t*, kGooglePhoneSlots> phone_labels{};
    std::size_t used = 0;
    for (const GooglePhone& p : kGooglePhones_) {
        const auto v = text(r, p.field);
        if (v.empty()) {
            continue;
        }
        std::size_t s = 0;
        while (s < used && std::u16string_view(phone_labels[s]) != p.label) {
            ++s;
        }
        // More labels than slots (a contact with nearly every number): the rest join the last
        // slot's numbers rather than be lost.
        if (s == kGooglePhoneSlots) {
            s = kGooglePhoneSlots - 1;
        }
        std::u16string& value = cells.own(kGooglePhones + 2 * s + 1);
        if (s == used) {
            phone_labels[used++] = p.label;
            cells.set(kGooglePhones + 2 * s, p.label);
        } else {
            value += kMultiSeparator;
        }
        value += v;
    }

    slot = 0;
    for (const GoogleAddress& a : kGoogleAddresses_) {
        const std::array<Field, 6> parts = {a.street, a.city, a.po_box, a.region, a.postal_code, a.country};
        if (std::all_of(parts.begin(), parts.end(), [&](Field f) { return text(r, f).empty(); })) {
            continue;
        }
        const std::size_t at = kGoogleAddresses + 9 * slot++;
        cells.set(at, a.label);
        // at + 1: "Formatted", left to the importer to compose from the parts.
        for (std::size_t i = 0; i < parts.size(); ++i) {
            cells.set(at + 2 + i, text(r, parts[i]));
        }
    }

    slot = 0;
    for (const auto& [f, label] :
         {std::pair{Field::business_home_page, u"Work"}, std::pair{Field::personal_home_page, u"Home Page"}}) {
        if (const auto v = text(r, f); !v.empty()) {
            cells.set(kGoogleWebsites + 2 * slot, label);
            cells.set(kGoogleWebsites + 2 * slot + 1, v);
            ++slot;
        }
    }
    if (const std::u16string_view day = iso_date(r, Field::anniversary); !day.empty()) {
        cells.set(kGoogleEvent, u"Anniversary");
        cells.set(kGoogleEvent + 1, day);
    }
}

// ---- Outlook

// The columns filled straight from a field.
struct OutlookColumn
{
    std::size_t column;
    Field field;
};
constexpr std::array<OutlookColumn, 44> kOutlookFields = {{
    {0, Field::title},
    {1, Field::first_name},
    {2, Field::middle_name},
    {3, Field::last_name},
    {4, Field::suffix},
    {5, Field::company_name},
    {6, Field::department},
    {7, Field::job_title},
    {11, Field::business_city},
    {12, Field::business_state},
    {13, Field::business_postal_code},
    {14, Field::business_country},
    {18, Field::home_city},
    {19, Field::home_state},
    {20, Field::home_postal_code},
    {21, Field::home_country},
    {25, Field::other_city},
    {26, Field::other_state},
    {27, Field::other_postal_code},
    {28, Field::other_country},
    {29, Field::assistant_phone},
    {30, Field::business_fax},
    {31, Field::business_phone},
    {32, Field::business_phone_2},
    {33, Field::callback_phone},
    {34, Field::car_phone},
    {35, Field::company_main_phone},
    {36, Field::home_fax},
    {37, Field::home_phone},
    {38, Field::home_phone_2},
    {39, Field::isdn_phone},
    {40, Field::mobile_phone},
    {41, Field::primary_fax},
    {42, Field::other_phone},
    {43, Field::pager},
    {44, Field::primary_phone},
    {45, Field::radio_phone},
    {46, Field::ttytdd_phone},
    {47, Field::telex},
    {48, Field::account},
    {50, Field::assistant_name},
    {53, Field::work_po_box},
    {67, Field::gov_id},
    {68, Field::hobbies},
}};
constexpr std::array<OutlookColumn, 10> kOutlookMoreFields = {{
    {70, Field::initials},
    {71, Field::free_busy_address},
    {73, Field::language},
    {75, Field::manager_name},
    {76, Field::mileage},
    {77, Field::body},
    {78, Field::office_location},
    {79, Field::organizational_id},
    {83, Field::profession},
    {86, Field::spouse_name},
}};

// "M/D/YYYY" as Outlook's export writes dates; "0/0/00" for none.
std::u16string outlook_date(const RowRecord& record, Field f)
{
    const auto date = parse_iso_date(text(record, f));
    if (!date) {
        return u"0/0/00";
    }
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%d/%d/%04d", date->month, date->day, date->year);
    std::u16string out;
    utf8_to_utf16(buffer, out);
    return out;
}

// A street into Outlook's Street, Street 2 and Street 3: a line each, the rest in the third.
void split_street(std::u16string_view street, Row& row, std::size_t first)
{
    std::array<std::u16string_view, 3> cells{};
    for (int part = 0; part < 2; ++part) {
        const std::size_t end = street.find_first_of(u"\r\n");
        if (end == std::u16string_view::npos) {
            break;
        }
        cells[part] = street.substr(0, end);
        std::size_t next = end + 1;
        if (street[end] == u'\r' && next < street.size() && street[next] == u'\n') {
            ++next;
        }
        street.remove_prefix(next);
    }
    // What is left goes to the first free cell.
    std::size_t free = 0;
    while (free < 2 && !cells[free].empty()) {
        ++free;
    }
    cells[free] = street;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        row.set(first + i, cells[i]);
    }
}

void outlook_row(const RowRecord& r, const ContactEmails& emails, std::span<const std::u16string_view> groups,
                 Row& cells)
{
    for (const auto* table : {kOutlookFields.data(), kOutlookMoreFields.data()}) {
        const std::size_t n = table == kOutlookFields.data() ? kOutlookFields.size() : kOutlookMoreFields.size();
        for (std::size_t i = 0; i < n; ++i) {
            cells.set(table[i].column, text(r, table[i].field));
        }
    }
    const auto business = text(r, Field::business_street);
    split_street(business.empty() ? text(r, Field::work_street) : business, cells, 8);
    split_street(text(r, Field::home_street), cells, 15);
    split_street(text(r, Field::other_street), cells, 22);
    cells.own(49) = outlook_date(r, Field::anniversary);
    cells.own(52) = outlook_date(r, Field::birthday);
    std::u16string& categories = cells.own(54);
    for_each_category(r, [&](std::u16string_view c) {
        if (!categories.empty()) {
            categories += u';';
        }
        categories += c;
    });
    for (const std::u16string_view group : groups) {
        if (!categories.empty()) {
            categories += u';';
        }
        categories += group;
    }
    if (!emails.kept_dns.empty()) {
        cells.own(77) = notes_with_dns(text(r, Field::body), emails.kept_dns);
    }
    std::size_t column = 57;
    for (const std::u16string_view v : emails.address) {
        if (!v.empty()) {
            cells.set(column, v);
            cells.set(column + 1, u"SMTP");
            cells.set(column + 2, v);
            column += 3;
        }
    }
    cells.set(66, r.record.gender() == 1 ? u"Female" : r.record.gender() == 2 ? u"Male" : u"Unspecified");
    cells.set(81, u"Normal");
    cells.set(82, u"False");
    cells.set(85, u"Normal");
    const auto business_page = text(r, Field::business_home_page);
    cells.set(91, business_page.empty() ? text(r, Field::personal_home_page) : business_page);
}

} // namespace

std::span<const char* const> csv_layout_columns(CsvLayout layout)
{
    switch (layout) {
    case CsvLayout::google:
        return kGoogleColumns;
    case CsvLayout::outlook:
        return kOutlookColumns;
    case CsvLayout::pelimoor:
        break;
    }
    return {};
}

void append_csv_header(CsvLayout layout, std::string& out)
{
    if (layout == CsvLayout::pelimoor) {
        append_csv_header(out);
        return;
    }
    // Outlook quotes every name of its header; Google writes them bare.
    const bool quoted = layout == CsvLayout::outlook;
    const auto columns = csv_layout_columns(layout);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) {
            out.push_back(',');
        }
        if (quoted) {
            out.push_back('"');
        }
        out += columns[i];
        if (quoted) {
            out.push_back('"');
        }
    }
    out += "\r\n";
}

void append_csv_row(const ContactRecord& record, CsvLayout layout, std::string& out)
{
    append_csv_row(record, layout, contact_emails(record, nullptr), {}, out);
}

void append_csv_row(const ContactRecord& record, CsvLayout layout, const ContactEmails& emails,
                    std::span<const std::u16string_view> groups, std::string& out)
{
    if (layout == CsvLayout::pelimoor) {
        append_csv_row(record, out);
        return;
    }
    thread_local Row cells;
    cells.reset(csv_layout_columns(layout).size());
    const RowRecord row(record);
    if (layout == CsvLayout::google) {
        google_row(row, emails, groups, cells);
    } else {
        outlook_row(row, emails, groups, cells);
    }
    write_row(cells, out);
}

} // namespace contacts
