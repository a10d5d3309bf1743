#include "find_text.h"

#include "contacts/contact_record.h"
#include "phone_match.h"
#include "ui/find_fold.h"

#include <array>

namespace ui {
namespace {

using contacts::Field;

// What find searches: the names, the company, the e-mail addresses and every phone number.
// `full_name` is the item's "file under" text.
struct FindField
{
    Field field;
    bool phone;
};
constexpr std::array<FindField, 30> kFindFields{{
    {Field::full_name, false},
    {Field::first_name, false},
    {Field::middle_name, false},
    {Field::last_name, false},
    {Field::nickname, false},
    {Field::title, false},
    {Field::suffix, false},
    {Field::company_name, false},
    {Field::email, false},
    {Field::email_2, false},
    {Field::email_3, false},
    {Field::business_phone, true},
    {Field::business_phone_2, true},
    {Field::company_main_phone, true},
    {Field::home_phone, true},
    {Field::home_phone_2, true},
    {Field::mobile_phone, true},
    {Field::car_phone, true},
    {Field::radio_phone, true},
    {Field::primary_phone, true},
    {Field::other_phone, true},
    {Field::assistant_phone, true},
    {Field::callback_phone, true},
    {Field::isdn_phone, true},
    {Field::ttytdd_phone, true},
    {Field::pager, true},
    {Field::telex, true},
    {Field::business_fax, true},
    {Field::home_fax, true},
    {Field::primary_fax, true},
}};

} // namespace

void appendFindText(const contacts::ContactRecord& record, std::string& out)
{
    for (const FindField& f : kFindFields) {
        const std::u16string_view raw = record.text_or_empty(f.field);
        if (raw.empty())
            continue;
        out += '\n';
        const size_t from = out.size();
        appendFoldForFind(out, QStringView(raw.data(), static_cast<qsizetype>(raw.size())));
        if (f.phone)
            appendNumberLine(out, from);
    }
}

} // namespace ui
