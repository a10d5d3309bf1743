#include "writer_name_map.h"
#include "writer_props.h"

#include <algorithm>

namespace pst::detail {

NameMap::NameMap()
{
    m_guids.push_back(kPsetidAddress);
    m_guids.push_back(kPsetidCommon);
    // Always present, so that none of the map's streams is empty.
    id_of(PropertyName::string(kPsPublicStrings, u"Keywords"));
}

uint16_t NameMap::id_of(const PropertyName& name)
{
    uint16_t wguid = guid_index(name.guid);
    // Numeric names, the usual kind, through a hash of set and LID; string names through
    // the ordered index.
    const bool numeric = name.kind != PropertyName::Kind::StringName;
    const uint64_t numeric_key = uint64_t{wguid} << 32 | name.lid;
    if (numeric) {
        if (auto hit = m_numeric.find(numeric_key); hit != m_numeric.end())
            return hit->second;
    }
    const uint16_t id = find_or_add(name, wguid);
    if (numeric && id != 0)
        m_numeric.emplace(numeric_key, id);
    return id;
}

uint16_t NameMap::find_or_add(const PropertyName& name, uint16_t wguid)
{
    Key key{name.kind == PropertyName::Kind::StringName, wguid, name.lid, name.name};
    auto it = m_index.find(key);
    if (it != m_index.end())
        return static_cast<uint16_t>(0x8000 + it->second);
    if (m_entries.size() >= 0x7FFE)
        return 0;
    uint16_t idx = static_cast<uint16_t>(m_entries.size());
    m_entries.push_back(key);
    m_index.emplace(key, idx);
    return static_cast<uint16_t>(0x8000 + idx);
}

std::vector<StoredProp> NameMap::properties() const
{
    Bytes guids, entries, strings;
    for (const Guid& g : m_guids)
        append(guids, g.data(), g.size());
    std::vector<Bytes> buckets(kBuckets);
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const Key& k = m_entries[i];
        uint32_t id = k.lid;
        uint32_t hash_key = k.lid;
        if (k.is_string) {
            Bytes name = utf16le(k.name);
            id = static_cast<uint32_t>(strings.size());
            hash_key = crc32(name.data(), name.size());
            append32(strings, static_cast<uint32_t>(name.size()));
            append(strings, name.data(), name.size());
            while (strings.size() % 4)
                strings.push_back(0);
        }
        uint16_t guid_n = static_cast<uint16_t>((k.wguid << 1) | (k.is_string ? 1 : 0));
        append32(entries, id);
        append16(entries, guid_n);
        append16(entries, static_cast<uint16_t>(i));
        Bytes& bucket = buckets[(hash_key ^ guid_n) % kBuckets];
        append32(bucket, hash_key);
        append16(bucket, guid_n);
        append16(bucket, static_cast<uint16_t>(i));
    }
    std::vector<StoredProp> props;
    props.push_back({namemap::kBucketCount, type_code(PropType::Long), le32(kBuckets)});
    props.push_back({namemap::kGuidStream, type_code(PropType::Binary), guids});
    props.push_back({namemap::kEntryStream, type_code(PropType::Binary), entries});
    props.push_back({namemap::kStringStream, type_code(PropType::Binary), strings});
    for (uint32_t b = 0; b < kBuckets; ++b)
        props.push_back({static_cast<uint16_t>(namemap::kFirstBucket + b), type_code(PropType::Binary), buckets[b]});
    return props;
}

uint16_t NameMap::guid_index(const Guid& g)
{
    if (g == kPsMapi)
        return 1;
    if (g == kPsPublicStrings)
        return 2;
    auto it = std::find(m_guids.begin(), m_guids.end(), g);
    if (it == m_guids.end()) {
        m_guids.push_back(g);
        it = m_guids.end() - 1;
    }
    return static_cast<uint16_t>(3 + (it - m_guids.begin()));
}

} // namespace pst::detail
