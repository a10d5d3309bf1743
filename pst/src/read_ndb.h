// Internals of the reader's node database: the sizes that differ between ANSI and Unicode
// files, the page cache, and File::Impl / DataStream::Impl.
#pragma once

#include "pst/reader.h"

#include <cstring>
#include <unordered_map>

namespace pst::read::detail {

inline uint16_t le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t le64(const uint8_t* p)
{
    return le32(p) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}

// Sets *why (when given) and returns -1.
int fail(std::string* why, std::string text);
std::string hex(uint64_t v);

constexpr uint64_t kPageSize = 512;
constexpr uint64_t kFirstDataOffset = 0x4400;  // first allocation map; nothing of the trees lies before it
constexpr uint64_t kMaxBlockSize = 8192;       // a block with its trailer
constexpr unsigned kMaxTreeLevel = 10;         // cLevel of a B-tree root page
constexpr unsigned kMaxSubnodeLevel = 3;       // cLevel of a subnode tree root
constexpr size_t kPageCacheSize = 2048;        // B-tree pages kept (1 MiB)
constexpr size_t kMaxPieces = size_t(1) << 16; // blocks of one data tree

// Where the fields of the node database sit; ANSI and Unicode files differ in every size.
struct Layout
{
    unsigned id_size;        // BID and IB: 8 or 4 bytes
    unsigned page_entries;   // bytes of entries in a B-tree page
    unsigned page_meta;      // offset of cEnt, cEntMax, cbEnt, cLevel
    unsigned page_ptype;     // offset of ptype and ptypeRepeat
    unsigned page_bid;       // offset of the page's BID
    unsigned block_trailer;  // bytes of a block trailer
    unsigned trailer_bid;    // offset of the BID in a block trailer
    unsigned max_block_data; // largest payload of one block
    unsigned nbt_leaf;       // NBTENTRY
    unsigned bbt_leaf;       // BBTENTRY
    unsigned branch;         // BTENTRY
    unsigned sl_header;      // SLBLOCK / SIBLOCK header (Unicode pads it to 8 bytes)
    unsigned sl_entry;       // SLENTRY
    unsigned si_entry;       // SIENTRY
    unsigned row_index_data; // dwRowIndex of a table's row index

    uint64_t id(const uint8_t* p) const { return id_size == 8 ? le64(p) : le32(p); }
};

extern const Layout kUnicodeLayout;
extern const Layout kAnsiLayout;

// A block's entry in the block B-tree.
struct BlockRef
{
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;
};

inline bool is_internal(uint64_t bid)
{
    return (bid & 2) != 0;
}

// One cached B-tree page with its header fields.
struct Page
{
    uint64_t ib = 0;
    uint64_t bid = 0; // from the page trailer
    uint8_t ptype = 0, ptype_repeat = 0;
    uint8_t count = 0, entry_size = 0, level = 0;
    uint8_t bytes[kPageSize];
    uint32_t prev = 0, next = 0; // LRU links (slot indices)
};

// A bounded LRU set of pages keyed by file offset.
class PageCache
{
public:
    // The page at `ib`, or nullptr. A hit becomes the most recently used.
    Page* find(uint64_t ib);
    // A slot for the page at `ib` (the least recently used one when full), unlinked from the index
    // until commit().
    Page* slot();
    void commit(Page* page);
    void clear();

private:
    void unlink(uint32_t i);
    void push_front(uint32_t i);

    std::vector<Page> m_slots;
    std::unordered_map<uint64_t, uint32_t> m_index;
    uint32_t m_head = UINT32_MAX, m_tail = UINT32_MAX;
};

// Decoded internal blocks (XBLOCK, SLBLOCK, ...) recently read, keyed by BID.
class BlockCache
{
public:
    const std::vector<uint8_t>* find(uint64_t bid) const;
    // Takes `data` (swapped with the slot's old contents) as the block `bid`.
    std::vector<uint8_t>* put(uint64_t bid, std::vector<uint8_t>& data);
    void clear();

private:
    static constexpr size_t kSlots = 8;
    uint64_t m_bids[kSlots] = {};
    std::vector<uint8_t> m_data[kSlots];
    bool m_used[kSlots] = {};
    size_t m_next = 0;
};

} // namespace pst::read::detail

namespace pst::read {

struct File::Impl
{
    ~Impl();

    const detail::Layout* layout = nullptr;
    Format format = Format::Unicode;
    Crypt crypt = Crypt::None;
    uint64_t size = 0;
    int fd = -1;
    std::vector<uint8_t> memory; // open_memory's image (fd < 0)
    uint64_t nbt_bid = 0, nbt_ib = 0, bbt_bid = 0, bbt_ib = 0;
    uint8_t amap_valid = 0; // fAMapValid: 1 or 2 when the allocation maps can be trusted
    // Blocks in no block B-tree, found in free space by a recovery scan: looked up only when the
    // block B-tree has no entry, and set only while a recovered item is read.
    const std::unordered_map<uint64_t, detail::BlockRef>* extra_blocks = nullptr;
    detail::PageCache pages;
    detail::BlockCache internal_blocks;
    std::vector<uint8_t> scratch;

    int read_header(std::string* why);
    // `size` bytes at `ib`; -1 when they pass the end of the file or the read fails.
    int read_at(uint64_t ib, size_t size, uint8_t* out, std::string* why);
    // The page `bid` at `ib` of the tree whose pages have type `ptype`, checked.
    int page(uint64_t bid, uint64_t ib, uint8_t ptype, const detail::Page** out, std::string* why);
    // The leaf entry with `key` in a B-tree; *entry points into a cached page (valid until the next
    // page read). 1 found, 0 absent, -1 error.
    int search(uint8_t ptype, uint64_t key, const uint8_t** entry, std::string* why);
    int find_block(uint64_t bid, detail::BlockRef* out, std::string* why);
    // The bytes of a block (cb of them), decoded when it is a data block of an encoded file.
    int read_block(const detail::BlockRef& ref, std::vector<uint8_t>* out, std::string* why);
    // An internal block by BID, through the small cache; *out valid until the next call.
    int internal_block(uint64_t bid, const std::vector<uint8_t>** out, std::string* why);
    Node node_at(const uint8_t* entry) const;
};

struct DataStream::Impl
{
    File::Impl* file = nullptr;
    struct Piece
    {
        detail::BlockRef ref;
        uint64_t offset; // of the block's first byte in the stream
    };
    std::vector<Piece> pieces;
    uint64_t total = 0;
    size_t current = SIZE_MAX; // index of the block in `data`
    std::vector<uint8_t> data;
    size_t max_pieces = 0; // blocks one open may list (0: the reader's limit)

    int open(File::Impl& f, uint64_t bid, std::string* why);
    int add_xblock(uint64_t bid, unsigned expect_level, std::string* why);
    int load(size_t k, std::string* why);
};

namespace detail {
struct Access
{
    static File::Impl& of(File& f) { return *f.m_impl; }
    static DataStream::Impl& of(DataStream& s) { return *s.m_impl; }
};
} // namespace detail

} // namespace pst::read
