// The e-mail addresses of the outputs for importers: SMTP addresses in place of Exchange DNs.
#include "contacts/output_writers.h"

namespace contacts {

namespace {

// Outlook stores the SMTP address as the original display name when it knows one.
bool looks_like_smtp(std::u16string_view text)
{
    return !text.empty() && text.front() != u'/' && text.find(u'@') != std::u16string_view::npos &&
           text.find_first_of(u" \t\r\n") == std::u16string_view::npos;
}

} // namespace

std::u16string exchange_key(std::u16string_view dn)
{
    std::u16string key(dn);
    for (char16_t& c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return key;
}

ContactEmails contact_emails(const ContactRecord& record, const ExchangeMap* exchange)
{
    ContactEmails emails;
    const Field fields[] = {Field::email, Field::email_2, Field::email_3};
    for (std::size_t i = 0; i < emails.address.size(); ++i) {
        emails.address[i] = record.text_or_empty(fields[i]);
    }
    const std::u16string_view packed = record.exchange();
    if (packed.empty()) {
        return emails;
    }
    for (const ExchangeAddress& ex : exchange_addresses(packed)) {
        std::u16string_view& address = emails.address[static_cast<std::size_t>(ex.slot)];
        if (looks_like_smtp(ex.original)) {
            address = ex.original;
            continue;
        }
        if (ex.dn.size() <= kMaxExchangeDn && exchange != nullptr) {
            if (const auto found = exchange->find(exchange_key(ex.dn)); found != exchange->end()) {
                address = found->second;
                continue;
            }
        }
        address = {};
        ++emails.left_out;
        if (ex.dn.size() <= kMaxExchangeDn) {
            emails.kept_dns.emplace_back(ex.dn);
        }
    }
    return emails;
}

std::u16string notes_with_dns(std::u16string_view notes, const std::vector<std::u16string_view>& dns)
{
    std::u16string out(notes);
    for (const std::u16string_view dn : dns) {
        if (!out.empty()) {
            out += u"\r\n";
        }
        out += u"Exchange address without a known SMTP address: ";
        out += dn;
    }
    return out;
}

bool writes_for_importers(Format format, const OutputChoices& choices)
{
    return (format == Format::Vcf && choices.vcard != VcardVersion::v21) ||
           (format == Format::Csv && choices.csv != CsvLayout::pelimoor);
}

} // namespace contacts
