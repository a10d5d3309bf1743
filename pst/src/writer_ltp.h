// Lists, tables and properties: heap-on-node, BTree-on-heap, property contexts and table
// contexts, serialised into NodeData for the node database.
#pragma once

#include "writer_ndb.h"

#include <cstdint>
#include <span>
#include <vector>

namespace pst::detail {

// A heap-on-node under construction. Allocations are never freed; HIDs are handed out in
// allocation order, so the first allocation is HID 0x20 and the second 0x40 (the block index
// sits where the file's layout puts it).
class Heap
{
public:
    // Heap blocks hold at most the layout's block payload.
    Heap(uint8_t client_sig, const Layout& layout);

    // REQUIRES: 0 < size <= kMaxHeapAlloc. Returns the HID.
    uint32_t alloc(const uint8_t* data, size_t size);
    uint32_t alloc(const Bytes& b) { return alloc(b.data(), b.size()); }
    // The bytes of an allocation, for filling in a placeholder. Valid until the next alloc.
    uint8_t* at(uint32_t hid);
    void set_root(uint32_t hid) { m_root = hid; }

    // True once more blocks were needed than a HID can address.
    bool overflowed() const { return m_blocks.size() > m_layout.max_heap_blocks(); }

    // Bytes of the serialised heap (all blocks).
    uint64_t serialized_size() const;
    // One piece per heap block, each at most the block size. The heap is empty afterwards.
    std::vector<Bytes> take_blocks();

private:
    struct Block
    {
        Bytes data;                   // the block's header, then the allocations
        std::vector<uint16_t> starts; // of each allocation, from the end of the header
    };
    void new_block();
    static size_t header_size(size_t index);
    static size_t block_size(const Block& b);

    uint8_t m_client;
    const Layout& m_layout;
    size_t m_block;
    uint32_t m_root = 0;
    std::vector<Block> m_blocks;
};

// Builds a BTH over `count` sorted records of cb_key + cb_ent bytes each (concatenated in
// `records`) and writes its BTHHEADER into `header_hid`, an 8-byte allocation made earlier.
// `leaf_hids` receives the HID of each leaf allocation (records_per_leaf records each).
void build_bth(Heap& heap, uint32_t header_hid, uint8_t cb_key, uint8_t cb_ent, const Bytes& records, size_t count,
               std::vector<uint32_t>* leaf_hids);
inline size_t bth_records_per_leaf(size_t record_size)
{
    return kMaxHeapAlloc / record_size;
}

// Hands out subnode NIDs (type 0x1F) local to one node.
class SubnodeIds
{
public:
    uint32_t next() { return (m_index++ << 5) | 0x1F; }

private:
    uint32_t m_index = 0x400;
};

// Size class of a property type's stored value.
enum class ValueKind
{
    Inline,   // 1 to 4 bytes, in the PC record / TC cell
    Fixed8,   // 8 bytes: heap in a PC, inline in a TC
    Variable, // HNID: heap or subnode
};
ValueKind value_kind(uint16_t type);
// Cell width in a TC row.
uint8_t cell_width(uint16_t type);

// One property ready for a PC: its stored bytes (little-endian for fixed types), held in `data`,
// or for a value that a message already holds in stored form (UTF-16LE text, binary) viewed
// where it is, in `view`, so that it is not copied once more on its way into the node.
struct StoredProp
{
    uint16_t id = 0;
    uint16_t type = 0;
    Bytes data;
    std::span<const uint8_t> view{}; // when its data() is set: the bytes, owned by the message

    std::span<const uint8_t> bytes() const { return view.data() ? view : std::span<const uint8_t>(data); }
};

// Builds a PC for a file of `format`. REQUIRES: props sorted by id, no duplicate ids. `extra`
// subnodes (for example a recipient table) are added to the node's subnodes. When `size_id`
// names an inline property, its value is replaced by the node's stream size, which *size
// receives.
NodeData build_pc(const Layout& format, const std::vector<StoredProp>& props, std::vector<SubnodeData> extra,
                  uint16_t size_id, uint32_t* size);

// A table context under construction.
class TableBuilder
{
public:
    // `tags`: the columns (property tags). The row id and row version columns are added when
    // missing.
    TableBuilder(const Layout& format, std::vector<uint32_t> tags);

    struct Cell
    {
        uint32_t tag;
        // Stored bytes: 1/2/4/8 for fixed types, the value for variable types. Only read during
        // add_row, which copies them.
        std::span<const uint8_t> data;
    };
    // Adds a row; cells whose tag is no column are ignored, missing columns stay unset.
    void add_row(uint32_t row_id, uint32_t row_ver, const std::vector<Cell>& cells);
    size_t rows() const { return m_row_ids.size(); }
    // True when no further row can be indexed (ANSI row indexes are 16 bits wide).
    bool full() const { return m_row_ids.size() >= m_max_rows; }
    bool has_column(uint32_t tag) const;

    NodeData finish();

private:
    struct Column
    {
        uint32_t tag;
        uint16_t ib;
        uint8_t cb;
        uint8_t bit;
    };
    uint32_t store_variable(std::span<const uint8_t> data);

    const Layout& m_format;
    size_t m_max_rows;
    Heap m_heap;
    uint32_t m_hid_bth = 0;
    uint32_t m_hid_info = 0;
    std::vector<Column> m_cols; // sorted by tag
    uint16_t m_rgib[4] = {};
    size_t m_row_size = 0;
    std::vector<Bytes> m_rows; // whole rows, at most a data block's worth in each
    std::vector<uint32_t> m_row_ids;
    std::vector<SubnodeData> m_subnodes;
    SubnodeIds m_ids;
};

} // namespace pst::detail
