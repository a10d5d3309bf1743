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

// Folders deeper than this are not entered (a damaged hierarchy may loop).
constexpr int kMaxDepth = 64;

// A DN or address: 8-bit in an ANSI file (ASCII in practice), else UTF-16.
std::u16string text_of(const PropertyList& list, uint32_t tag)
{
    const PropertyList::Property* p = list.find(tag, kTypeString8);
    if (p == nullptr) {
        p = list.find(tag, kTypeUnicode);
    }
    std::u16string out;
    if (p != nullptr) {
        property_text(list, *p, kDefaultCodepage, out);
    }
    return out;
}

class Walk
{
public:
    explicit Walk(contacts::ExchangeMap& map) : m_map(map) {}

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
            const std::u16string dn = text_of(list, pair.dn);
            if (dn.empty() || dn.front() != u'/' || dn.size() > contacts::kMaxExchangeDn) {
                continue;
            }
            std::u16string smtp = text_of(list, pair.smtp);
            if (!smtp.empty() && smtp.find(u'@') != std::u16string::npos) {
                m_map.emplace(contacts::exchange_key(dn), std::move(smtp));
            }
        }
    }

    contacts::ExchangeMap& m_map;
    std::unordered_set<uint32_t> m_seen;
};

} // namespace

contacts::ExchangeMap exchange_address_map(const std::string& path_utf8, const SourceOptions& options, pst::Status* why)
{
    contacts::ExchangeMap map;
    std::unique_ptr<PstSource> source = PstSource::open(path_utf8, options, why);
    std::unique_ptr<PstItem> root;
    if (!source || !source->root_folder(&root) || !root) {
        return map;
    }
    Walk(map).folder(*root, 0);
    return map;
}

} // namespace engine
