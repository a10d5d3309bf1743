#include "correspondents.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string>
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

// What a stored address and name stand for: the person (-1: none can be told), the name to
// count for it (-1: none, or the address itself; an index into the names met) and, once counted,
// that person's count of that name (an index into the counts of names; -1 until then).
struct Known
{
    int32_t person = -1;
    int32_t name = -1;
    int32_t named = -1;
};

// Stored addresses and names (bytes) to what they stand for: an open-addressing table over one
// buffer of keys, which a lookup finds by one hash and one comparison, without allocating.
class StoredAddresses
{
public:
    Known* find(std::string_view key)
    {
        if (m_slots.empty() || key.size() < kShortestKey) {
            return nullptr;
        }
        const uint64_t h = hash(key);
        for (std::size_t i = h & (m_slots.size() - 1);; i = (i + 1) & (m_slots.size() - 1)) {
            Slot& s = m_slots[i];
            if (s.size == kEmpty) {
                return nullptr;
            }
            if (s.hash == h && s.size == key.size() && std::memcmp(m_keys.data() + s.offset, key.data(), s.size) == 0) {
                return &s.known;
            }
        }
    }
    // Adds a key that find() does not find; a key past the room of the keys is not kept.
    void add(std::string_view key, Known known)
    {
        if (key.size() < kShortestKey || key.size() >= kEmpty || m_keys.size() + key.size() > UINT32_MAX) {
            return;
        }
        if (2 * (m_count + 1) > m_slots.size()) {
            grow();
        }
        place({hash(key), static_cast<uint32_t>(m_keys.size()), static_cast<uint32_t>(key.size()), known});
        m_keys.append(key);
        ++m_count;
    }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;
    static constexpr std::size_t kShortestKey = 16;
    struct Slot
    {
        uint64_t hash = 0;
        uint32_t offset = 0, size = kEmpty;
        Known known;
    };
    // The halves of a 64 by 64-bit product folded into one.
    static uint64_t mum(uint64_t a, uint64_t b)
    {
        const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
        return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
    }
    static uint64_t load(const char* at)
    {
        uint64_t v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    // Sixteen bytes at a time, each pair of words multiplied into the hash: keys are a few
    // hundred bytes (and never fewer than sixteen: four sizes and types and the code page). The
    // last bytes of a key (fewer than sixteen) are taken as its last sixteen.
    static uint64_t hash(std::string_view key)
    {
        constexpr uint64_t kSeed = 0xa0761d6478bd642full, kOther = 0xe7037ed1a0b428dbull;
        const char* p = key.data();
        const std::size_t n = key.size();
        uint64_t h = kSeed ^ n;
        std::size_t i = 0;
        for (; i + 16 <= n; i += 16) {
            h ^= mum(load(p + i) ^ kSeed, load(p + i + 8) ^ h ^ kOther);
        }
        if (i < n) {
            h ^= mum(load(p + n - 16) ^ kSeed, load(p + n - 8) ^ h ^ kOther);
        }
        return mum(h ^ kSeed, h ^ kOther);
    }
    void place(const Slot& slot)
    {
        std::size_t i = slot.hash & (m_slots.size() - 1);
        while (m_slots[i].size != kEmpty) {
            i = (i + 1) & (m_slots.size() - 1);
        }
        m_slots[i] = slot;
    }
    void grow()
    {
        std::vector<Slot> old(std::max<std::size_t>(64, 2 * m_slots.size()));
        old.swap(m_slots);
        for (const Slot& s : old) {
            if (s.size != kEmpty) {
                place(s);
            }
        }
    }
    std::vector<Slot> m_slots; // a power of two of them, at most half used
    std::size_t m_count = 0;
    std::string m_keys; // every key, one after another
};

struct Person
{
    std::u16string address; // as first seen (an SMTP address, or "EX:" and a DN not yet resolved)
    uint32_t messages = 0;
    uint64_t latest = 0;        // FILETIME of the latest of its messages
    std::vector<int32_t> names; // the names it was given, in the order first given (Gathering::m_named)
};

// A person's counts while the mail is read, apart from the rest of it: the counts of one message
// after another touch only these.
struct Counts
{
    uint32_t last_message = UINT32_MAX; // the message that last counted it
    uint32_t messages = 0;
    uint64_t latest = 0;
};

// A name a person was given, and how often.
struct Named
{
    int32_t name = -1; // in Gathering::m_names
    uint32_t count = 0;
};

class Gathering
{
public:
    explicit Gathering(int fallback) : m_fallback(fallback) {}

    void message(const PropertyList& list, const RecipientRows* rows, bool sent_items)
    {
        const int codepage = message_codepage(list, m_fallback);
        const uint32_t m = m_message_count++;
        // The first time of each tag, found in one pass; the delivery time, else the submit time.
        const PropertyList::Property* times[2] = {};
        for (const PropertyList::Property& p : list.all()) {
            if (p.type == type_code(PropType::SysTime)) {
                const std::size_t k = p.id == kTagDeliveryTime ? 0 : p.id == kTagSubmitTime ? 1 : 2;
                if (k < 2 && times[k] == nullptr) {
                    times[k] = &p;
                }
            }
        }
        uint64_t when = 0;
        for (const PropertyList::Property* p : times) {
            if (p != nullptr && when == 0) {
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
        for (std::size_t i = 0; i < m_people.size(); ++i) {
            m_people[i].messages = m_counts[i].messages;
            m_people[i].latest = m_counts[i].latest;
        }
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
                for (const int32_t named : from.names) {
                    const Named& n = m_named[static_cast<std::size_t>(named)];
                    m_named[static_cast<std::size_t>(named_of(into, n.name))].count += n.count;
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

    const std::u16string& best_name(const Person& p) const
    {
        static const std::u16string kNone;
        const Named* best = nullptr;
        for (const int32_t named : p.names) {
            const Named& n = m_named[static_cast<std::size_t>(named)];
            if (best == nullptr || n.count > best->count) {
                best = &n;
            }
        }
        return best == nullptr ? kNone : m_names[static_cast<std::size_t>(best->name)];
    }

private:
    // The count of `name` among the names of `p`, added (as given last) when new.
    int32_t named_of(Person& p, int32_t name)
    {
        for (const int32_t named : p.names) {
            if (m_named[static_cast<std::size_t>(named)].name == name) {
                return named;
            }
        }
        p.names.push_back(static_cast<int32_t>(m_named.size()));
        m_named.push_back({name, 0});
        return p.names.back();
    }

    // The person of one address in `list` (-1 when it has none that can be told), counted once
    // for message `m`.
    int32_t person(const PropertyList& list, const AddressTags& tags, int codepage, uint32_t m, uint64_t when)
    {
        Known& found = known(list, tags, codepage);
        if (found.person < 0) {
            return -1;
        }
        Counts& c = m_counts[static_cast<std::size_t>(found.person)];
        if (c.last_message != m) {
            c.last_message = m;
            ++c.messages;
            c.latest = std::max(c.latest, when);
            if (found.name >= 0) {
                if (found.named < 0) {
                    found.named = named_of(m_people[static_cast<std::size_t>(found.person)], found.name);
                }
                ++m_named[static_cast<std::size_t>(found.named)].count;
            }
        }
        return found.person;
    }

    // The person and name of an address and name as stored: told from their texts when first
    // met (a function of their stored bytes and the code page alone), then found by those bytes.
    Known& known(const PropertyList& list, const AddressTags& tags, int codepage)
    {
        // The first property of each tag, found in one pass over the list.
        const PropertyList::Property* found[4] = {};
        for (const PropertyList::Property& p : list.all()) {
            const std::size_t k = p.id == tags.type      ? 0
                                  : p.id == tags.address ? 1
                                  : p.id == tags.smtp    ? 2
                                  : p.id == tags.name    ? 3
                                                         : 4;
            if (k < 4 && found[k] == nullptr) {
                found[k] = &p;
            }
        }
        std::size_t size = sizeof codepage;
        for (const PropertyList::Property* p : found) {
            size += sizeof(uint16_t) + sizeof(uint32_t) + (p != nullptr ? p->size : 0);
        }
        if (size > m_stored_room) {
            m_stored_room = std::max(size, 2 * m_stored_room);
            m_stored = std::make_unique_for_overwrite<char[]>(m_stored_room);
        }
        const std::string_view stored(m_stored.get(), size);
        char* at = m_stored.get();
        const auto put = [&at](const void* bytes, std::size_t n) {
            if (n != 0) {
                std::memcpy(at, bytes, n);
                at += n;
            }
        };
        for (const PropertyList::Property* p : found) {
            const uint16_t type = p != nullptr ? p->type : 0;
            const auto bytes = p != nullptr ? list.bytes(*p) : std::span<const uint8_t>();
            const uint32_t n = static_cast<uint32_t>(bytes.size());
            put(&type, sizeof type);
            put(&n, sizeof n);
            put(bytes.data(), bytes.size());
        }
        put(&codepage, sizeof codepage);
        if (Known* known = m_known.find(stored)) {
            return *known;
        }
        Known& told_now = m_told;
        told_now = Known();
        told_now.person = told(list, tags, codepage);
        if (told_now.person >= 0) {
            text(list, tags.name, codepage, m_name);
            if (!m_name.empty() && !same_no_case(m_name, m_people[static_cast<std::size_t>(told_now.person)].address)) {
                told_now.name = name_id(m_name);
            }
        }
        m_known.add(stored, told_now);
        if (Known* kept = m_known.find(stored)) {
            return *kept;
        }
        return told_now; // not kept: counted by name each time it is met
    }

    // The index of `name` among the names met, added when new.
    int32_t name_id(const std::u16string& name)
    {
        auto it = m_name_ids.find(name);
        if (it == m_name_ids.end()) {
            it = m_name_ids.emplace(name, static_cast<int32_t>(m_names.size())).first;
            m_names.push_back(name);
        }
        return it->second;
    }

    // The person of the address in `list`, made when new; -1 when it has none that can be told.
    int32_t told(const PropertyList& list, const AddressTags& tags, int codepage)
    {
        text(list, tags.type, codepage, m_type);
        text(list, tags.address, codepage, m_address);
        text(list, tags.smtp, codepage, m_smtp);
        const bool exchange = same_no_case(m_type, u"EX");
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
            m_counts.emplace_back();
            m_people.back().address = key.rfind(u"EX:", 0) == 0 ? key : (exchange ? m_smtp : m_address);
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
    StoredAddresses m_known;
    std::vector<Counts> m_counts;        // by person
    std::vector<Named> m_named;          // every person's names, with their counts
    Known m_told;                        // what an address not kept in m_known stands for
    std::vector<std::u16string> m_names; // every name met, once
    std::unordered_map<std::u16string, int32_t> m_name_ids;
    // The stored address being looked up (the first bytes of its room, which grows without
    // being filled).
    std::unique_ptr<char[]> m_stored;
    std::size_t m_stored_room = 0;
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
        if (const std::u16string& name = gathering.best_name(*p); !name.empty()) {
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
