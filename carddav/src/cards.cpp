#include "carddav/cards.h"

#include <algorithm>
#include <cctype>

#include "contacts/conversion.h"
#include "pst/writer.h"

namespace carddav {

namespace {

// A .vcf writer's one file, kept in memory.
class MemoryFiles : public contacts::OutputFiles
{
public:
    explicit MemoryFiles(std::string* text) : m_text(text) {}
    std::unique_ptr<contacts::ByteSink> create(const std::string&, pst::Status*) override
    {
        return std::make_unique<contacts::StringSink>(m_text);
    }
    std::unique_ptr<pst::Writer> create_pst(const std::string&, pst::Status* why) override
    {
        *why = pst::Status::failure("an upload writes no PST file");
        return nullptr;
    }

private:
    std::string* m_text;
};

bool starts_with_name(std::string_view line, std::string_view name)
{
    if (line.size() <= name.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line[i])) != name[i]) {
            return false;
        }
    }
    return line[name.size()] == ':' || line[name.size()] == ';';
}

// The value of a logical line (after the first ':' outside quotes).
std::string_view line_value(std::string_view line)
{
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ':' && !quoted) {
            return line.substr(i + 1);
        }
    }
    return {};
}

std::string unescape(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char c = value[++i];
            out.push_back(c == 'n' || c == 'N' ? '\n' : c);
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

} // namespace

std::vector<std::string> logical_lines(std::string_view card)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < card.size()) {
        std::size_t end = card.find("\r\n", at);
        if (end == std::string_view::npos) {
            end = card.size();
        }
        const std::string_view line = card.substr(at, end - at);
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !lines.empty()) {
            lines.back().append(line.substr(1));
        } else if (!line.empty()) {
            lines.emplace_back(line);
        }
        at = end + 2;
    }
    return lines;
}

std::string Card::resource_name() const
{
    std::string name;
    for (const char c : uid) {
        const bool safe = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
        name.push_back(safe ? c : '_');
    }
    return (name.empty() ? std::string("card") : name) + ".vcf";
}

std::vector<Card> split_cards(std::string_view vcf)
{
    static constexpr std::string_view kBegin = "BEGIN:VCARD\r\n";
    static constexpr std::string_view kEnd = "END:VCARD\r\n";
    std::vector<Card> cards;
    std::size_t at = vcf.find(kBegin);
    while (at != std::string_view::npos) {
        const std::size_t end = vcf.find(kEnd, at);
        const std::size_t stop = end == std::string_view::npos ? vcf.size() : end + kEnd.size();
        Card card;
        card.text.assign(vcf.substr(at, stop - at));
        for (const std::string& line : logical_lines(card.text)) {
            if (starts_with_name(line, "UID")) {
                std::string_view uid = line_value(line);
                if (uid.starts_with("urn:uuid:")) {
                    uid.remove_prefix(9);
                }
                card.uid.assign(uid);
            } else if (starts_with_name(line, "FN") && card.name.empty()) {
                card.name = unescape(line_value(line));
            } else if (starts_with_name(line, "KIND") || starts_with_name(line, "X-ADDRESSBOOKSERVER-KIND")) {
                card.group = line_value(line) == "group";
            }
        }
        cards.push_back(std::move(card));
        at = vcf.find(kBegin, stop);
    }
    return cards;
}

pst::Status make_cards(const CardSource& source, contacts::VcardVersion version, std::vector<Card>* cards)
{
    if (version == contacts::VcardVersion::v21) {
        return pst::Status::failure("CardDAV servers take vCard 3.0 or 4.0, not 2.1");
    }
    if (source.store == nullptr) {
        return pst::Status::failure("no contacts to upload");
    }
    std::string text;
    MemoryFiles files(&text);
    contacts::OutputChoices choices;
    choices.vcard = version;
    contacts::ExchangeMap exchange;
    if (source.exchange_map && contacts::needs_exchange_map(*source.store, source.selection)) {
        exchange = source.exchange_map();
    }
    pst::Status status;
    auto writer =
        contacts::make_contact_writer(contacts::Format::Vcf, files, &status, choices, &exchange, source.groups);
    if (!writer) {
        return status;
    }
    if (!source.selection.empty()) {
        for (const contacts::ContactRecord* r : source.selection) {
            if (status = writer->add(*r); !status) {
                return status;
            }
        }
    } else {
        const int64_t total = source.store->size();
        int64_t done = 0;
        for (const contacts::ContactRecord* r = source.store->first(); r && done < total; r = r->next(), ++done) {
            if (status = writer->add(*r); !status) {
                return status;
            }
        }
    }
    if (status = writer->finish(); !status) {
        return status;
    }
    *cards = split_cards(text);
    return pst::Status::success();
}

} // namespace carddav
