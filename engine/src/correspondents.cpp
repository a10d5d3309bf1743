#include "correspondents.h"

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "contacts/contact_store.h"
#include "contacts/text.h"
#include "engine/autocomplete_cards.h"
#include "engine/contact_extraction.h"
#include "engine/pause_gate.h"
#include "engine/text_decoding.h"
#include "other_sources.h"

namespace engine {

namespace {

// The sender's columns, then the represented sender's.
struct AddressTags
{
    uint16_t name, type, address, smtp;
};
constexpr AddressTags kSender = {0x0C1A, 0x0C1E, 0x0C1F, 0x5D01};
constexpr AddressTags kRepresented = {0x0042, 0x0064, 0x0065, 0x5D02};
constexpr AddressTags kRecipient = {0x3001, 0x3002, 0x3003, 0x39FE};
constexpr uint16_t kTagDeliveryTime = 0x0E06;
constexpr uint16_t kTagSubmitTime = 0x0039;
// Every property of a message that the gathering reads.
constexpr std::array<uint16_t, 13> kMessageTags = {
    kSender.name,           kSender.type,      kSender.address,         kSender.smtp,
    kRepresented.name,      kRepresented.type, kRepresented.address,    kRepresented.smtp,
    kTagDeliveryTime,       kTagSubmitTime,    kMessageCodepageTags[0], kMessageCodepageTags[1],
    kMessageCodepageTags[2]};

// Sent Items in the languages Outlook names it in.
constexpr std::u16string_view kSentItemsNames[] = {
    u"Sent Items",
    u"Sent Mail",
    u"Sent",
    u"Gesendete Elemente",
    u"Gesendete Objekte",
    u"Éléments envoyés",
    u"Elementos enviados",
    u"Posta inviata",
    u"Verzonden items",
    u"Skickat",
    u"Sendte elementer",
    u"Sendt post",
    u"Lähetetyt",
    u"Wysłane",
    u"Odeslaná pošta",
    u"Отправленные",
    u"Itens Enviados",
    u"Itens enviados",
    u"送信済みアイテム",
    u"已发送邮件",
};

char16_t lower(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool same_no_case(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

bool is_sent_items(std::u16string_view path)
{
    const std::size_t slash = path.rfind(u'\\');
    const std::u16string_view name = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
    return std::any_of(std::begin(kSentItemsNames), std::end(kSentItemsNames),
                       [&](std::u16string_view sent) { return same_no_case(name, sent); });
}

bool looks_like_smtp(std::u16string_view text)
{
    if (text.empty() || text.front() == u'/') {
        return false;
    }
    bool at = false;
    for (const char16_t c : text) {
        switch (c) {
        case u' ':
        case u'\t':
        case u'\r':
        case u'\n':
        case u'<':
        case u'>':
            return false;
        case u'@':
            at = true;
            break;
        default:
            break;
        }
    }
    return at;
}

struct Person
{
    std::u16string address; // as first seen (an SMTP address, or "EX:" and a DN not yet resolved)
    uint32_t messages = 0;
    uint32_t last_message = UINT32_MAX; // the message that last counted it
    uint64_t latest = 0;                // FILETIME of the latest of its messages
    std::vector<std::pair<std::u16string, uint32_t>> names;
};

class Gathering
{
public:
    explicit Gathering(int fallback) : m_fallback(fallback) {}

    void message(const PropertyList& list, const RecipientRows* rows, bool sent_items)
    {
        const int codepage = message_codepage(list, m_fallback);
        const uint32_t m = m_message_count++;
        uint64_t when = 0;
        for (const uint32_t tag : {kTagDeliveryTime, kTagSubmitTime}) {
            if (const PropertyList::Property* p = list.find(tag, type_code(PropType::SysTime));
                p != nullptr && when == 0) {
                const auto bytes = list.bytes(*p);
                if (bytes.size() >= 8) {
                    for (int i = 7; i >= 0; --i) {
                        when = when << 8 | bytes[static_cast<std::size_t>(i)];
                    }
                }
            }
        }
        int32_t sender = person(list, kSender, codepage, m, when);
        if (sender < 0) {
            sender = person(list, kRepresented, codepage, m, when);
        }
        m_senders.push_back(sender);
        m_sent_items.push_back(sent_items);
        if (rows != nullptr) {
            for (const PropertyList& row : rows->rows()) {
                if (const int32_t id = person(row, kRecipient, codepage, m, when); id >= 0) {
                    m_recipients.push_back(id);
                }
            }
        }
        m_recipients_end.push_back(static_cast<uint32_t>(m_recipients.size()));
    }

    // The cards, in their order, after the DNs are resolved and the owner's rule applied.
    std::vector<const Person*> cards(int min_messages)
    {
        std::unordered_set<int32_t> owners;
        for (std::size_t m = 0; m < m_senders.size(); ++m) {
            if (m_sent_items[m] && m_senders[m] >= 0) {
                owners.insert(resolved(m_senders[m]));
            }
        }
        std::vector<bool> written_to(m_people.size(), false);
        uint32_t begin = 0;
        for (std::size_t m = 0; m < m_senders.size(); ++m) {
            const uint32_t end = m_recipients_end[m];
            if (m_senders[m] >= 0 && owners.count(resolved(m_senders[m])) > 0) {
                for (uint32_t r = begin; r < end; ++r) {
                    written_to[static_cast<std::size_t>(resolved(m_recipients[r]))] = true;
                }
            }
            begin = end;
        }
        // A DN that found its SMTP address adds its messages to that address's.
        for (std::size_t i = 0; i < m_people.size(); ++i) {
            const int32_t to = resolved(static_cast<int32_t>(i));
            if (to != static_cast<int32_t>(i)) {
                Person& from = m_people[i];
                Person& into = m_people[static_cast<std::size_t>(to)];
                into.messages += from.messages;
                into.latest = std::max(into.latest, from.latest);
                for (auto& [name, count] : from.names) {
                    add_name(into, name, count);
                }
                from.messages = 0;
            }
        }
        std::vector<const Person*> out;
        for (std::size_t i = 0; i < m_people.size(); ++i) {
            const Person& p = m_people[i];
            const bool smtp = p.address.rfind(u"EX:", 0) != 0;
            if (smtp && p.messages >= static_cast<uint32_t>(min_messages) &&
                owners.count(static_cast<int32_t>(i)) == 0 && (owners.empty() || written_to[i])) {
                out.push_back(&p);
            }
        }
        std::sort(out.begin(), out.end(), [](const Person* a, const Person* b) {
            return a->messages != b->messages ? a->messages > b->messages : a->address < b->address;
        });
        return out;
    }

    static const std::u16string& best_name(const Person& p)
    {
        static const std::u16string kNone;
        const std::pair<std::u16string, uint32_t>* best = nullptr;
        for (const auto& n : p.names) {
            if (best == nullptr || n.second > best->second) {
                best = &n;
            }
        }
        return best == nullptr ? kNone : best->first;
    }

private:
    static void add_name(Person& p, const std::u16string& name, uint32_t count)
    {
        for (auto& n : p.names) {
            if (n.first == name) {
                n.second += count;
                return;
            }
        }
        p.names.emplace_back(name, count);
    }

    // The person of one address in `list` (-1 when it has none that can be told), counted once
    // for message `m`.
    int32_t person(const PropertyList& list, const AddressTags& tags, int codepage, uint32_t m, uint64_t when)
    {
        text(list, tags.type, codepage, m_type);
        text(list, tags.address, codepage, m_address);
        text(list, tags.smtp, codepage, m_smtp);
        const bool exchange = same_no_case(m_type, u"EX");
        // The key in a buffer kept from call to call: most addresses are met many times.
        std::u16string& key = m_key;
        key.clear();
        if (exchange && !m_address.empty() && looks_like_smtp(m_smtp)) {
            lower_into(m_smtp, key);
            m_dn.assign(m_address);
            upper_ascii(m_dn);
            if (m_dn_to_smtp.find(m_dn) == m_dn_to_smtp.end()) {
                m_dn_to_smtp.emplace(m_dn, key);
            }
        } else if (exchange && !m_address.empty()) {
            key = u"EX:";
            key += m_address;
            upper_ascii(key);
        } else if (looks_like_smtp(m_address) && (m_type.empty() || same_no_case(m_type, u"SMTP"))) {
            lower_into(m_address, key);
        } else if (looks_like_smtp(m_smtp)) {
            lower_into(m_smtp, key);
        } else {
            return -1;
        }
        auto it = m_index.find(key);
        if (it == m_index.end()) {
            it = m_index.emplace(key, static_cast<int32_t>(m_people.size())).first;
            m_people.emplace_back();
            m_people.back().address = key.rfind(u"EX:", 0) == 0 ? key : (exchange ? m_smtp : m_address);
        }
        Person& p = m_people[static_cast<std::size_t>(it->second)];
        if (p.last_message != m) {
            p.last_message = m;
            ++p.messages;
            p.latest = std::max(p.latest, when);
            text(list, tags.name, codepage, m_name);
            if (!m_name.empty() && !same_no_case(m_name, p.address)) {
                add_name(p, m_name, 1);
            }
        }
        return it->second;
    }

    // The SMTP person a DN person stands for, else itself.
    int32_t resolved(int32_t id)
    {
        const Person& p = m_people[static_cast<std::size_t>(id)];
        if (p.address.rfind(u"EX:", 0) != 0) {
            return id;
        }
        const auto smtp = m_dn_to_smtp.find(p.address.substr(3));
        if (smtp == m_dn_to_smtp.end()) {
            return id;
        }
        const auto found = m_index.find(smtp->second);
        return found == m_index.end() ? id : found->second;
    }

    static void lower_into(std::u16string_view address, std::u16string& key)
    {
        key.assign(address);
        for (char16_t& c : key) {
            c = lower(c);
        }
    }
    // DNs compare without regard to case, as contacts::exchange_key has them.
    static void upper_ascii(std::u16string& text)
    {
        for (char16_t& c : text) {
            c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
        }
    }

    static void text(const PropertyList& list, uint32_t tag, int codepage, std::u16string& out)
    {
        out.clear();
        if (const PropertyList::Property* p = list.find(tag); p != nullptr) {
            property_text(list, *p, codepage, out);
        }
    }

    int m_fallback;
    uint32_t m_message_count = 0;
    std::vector<Person> m_people;
    std::unordered_map<std::u16string, int32_t> m_index;
    std::unordered_map<std::u16string, std::u16string> m_dn_to_smtp; // DN key to SMTP key
    std::vector<int32_t> m_senders;                                  // per message: its sender's person, -1 none
    std::vector<bool> m_sent_items;                                  // per message: in Sent Items
    std::vector<int32_t> m_recipients;      // every message's recipients' people, one after another
    std::vector<uint32_t> m_recipients_end; // per message: where its recipients end
    std::u16string m_type, m_address, m_smtp, m_name, m_key, m_dn;
};

bool is_mail(uint8_t type)
{
    return type == kItemEmail || type == kItemEmailSmime || type == kItemMeeting;
}

// What identifies a correspondent's card across runs: two FNV-1a hashes of its address.
contacts::ContactIdentity address_identity(std::u16string_view address)
{
    contacts::ContactIdentity id{};
    uint64_t h[2] = {0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull};
    for (uint64_t& x : h) {
        for (const char16_t unit : address) {
            x = (x ^ lower(unit)) * 0x100000001b3ull;
        }
    }
    for (std::size_t i = 0; i < 16; ++i) {
        id[i] = static_cast<uint8_t>(h[i / 8] >> (8 * (i % 8)));
    }
    return id;
}

} // namespace

bool read_correspondents(PstSource& file, contacts::ContactStore& store, ScanListener& listener, PauseGate* gate,
                         ScanResult* result, const std::function<void(const SkippedItem&)>& skipped, uint32_t place)
{
    Gathering gathering(file.options().fallback_codepage);
    RecipientRows rows;
    const auto visit = [&](PstItem& folder, const std::u16string& path) {
        int count = 0;
        if (const pst::Status counted = folder.sub_message_count(&count); !counted) {
            skipped({path, 0, "the folder's contents cannot be read", counted.message});
            return gate == nullptr || !gate->checkpoint();
        }
        const bool sent_items = is_sent_items(path);
        for (int i = 0; i < count; ++i) {
            if (gate != nullptr && gate->checkpoint()) {
                return false;
            }
            listener.progress(static_cast<int>(int64_t{i} * 100 / count));
            std::unique_ptr<PstItem> item;
            uint8_t type = 0;
            pst::Status read = folder.sub_message(i, &item);
            if (read && item) {
                read = item->type(&type);
            }
            if (read && !is_mail(type)) {
                continue;
            }
            const PropertyList* list = nullptr;
            if (read) {
                read = item->properties_of(kMessageTags, &list);
            }
            if (!read || list == nullptr) {
                skipped({path, i, "a message's senders and recipients cannot be read", read.message});
                continue;
            }
            const pst::Status recipients = item->recipient_rows(&rows);
            if (!recipients) {
                skipped({path, i, "a message's recipients cannot be read", recipients.message});
            }
            gathering.message(*list, recipients.found() ? &rows : nullptr, sent_items);
        }
        return gate == nullptr || !gate->checkpoint();
    };
    if (!for_each_folder(file, visit, skipped)) {
        return false;
    }
    contacts::ContactDraft draft;
    char16_t date[10];
    for (const Person* p : gathering.cards(file.options().sources.min_messages)) {
        draft.reset();
        draft.set_origin(contacts::Origin::correspondent);
        if (const std::u16string& name = Gathering::best_name(*p); !name.empty()) {
            draft.set_text(contacts::Field::full_name, name);
        }
        draft.set_text(contacts::Field::email, p->address);
        draft.set_text(contacts::Field::email_type, u"SMTP");
        std::u16string note = u"Found in " + grouped_number(p->messages) +
                              (p->messages == 1 ? u" message of the mail" : u" messages of the mail");
        if (p->latest != 0 && format_filetime_date(p->latest, 0, date)) {
            note += u", the latest on ";
            note.append(date, 10);
        }
        draft.set_text(contacts::Field::body, note);
        draft.set_identity(address_identity(p->address));
        draft.set_place(place);
        contacts::ContactRecordPtr record = build_contact(store, draft);
        if (!record) {
            return false;
        }
        ++result->correspondents;
        listener.contact_added(*record);
        contacts::contact_store_append(store, std::move(record));
    }
    return true;
}

} // namespace engine
