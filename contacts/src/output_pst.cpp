// A contact record as an IPM.Contact message for our PST writer.
#include "pst/format.h"
#include <string>
#include <string_view>
#include <vector>

#include "contacts/output_writers.h"
#include "output_dates.h"
#include "pst/writer.h"

namespace contacts {

namespace {

constexpr uint16_t kTagSubject = 0x0037; // PR_SUBJECT
constexpr uint16_t kFirstNamedId = 0x8000;

// The local-date named property beside each date field (the extraction prefers it).
uint32_t local_date_lid(Field f)
{
    return f == Field::birthday ? 0x80DE : f == Field::anniversary ? 0x80DF : 0;
}

void set_text(pst::Message& m, uint16_t tag, std::u16string value)
{
    if (tag >= kFirstNamedId) {
        m.set_named_unicode(pst::kPsetidAddress, tag, std::move(value));
    } else {
        m.set_unicode(tag, std::move(value));
    }
}

// A text of the record itself, which the message views rather than copies.
void set_record_text(pst::Message& m, uint16_t tag, std::u16string_view value)
{
    if (tag >= kFirstNamedId) {
        m.set_named_unicode_view(pst::kPsetidAddress, tag, value);
    } else {
        m.set_unicode_view(tag, value);
    }
}

std::u16string ascii16(std::string_view ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

// The categories back as "Keywords" values, split where the extraction joined them.
void set_categories(pst::Message& m, std::u16string_view joined)
{
    std::vector<std::u16string> values;
    for (std::size_t at = 0;;) {
        const std::size_t next = joined.find(u"; ", at);
        values.emplace_back(joined.substr(at, next == std::u16string_view::npos ? next : next - at));
        if (next == std::u16string_view::npos) {
            break;
        }
        at = next + 2;
    }
    m.set_string_named(pst::kPsPublicStrings, u"Keywords", {pst::PropType::MultiUnicode, std::move(values)});
}

} // namespace

pst::Message contact_message(const ContactRecord& record)
{
    pst::Message m(u"IPM.Contact");
    // At most one property per field, a local date beside each date and a few more below.
    m.reserve(kFieldCount + 8);
    // Fields read twice from one property (mobile phone and mileage, home street and home
    // address) hold the same value; the later set wins. The texts are taken in one pass over the
    // record (a lookup per field counts the present fields before it).
    RecordTexts texts;
    record.texts(texts);
    for (const FieldInfo& info : kFieldTable) {
        // PR_DISPLAY_NAME is contact_display_name()'s, below.
        if (info.tag == kTagNone || info.type != FieldType::Text || info.field == Field::display_name ||
            !record.has(info.field)) {
            continue;
        }
        const std::u16string_view text = texts[field_index(info.field)];
        if (const uint32_t local = local_date_lid(info.field); local != 0) {
            if (const auto date = parse_iso_date(text)) {
                // Midnight UTC in both: the extraction reads the local one back as the same day.
                m.set_systime(info.tag, filetime_of(*date));
                m.set_named_systime(pst::kPsetidAddress, local, filetime_of(*date));
                continue;
            }
        }
        set_record_text(m, info.tag, text);
    }
    // The gender code only reaches the record from a file that stores it as text: write it back
    // the same way, so that the file scans to the same record.
    if (record.gender() != 0) {
        const std::string digits = std::to_string(record.gender());
        set_text(m, field_info(Field::gender).tag, std::u16string(digits.begin(), digits.end()));
    }
    if (const auto categories = record.text(Field::categories); categories && !categories->empty()) {
        set_categories(m, *categories);
    }
    if (const auto flag = record.text(Field::flag)) {
        if (*flag == u"Flagged" || *flag == u"Completed") {
            m.set_long(0x1090, *flag == u"Flagged" ? 2 : 1); // PR_FLAG_STATUS
        }
    }
    if (const PhotoView photo = record.photo(); !photo.empty()) {
        pst::add_contact_picture(m, {photo.bytes.begin(), photo.bytes.end()}, ascii16(photo_file_extension(photo.type)),
                                 ascii16(photo_mime_type(photo.type)));
    }
    if (std::u16string name = contact_display_name(record); !name.empty()) {
        m.set_unicode(pst::tag::kDisplayName, name);
        m.set_unicode(kTagSubject, std::move(name));
    }
    return m;
}

} // namespace contacts
