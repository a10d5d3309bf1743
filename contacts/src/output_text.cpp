// The label-based formats (CSV, text, HTML), contact file names and the display name.
#include "contacts/output_writers.h"
#include "contacts/text.h"
#include "utf8_runs.h"

namespace contacts {

void append_csv_value(std::u16string_view value, std::string& out)
{
    // Quoted when it holds a separator, a quote or a line break; quotes inside are doubled.
    const bool quoted = any_special(
        value,
        [](UnitBlock b) {
            return (b == uint16_t(u',')) | (b == uint16_t(u'"')) | (b == uint16_t(u'\r')) | (b == uint16_t(u'\n'));
        },
        [](char16_t c) { return c == u',' || c == u'"' || c == u'\r' || c == u'\n'; });
    if (quoted) {
        out.push_back('"');
    }
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t end = plain_run_end(
            value, i, [](UnitBlock b) { return (b >= uint16_t(0x80)) | (b == uint16_t(u'"')); },
            [](char16_t c) { return c < 0x80 && c != u'"'; });
        append_ascii(value.substr(i, end - i), out);
        if (end == value.size()) {
            break;
        }
        if (value[end] == u'"') {
            out.append("\"\"", 2);
            i = end + 1;
        } else {
            i = append_non_ascii_run(value, end, out);
        }
    }
    if (quoted) {
        out.push_back('"');
    }
}

namespace {

// One page of "label form, value, separator" entries for the fields that have a value; the
// "Body" entry (the last label) gets no separator after it.
template <typename AppendValue>
void append_labelled_page(const ContactRecord& record, std::u16string_view (*form)(const OutputLabel&),
                          std::string_view separator, AppendValue append_value, std::string& out)
{
    for (const OutputLabel& label : kOutputLabels) {
        const std::u16string_view value = record.text_or_empty(label.field);
        if (value.empty()) {
            continue;
        }
        utf16_to_utf8(form(label), out);
        append_value(value, out);
        if (label.field != Field::body) {
            out += separator;
        }
    }
}

// Characters that no file name may hold on the systems the files are likely copied to.
bool unsafe_in_file_name(char16_t c)
{
    return c < 0x20 || c == 0x7F || std::u16string_view(u"/\\:*?\"<>|").find(c) != std::u16string_view::npos;
}

// A name part made safe: unsafe characters become '_', at most kMaxPartBytes of UTF-8, cut on
// a character boundary.
constexpr std::size_t kMaxPartBytes = 100;

std::string file_name_part(std::u16string_view text)
{
    std::u16string safe(text);
    for (char16_t& c : safe) {
        if (unsafe_in_file_name(c)) {
            c = u'_';
        }
    }
    std::string utf8 = utf16_to_utf8(safe);
    if (utf8.size() > kMaxPartBytes) {
        std::size_t cut = kMaxPartBytes;
        while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        utf8.resize(cut);
    }
    return utf8;
}

} // namespace

void append_csv_header(std::string& out)
{
    for (const OutputLabel& label : kOutputLabels) {
        if (&label != &kOutputLabels.front()) {
            out.push_back(',');
        }
        utf16_to_utf8(label.label, out);
    }
    out += "\r\n";
}

void append_csv_row(const ContactRecord& record, std::string& out)
{
    bool first = true;
    for (const OutputLabel& label : kOutputLabels) {
        if (!first) {
            out.push_back(',');
        }
        first = false;
        append_csv_value(record.text_or_empty(label.field), out);
    }
    out += "\r\n";
}

void append_text_page(const ContactRecord& record, std::string& out)
{
    append_labelled_page(
        record, &text_form, "\r\n", [](std::u16string_view v, std::string& o) { utf16_to_utf8(v, o); }, out);
}

void append_html_page(const ContactRecord& record, std::string& out)
{
    if (const std::string uri = photo_data_uri(record); !uri.empty()) {
        out += "<img src=\"";
        out += uri; // base64 and the MIME type: nothing to escape
        out += "\" alt=\"Photo\">";
        // The entries go to a page of their own first: "<br>" follows the photo only when one does.
        std::string entries;
        append_labelled_page(record, &html_form, "<br>", append_html_escaped, entries);
        if (!entries.empty()) {
            out += "<br>";
            out += entries;
        }
        return;
    }
    append_labelled_page(record, &html_form, "<br>", append_html_escaped, out);
}

const char* html_entity(char16_t c)
{
    switch (c) {
    case u'<':
        return "&lt;";
    case u'>':
        return "&gt;";
    case u'&':
        return "&amp;";
    case u'"':
        return "&quot;";
    case u'\'':
        return "&#39;";
    default:
        return nullptr;
    }
}

void append_html_escaped(std::u16string_view text, std::string& out)
{
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char* entity = html_entity(text[i]);
        if (entity == nullptr)
            continue;
        utf16_to_utf8(text.substr(start, i - start), out);
        out += entity;
        start = i + 1;
    }
    utf16_to_utf8(text.substr(start), out);
}

std::string contact_file_name(const ContactRecord& record, Format format)
{
    const FormatInfo* info = format_info(format);
    const std::string last = file_name_part(record.text_or_empty(Field::last_name));
    const std::string first = file_name_part(record.text_or_empty(Field::first_name));
    std::string name = std::to_string(record.number());
    if (!last.empty() || !first.empty()) {
        name += ' ' + last + ',' + first;
    }
    return name + (info ? info->extension : "");
}

std::u16string contact_display_name(const ContactRecord& record)
{
    if (const auto full = record.text_or_empty(Field::full_name); !full.empty()) {
        return std::u16string(full);
    }
    const auto first = record.text_or_empty(Field::first_name);
    const auto last = record.text_or_empty(Field::last_name);
    if (!first.empty() || !last.empty()) {
        std::u16string name(first);
        if (!first.empty() && !last.empty()) {
            name += u' ';
        }
        name += last;
        return name;
    }
    if (const auto company = record.text_or_empty(Field::company_name); !company.empty()) {
        return std::u16string(company);
    }
    return std::u16string(record.text_or_empty(Field::email));
}

} // namespace contacts
