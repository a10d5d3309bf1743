// A message's properties as the writer stores them: values encoded to their stored bytes,
// property lists sorted and searched by id, and table rows cut from them.
#pragma once

#include "bytes.h"
#include "pst/writer.h"
#include "writer_ltp.h"

#include <cstdint>
#include <span>
#include <vector>

namespace pst::detail {

// The stored bytes of an integer of 1, 4 or 8 bytes.
inline Bytes le8(uint8_t v)
{
    return Bytes{v};
}
inline Bytes le32(uint32_t v)
{
    Bytes b(4);
    put32(b.data(), v);
    return b;
}
inline Bytes le64(uint64_t v)
{
    Bytes b(8);
    put64(b.data(), v);
    return b;
}

// Stored bytes of a value; false when the value's alternative does not fit its type.
bool encode_value(const PropertyValue& v, Bytes* out);

// The stored bytes of a value that holds them already (UTF-16LE text on a little-endian host,
// String8, binary and raw bytes of a variable-size type), to be viewed rather than encoded; an
// empty span (no data()) for every other value.
std::span<const uint8_t> stored_form(const PropertyValue& v);

// Sorts by id, and among equal ids keeps the first (explicit values come before defaults).
void sort_props(std::vector<StoredProp>& props);

// The property `id` of a sorted list, or nullptr.
const StoredProp* find_prop(const std::vector<StoredProp>& props, uint16_t id);

// Table cells for `columns` from a property list, viewing the properties' bytes (valid while
// `props` and the RowCells live); String8 values fill Unicode columns.
struct RowCells
{
    std::vector<TableBuilder::Cell> cells;
    std::vector<Bytes> widened; // String8 values as UTF-16LE
};
RowCells copy_cells(const std::vector<StoredProp>& props, const std::vector<uint32_t>& columns, uint32_t codepage);

} // namespace pst::detail
