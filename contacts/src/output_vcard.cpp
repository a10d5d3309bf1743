// vCard 2.1 records.
//
// Each property line is "NAME[;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE]:value". Compound values
// (N, ORG, ADR) join their components with ';'; a ';' or '\' inside a component is escaped with
// '\'. A value holding anything but printable ASCII is written quoted-printable (UTF-8 bytes),
// with soft line breaks so that no line reaches 76 characters, no character is split and no
// literal character stands right before a break. A photo is the last property, in base64.
#include <algorithm>
#include <array>
#include <vector>

#include "contacts/output_writers.h"
#include "contacts/text.h"
#include "output_dates.h"

namespace contacts {

namespace {

constexpr std::string_view kQpParameters = ";CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE";
constexpr std::size_t kMaxLine = 75; // characters per line, soft-break '=' included

// One property line of the template: its name, the value's fixed leading text, its fields and
// any separators after the last field.
struct VcardLine
{
    std::string_view name;
    std::string_view leading; // ";;" for the addresses: the empty PO box and extended address
    std::array<Field, 5> fields;
    std::size_t field_count;
    std::string_view trailing;
};

constexpr Field kNone = Field::kind_name; // filler for unused slots

// Every line after N and FN, in template order.
constexpr std::array<VcardLine, 14> kLines = {{
    {"NICKNAME", "", {Field::nickname, kNone, kNone, kNone, kNone}, 1, ""},
    {"TITLE", "", {Field::title, kNone, kNone, kNone, kNone}, 1, ""},
    {"URL;HOME", "", {Field::personal_home_page, kNone, kNone, kNone, kNone}, 1, ""},
    {"URL;WORK", "", {Field::business_home_page, kNone, kNone, kNone, kNone}, 1, ""},
    {"EMAIL;PREF;INTERNET", "", {Field::email, kNone, kNone, kNone, kNone}, 1, ""},
    {"EMAIL;PREF;INTERNET", "", {Field::email_2, kNone, kNone, kNone, kNone}, 1, ""},
    {"EMAIL;PREF;INTERNET", "", {Field::email_3, kNone, kNone, kNone, kNone}, 1, ""},
    {"ORG", "", {Field::company_name, Field::department, kNone, kNone, kNone}, 2, ""},
    {"TEL;HOME;VOICE", "", {Field::home_phone, kNone, kNone, kNone, kNone}, 1, ""},
    {"TEL;WORK;VOICE", "", {Field::business_phone, kNone, kNone, kNone, kNone}, 1, ""},
    {"TEL;BUSINESS;VOICE", "", {Field::business_phone_2, kNone, kNone, kNone, kNone}, 1, ""},
    {"TEL;CELL;VOICE", "", {Field::mobile_phone, kNone, kNone, kNone, kNone}, 1, ""},
    {"ADR;WORK",
     ";;",
     {Field::business_street, Field::business_city, Field::business_state, Field::business_postal_code,
      Field::business_country},
     5,
     ""},
    // The home address carries one separator more than the work address: an empty last component.
    {"ADR;HOME",
     ";;",
     {Field::home_street, Field::home_city, Field::home_state, Field::home_postal_code, Field::home_country},
     5,
     ";"},
}};

void append_escaped_component(std::u16string_view text, std::string& out)
{
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u';' || text[i] == u'\\') {
            utf16_to_utf8(text.substr(start, i - start), out);
            out.push_back('\\');
            start = i;
        }
    }
    utf16_to_utf8(text.substr(start), out);
}

bool needs_quoted_printable(std::string_view value)
{
    for (char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t') || b >= 0x7F) {
            return true;
        }
    }
    return false;
}

// The number of bytes of the UTF-8 character that starts at `value[at]`: 1 for ASCII (and for a
// stray continuation byte), else what the lead byte announces, cut short at the value's end.
std::size_t character_length(std::string_view value, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(value[at]);
    const std::size_t announced = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    std::size_t n = 1;
    while (n < announced && at + n < value.size() && (static_cast<unsigned char>(value[at + n]) & 0xC0) == 0x80) {
        ++n;
    }
    return n;
}

// How one piece of a quoted-printable value is written.
enum class QpForm
{
    escaped,    // "=XX" for each byte
    literal,    // as itself; escaped instead when a soft break follows it
    structural, // a ';' separator or a backslash pair ("\;", "\\"): as itself, always
};

// A piece written on the current line: where it starts in the output and in the value, the
// line's length before it, and its form.
struct QpPiece
{
    std::size_t out_at;
    std::size_t value_at;
    std::size_t column;
    QpForm form;
};

void append_escaped_bytes(std::string_view bytes, std::string& out)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out.push_back('=');
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0x0F]);
    }
}

// Appends `value` quoted-printable; `column` is the length of the line so far. Soft breaks go
// between whole characters, never inside one, so that importers decoding line by line see
// complete characters. The piece before a soft break is never a literal character: Evolution's
// parser keeps a break that follows one in the value. Such a character is escaped instead, or
// moves to the next line when its escape does not fit.
void append_quoted_printable(std::string_view value, std::size_t column, std::string& out)
{
    std::vector<QpPiece> line;
    for (std::size_t i = 0; i < value.size();) {
        const auto b = static_cast<unsigned char>(value[i]);
        std::size_t length = character_length(value, i);
        QpForm form = QpForm::escaped;
        if (b == ';') {
            form = QpForm::structural;
        } else if (b == '\\' && i + 1 < value.size() && (value[i + 1] == ';' || value[i + 1] == '\\')) {
            form = QpForm::structural;
            length = 2;
        } else if (length == 1) {
            // A blank is literal only inside a line: at its end it would be lost, and at the
            // start of a continuation line it reads as folding.
            const bool blank = b == ' ' || b == '\t';
            if ((b > 0x20 && b < 0x7F && b != '=') || (blank && i + 1 < value.size() && column > 0)) {
                form = QpForm::literal;
            }
        }
        const std::size_t width = form == QpForm::escaped ? 3 * length : length;
        if (column + width > kMaxLine - 1) { // room for the soft break's '='
            while (!line.empty() && line.back().form == QpForm::literal) {
                const QpPiece last = line.back();
                line.pop_back();
                out.resize(last.out_at);
                column = last.column;
                if (column + 3 <= kMaxLine - 1) {
                    append_escaped_bytes(value.substr(last.value_at, 1), out);
                    break;
                }
                i = last.value_at; // written again on the next line
            }
            out += "=\r\n";
            column = 0;
            line.clear();
            continue;
        }
        line.push_back({out.size(), i, column, form});
        if (form == QpForm::escaped) {
            append_escaped_bytes(value.substr(i, length), out);
        } else {
            out.append(value, i, length);
        }
        column += width;
        i += length;
    }
}

// Appends "\r\nNAME[;params]:value" (the first line of a record has no CRLF before it).
void append_property(std::string_view name, std::string_view value, bool first, std::string& out)
{
    if (!first) {
        out += "\r\n";
    }
    const std::size_t line_start = out.size();
    out += name;
    if (needs_quoted_printable(value)) {
        out += kQpParameters;
        out.push_back(':');
        append_quoted_printable(value, out.size() - line_start, out);
    } else {
        out.push_back(':');
        out += value;
    }
}

// "\r\nPHOTO;ENCODING=BASE64;TYPE=JPEG:", then the base64 on folded lines (a blank, then the
// text of kVcardPhotoLineBytes bytes) and a line end; with the CRLF before END:VCARD that makes
// the empty line that ends a vCard 2.1 base64 value.
void append_photo(const PhotoView& photo, std::string& out)
{
    const std::size_t lines = (photo.bytes.size() + kVcardPhotoLineBytes - 1) / kVcardPhotoLineBytes;
    out.reserve(out.size() + 40 + base64_length(photo.bytes.size()) + 3 * lines);
    out += "\r\nPHOTO;ENCODING=BASE64;TYPE=";
    out += photo_type_name(photo.type);
    out.push_back(':');
    for (std::size_t at = 0; at < photo.bytes.size(); at += kVcardPhotoLineBytes) {
        out += "\r\n ";
        append_base64(photo.bytes.subspan(at, std::min(kVcardPhotoLineBytes, photo.bytes.size() - at)), out);
    }
    out += "\r\n";
}

} // namespace

void append_vcard(const ContactRecord& record, std::string& out)
{
    out += "BEGIN: VCARD\r\nVERSION:2.1\r\n";
    std::string value;
    value.reserve(256);

    const std::array<Field, 3> name_parts = {Field::last_name, Field::first_name, Field::middle_name};
    for (std::size_t i = 0; i < name_parts.size(); ++i) {
        if (i > 0) {
            value.push_back(';');
        }
        append_escaped_component(record.text_or_empty(name_parts[i]), value);
    }
    append_property("N", value, true, out);

    value.clear();
    append_escaped_component(contact_display_name(record), value);
    append_property("FN", value, false, out);

    for (const VcardLine& line : kLines) {
        bool any = false;
        value.assign(line.leading);
        for (std::size_t i = 0; i < line.field_count; ++i) {
            if (i > 0) {
                value.push_back(';');
            }
            const auto text = record.text_or_empty(line.fields[i]);
            any = any || !text.empty();
            append_escaped_component(text, value);
        }
        value += line.trailing;
        if (any) {
            append_property(line.name, value, false, out);
        }
    }

    if (const auto birthday = record.text_or_empty(Field::birthday); parse_iso_date(birthday)) {
        append_property("BDAY", utf16_to_utf8(birthday), false, out);
    }
    if (const PhotoView photo = record.photo(); !photo.empty()) {
        append_photo(photo, out);
    }
    out += "\r\nEND:VCARD\r\n";
}

} // namespace contacts
