#include "writer_props.h"
#include "pst/text.h"

#include <algorithm>
#include <bit>
#include <string>

namespace pst::detail {

bool encode_value(const PropertyValue& v, Bytes* out)
{
    const uint16_t type = static_cast<uint16_t>(v.type);
    if (const auto* raw = std::get_if<std::vector<uint8_t>>(&v.value)) {
        if (value_kind(type) == ValueKind::Inline && raw->size() > 4)
            return false;
        *out = *raw;
        return true;
    }
    switch (v.type) {
    case PropType::Short:
        if (const auto* i = std::get_if<int32_t>(&v.value)) {
            *out = Bytes{static_cast<uint8_t>(*i), static_cast<uint8_t>(*i >> 8)};
            return true;
        }
        return false;
    case PropType::Long:
        if (const auto* i = std::get_if<int32_t>(&v.value)) {
            *out = le32(static_cast<uint32_t>(*i));
            return true;
        }
        return false;
    case PropType::Boolean:
        if (const auto* b = std::get_if<bool>(&v.value)) {
            *out = le8(*b ? 1 : 0);
            return true;
        }
        return false;
    case PropType::SysTime:
        if (const auto* t = std::get_if<uint64_t>(&v.value)) {
            *out = le64(*t);
            return true;
        }
        return false;
    case PropType::String8:
        if (const auto* s = std::get_if<std::string>(&v.value)) {
            out->assign(s->begin(), s->end());
            return true;
        }
        return false;
    case PropType::Unicode:
        if (const auto* s = std::get_if<std::u16string>(&v.value)) {
            *out = utf16le(*s);
            return true;
        }
        if (const auto* s = std::get_if<TextView>(&v.value)) {
            *out = utf16le(std::u16string(s->text));
            return true;
        }
        return false;
    case PropType::MultiLong:
        if (const auto* a = std::get_if<std::vector<int32_t>>(&v.value)) {
            out->clear();
            for (int32_t x : *a)
                append32(*out, static_cast<uint32_t>(x));
            return true;
        }
        return false;
    case PropType::MultiUnicode:
        if (const auto* a = std::get_if<std::vector<std::u16string>>(&v.value)) {
            // count, one offset per value (from the start), then the values.
            out->clear();
            append32(*out, static_cast<uint32_t>(a->size()));
            uint32_t off = static_cast<uint32_t>(4 + 4 * a->size());
            for (const auto& s : *a) {
                append32(*out, off);
                off += static_cast<uint32_t>(s.size() * 2);
            }
            for (const auto& s : *a) {
                Bytes b = utf16le(s);
                append(*out, b.data(), b.size());
            }
            return true;
        }
        return false;
    default:
        return false;
    }
}

std::span<const uint8_t> stored_form(const PropertyValue& v)
{
    const auto bytes = [](const auto& container) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(container.data()),
                                        container.size() * sizeof(container[0]));
    };
    const uint16_t type = static_cast<uint16_t>(v.type);
    if (const auto* raw = std::get_if<std::vector<uint8_t>>(&v.value))
        return value_kind(type) == ValueKind::Variable ? bytes(*raw) : std::span<const uint8_t>();
    if (const auto* s = std::get_if<std::string>(&v.value); s && v.type == PropType::String8)
        return bytes(*s);
    if constexpr (std::endian::native == std::endian::little) {
        if (const auto* s = std::get_if<std::u16string>(&v.value); s && v.type == PropType::Unicode)
            return bytes(*s);
        if (const auto* s = std::get_if<TextView>(&v.value); s && v.type == PropType::Unicode)
            return bytes(s->text.data() ? s->text : std::u16string_view(u"")); // an empty view may hold no pointer
    }
    return {};
}

void sort_props(std::vector<StoredProp>& props)
{
    // By id, and among equal ids the first kept (explicit values come before defaults): the
    // order is sorted as words of id and position, then each property moved once.
    std::vector<uint64_t> order(props.size());
    for (size_t i = 0; i < props.size(); ++i)
        order[i] = uint64_t{props[i].id} << 32 | i;
    std::sort(order.begin(), order.end());
    std::vector<StoredProp> sorted;
    sorted.reserve(props.size());
    for (size_t k = 0; k < order.size(); ++k) {
        if (k > 0 && order[k] >> 32 == order[k - 1] >> 32)
            continue;
        sorted.push_back(std::move(props[order[k] & 0xFFFFFFFF]));
    }
    props.swap(sorted);
}

const StoredProp* find_prop(const std::vector<StoredProp>& props, uint16_t id)
{
    auto it =
        std::lower_bound(props.begin(), props.end(), id, [](const StoredProp& p, uint16_t i) { return p.id < i; });
    return it != props.end() && it->id == id ? &*it : nullptr;
}

RowCells copy_cells(const std::vector<StoredProp>& props, const std::vector<uint32_t>& columns, uint32_t codepage)
{
    RowCells row;
    row.cells.reserve(columns.size());
    row.widened.reserve(columns.size()); // never reallocated: the cells view its elements
    for (uint32_t tag : columns) {
        const StoredProp* p = find_prop(props, static_cast<uint16_t>(tag >> 16));
        if (!p)
            continue;
        uint16_t type = static_cast<uint16_t>(tag & 0xFFFF);
        if (p->type == type)
            row.cells.push_back({tag, p->bytes()});
        else if (type == type_code(PropType::Unicode) && p->type == type_code(PropType::String8)) {
            std::u16string text;
            decode_8bit(p->bytes(), codepage, text);
            row.widened.push_back(utf16le(text));
            row.cells.push_back({tag, row.widened.back()});
        }
    }
    return row;
}

} // namespace pst::detail
