#include "autocomplete/stream.h"

#include <algorithm>
#include <cstring>

#include "pst/format.h"
#include "pst/little_endian.h"
#include "pst/text.h"

namespace autocomplete {

namespace {

using pst::PropType;
using pst::type_code;

constexpr std::size_t kPropertyBytes = 16; // tag, reserved, value union
constexpr std::size_t kTrailerMetadata = 8;

// How a property's data follows its 16 bytes, by type.
enum class Shape : uint8_t
{
    unknown,
    fixed,    // the value is in the union
    counted,  // a 4-byte byte count, then the bytes
    clsid,    // 16 bytes
    multiple, // a 4-byte value count, then each value counted
};

// The fixed types (pst::is_fixed_size) are in the union; PT_STRING8, PT_UNICODE and PT_BINARY
// counted, PT_CLSID 16 bytes, the multi-valued PT_MV_STRING8, PT_MV_UNICODE and PT_MV_BINARY as
// a count of counted values.
Shape shape_of(uint16_t type)
{
    switch (type) {
    case type_code(PropType::String8):
    case type_code(PropType::Unicode):
    case type_code(PropType::Binary):
        return Shape::counted;
    case 0x0048: // PT_CLSID
        return Shape::clsid;
    case type_code(PropType::MultiString8):
    case type_code(PropType::MultiUnicode):
    case type_code(PropType::MultiBinary):
        return Shape::multiple;
    default:
        return pst::is_fixed_size(type) ? Shape::fixed : Shape::unknown;
    }
}

// The reasons, by Damage.
constexpr std::string_view kReasons[kDamageCount] = {
    "",
    "not an autocomplete list",
    "an autocomplete list of another version",
    "an autocomplete list with more rows than it holds",
    "an autocomplete row with more properties than it holds",
    "a length past the end of the autocomplete list",
    "an autocomplete value count past the end of the list",
    "an unknown property type in the autocomplete list",
    "an autocomplete list cut short",
    "an autocomplete list with a cut trailer",
};

// A cursor over the stream that never moves past its end.
class Cursor
{
public:
    explicit Cursor(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

    std::size_t left() const { return m_bytes.size() - m_at; }
    bool u32(uint32_t* out)
    {
        if (left() < 4) {
            return false;
        }
        *out = pst::get32(m_bytes.data() + m_at);
        m_at += 4;
        return true;
    }
    // The next `n` bytes (n <= left(), checked by the caller).
    std::span<const uint8_t> take(std::size_t n)
    {
        const auto out = m_bytes.subspan(m_at, n);
        m_at += n;
        return out;
    }

private:
    std::span<const uint8_t> m_bytes;
    std::size_t m_at = 0;
};

// A text value up to its first NUL (a 16-bit one for PT_UNICODE).
std::span<const uint8_t> cut_at_nul(uint16_t type, std::span<const uint8_t> bytes)
{
    if (type == type_code(PropType::Unicode)) {
        return bytes.first(pst::units_before_nul(bytes.data(), bytes.size() / 2) * 2);
    }
    if (type == type_code(PropType::String8)) {
        const auto* nul = static_cast<const uint8_t*>(std::memchr(bytes.data(), 0, bytes.size()));
        return nul == nullptr ? bytes : bytes.first(static_cast<std::size_t>(nul - bytes.data()));
    }
    return bytes;
}

// Where a property of a row goes, by its id (the high 16 bits of the tag).
std::optional<Value>* slot_of(Row& row, uint32_t tag)
{
    switch (tag >> 16) {
    case kTagNickname >> 16:
        return &row.nickname;
    case kTagDisplayName >> 16:
        return &row.display_name;
    case kTagAddressType >> 16:
        return &row.address_type;
    case kTagEmailAddress >> 16:
        return &row.email_address;
    case kTagSmtpAddress >> 16:
        return &row.smtp_address;
    case kTagDropdownName >> 16:
        return &row.dropdown_name;
    }
    return nullptr;
}

bool is_text(uint16_t type)
{
    return type == type_code(PropType::Unicode) || type == type_code(PropType::String8);
}

// Reads one property into `row`; none when it was read whole.
Damage read_property(Cursor& in, Row& row)
{
    if (in.left() < kPropertyBytes) {
        return Damage::cut;
    }
    uint32_t tag = 0, reserved = 0;
    in.u32(&tag);
    in.u32(&reserved);
    const std::span<const uint8_t> value_union = in.take(8);
    const uint16_t type = static_cast<uint16_t>(tag & 0xFFFF);
    switch (shape_of(type)) {
    case Shape::unknown:
        return Damage::property_type;
    case Shape::fixed:
        if (tag == kTagWeight) {
            row.weight = pst::get32(value_union.data());
        }
        return Damage::none;
    case Shape::clsid:
        if (in.left() < 16) {
            return Damage::cut;
        }
        in.take(16);
        return Damage::none;
    case Shape::counted: {
        uint32_t size = 0;
        if (!in.u32(&size)) {
            return Damage::cut;
        }
        if (size > in.left()) {
            return Damage::length;
        }
        const std::span<const uint8_t> data = in.take(size);
        if (std::optional<Value>* slot = slot_of(row, tag); slot != nullptr && is_text(type) && !*slot) {
            *slot = Value{type, cut_at_nul(type, data)};
        } else if (tag == kTagSearchKey && !row.search_key) {
            row.search_key = Value{type, data};
        }
        return Damage::none;
    }
    case Shape::multiple: {
        uint32_t count = 0;
        if (!in.u32(&count)) {
            return Damage::cut;
        }
        if (count > in.left() / 4) {
            return Damage::value_count;
        }
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t size = 0;
            if (!in.u32(&size)) {
                return Damage::cut;
            }
            if (size > in.left()) {
                return Damage::length;
            }
            in.take(size);
        }
        return Damage::none;
    }
    }
    return Damage::property_type;
}

Damage read_row(Cursor& in, Row& row)
{
    if (!in.u32(&row.properties)) {
        return Damage::cut;
    }
    if (row.properties > in.left() / kPropertyBytes) {
        return Damage::property_count;
    }
    for (uint32_t i = 0; i < row.properties; ++i) {
        if (const Damage damage = read_property(in, row); damage != Damage::none) {
            return damage;
        }
    }
    return Damage::none;
}

} // namespace

std::string_view damage_reason(Damage damage) noexcept
{
    const auto at = static_cast<std::size_t>(damage);
    return at < kDamageCount ? kReasons[at] : std::string_view();
}

bool looks_like_stream(std::span<const uint8_t> bytes) noexcept
{
    Cursor in(bytes);
    uint32_t signature = 0, major = 0;
    return in.u32(&signature) && in.u32(&major) && signature == kSignature && major == kMajorVersion;
}

Damage read_header(std::span<const uint8_t> bytes, uint32_t* minor_version, uint32_t* declared_rows) noexcept
{
    if (bytes.size() < kHeaderBytes) {
        return Damage::not_a_stream;
    }
    Cursor in(bytes);
    uint32_t signature = 0, major = 0;
    in.u32(&signature);
    in.u32(&major);
    in.u32(minor_version);
    in.u32(declared_rows);
    if (signature != kSignature) {
        return Damage::not_a_stream;
    }
    return major == kMajorVersion ? Damage::none : Damage::version;
}

Damage read_row(std::span<const uint8_t> bytes, Row& row, std::size_t* used) noexcept
{
    row = Row{};
    Cursor in(bytes);
    const Damage damage = read_row(in, row);
    *used = bytes.size() - in.left();
    return damage;
}

Damage read_trailer(std::span<const uint8_t> bytes) noexcept
{
    Cursor in(bytes);
    uint32_t extra = 0;
    return !in.u32(&extra) || extra > in.left() || in.left() - extra < kTrailerMetadata ? Damage::trailer
                                                                                        : Damage::none;
}

Stream read_stream(std::span<const uint8_t> bytes)
{
    Stream stream;
    stream.damage = read_header(bytes, &stream.minor_version, &stream.declared_rows);
    if (stream.damage != Damage::none) {
        return stream;
    }
    std::span<const uint8_t> rest = bytes.subspan(kHeaderBytes);
    // A row takes 4 bytes at least: a count beyond that is damage, and never reserved for.
    const bool too_many = more_rows_than_fit(stream.declared_rows, rest.size());
    stream.rows.reserve(std::min<std::size_t>(stream.declared_rows, rest.size() / 4));
    for (uint32_t i = 0; i < stream.declared_rows; ++i) {
        Row row;
        std::size_t used = 0;
        if (const Damage damage = read_row(rest, row, &used); damage != Damage::none) {
            stream.damage = too_many ? Damage::row_count : damage;
            return stream;
        }
        rest = rest.subspan(used);
        stream.rows.push_back(row);
    }
    stream.damage = read_trailer(rest);
    return stream;
}

bool unicode_text(const Value& value, std::u16string& out)
{
    out.clear();
    if (value.type != type_code(PropType::Unicode)) {
        return false;
    }
    const std::size_t units = value.bytes.size() / 2;
    out.resize(units);
    for (std::size_t i = 0; i < units; ++i) {
        out[i] = static_cast<char16_t>(pst::get16(value.bytes.data() + 2 * i));
    }
    return true;
}

} // namespace autocomplete
