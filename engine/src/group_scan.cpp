#include "group_scan.h"

#include <algorithm>

#include "engine/contact_extraction.h"
#include "engine/text_decoding.h"
#include "pst/format.h"

namespace engine {

namespace {

constexpr uint32_t kLidListName = 0x8053;
constexpr uint32_t kLidOneOffMembers = 0x8054;
constexpr uint32_t kLidMembers = 0x8055;
constexpr uint32_t kLidStream = 0x8064;

bool read_name(const PropertyList& list, uint32_t tag, int codepage, std::u16string& out)
{
    const PropertyList::Property* p = list.find(tag);
    out.clear();
    return p != nullptr && property_text(list, *p, codepage, out) && !out.empty();
}

std::vector<std::vector<uint8_t>> entries(const PropertyList& list, uint32_t lid)
{
    std::vector<std::vector<uint8_t>> out;
    const PropertyList::Property* p = list.find(lid, type_code(PropType::MultiBinary));
    if (p == nullptr) {
        return out;
    }
    for (const auto value : contacts::split_multi_binary(list.bytes(*p))) {
        out.emplace_back(value.begin(), value.end());
    }
    return out;
}

} // namespace

void GroupScan::contact_added(uint32_t node_id, const contacts::ContactRecord* record)
{
    if (node_id != 0) {
        m_contacts.emplace_back(node_id, record);
    }
}

pst::Status GroupScan::read_list(PstItem& item, int codepage)
{
    const PropertyList* list = nullptr;
    if (pst::Status read = item.properties(&list); !read) {
        return read;
    }
    RawGroup group;
    if (!read_name(*list, pst::tag::kDisplayName, codepage, group.name)) {
        read_name(*list, kLidListName, codepage, group.name);
    }
    group.node_id = item.node_id();
    group.identity = item_identity(*list, group.node_id);
    // A list that outgrew the two multi-valued properties keeps its members in the stream, which
    // then wins over them.
    const PropertyList::Property* stream = list->find(kLidStream, type_code(PropType::Binary));
    const auto in_stream = stream != nullptr ? contacts::split_list_stream(list->bytes(*stream), &group.missing)
                                             : std::vector<contacts::ListStreamEntry>();
    if (!in_stream.empty() || group.missing > 0) {
        for (const contacts::ListStreamEntry& e : in_stream) {
            group.members.emplace_back(e.entry_id.begin(), e.entry_id.end());
            group.one_offs.emplace_back(e.one_off.begin(), e.one_off.end());
        }
    } else {
        group.members = entries(*list, kLidMembers);
        group.one_offs = entries(*list, kLidOneOffMembers);
    }
    m_raw.push_back(std::move(group));
    return pst::Status::success();
}

contacts::ContactGroups GroupScan::resolve() const
{
    contacts::ContactGroups out;
    if (m_raw.empty()) {
        return out; // no lists: nothing to look up (and a million contacts to sort for nothing)
    }
    std::stable_sort(m_contacts.begin(), m_contacts.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const auto contact_of = [this](uint32_t node) -> const contacts::ContactRecord* {
        const auto c = std::lower_bound(m_contacts.begin(), m_contacts.end(), node,
                                        [](const auto& e, uint32_t n) { return e.first < n; });
        return c != m_contacts.end() && c->first == node ? c->second : nullptr;
    };
    std::unordered_map<uint32_t, int> group_of_node;
    for (std::size_t i = 0; i < m_raw.size(); ++i) {
        if (m_raw[i].node_id != 0) {
            group_of_node.emplace(m_raw[i].node_id, static_cast<int>(i));
        }
    }
    for (const RawGroup& raw : m_raw) {
        contacts::ContactGroup group{raw.name, raw.identity, {}};
        out.members_skipped += raw.missing;
        // The two lists run in step; a list written without the first has the one-offs only.
        const std::size_t count = std::max(raw.members.size(), raw.one_offs.size());
        for (std::size_t i = 0; i < count; ++i) {
            contacts::GroupMember member;
            const auto* entry = i < raw.members.size() ? &raw.members[i] : nullptr;
            if (entry != nullptr) {
                if (const auto node = contacts::entry_id_node(*entry)) {
                    if (const contacts::ContactRecord* c = contact_of(*node)) {
                        member.contact = c;
                    } else if (const auto g = group_of_node.find(*node); g != group_of_node.end()) {
                        member.group = g->second;
                    }
                }
            }
            if (member.contact == nullptr && member.group < 0) {
                // A member that names nothing of the file: its one-off entry gives a name and an address.
                std::optional<contacts::OneOffAddress> one;
                if (i < raw.one_offs.size()) {
                    one = contacts::parse_one_off(raw.one_offs[i]);
                }
                if (!one && entry != nullptr) {
                    one = contacts::parse_one_off(*entry);
                }
                if (!one || one->address.empty()) {
                    ++out.members_skipped;
                    continue;
                }
                member.name = std::move(one->name);
                member.address = std::move(one->address);
            }
            group.members.push_back(std::move(member));
        }
        out.groups.push_back(std::move(group));
    }
    return out;
}

} // namespace engine
