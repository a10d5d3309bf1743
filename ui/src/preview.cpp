#include "ui/preview.h"

#include "contacts/contact_record.h"
#include "contacts/output_writers.h"
#include "platform/files.h"
#include "ui/explorer.h"

#include <QString>
#include <array>
#include <climits>

namespace ui {
namespace {

using contacts::Field;

struct PreviewLine
{
    const char16_t* label;
    Field field;
};

// The preview's lines, in order. "Last Name" and "Surname" both show the last name.
constexpr std::array<PreviewLine, 57> kPreviewLines{{
    {u"<b>Suffix :</b> ", Field::suffix},
    {u"<b>Title :</b> ", Field::title},
    {u"<b>First Name :</b> ", Field::first_name},
    {u"<b>Middle Name :</b>", Field::middle_name},
    {u"<b>Last Name :</b> ", Field::last_name},
    {u"<b>Email :</b> ", Field::email},
    {u"<b>Email-2 :</b> ", Field::email_2},
    {u"<b>Email-3 :</b> ", Field::email_3},
    {u"<b>Email Type :</b> ", Field::email_type},
    {u"<b>Assistant Name :</b> ", Field::assistant_name},
    {u"<b>Assistant Phone :</b> ", Field::assistant_phone},
    {u"<b>Birth Day :</b> ", Field::birthday},
    {u"<b>Business Address :</b> ", Field::business_address},
    {u"<b>Business City :</b> ", Field::business_city},
    {u"<b>Business Country :</b> ", Field::business_country},
    {u"<b>Business Fax :</b> ", Field::business_fax},
    {u"<b>Business HomePage :</b> ", Field::business_home_page},
    {u"<b>Business Phone :</b> ", Field::business_phone},
    {u"<b>Business Phone 2 :</b> ", Field::business_phone_2},
    {u"<b>Business Postal Code :</b> ", Field::business_postal_code},
    {u"<b>Business State :</b> ", Field::business_state},
    {u"<b>Business Street :</b> ", Field::business_street},
    {u"<b>Car Phone :</b> ", Field::car_phone},
    {u"<b>Company Main Phone :</b> ", Field::company_main_phone},
    {u"<b>Company Name :</b> ", Field::company_name},
    {u"<b>Customer Id :</b> ", Field::customer_id},
    {u"<b>Department :</b> ", Field::department},
    {u"<b>Display Name Prefix :</b> ", Field::display_name_prefix},
    {u"<b>Free Busy Address :</b> ", Field::free_busy_address},
    {u"<b>Gov Id :</b> ", Field::gov_id},
    {u"<b>Hobbies :</b> ", Field::hobbies},
    {u"<b>Home Address :</b> ", Field::home_address},
    {u"<b>Home City :</b> ", Field::home_city},
    {u"<b>Home Country :</b> ", Field::home_country},
    {u"<b>Home Fax :</b> ", Field::home_fax},
    {u"<b>Home Phone :</b> ", Field::home_phone},
    {u"<b>Home Phone2 :</b> ", Field::home_phone_2},
    {u"<b>Home State :</b> ", Field::home_state},
    {u"<b>Home Street :</b> ", Field::home_street},
    {u"<b>isdn phone :</b> ", Field::isdn_phone},
    {u"<b>Language :</b> ", Field::language},
    {u"<b>Manager Name :</b> ", Field::manager_name},
    {u"<b>Mileage :</b> ", Field::mileage},
    {u"<b>Mobile Phone :</b> ", Field::mobile_phone},
    {u"<b>Nickname:</b> ", Field::nickname},
    {u"<b>Office Location :</b> ", Field::office_location},
    {u"<b>Other City :</b> ", Field::other_city},
    {u"<b>Other Country :</b> ", Field::other_country},
    {u"<b>Other State :</b> ", Field::other_state},
    {u"<b>Other Street :</b> ", Field::other_street},
    {u"<b>Personal Homepage:</b> ", Field::personal_home_page},
    {u"<b>Profession :</b> ", Field::profession},
    {u"<b>Radio Phone :</b> ", Field::radio_phone},
    {u"<b>Spouse Name :</b> ", Field::spouse_name},
    {u"<b>Surname :</b> ", Field::last_name},
    {u"<b>Telex :</b> ", Field::telex},
    {u"<b>ttytdd Phone :</b> ", Field::ttytdd_phone},
}};

std::u16string pathText(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string()).toStdU16String();
}

} // namespace

std::u16string escapeHtml(std::u16string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (const char* entity = contacts::html_entity(c))
            out.append(entity, entity + std::char_traits<char>::length(entity)); // ASCII entities widen 1:1
        else
            out.push_back(c);
    }
    return out;
}

std::u16string previewFieldsText(const contacts::ContactRecord& record)
{
    std::u16string text;
    for (const PreviewLine& line : kPreviewLines) {
        const std::u16string_view value = record.text_or_empty(line.field);
        if (value.empty())
            continue;
        text += line.label;
        text += escapeHtml(value);
        text += u"<br>";
    }
    return text;
}

std::u16string previewFramesetText(const std::filesystem::path& fieldsPage, const std::filesystem::path& notes)
{
    std::u16string text = u"<html><head></head><frameset cols='50%,*' border='0'><frame src='";
    text += escapeHtml(pathText(fieldsPage));
    text += u"'  scrolling='auto' frameborder='1'><frame src='";
    if (!notes.empty())
        text += escapeHtml(pathText(notes));
    text += u"'></frameset></html>";
    return text;
}

bool ShowContactPreview(CExplorer1& pane, const contacts::ContactRecord& record, const std::filesystem::path& directory)
{
    const std::filesystem::path fields = directory / kPreviewFieldsFile;
    const std::filesystem::path frameset = directory / kPreviewFramesetFile;
    const std::u16string_view body = record.text_or_empty(Field::body);
    const std::filesystem::path notes = body.empty() ? std::filesystem::path() : directory / kPreviewNotesFile;
    if (!platform::writeUtf16File(fields, previewFieldsText(record)))
        return false;
    if (!notes.empty())
        platform::writeUtf16File(notes, body);
    platform::writeUtf16File(frameset, previewFramesetText(fields, notes));
    pane.Navigate(QString::fromStdString(frameset.string()));
    return true;
}

int leadingInteger(std::u16string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
        value = std::min<long long>(value * 10 + (text[i] - u'0'), INT_MAX + 1LL);
    value = negative ? -value : value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

} // namespace ui
