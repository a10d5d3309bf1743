#include "engine/exchange_map.h"

#include "engine/text_decoding.h"

#include <unordered_set>

namespace engine {

namespace {

// DN and SMTP address property pairs of a message: the sender and the represented sender.
struct AddressPair
{
    uint32_t dn;
    uint32_t smtp;
};
constexpr AddressPair kPairs[] = {{0x0C1F, 0x5D01}, {0x0065, 0x5D02}};

// Recipient rows: PidTagAddressType, PidTagEmailAddress (the DN of an EX row), PidTagSmtpAddress.
constexpr uint32_t kTagAddressType = 0x3002;
constexpr uint32_t kTagEmailAddress = 0x3003;
constexpr uint32_t kTagSmtpAddress = 0x39FE;

// Folders deeper than this are not entered (a damaged hierarchy may loop).
constexpr int kMaxDepth = 64;

// A DN or address: 8-bit in an ANSI file (ASCII in practice), else UTF-16.
std::u16string text_of(const PropertyList& list, uint32_t tag)
{
    const PropertyList::Property* p = list.find(tag, type_code(PropType::String8));
    if (p == nullptr) {
        p = list.find(tag, type_code(PropType::Unicode));
    }
    std::u16string out;
    if (p != nullptr) {
        property_text(list, *p, kDefaultCodepage, out);
    }
    return out;
}

// Whether an address type names a legacy Exchange address ("EX", in any case).
bool is_exchange_type(std::u16string_view type)
{
    return type.size() == 2 && (type[0] | 0x20) == u'e' && (type[1] | 0x20) == u'x';
}

class Walk
{
public:
    explicit Walk(contacts::ExchangeMap& map) : m_map(map) {}

    int64_t unreadable() const { return m_unreadable; }

    void folder(PstItem& item, int depth)
    {
        if (depth > kMaxDepth || (item.node_id() != 0 && !m_seen.insert(item.node_id()).second)) {
            return;
        }
        int count = 0;
        if (item.sub_message_count(&count)) {
            for (int i = 0; i < count; ++i) {
                std::unique_ptr<PstItem> message;
                const PropertyList* list = nullptr;
                if (item.sub_message(i, &message) && message && message->properties(&list)) {
                    pairs(*list);
                    recipients(*message);
                } else {
                    ++m_unreadable;
                }
            }
        }
        if (item.sub_folder_count(&count)) {
            for (int i = 0; i < count; ++i) {
                std::unique_ptr<PstItem> sub;
                if (item.sub_folder(i, &sub) && sub) {
                    folder(*sub, depth + 1);
                }
            }
        }
    }

private:
    void pairs(const PropertyList& list)
    {
        for (const AddressPair& pair : kPairs) {
            add(text_of(list, pair.dn), text_of(list, pair.smtp));
        }
    }

    // The rows of the message's recipient table whose address type is EX.
    void recipients(PstItem& message)
    {
        if (!message.recipient_rows(&m_rows)) {
            ++m_unreadable;
            return;
        }
        m_unreadable += m_rows.unreadable;
        for (const PropertyList& row : m_rows.rows()) {
            if (is_exchange_type(text_of(row, kTagAddressType))) {
                add(text_of(row, kTagEmailAddress), text_of(row, kTagSmtpAddress));
            }
        }
    }

    // Pairs a DN with an SMTP address (the first pair found for a DN stays).
    void add(const std::u16string& dn, std::u16string smtp)
    {
        if (dn.empty() || dn.front() != u'/' || dn.size() > contacts::kMaxExchangeDn) {
            return;
        }
        if (!smtp.empty() && smtp.find(u'@') != std::u16string::npos) {
            m_map.emplace(contacts::exchange_key(dn), std::move(smtp));
        }
    }

    contacts::ExchangeMap& m_map;
    std::unordered_set<uint32_t> m_seen;
    RecipientRows m_rows;
    int64_t m_unreadable = 0;
};

} // namespace

contacts::ExchangeMap exchange_address_map(const std::string& path_utf8, const SourceOptions& options, pst::Status* why,
                                           int64_t* unreadable)
{
    contacts::ExchangeMap map;
    if (unreadable != nullptr) {
        *unreadable = 0;
    }
    std::unique_ptr<PstSource> source = PstSource::open(path_utf8, options, why);
    std::unique_ptr<PstItem> root;
    if (!source || !source->root_folder(&root) || !root) {
        return map;
    }
    Walk walk(map);
    walk.folder(*root, 0);
    if (unreadable != nullptr) {
        *unreadable = walk.unreadable();
    }
    return map;
}

contacts::ExchangeMap exchange_address_map(const std::vector<std::string>& paths_utf8, const SourceOptions& options,
                                           int64_t* unreadable)
{
    contacts::ExchangeMap all;
    if (unreadable != nullptr) {
        *unreadable = 0;
    }
    for (const std::string& path : paths_utf8) {
        pst::Status why;
        int64_t left = 0;
        contacts::ExchangeMap one = exchange_address_map(path, options, &why, &left);
        if (unreadable != nullptr) {
            *unreadable += left;
        }
        if (all.empty()) {
            all = std::move(one);
        } else {
            all.merge(one); // what `all` has already stays
        }
    }
    return all;
}

} // namespace engine
