// The distribution lists a walk meets, and the contacts their members may name.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "contacts/contact_groups.h"
#include "engine/pst_source.h"

namespace engine {

class GroupScan
{
public:
    // A contact the walk added, by its node id (0: none; not kept).
    void contact_added(uint32_t node_id, const contacts::ContactRecord* record);
    // Reads a distribution list item: its name, identity and member entries. A failure when its
    // values cannot be read.
    pst::Status read_list(PstItem& item, int codepage);
    // The groups with their members resolved to the contacts and groups of the walk.
    contacts::ContactGroups resolve() const;

private:
    struct RawGroup
    {
        std::u16string name;
        contacts::ContactIdentity identity{};
        uint32_t node_id = 0;
        std::vector<std::vector<uint8_t>> members;  // PidLidDistributionListMembers
        std::vector<std::vector<uint8_t>> one_offs; // PidLidDistributionListOneOffMembers
        int64_t missing = 0;                        // entries a damaged stream claimed but lacks
    };
    std::vector<RawGroup> m_raw;
    // The contacts by node id, in walk order; sorted by node id (stably: the first of a node id
    // wins) when the groups are resolved. A pair each (16 bytes a contact, a million of them in a
    // large file), where a hash map took some 45.
    mutable std::vector<std::pair<uint32_t, const contacts::ContactRecord*>> m_contacts;
};

} // namespace engine
