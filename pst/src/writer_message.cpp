#include "pst/writer.h"

#include <algorithm>
#include <cstring>

namespace pst {

PropertyName PropertyName::tag(uint16_t id)
{
    PropertyName n;
    n.kind = Kind::Id;
    n.id = id;
    return n;
}

PropertyName PropertyName::numeric(const Guid& set, uint32_t lid)
{
    PropertyName n;
    n.kind = Kind::NumericName;
    n.guid = set;
    n.lid = lid;
    return n;
}

PropertyName PropertyName::string(const Guid& set, std::u16string name)
{
    PropertyName n;
    n.kind = Kind::StringName;
    n.guid = set;
    n.name = std::move(name);
    return n;
}

namespace {

bool same_name(const PropertyName& a, const PropertyName& b)
{
    if (a.kind != b.kind)
        return false;
    switch (a.kind) {
    case PropertyName::Kind::Id:
        return a.id == b.id;
    case PropertyName::Kind::NumericName:
        return a.guid == b.guid && a.lid == b.lid;
    case PropertyName::Kind::StringName:
        return a.guid == b.guid && a.name == b.name;
    }
    return false;
}

// The search key of a name (see Message::m_keys): kind in the top two bits, then for named
// properties 30 bits of a hash of the set (and the string name), then the id or the LID.
uint64_t name_key(const PropertyName& n)
{
    // The set as two words, mixed by multiplication: a handful of instructions, not a loop.
    uint64_t lo = 0, hi = 0;
    std::memcpy(&lo, n.guid.data(), 8);
    std::memcpy(&hi, n.guid.data() + 8, 8);
    uint64_t hash = (lo * 0x9E3779B97F4A7C15ull) ^ (hi * 0xC2B2AE3D27D4EB4Full);
    hash ^= hash >> 29;
    switch (n.kind) {
    case PropertyName::Kind::Id:
        return uint64_t{1} << 62 | n.id;
    case PropertyName::Kind::NumericName:
        return uint64_t{2} << 62 | (hash & 0x3FFFFFFF) << 32 | n.lid;
    case PropertyName::Kind::StringName:
        for (char16_t c : n.name)
            hash = (hash ^ c) * 1099511628211ull; // FNV-1a step
        return uint64_t{3} << 62 | (hash & 0x3FFFFFFFFFFFFFFFull);
    }
    return 0;
}

} // namespace

Message::Message(std::u16string message_class) : m_class(std::move(message_class)) {}

namespace {

size_t slot_of(uint64_t key, size_t mask)
{
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

} // namespace

void Message::index_slots(size_t capacity)
{
    size_t size = 16;
    while (size < 2 * capacity)
        size *= 2;
    if (size <= m_slots.size())
        return;
    m_slots.assign(size, 0);
    const size_t mask = size - 1;
    for (size_t i = 0; i < m_keys.size(); ++i) {
        size_t at = slot_of(m_keys[i], mask);
        while (m_slots[at] != 0)
            at = (at + 1) & mask;
        m_slots[at] = static_cast<uint32_t>(i + 1);
    }
}

void Message::reserve(size_t count)
{
    m_props.reserve(count);
    m_keys.reserve(count);
    index_slots(count);
}

void Message::set(PropertyName name, PropertyValue value)
{
    index_slots(m_props.size() + 1);
    const uint64_t key = name_key(name);
    const size_t mask = m_slots.size() - 1;
    size_t at = slot_of(key, mask);
    for (; m_slots[at] != 0; at = (at + 1) & mask) {
        const size_t i = m_slots[at] - 1;
        if (m_keys[i] == key && same_name(m_props[i].name, name)) {
            m_props[i].value = std::move(value);
            return;
        }
    }
    m_props.push_back({std::move(name), std::move(value)});
    m_keys.push_back(key);
    m_slots[at] = static_cast<uint32_t>(m_props.size());
}

void Message::set_unicode(uint16_t id, std::u16string v)
{
    set(PropertyName::tag(id), {PropType::Unicode, std::move(v)});
}
void Message::set_unicode_view(uint16_t id, std::u16string_view v)
{
    set(PropertyName::tag(id), {PropType::Unicode, TextView{v}});
}
void Message::set_named_unicode_view(const Guid& s, uint32_t lid, std::u16string_view v)
{
    set(PropertyName::numeric(s, lid), {PropType::Unicode, TextView{v}});
}
void Message::set_string8(uint16_t id, std::string bytes)
{
    set(PropertyName::tag(id), {PropType::String8, std::move(bytes)});
}
void Message::set_short(uint16_t id, int16_t v)
{
    set(PropertyName::tag(id), {PropType::Short, static_cast<int32_t>(v)});
}
void Message::set_long(uint16_t id, int32_t v)
{
    set(PropertyName::tag(id), {PropType::Long, v});
}
void Message::set_bool(uint16_t id, bool v)
{
    set(PropertyName::tag(id), {PropType::Boolean, v});
}
void Message::set_systime(uint16_t id, uint64_t filetime)
{
    set(PropertyName::tag(id), {PropType::SysTime, filetime});
}
void Message::set_binary(uint16_t id, std::vector<uint8_t> v)
{
    set(PropertyName::tag(id), {PropType::Binary, std::move(v)});
}
void Message::set_named_unicode(const Guid& s, uint32_t lid, std::u16string v)
{
    set(PropertyName::numeric(s, lid), {PropType::Unicode, std::move(v)});
}
void Message::set_named_long(const Guid& s, uint32_t lid, int32_t v)
{
    set(PropertyName::numeric(s, lid), {PropType::Long, v});
}
void Message::set_named_bool(const Guid& s, uint32_t lid, bool v)
{
    set(PropertyName::numeric(s, lid), {PropType::Boolean, v});
}
void Message::set_named_binary(const Guid& s, uint32_t lid, std::vector<uint8_t> v)
{
    set(PropertyName::numeric(s, lid), {PropType::Binary, std::move(v)});
}
void Message::set_named_systime(const Guid& s, uint32_t lid, uint64_t filetime)
{
    set(PropertyName::numeric(s, lid), {PropType::SysTime, filetime});
}
void Message::set_string_named(const Guid& s, std::u16string name, PropertyValue v)
{
    set(PropertyName::string(s, std::move(name)), std::move(v));
}
void Message::set_raw(uint16_t id, uint16_t type_code, std::vector<uint8_t> bytes)
{
    set(PropertyName::tag(id), PropertyValue::raw(type_code, std::move(bytes)));
}

void add_contact_picture(Message& contact, std::vector<uint8_t> bytes, std::u16string_view extension,
                         std::u16string_view mime_type)
{
    const std::u16string name = u"ContactPicture" + std::u16string(extension);
    const auto tag = [](uint16_t id) { return PropertyName::tag(id); };
    Attachment a;
    a.properties = {
        {tag(0x3701), {PropType::Binary, std::move(bytes)}}, // PidTagAttachDataBinary
        {tag(0x3001), {PropType::Unicode, name}},            // PidTagDisplayName
        {tag(0x3703), {PropType::Unicode, std::u16string(extension)}},
        {tag(0x3704), {PropType::Unicode, name}},
        {tag(0x3707), {PropType::Unicode, name}},
        {tag(0x370E), {PropType::Unicode, std::u16string(mime_type)}},
        {tag(0x3705), {PropType::Long, int32_t{1}}},  // PidTagAttachMethod: by value
        {tag(0x370B), {PropType::Long, int32_t{-1}}}, // PidTagRenderingPosition: not in the body
        {tag(0x7FFE), {PropType::Boolean, true}},     // PidTagAttachmentHidden
        {tag(0x7FFF), {PropType::Boolean, true}},     // PidTagAttachmentContactPhoto
    };
    contact.add_attachment(std::move(a));
    contact.set_named_bool(kPsetidAddress, 0x8015, true); // PidLidHasPicture
}

Status MemorySink::write_at(uint64_t offset, const void* data, size_t size)
{
    if (m_out->size() < offset + size)
        m_out->resize(offset + size, 0);
    if (size)
        std::memcpy(m_out->data() + offset, data, size);
    return Status::success();
}

} // namespace pst
