// vCard 3.0 (RFC 2426) and 4.0 (RFC 6350) records.
//
// UTF-8 without quoted-printable; text values escape '\', ',', ';' and line breaks ("\n");
// control characters other than TAB, which neither version allows in a value, are left out.
// Each logical line is folded at 75 octets, between whole UTF-8 characters, with CRLF and a blank.
#include <algorithm>
#include <array>
#include <cstdio>

#include "contacts/output_writers.h"
#include "contacts/text.h"
#include "output_dates.h"
#include "utf8_runs.h"

namespace contacts {

namespace {

constexpr std::size_t kFoldOctets = 75;

bool is_v4(VcardVersion v)
{
    return v == VcardVersion::v40;
}

// Appends `text` as a URI value. ical.js reads a URI as it stands, python3-vobject (and Radicale)
// as a text that ends at an unescaped ',', and Evolution splits values at ';': so ',', ';' and
// '\' are percent-encoded, which every URI reader takes for the same address, and control
// characters are left out.
void append_uri(std::u16string_view text, std::string& out)
{
    std::size_t start = 0;
    const auto flush = [&](std::size_t end) { utf16_to_utf8(text.substr(start, end - start), out); };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const char* escape = c == u',' ? "%2C" : c == u';' ? "%3B" : c == u'\\' ? "%5C" : nullptr;
        if (escape != nullptr || c < 0x20 || c == 0x7F) {
            flush(i);
            out += escape != nullptr ? escape : "";
            start = i + 1;
        }
    }
    flush(text.size());
}

// Appends `text` escaped as a vCard 3.0/4.0 text value (or one component of a compound one).
// `semicolon`: whether ';' is escaped. vCard 3.0 escapes it in every text; vCard 4.0 only where
// it separates components (N, ADR, ORG), and ical.js keeps a "\;" elsewhere as it stands.
// The ASCII characters that a text value keeps as they stand (neither escaped nor left out):
// [0] where ';' is escaped, [1] where it is not.
constexpr auto kPlainInText = [] {
    std::array<std::array<bool, 0x80>, 2> plain{};
    for (char16_t c = 0x20; c < 0x7F; ++c) {
        plain[0][c] = c != u'\\' && c != u',' && c != u';';
        plain[1][c] = c != u'\\' && c != u',';
    }
    return plain;
}();

void append_text(std::u16string_view text, std::string& out, bool semicolon = true)
{
    const std::array<bool, 0x80>& kept = kPlainInText[semicolon ? 0 : 1];
    const auto plain = [&kept](char16_t c) { return c < 0x80 && kept[c]; };
    const uint16_t escaped_semicolon = semicolon ? u';' : u'\\';
    const auto special = [escaped_semicolon](UnitBlock b) {
        return (b >= uint16_t(0x7F)) | (b < uint16_t(0x20)) | (b == uint16_t(u'\\')) | (b == uint16_t(u',')) |
               (b == escaped_semicolon);
    };
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t end = plain_run_end(text, i, special, plain);
        append_ascii(text.substr(i, end - i), out);
        if (end == text.size()) {
            break;
        }
        const char16_t c = text[end];
        i = end + 1;
        if (c >= 0x80) {
            i = append_non_ascii_run(text, end, out);
        } else if (c == u'\\' || c == u',' || c == u';') {
            const char escaped[] = {'\\', static_cast<char>(c)};
            out.append(escaped, 2);
        } else if (c == u'\r' || c == u'\n') {
            out.append("\\n", 2);
            if (c == u'\r' && i < text.size() && text[i] == u'\n') {
                ++i; // CRLF is one line break
            }
        } else if (c == u'\t') {
            out.append("\t", 1);
        } // other control characters and U+007F are left out
    }
}

// Appends `text` as a quoted parameter value ("..."), with the caret escapes of RFC 6868: '^'
// as "^^", '"' as "^'" and a line break as "^n"; control characters other than TAB are left out.
void append_quoted_parameter(std::u16string_view text, std::string& out)
{
    out.push_back('"');
    std::size_t start = 0;
    const auto flush = [&](std::size_t end) { utf16_to_utf8(text.substr(start, end - start), out); };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c != u'^' && c != u'"' && (c >= 0x20 || c == u'\t') && c != 0x7F) {
            continue;
        }
        flush(i);
        start = i + 1;
        if (c == u'^' || c == u'"') {
            out += c == u'^' ? "^^" : "^'";
        } else if (c == u'\n' || c == u'\r') {
            out += "^n";
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
                start = ++i + 1; // CRLF is one line break
            }
        }
    }
    flush(text.size());
    out.push_back('"');
}

// Folds the logical line that starts at `out[start]` (without its end) in place, then ends it
// with CRLF. Most lines need no fold and are left as they are.
void fold_line(std::string& out, std::size_t start)
{
    if (out.size() - start > kFoldOctets) {
        const std::string line = out.substr(start);
        out.resize(start);
        std::size_t at = 0;
        std::size_t room = kFoldOctets; // the first line holds 75 octets, continuations a blank and 74
        while (line.size() - at > room) {
            std::size_t cut = at + room;
            while (cut > at && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
                --cut; // never inside a character
            }
            out.append(line, at, cut - at);
            out += "\r\n ";
            at = cut;
            room = kFoldOctets - 1;
        }
        out.append(line, at, std::string::npos);
    }
    out += "\r\n";
}

// The ISO date of a date field in the form of the version ("1999-12-31" / "19991231"); empty
// when the field holds no valid date.
std::string date_value(std::u16string_view text, VcardVersion version)
{
    const auto date = parse_iso_date(text);
    if (!date) {
        return {};
    }
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, is_v4(version) ? "%04d%02d%02d" : "%04d-%02d-%02d", date->year, date->month,
                  date->day);
    return buffer;
}

// A telephone field and the parameters of its TEL line in each version.
struct TelLine
{
    Field field;
    std::string_view v30;
    std::string_view v40;
};
constexpr std::array<TelLine, 19> kTelLines = {{
    {Field::primary_phone, ";TYPE=voice,pref", ";TYPE=voice;PREF=1"},
    {Field::business_phone, ";TYPE=work,voice", ";TYPE=work,voice"},
    {Field::business_phone_2, ";TYPE=work,voice", ";TYPE=work,voice"},
    {Field::company_main_phone, ";TYPE=work,voice,x-company-main", ";TYPE=work,voice,x-company-main"},
    {Field::home_phone, ";TYPE=home,voice", ";TYPE=home,voice"},
    {Field::home_phone_2, ";TYPE=home,voice", ";TYPE=home,voice"},
    {Field::mobile_phone, ";TYPE=cell,voice", ";TYPE=cell,voice"},
    {Field::car_phone, ";TYPE=car,voice", ";TYPE=voice,x-car"},
    {Field::radio_phone, ";TYPE=voice,x-radio", ";TYPE=voice,x-radio"},
    {Field::pager, ";TYPE=pager", ";TYPE=pager"},
    {Field::business_fax, ";TYPE=work,fax", ";TYPE=work,fax"},
    {Field::home_fax, ";TYPE=home,fax", ";TYPE=home,fax"},
    {Field::primary_fax, ";TYPE=fax", ";TYPE=fax"},
    {Field::other_phone, ";TYPE=voice,x-other", ";TYPE=voice,x-other"},
    {Field::assistant_phone, ";TYPE=voice,x-assistant", ";TYPE=voice,x-assistant"},
    {Field::callback_phone, ";TYPE=voice,x-callback", ";TYPE=voice,x-callback"},
    {Field::isdn_phone, ";TYPE=isdn", ";TYPE=voice,x-isdn"},
    {Field::telex, ";TYPE=x-telex", ";TYPE=x-telex"},
    {Field::ttytdd_phone, ";TYPE=x-ttytdd", ";TYPE=textphone"},
}};

// An address: its TYPE and its components after the empty extended address. The work address
// takes the business fields, each missing one from the work fields that Outlook keeps in step.
struct AdrLine
{
    std::string_view type;
    Field po_box;                // Field::kind_name: none
    std::array<Field, 5> parts;  // street, locality, region, postal code, country
    std::array<Field, 5> spares; // read where a part is empty (kind_name: none)
};
constexpr Field kNoField = Field::kind_name;
constexpr std::array<AdrLine, 3> kAdrLines = {{
    {"work",
     Field::work_po_box,
     {Field::business_street, Field::business_city, Field::business_state, Field::business_postal_code,
      Field::business_country},
     {Field::work_street, Field::work_city, Field::work_state, Field::work_postal_code, Field::work_country}},
    {"home",
     kNoField,
     {Field::home_street, Field::home_city, Field::home_state, Field::home_postal_code, Field::home_country},
     {kNoField, kNoField, kNoField, kNoField, kNoField}},
    {"x-other",
     kNoField,
     {Field::other_street, Field::other_city, Field::other_state, Field::other_postal_code, Field::other_country},
     {kNoField, kNoField, kNoField, kNoField, kNoField}},
}};

// Single text properties written the same way in both versions.
struct TextLine
{
    std::string_view name;
    Field field;
};
constexpr std::array<TextLine, 5> kTextLines = {{
    {"TITLE", Field::job_title},
    {"ROLE", Field::profession},
    {"X-MS-ASSISTANT", Field::assistant_name},
    {"X-MS-MANAGER", Field::manager_name},
    {"X-MS-SPOUSE", Field::spouse_name},
}};

// The URI properties: written as URIs, with no backslash escapes (see append_uri).
constexpr std::array<TextLine, 3> kUriLines = {{
    {"URL;TYPE=home", Field::personal_home_page},
    {"URL;TYPE=work", Field::business_home_page},
    {"FBURL", Field::free_busy_address},
}};

class Card
{
public:
    Card(const ContactRecord& record, VcardVersion version, const ContactEmails& emails, std::string& out)
        : m_record(record), m_version(version), m_emails(emails), m_out(out)
    {
        record.texts(m_texts);
    }

    std::u16string_view text(Field f) const { return f == kNoField ? std::u16string_view{} : m_texts[field_index(f)]; }

    // "NAME:" then the value's pieces through the caller, then the folded line.
    template <typename Fill> void line(std::string_view name, Fill fill)
    {
        const std::size_t start = m_out.size();
        m_out += name;
        m_out.push_back(':');
        fill(m_out);
        fold_line(m_out, start);
    }

    void text_line(std::string_view name, std::u16string_view value)
    {
        if (!value.empty()) {
            line(name, [&](std::string& l) { append_text(value, l, !is_v4(m_version)); });
        }
    }

    void compound(std::string_view name, std::span<const std::u16string_view> parts, bool always)
    {
        if (!always && std::all_of(parts.begin(), parts.end(), [](auto p) { return p.empty(); })) {
            return;
        }
        line(name, [&](std::string& l) {
            for (std::size_t i = 0; i < parts.size(); ++i) {
                if (i > 0) {
                    l.push_back(';');
                }
                append_text(parts[i], l);
            }
        });
    }

    void write(std::string_view uid)
    {
        m_out += is_v4(m_version) ? "BEGIN:VCARD\r\nVERSION:4.0\r\n" : "BEGIN:VCARD\r\nVERSION:3.0\r\n";
        line("UID", [&](std::string& l) {
            l += is_v4(m_version) ? "urn:uuid:" : "";
            l += uid;
        });
        const std::u16string fn = formatted_name(m_record, m_emails);
        line("FN", [&](std::string& l) { append_text(fn, l, !is_v4(m_version)); });
        // The file-as name where each version keeps a sort name: the SORT-AS of N (4.0), whose
        // commas part it into the sort names of N's components ("Tolle, Margaret J."), and
        // SORT-STRING (3.0).
        const std::u16string_view file_as = text(Field::full_name);
        m_name.clear();
        m_name.push_back('N');
        if (is_v4(m_version) && !file_as.empty()) {
            m_name += ";SORT-AS=";
            append_quoted_parameter(file_as, m_name);
        }
        const std::array<std::u16string_view, 5> n = {text(Field::last_name), text(Field::first_name),
                                                      text(Field::middle_name), text(Field::title),
                                                      text(Field::suffix)};
        compound(m_name, n, true);
        if (!is_v4(m_version)) {
            text_line("SORT-STRING", file_as);
        }
        text_line("NICKNAME", text(Field::nickname));
        // ORG: the company, then the department when there is one (no empty unit after it).
        const std::array<std::u16string_view, 2> org = {text(Field::company_name), text(Field::department)};
        compound("ORG", std::span(org.data(), org[1].empty() ? 1 : 2), false);
        emails();
        for (const TelLine& tel : kTelLines) {
            if (const auto value = text(tel.field); !value.empty()) {
                m_name.assign("TEL");
                m_name += is_v4(m_version) ? tel.v40 : tel.v30;
                text_line(m_name, value);
            }
        }
        for (const AdrLine& adr : kAdrLines) {
            std::array<std::u16string_view, 7> parts = {text(adr.po_box), {}};
            for (std::size_t i = 0; i < 5; ++i) {
                parts[2 + i] = text(adr.parts[i]).empty() ? text(adr.spares[i]) : text(adr.parts[i]);
            }
            m_name.assign("ADR;TYPE=");
            m_name += adr.type;
            compound(m_name, parts, false);
        }
        for (const TextLine& t : kTextLines) {
            text_line(t.name, text(t.field));
        }
        for (const TextLine& t : kUriLines) {
            if (const auto value = text(t.field); !value.empty()) {
                line(t.name, [&](std::string& l) { append_uri(value, l); });
            }
        }
        dates();
        if (is_v4(m_version) && (m_record.gender() == 1 || m_record.gender() == 2)) {
            m_out += m_record.gender() == 1 ? "GENDER:F\r\n" : "GENDER:M\r\n";
        }
        categories();
        if (m_emails.kept_dns.empty()) {
            text_line("NOTE", text(Field::body));
        } else {
            text_line("NOTE", notes_with_dns(text(Field::body), m_emails.kept_dns));
        }
        photo();
        m_out += "END:VCARD\r\n";
    }

private:
    void emails()
    {
        bool first = true;
        for (const std::u16string_view value : m_emails.address) {
            if (value.empty()) {
                continue;
            }
            const std::string_view name = is_v4(m_version)
                                              ? (first ? "EMAIL;PREF=1" : "EMAIL")
                                              : (first ? "EMAIL;TYPE=internet,pref" : "EMAIL;TYPE=internet");
            text_line(name, value);
            first = false;
        }
    }

    void dates()
    {
        if (const std::string bday = date_value(text(Field::birthday), m_version); !bday.empty()) {
            line("BDAY", [&](std::string& l) { l += bday; });
        }
        if (const std::string day = date_value(text(Field::anniversary), m_version); !day.empty()) {
            line(is_v4(m_version) ? "ANNIVERSARY" : "X-ANNIVERSARY", [&](std::string& l) { l += day; });
        }
    }

    // The record keeps the categories joined by "; "; CATEGORIES lists them separated by ','. A card
    // of a person nobody saved ends with its origin's category.
    void categories()
    {
        const auto all = text(Field::categories);
        const std::u16string_view origin = origin_category(m_record.origin());
        if (all.empty() && origin.empty()) {
            return;
        }
        line("CATEGORIES", [&](std::string& l) {
            std::size_t start = 0;
            while (!all.empty()) {
                const std::size_t end = all.find(u"; ", start);
                append_text(all.substr(start, end == std::u16string_view::npos ? end : end - start), l,
                            !is_v4(m_version));
                if (end == std::u16string_view::npos) {
                    break;
                }
                l.push_back(',');
                start = end + 2;
            }
            if (!origin.empty()) {
                l += all.empty() ? "" : ",";
                append_text(origin, l, !is_v4(m_version));
            }
        });
    }

    void photo()
    {
        const PhotoView photo = m_record.photo();
        if (photo.empty()) {
            return;
        }
        const std::size_t start = m_out.size();
        m_out.reserve(start + 64 + base64_length(photo.bytes.size()) * 78 / 74);
        if (is_v4(m_version)) {
            // The comma of the data URI escaped, as RFC 6350 escapes every comma of a value:
            // python3-vobject (and so Radicale, which stores what it parsed) takes an unescaped
            // comma for the end of the value and keeps only "data:image/jpeg;base64"; ical.js
            // and Evolution read the escaped form as the URI itself.
            m_out += "PHOTO:data:";
            m_out += photo_mime_type(photo.type);
            m_out += ";base64\\,";
        } else {
            m_out += "PHOTO;ENCODING=b;TYPE=";
            m_out += photo_type_name(photo.type);
            m_out.push_back(':');
        }
        append_base64(photo.bytes, m_out);
        fold_line(m_out, start);
    }

    const ContactRecord& m_record;
    VcardVersion m_version;
    const ContactEmails& m_emails;
    std::string& m_out;
    std::string m_name;
    RecordTexts m_texts;
};

} // namespace

std::string identity_uid(const ContactIdentity& identity, uint32_t number)
{
    ContactIdentity id = identity;
    if (id == ContactIdentity{}) {
        const auto n = number;
        id = {'N', 'U', 'M', ':', uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string uid;
    uid.reserve(36);
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            uid.push_back('-');
        }
        uid.push_back(kHex[id[i] >> 4]);
        uid.push_back(kHex[id[i] & 0x0F]);
    }
    return uid;
}

std::string contact_uid(const ContactRecord& record)
{
    return identity_uid(record.identity(), static_cast<uint32_t>(record.number()));
}

std::u16string formatted_name(const ContactRecord& record, const ContactEmails& emails)
{
    if (const auto display = record.text_or_empty(Field::display_name); !display.empty()) {
        return std::u16string(display);
    }
    std::u16string name;
    for (const Field part : {Field::first_name, Field::middle_name, Field::last_name}) {
        if (const auto text = record.text_or_empty(part); !text.empty()) {
            name += name.empty() ? u"" : u" ";
            name += text;
        }
    }
    if (!name.empty()) {
        return name;
    }
    if (const auto company = record.text_or_empty(Field::company_name); !company.empty()) {
        return std::u16string(company);
    }
    for (const std::u16string_view address : emails.address) {
        if (!address.empty()) {
            return std::u16string(address);
        }
    }
    if (const auto file_as = record.text_or_empty(Field::full_name); !file_as.empty()) {
        return std::u16string(file_as);
    }
    return std::u16string(kNoName);
}

void append_group_vcard(const ContactGroup& group, VcardVersion version, std::string_view uid,
                        const std::vector<std::string>& members, std::u16string_view first_address, std::string& out)
{
    const bool v4 = is_v4(version);
    const auto property = [&](std::string_view name, auto fill) {
        const std::size_t start = out.size();
        out += name;
        out.push_back(':');
        fill();
        fold_line(out, start);
    };
    out += v4 ? "BEGIN:VCARD\r\nVERSION:4.0\r\n" : "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    property("UID", [&] {
        out += v4 ? "urn:uuid:" : "";
        out += uid;
    });
    out += v4 ? "KIND:group\r\n" : "X-ADDRESSBOOKSERVER-KIND:group\r\n";
    const std::u16string_view fn = !group.name.empty()      ? std::u16string_view(group.name)
                                   : !first_address.empty() ? first_address
                                                            : kNoName;
    property("FN", [&] { append_text(fn, out, !v4); });
    property("N", [&] {
        append_text(group.name, out);
        out += ";;;;";
    });
    for (const std::string& member : members) {
        property(v4 ? "MEMBER" : "X-ADDRESSBOOKSERVER-MEMBER", [&] { out += member; });
    }
    out += "END:VCARD\r\n";
}

void append_vcard(const ContactRecord& record, VcardVersion version, std::string_view uid, const ContactEmails& emails,
                  std::string& out)
{
    if (version == VcardVersion::v21) {
        append_vcard(record, out);
        return;
    }
    Card(record, version, emails, out).write(uid);
}

void append_vcard(const ContactRecord& record, VcardVersion version, std::string& out)
{
    if (version == VcardVersion::v21) {
        append_vcard(record, out);
        return;
    }
    append_vcard(record, version, contact_uid(record), contact_emails(record, nullptr), out);
}

} // namespace contacts
