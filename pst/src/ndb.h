// Node database: blocks, data trees, subnode trees, the two B-trees, the allocation maps and
// the header of a Unicode personal folder file.
#pragma once

#include "bytes.h"
#include "pst/writer.h"

#include <array>
#include <cstdint>
#include <vector>

namespace pst::detail {

constexpr size_t kMaxBlockData = 8176;    // payload of one block (8192 minus the trailer)
constexpr uint64_t kFirstRegion = 0x4400; // offset of the first allocation-map region
constexpr uint64_t kRegionSize = 253952;  // bytes covered by one AMap page (496 * 8 * 64)
constexpr uint64_t kDListOffset = 0x4200; // density list page
constexpr size_t kXBlockSlots = 1021;     // BIDs in one XBLOCK / XXBLOCK
constexpr size_t kSlEntries = 340;        // SLENTRYs in one SLBLOCK
constexpr size_t kSiEntries = 510;        // SIENTRYs in one SIBLOCK

struct SubnodeData;

// A serialised node: its data stream in pieces of at most kMaxBlockData bytes (one block each;
// a heap-on-node gives one piece per heap block) and its subnodes, sorted by NID.
struct NodeData
{
    std::vector<Bytes> chunks;
    std::vector<SubnodeData> subnodes;
    bool too_large = false; // the builder ran out of addressable space (write_node refuses it)
};

struct SubnodeData
{
    uint32_t nid = 0;
    NodeData node;
};

// Splits a flat byte stream into block-sized pieces.
std::vector<Bytes> split_chunks(const Bytes& data);

// Total bytes of a node's data stream and of all its subnodes' streams.
uint64_t node_stream_size(const NodeData& node);

// Header values that the layers above decide.
struct HeaderInfo
{
    std::array<uint32_t, 32> rgnid{};
    uint32_t unique = 0;
};

class Ndb
{
public:
    // REQUIRES: `sink` outlives the Ndb. The file stays below `max_size` bytes.
    Ndb(Sink& sink, uint64_t max_size);

    // Writes the node's data tree and subnode tree; *bid_data and *bid_sub receive their BIDs
    // (bid_sub 0 without subnodes). Nothing is added to the NBT: call add_node for that.
    Status write_node(const NodeData& node, uint64_t* bid_data, uint64_t* bid_sub);
    void add_node(uint32_t nid, uint64_t bid_data, uint64_t bid_sub, uint32_t nid_parent);

    // Writes the BBT, the NBT, the DList, every AMap/PMap/FMap page and the header, pads the
    // file to whole regions and flushes the sink.
    Status finish(const HeaderInfo& info);

    // File size so far (end of the last allocation).
    uint64_t cursor() const { return m_cursor; }

private:
    struct BbtEntry
    {
        uint64_t bid;
        uint64_t ib;
        uint16_t cb;
    };
    struct NbtEntry
    {
        uint32_t nid;
        uint32_t parent;
        uint64_t bid_data;
        uint64_t bid_sub;
    };
    struct PageRef
    {
        uint64_t key;
        uint64_t bid;
        uint64_t ib;
    };

    Status write_block(const uint8_t* data, size_t size, bool internal, uint64_t* bid);
    Status write_data_tree(const std::vector<Bytes>& chunks, uint64_t* bid);
    Status write_subnode_tree(const std::vector<SubnodeData>& subnodes, uint64_t* bid);
    Status allocate(uint64_t size, uint64_t align, uint64_t* ib);
    void mark(uint64_t ib, uint64_t size);
    Status emit(uint64_t ib, const uint8_t* data, size_t size);
    Status flush_buffer();
    Status write_btree(uint8_t ptype, const std::vector<Bytes>& leaves, const std::vector<uint64_t>& keys,
                       uint8_t cb_ent, uint8_t max_ent, PageRef* root);
    Status write_page(uint8_t ptype, uint8_t* page, uint64_t bid, uint64_t ib, bool map_page);
    Status write_maps(uint64_t regions, uint64_t* free_bytes);

    Sink& m_sink;
    uint64_t m_max;
    uint64_t m_cursor = kFirstRegion;
    uint64_t m_next_bid = 1;     // index part of the next block BID
    uint64_t m_next_page = 1;    // next page BID
    std::vector<uint8_t> m_amap; // 496 bytes per region
    std::vector<BbtEntry> m_bbt;
    std::vector<NbtEntry> m_nbt;
    Bytes m_buf;
    uint64_t m_buf_start = 0;
    uint64_t m_high = 0; // end of the highest range ever emitted
};

} // namespace pst::detail
