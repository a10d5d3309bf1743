// The LTP layer over node data: data trees read whole, subnode lists, heap-on-node, BTH, and
// property and table contexts. Parsers report what they find wrong and return what is usable.
#pragma once

#include "model.h"

#include <map>
#include <optional>

namespace pstcheck::detail {

// The decoded data blocks of a data tree, in order.
struct NodeData
{
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<uint8_t> joined() const;
};

// Reads the data tree rooted at `bid`; nullopt (after a report naming `where`) when it cannot
// be read. Structural problems of the tree itself are reported by check_references.
std::optional<NodeData> read_data(File& f, uint64_t bid, const std::string& where);

struct Subnode
{
    uint64_t bid_data = 0;
    uint64_t bid_sub = 0;
};
using Subnodes = std::map<uint32_t, Subnode>;

// The subnodes of a node (empty for bid 0).
Subnodes read_subnodes(File& f, uint64_t bid_sub);

// Heap-on-node over a node's data blocks.
class Heap
{
public:
    // Checks the heap headers and page maps; nullopt when no allocation can be trusted.
    static std::optional<Heap> parse(File& f, NodeData data, const std::string& where);

    uint8_t client_sig() const { return m_client_sig; }
    uint32_t user_root() const { return m_user_root; }
    // The allocation `hid` names, or nullopt when it does not exist.
    std::optional<Bytes> alloc(uint32_t hid) const;
    const std::string& where() const { return m_where; }

private:
    std::vector<std::vector<uint8_t>> m_blocks;
    std::vector<std::vector<uint16_t>> m_offsets; // rgibAlloc per block
    uint8_t m_client_sig = 0;
    uint32_t m_user_root = 0;
    std::string m_where;
};

struct BthRecord
{
    uint64_t key = 0;
    std::vector<uint8_t> data;
};

// Reads the BTH whose header is at `hid`, expecting these sizes. Reports problems with `what`.
std::optional<std::vector<BthRecord>> read_bth(File& f, const Heap& heap, uint32_t hid, unsigned key_size,
                                               unsigned data_size, const std::string& what);

// A property value with its bytes resolved (inline, heap or subnode).
struct PropValue
{
    uint16_t type = 0;
    std::vector<uint8_t> bytes;
};
using PropMap = std::map<uint16_t, PropValue>;

// Value resolution shared by property and table contexts.
struct ValueSource
{
    File& f;
    const Heap& heap;
    const Subnodes& subnodes;
};

// Reads and checks a property context (heap client signature 0xBC).
std::optional<PropMap> read_pc(File& f, const Heap& heap, const Subnodes& subnodes);

struct Column
{
    uint32_t tag = 0;
    uint16_t ib = 0;
    uint8_t cb = 0;
    uint8_t bit = 0;
};

struct Table
{
    std::vector<Column> columns;
    uint16_t row_size = 0;
    std::vector<uint32_t> row_ids; // in row order
    // Cells per row, only present ones; values resolved as in a PC (8-byte values inline).
    std::vector<std::map<uint32_t, PropValue>> rows;
};

// Reads and checks a table context (heap client signature 0x7C).
std::optional<Table> read_tc(File& f, const Heap& heap, const Subnodes& subnodes);

// Size of a fixed-size property type, 0 for variable-size types, -1 for unknown types.
int fixed_size(uint16_t type);

} // namespace pstcheck::detail
