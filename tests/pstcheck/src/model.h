// Internal model of the file under check: bounded byte access, the parsed header, the block and
// node indexes built from the B-trees, the extents in use, and the problem list.
#pragma once

#include "pstcheck/check.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pstcheck::detail {

// Bounded little-endian view. Every read outside the view yields 0; callers test has() first
// where a short read matters.
class Bytes
{
public:
    Bytes() = default;
    Bytes(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    explicit Bytes(const std::vector<uint8_t>& v) : m_data(v.data()), m_size(v.size()) {}

    size_t size() const { return m_size; }
    const uint8_t* data() const { return m_data; }
    bool has(uint64_t offset, uint64_t length) const { return offset <= m_size && length <= m_size - offset; }
    Bytes sub(uint64_t offset, uint64_t length) const
    {
        return has(offset, length) ? Bytes(m_data + offset, length) : Bytes();
    }
    uint8_t u8(uint64_t o) const { return has(o, 1) ? m_data[o] : 0; }
    uint16_t u16(uint64_t o) const { return has(o, 2) ? uint16_t(m_data[o] | m_data[o + 1] << 8) : 0; }
    uint32_t u32(uint64_t o) const { return has(o, 4) ? uint32_t(u16(o) | uint32_t(u16(o + 2)) << 16) : 0; }
    uint64_t u64(uint64_t o) const { return has(o, 8) ? (u32(o) | uint64_t(u32(o + 4)) << 32) : 0; }

private:
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
};

// CRC-32 of personal folder files: reflected polynomial 0xEDB88320, no inversion.
uint32_t crc32(const uint8_t* data, size_t size);
inline uint32_t crc32(Bytes b)
{
    return crc32(b.data(), b.size());
}
// Page and block signature from the structure's file offset and BID.
uint16_t signature(uint64_t ib, uint64_t bid);
// Undoes the permutation encoding of external data blocks (crypt method 1), in place.
void decode_permute(uint8_t* data, size_t size);
// Undoes the cyclic encoding of external data blocks (crypt method 2), keyed by the low 32 bits
// of the block's BID, in place.
void decode_cyclic(uint8_t* data, size_t size, uint32_t key);

std::string hex(uint64_t v);

// Collects problems up to a limit; counts the rest.
class Report
{
public:
    explicit Report(size_t limit) : m_limit(limit) {}
    void add(std::string line);
    size_t count() const { return m_lines.size() + m_dropped; }
    std::vector<std::string> take();

private:
    size_t m_limit;
    size_t m_dropped = 0;
    std::vector<std::string> m_lines;
};

constexpr uint64_t kDListOffset = 0x4200;
constexpr uint64_t kFirstAMap = 0x4400;
constexpr uint64_t kRegionSize = 496 * 8 * 64; // bytes mapped by one AMap page
constexpr uint64_t kPageSize = 512;
constexpr uint64_t kMaxBlockSize = 8192;

// Where the two file formats differ. Unicode files (wVer 23) have 64-bit BIDs and offsets, ANSI
// files (wVer 14, 15) 32-bit ones; so trailers, entries, page fields and block payloads differ.
struct Layout
{
    bool ansi = false;
    uint64_t id = 8;              // bytes of a BID, IB or B-tree key
    uint64_t header = 564;        // HEADER size
    uint64_t page_trailer = 496;  // PAGETRAILER offset in a page (the page CRC covers what precedes it)
    uint64_t page_meta = 488;     // cEnt, cEntMax, cbEnt, cLevel of a B-tree page
    uint64_t block_trailer = 16;  // BLOCKTRAILER size
    uint64_t bbt_leaf = 24;       // BBTENTRY
    uint64_t nbt_leaf = 32;       // NBTENTRY
    uint64_t map_bits = 0;        // offset of the bits in AMap and PMap pages
    uint64_t sl_header = 8;       // SLBLOCK / SIBLOCK header
    uint64_t row_index = 4;       // dwRowIndex of a TCROWID
    uint64_t dlist_entries = 119; // DLISTPAGEENT slots

    uint64_t bt_entry() const { return 3 * id; }
    uint64_t max_payload() const { return kMaxBlockSize - block_trailer; }
    // A BID, IB or key at `offset` of `b`.
    uint64_t ref(const Bytes& b, uint64_t offset) const { return id == 8 ? b.u64(offset) : b.u32(offset); }
    // Trailer fields: Unicode pages and blocks keep the CRC before the BID, ANSI ones after it.
    uint64_t trailer_crc() const { return ansi ? 8 : 4; }
    uint64_t trailer_bid() const { return ansi ? 4 : 8; }
};

inline Layout unicode_layout()
{
    return Layout{};
}
inline Layout ansi_layout()
{
    return Layout{true, 4, 512, 500, 496, 12, 12, 16, 4, 4, 2, 120};
}

enum PageType : uint8_t
{
    kPtypeBBT = 0x80,
    kPtypeNBT = 0x81,
    kPtypeFMap = 0x82,
    kPtypePMap = 0x83,
    kPtypeAMap = 0x84,
    kPtypeFPMap = 0x85,
    kPtypeDL = 0x86,
};

struct Bref
{
    uint64_t bid = 0;
    uint64_t ib = 0;
};

struct Header
{
    uint16_t version = 0;
    uint64_t bid_next_p = 0;
    uint64_t bid_next_b = 0;
    uint32_t rgnid[32] = {};
    uint64_t file_eof = 0;
    uint64_t amap_last = 0;
    uint64_t amap_free = 0;
    Bref nbt;
    Bref bbt;
    uint8_t amap_valid = 0;
    uint8_t crypt = 0;
};

// What a block was reached as; decides how its content must parse.
enum class BlockUse : uint8_t
{
    None,
    Data,    // node or subnode data: an external data block or a data tree root
    Subnode, // a subnode tree root (SLBLOCK or SIBLOCK)
};

struct BlockEntry
{
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;
    uint16_t cref = 0;
    bool sound = false;    // inside the file with a matching trailer (its bytes may be parsed)
    bool expanded = false; // its child references have been counted
    uint32_t refs = 0;     // references from NBT entries, subnode entries and data trees
};

struct NodeEntry
{
    uint64_t nid = 0;
    uint64_t bid_data = 0;
    uint64_t bid_sub = 0;
    uint32_t parent = 0;
};

// A range of the file that a structure in use occupies (rounded to its allocation size).
struct Extent
{
    uint64_t ib = 0;
    uint64_t size = 0;
    enum Kind : uint8_t
    {
        MapPage,
        BTreePage,
        Block
    } kind = Block;
    uint64_t id = 0; // BID of the page or block; offset for map pages
};

struct File
{
    File(Bytes b, const Options& o, Report& r, Summary& s) : bytes(b), options(o), report(r), summary(s) {}

    Bytes bytes;
    const Options& options;
    Report& report;
    Summary& summary;
    Header header;
    Layout layout;                  // set from wVer by read_header
    std::vector<BlockEntry> blocks; // sorted by BID, unique
    std::vector<NodeEntry> nodes;   // sorted by NID, unique
    std::vector<Extent> extents;
    uint64_t max_page_bid = 0;
    // Bytes the LTP layer may still read from data trees: bounds the work a hostile file (one
    // block named thousands of times) can cause.
    uint64_t data_budget = 0;
    bool budget_exhausted = false;
    bool bbt_complete = true; // every BBT page could be read
    bool nbt_complete = true;

    void problem(std::string line) { report.add(std::move(line)); }
    BlockEntry* find_block(uint64_t bid);
    const NodeEntry* find_node(uint64_t nid) const;
    // The stored bytes of a sound block, decoded when it is an external block of an encoded file.
    std::optional<std::vector<uint8_t>> block_data(uint64_t bid);
    // Bytes a block of `cb` stored bytes takes in the file, trailer included.
    uint64_t block_alloc_size(uint64_t cb) const { return (cb + layout.block_trailer + 63) / 64 * 64; }
};

inline bool is_internal_bid(uint64_t bid)
{
    return (bid & 2) != 0;
}

// NDB passes, in the order check_bytes runs them.
bool read_header(File& f);           // false when the rest cannot be checked
void read_btrees(File& f);           // BBT and NBT pages: fills blocks, nodes, page extents
void check_blocks(File& f);          // trailers and CRCs of BBT blocks: sets sound, extents
void check_references(File& f);      // data and subnode trees, reference counts, leaks
void check_header_counters(File& f); // bidNextB/P, rgnid
void check_allocation(File& f);      // AMap/PMap/FMap/DList and overlaps
void check_messaging(File& f);       // LTP and messaging layers

} // namespace pstcheck::detail
