// Node database: blocks, data trees, subnode trees, the two B-trees, the allocation maps and
// the header of a personal folder file, in either file format.
#pragma once

#include "bytes.h"
#include "layout.h"
#include "pst/writer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace pst::detail {

constexpr uint64_t kDListOffset = 0x4200; // density list page (512-byte page files)

struct SubnodeData;

// A serialised node: its data stream in pieces of at most Layout::max_block_data() bytes (one
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
std::vector<Bytes> split_chunks(std::span<const uint8_t> data, size_t block);

// Total bytes of a node's data stream and of all its subnodes' streams.
uint64_t node_stream_size(const NodeData& node);

// Header values that the layers above decide.
struct HeaderInfo
{
    std::array<uint32_t, 32> rgnid{};
    uint32_t unique = 0;
    uint16_t client = kClientPst; // "SM", or "SO" for an offline folder file
};

class Ndb
{
public:
    // REQUIRES: `sink` outlives the Ndb. The file stays below `max_size` bytes. Data blocks
    // (never internal blocks, pages or the header) are stored with `encoding`; with `compress`
    // (4 KiB-page files only), every block that zlib makes smaller is stored compressed.
    Ndb(Sink& sink, uint64_t max_size, const Layout& layout, BlockEncoding encoding, bool compress);

    const Layout& format() const { return m_format; }

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
        uint16_t inflated; // bytes the block holds once inflated (cb when stored as is)
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

    void put_bbt_leaf(const BbtEntry& e, uint8_t* entry) const;
    void put_nbt_leaf(const NbtEntry& e, uint8_t* entry) const;
    Bytes bbt_leaf(const BbtEntry& e) const;
    Bytes nbt_leaf(const NbtEntry& e) const;
    Status write_block(const uint8_t* data, size_t size, bool internal, uint64_t* bid);
    Status write_data_tree(const std::vector<Bytes>& chunks, uint64_t* bid);
    Status write_subnode_tree(const std::vector<SubnodeData>& subnodes, uint64_t* bid);
    Status allocate(uint64_t size, uint64_t align, uint64_t* ib);
    void mark(uint64_t ib, uint64_t size);
    void unmark(uint64_t ib, uint64_t size);
    Status emit(uint64_t ib, const uint8_t* data, size_t size);
    // Room for `size` bytes at file offset `ib` in the output buffer, to be filled in whole by the
    // caller; valid until the next emit.
    Status emit_space(uint64_t ib, size_t size, uint8_t** at);
    Status flush_buffer();
    // A B-tree over `count` leaf entries of `cb_ent` bytes: `leaf` writes entry i (in key order)
    // and returns its key.
    Status write_btree(uint8_t ptype, size_t count, const std::function<uint64_t(size_t i, uint8_t* entry)>& leaf,
                       size_t cb_ent, PageRef* root);
    Status write_page(uint8_t ptype, uint8_t* page, uint64_t bid, uint64_t ib, bool map_page);
    bool has_pmap(uint64_t region) const;
    bool has_fmap(uint64_t region) const;
    bool has_fpmap(uint64_t region) const;
    uint64_t map_bytes(uint64_t region) const;
    uint64_t region_start(uint64_t region) const;
    Status write_maps(uint64_t regions, uint64_t* free_bytes);
    Bytes header(const HeaderInfo& info, uint64_t eof, uint64_t amap_last, uint64_t free_bytes, const PageRef& nbt,
                 const PageRef& bbt) const;

    Sink& m_sink;
    uint64_t m_max;
    const Layout& m_format;
    BlockEncoding m_encoding;
    bool m_compress;
    uint64_t m_cursor;
    uint64_t m_next_bid = 1;     // index part of the next block BID
    uint64_t m_next_page = 1;    // next page BID
    std::vector<uint8_t> m_amap; // 496 bytes per region
    std::vector<BbtEntry> m_bbt;
    std::vector<NbtEntry> m_nbt;
    // Bytes gathered for the sink. It grows without zeroing what it adds: whoever asks for room
    // sets every byte of it.
    class OutputBuffer
    {
    public:
        bool empty() const { return m_size == 0; }
        size_t size() const { return m_size; }
        const uint8_t* data() const { return m_data.get(); }
        uint8_t* extend(size_t n)
        {
            if (m_size + n > m_capacity) {
                const size_t capacity = std::max(m_size + n, 2 * m_capacity);
                auto grown = std::make_unique_for_overwrite<uint8_t[]>(capacity);
                if (m_size)
                    std::memcpy(grown.get(), m_data.get(), m_size);
                m_data = std::move(grown);
                m_capacity = capacity;
            }
            uint8_t* at = m_data.get() + m_size;
            m_size += n;
            return at;
        }
        void clear() { m_size = 0; }

    private:
        std::unique_ptr<uint8_t[]> m_data;
        size_t m_size = 0;
        size_t m_capacity = 0;
    };
    OutputBuffer m_buf;
    uint64_t m_buf_start = 0;
    uint64_t m_high = 0; // end of the highest range ever emitted
};

} // namespace pst::detail
