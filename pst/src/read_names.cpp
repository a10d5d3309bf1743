// The reader's name-to-id map (node 0x61): the GUID, entry and string streams of its property
// context, turned into one NamedId per property index. Offsets and lengths into the streams are
// checked; an entry that points outside them is left out.
#include "read_ndb.h"

namespace pst::read {

using namespace detail;

namespace {

constexpr uint32_t kNameMapNid = nid::kNameToIdMap;
using namemap::kEntryStream;
using namemap::kGuidStream;
using namemap::kStringStream;

} // namespace

struct NameMap::Impl
{
    PropertyContext pc;
    std::vector<NamedId> entries;
    std::vector<int32_t> by_index; // property index -> entry, -1 for none
};

NameMap::NameMap() : m_impl(std::make_unique<Impl>()) {}
NameMap::~NameMap() = default;

Status NameMap::open(File& file)
{
    Impl& m = *m_impl;
    m.entries.clear();
    m.by_index.clear();
    Node node;
    Status found = file.find_node(kNameMapNid, &node);
    if (!found)
        return std::move(found).within("name-to-id map: ");
    if (found.absent)
        return fail("the file has no name-to-id map");
    if (Status status = m.pc.open(file, node); !status)
        return std::move(status).within("name-to-id map: ");
    const PropertyRef* guids = m.pc.find(kGuidStream);
    const PropertyRef* entries = m.pc.find(kEntryStream);
    const PropertyRef* strings = m.pc.find(kStringStream);
    if (!entries)
        return fail("name-to-id map without its entry stream");
    if (entries->size % 8 != 0)
        return fail("name-to-id map: entry stream of " + std::to_string(entries->size) +
                    " bytes is not whole 8-byte entries");
    const size_t guid_count = guids ? guids->size / 16 : 0;
    const size_t string_size = strings ? strings->size : 0;
    m.entries.reserve(entries->size / 8);
    for (size_t i = 0; i < entries->size / 8; ++i) {
        const uint8_t* e = entries->data + 8 * i;
        const uint32_t value = get32(e);
        const uint16_t guid_field = get16(e + 4), index = get16(e + 6);
        const unsigned guid = guid_field >> 1;
        if (index >= 0x8000)
            continue; // 0x8000 + index would not be a property id
        NamedId n;
        n.numeric = (guid_field & 1) == 0;
        // GUID indexes 1 and 2 stand for PS_MAPI and PS_PUBLIC_STRINGS.
        if (guid == 1) {
            n.guid = pst::kPsMapi;
        } else if (guid == 2) {
            n.guid = pst::kPsPublicStrings;
        } else if (guid >= 3) {
            if (guid - 3 >= guid_count)
                continue; // names a GUID the stream does not have
            std::memcpy(n.guid.data(), guids->data + 16 * (guid - 3), 16);
        }
        if (n.numeric) {
            n.lid = value;
        } else {
            if (value > string_size || string_size - value < 4)
                continue;
            const uint32_t bytes = get32(strings->data + value);
            if (bytes > string_size - value - 4)
                continue;
            const uint8_t* s = strings->data + value + 4;
            n.name.resize(bytes / 2);
            for (size_t k = 0; k < n.name.size(); ++k)
                n.name[k] = static_cast<char16_t>(get16(s + 2 * k));
        }
        if (m.by_index.size() <= index)
            m.by_index.resize(size_t(index) + 1, -1);
        if (m.by_index[index] >= 0)
            continue; // the first entry of an index wins
        m.by_index[index] = static_cast<int32_t>(m.entries.size());
        m.entries.push_back(std::move(n));
    }
    return Status::success();
}

const NamedId* NameMap::find(uint16_t prop_id) const
{
    if (prop_id < 0x8000)
        return nullptr;
    const size_t index = prop_id - 0x8000u;
    const Impl& m = *m_impl;
    if (index >= m.by_index.size() || m.by_index[index] < 0)
        return nullptr;
    return &m.entries[static_cast<size_t>(m.by_index[index])];
}

} // namespace pst::read
