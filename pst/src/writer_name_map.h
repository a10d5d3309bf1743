// The file's name-to-id map (node 0x61): named properties get ids 0x8000 + their index, in the
// order they are first seen; properties() gives the map's property context.
#pragma once

#include "pst/writer.h"
#include "writer_ltp.h"

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace pst::detail {

class NameMap
{
public:
    NameMap();

    // Property id of a named property (0 when the map is full).
    uint16_t id_of(const PropertyName& name);

    // The map's streams: the bucket count, the GUID, entry and string streams and the buckets.
    std::vector<StoredProp> properties() const;

private:
    static constexpr uint32_t kBuckets = 251;
    struct Key
    {
        bool is_string;
        uint16_t wguid;
        uint32_t lid;
        std::u16string name;
        bool operator<(const Key& o) const
        {
            return std::tie(is_string, wguid, lid, name) < std::tie(o.is_string, o.wguid, o.lid, o.name);
        }
    };

    uint16_t find_or_add(const PropertyName& name, uint16_t wguid);
    uint16_t guid_index(const Guid& g);

    std::vector<Guid> m_guids;
    std::vector<Key> m_entries;
    std::map<Key, uint16_t> m_index;
    std::unordered_map<uint64_t, uint16_t> m_numeric; // set index << 32 | LID -> property id
};

} // namespace pst::detail
