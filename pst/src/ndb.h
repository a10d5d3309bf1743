// Node database: blocks, data trees, subnode trees, the two B-trees, the allocation maps and
// the header of a personal folder file, in either file format.
#pragma once

#include "bytes.h"
#include "pst/writer.h"

#include <array>
#include <cstdint>
#include <vector>

namespace pst::detail {

constexpr uint64_t kFirstRegion = 0x4400; // offset of the first allocation-map region
constexpr uint64_t kRegionSize = 253952;  // bytes covered by one AMap page (496 * 8 * 64)
constexpr uint64_t kDListOffset = 0x4200; // density list page

// The sizes that differ between the two file formats. Unicode files use 64-bit BIDs and file
// offsets, ANSI files 32-bit ones, which changes every trailer, entry and page layout of the
// node database and the payload of a block. Everything above the node database is the same,
// except the width of a table's row index entries.
struct Format
{
    uint16_t version;       // wVer
    size_t id_size;         // bytes of a BID or file offset
    size_t block_trailer;   // BLOCKTRAILER size
    size_t page_trailer_at; // offset of PAGETRAILER in a 512-byte page
    size_t btree_meta_at;   // offset of cEnt, cEntMax, cbEnt, cLevel in a B-tree page
    size_t bbt_entry;       // leaf BBTENTRY size
    size_t nbt_entry;       // leaf NBTENTRY size
    size_t map_bits_at;     // offset of the bits in an AMap or PMap page
    size_t header_size;     // bytes of the HEADER structure
    size_t row_index_size;  // dwRowIndex of a TCROWID

    size_t max_block_data() const { return 8192 - block_trailer; }
    size_t bt_entry() const { return 3 * id_size; } // intermediate BTENTRY: key, BID, offset
    size_t per_page(size_t entry) const { return btree_meta_at / entry; }
    size_t xblock_slots() const { return (max_block_data() - 8) / id_size; }
    size_t sl_header() const { return id_size == 8 ? 8 : 4; } // Unicode SL/SIBLOCKs carry 4 pad bytes
    size_t sl_entries() const { return (max_block_data() - sl_header()) / (3 * id_size); }
    size_t si_entries() const { return (max_block_data() - sl_header()) / (2 * id_size); }
    void put_id(uint8_t* p, uint64_t v) const
    {
        for (size_t i = 0; i < id_size; ++i)
            p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    void append_id(Bytes& b, uint64_t v) const
    {
        size_t n = b.size();
        b.resize(n + id_size);
        put_id(b.data() + n, v);
    }
};

// Unicode (wVer 23): 8176-byte blocks, 20/15/20 B-tree entries per page.
inline constexpr Format kUnicodeFormat{23, 8, 16, 496, 488, 24, 32, 0, 564, 4};
// ANSI (wVer 14): 8180-byte blocks, 41/31/41 B-tree entries per page.
inline constexpr Format kAnsiFormat{14, 4, 12, 500, 496, 12, 16, 4, 512, 2};

inline const Format& format_of(FileFormat f)
{
    return f == FileFormat::Ansi ? kAnsiFormat : kUnicodeFormat;
}

struct SubnodeData;

// A serialised node: its data stream in pieces of at most Format::max_block_data() bytes (one
// block each; a heap-on-node gives one piece per heap block) and its subnodes, sorted by NID.
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

// Splits a flat byte stream into pieces of `block` bytes (the last one shorter).
std::vector<Bytes> split_chunks(const Bytes& data, size_t block);

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
    // REQUIRES: `sink` outlives the Ndb. The file stays below `max_size` bytes. Data blocks
    // (never internal blocks, pages or the header) are stored with `encoding`.
    Ndb(Sink& sink, uint64_t max_size, const Format& format, BlockEncoding encoding);

    const Format& format() const { return m_format; }

    // Writes the node's data tree and subnode tree; *bid_data and *bid_sub receive their BIDs
    // (bid_sub 0 without subnodes). Nothing is added to the NBT: call add_node for that.
    Status write_node(const NodeData& node, uint64_t* bid_data, uint64_t* bid_sub);
    void add_node(uint32_t nid, uint64_t bid_data, uint64_t bid_sub, uint32_t nid_parent);

    // Test feature (deleted messages): the blocks written since block_mark() are dropped from
    // the block B-tree and their space marked free, while their bytes stay in the file. The
    // cursor does not move back, so the space is never reused.
    size_t block_mark() const { return m_bbt.size(); }
    void free_blocks_since(size_t mark);
    // Test feature: the leaf pages a copy-on-write B-tree leaves behind when it drops a node: one
    // node B-tree page with the node's entry and block B-tree pages with the entries of the blocks
    // written since `mark`, written with valid trailers and then marked free.
    Status write_superseded_pages(size_t mark, uint32_t nid, uint64_t bid_data, uint64_t bid_sub, uint32_t parent);

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

    Bytes bbt_leaf(const BbtEntry& e) const;
    Bytes nbt_leaf(const NbtEntry& e) const;
    Status write_block(const uint8_t* data, size_t size, bool internal, uint64_t* bid);
    Status write_data_tree(const std::vector<Bytes>& chunks, uint64_t* bid);
    Status write_subnode_tree(const std::vector<SubnodeData>& subnodes, uint64_t* bid);
    Status allocate(uint64_t size, uint64_t align, uint64_t* ib);
    void mark(uint64_t ib, uint64_t size);
    void unmark(uint64_t ib, uint64_t size);
    Status emit(uint64_t ib, const uint8_t* data, size_t size);
    Status flush_buffer();
    Status write_btree(uint8_t ptype, const std::vector<Bytes>& leaves, const std::vector<uint64_t>& keys,
                       size_t cb_ent, PageRef* root);
    Status write_page(uint8_t ptype, uint8_t* page, uint64_t bid, uint64_t ib, bool map_page);
    Status write_maps(uint64_t regions, uint64_t* free_bytes);
    Bytes header(const HeaderInfo& info, uint64_t eof, uint64_t amap_last, uint64_t free_bytes, const PageRef& nbt,
                 const PageRef& bbt) const;

    Sink& m_sink;
    uint64_t m_max;
    const Format& m_format;
    BlockEncoding m_encoding;
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
