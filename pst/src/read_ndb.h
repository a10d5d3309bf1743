// Internals of the reader's node database: the page cache, and File::Impl / DataStream::Impl.
// Where fields sit in each file kind is layout.h's.
#pragma once

#include "layout.h"
#include "pst/reader.h"

#include <array>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace pst::read::detail {

using pst::detail::get16;
using pst::detail::get32;
using pst::detail::get64;
using pst::detail::is_internal_bid;
using pst::detail::kAnsiLayout;
using pst::detail::kPtypeBBT;
using pst::detail::kPtypeNBT;
using pst::detail::kUnicode4kLayout;
using pst::detail::kUnicodeLayout;
using pst::detail::Layout;

// A failure with `text` as its reason.
inline Status fail(std::string text)
{
    return Status::failure(std::move(text));
}
std::string hex(uint64_t v);

constexpr unsigned kMaxPageSize = 4096;        // B-tree pages: 512 bytes, 4096 in 4 KiB-page files
constexpr unsigned kMaxTreeLevel = 10;         // cLevel of a B-tree root page
constexpr unsigned kMaxSubnodeLevel = 3;       // cLevel of a subnode tree root
constexpr size_t kPageCacheBytes = 16u << 20;  // B-tree pages kept: 32768 of 512 bytes, 4096 of 4096 (the
                                               // trees of about 300,000 items)
constexpr size_t kMaxPieces = size_t(1) << 16; // blocks of one data tree

// A block's entry in the block B-tree.
struct BlockRef
{
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;   // bytes stored in the file
    uint16_t size = 0; // bytes the block holds: cb, or its inflated size (4 KiB-page files)
};

inline bool is_internal(uint64_t bid)
{
    return is_internal_bid(bid);
}

// One cached B-tree page with its header fields.
struct Page
{
    uint64_t ib = 0;
    uint64_t bid = 0; // from the page trailer
    uint8_t ptype = 0, ptype_repeat = 0;
    uint16_t count = 0;
    uint8_t entry_size = 0, level = 0;
    // Whether the entries' keys rise strictly (-1: not yet known), found once per page read.
    int8_t ordered = -1;
    // Whether File::Impl::page() found it sound as the page `bid` of a tree of pages of type
    // `ptype` (its own): another lookup of that page takes it without the checks again.
    bool sound = false;
    uint8_t* bytes = nullptr; // page_size bytes in the cache's arena
};

// A bounded set of pages keyed by file offset: set-associative, kWays pages for each set of page
// numbers, the least recently used of a set replaced. A lookup compares one cache line of offsets
// and allocates nothing, which matters once a file's B-trees outgrow the cache and most lookups
// of a leaf miss (a million contacts in folders whose items lie among each other's). A page
// handed out stays valid until kWays other pages of its set are read.
class PageCache
{
public:
    // Pages of `size` bytes; empties the cache.
    void set_page_size(unsigned size);
    unsigned page_size() const { return m_page_size; }
    // The page at `ib`, or nullptr. A hit becomes its set's most recently used.
    Page* find(uint64_t ib);
    // The slot to read the page at `ib` into (its set's least recently used), found by no lookup
    // until commit().
    Page* slot(uint64_t ib);
    void commit(Page* page);
    void clear();

    static constexpr size_t kWays = 8;

private:
    static constexpr uint64_t kNoPage = UINT64_MAX; // the offset of a slot that holds no page
    size_t first_of_set(uint64_t ib) const { return (ib / m_page_size & (m_sets - 1)) * kWays; }

    unsigned m_page_size = 512;
    size_t m_sets = 0;            // a power of two; 0 until the first page is read
    std::vector<uint64_t> m_ibs;  // by slot: the page's offset, kWays to a cache line
    std::vector<uint64_t> m_used; // by slot: when last found or read
    std::vector<Page> m_slots;
    std::unique_ptr<uint8_t[]> m_arena; // not zero-filled: a small file touches few pages of it
    uint64_t m_clock = 0;
};

// A few windows of the file's bytes for small reads. A read that lands in or just past a window
// again and again (blocks and pages read in file order, as a walk of a file written in order
// does) refills that window with more bytes each time, up to kWindowBytes: one system call for
// many blocks. Any other read takes a window of its own bytes and kNeighbours on either side
// (an item's blocks often lie side by side), so scattered reads move few more bytes than they
// ask for.
class ReadWindows
{
public:
    // A walk of a folder's mail reads about six places of the file in turn (the messages' blocks,
    // their subnode blocks, the pages of both B-trees, the contents table): each keeps a window.
    static constexpr size_t kWindows = 8;
    static constexpr size_t kWindowBytes = 64 * 1024;
    static constexpr size_t kLargestRead = 16 * 1024; // larger reads bypass the windows
    static constexpr size_t kGap = 4096;              // the bytes a following read may skip
    static constexpr size_t kNeighbours = 256;        // read on either side of a read of its own

    struct Window
    {
        uint64_t at = 0;
        size_t length = 0;   // 0: empty
        uint64_t used = 0;   // when last used, for choosing the window to refill
        unsigned streak = 0; // refills in a row that followed the window's bytes
        std::vector<uint8_t> bytes;
    };
    // Copies `n` bytes at `ib` to `out` when a window holds them all.
    bool copy(uint64_t ib, size_t n, uint8_t* out);
    // The window to fill for a read of `n` bytes at `ib` that no window held: its `at` is where
    // to read from (at or before `ib`) and *want how many bytes to read.
    Window& refill(uint64_t ib, size_t n, uint64_t file_size, size_t* want);

private:
    std::array<Window, kWindows> m_windows;
    uint64_t m_clock = 0;
};

// Inflates zlib streams of a known inflated size (compressed blocks) with libdeflate, reusing one
// decompressor. libdeflate rather than zlib: a block is one small stream, and zlib builds its
// tables anew for each (about 40 % of a scan of compressed blocks went to it; bench/ost).
class Inflater
{
public:
    Inflater() = default;
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    // Exactly `size` bytes into `out` from the stream of `in_size` bytes at `in`. A failure
    // when the stream is damaged, ends short or would inflate to any other size.
    Status inflate(const uint8_t* in, size_t in_size, uint8_t* out, size_t size);

private:
    void* m_state = nullptr; // libdeflate_decompressor
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
    FileFormat format = FileFormat::Unicode;
    BlockEncoding crypt = BlockEncoding::None;
    bool offline = false;        // content type "SO"
    std::vector<uint8_t> packed; // a compressed block's stored bytes, while it is inflated
    detail::Inflater inflater;
    uint64_t size = 0;
    int fd = -1;
    std::vector<uint8_t> memory; // open_memory's image (fd < 0)
    uint64_t nbt_bid = 0, nbt_ib = 0, bbt_bid = 0, bbt_ib = 0;
    uint8_t amap_valid = 0; // fAMapValid: 1 or 2 when the allocation maps can be trusted
    // Blocks in no block B-tree, found in free space by a recovery scan: looked up only when the
    // block B-tree has no entry, and set only while a recovered item is read.
    const std::unordered_map<uint64_t, detail::BlockRef>* extra_blocks = nullptr;
    detail::PageCache pages;
    // Where each B-tree's last searches went (0: node B-tree, 1: block B-tree): at each level,
    // the last page a search passed through and the keys every search that reaches that page lies
    // within, from the entries of the pages above it. A search starts at the lowest such page
    // whose keys hold its own. A walk in key order (a folder's messages, their blocks, written one
    // after another) then reads one page per lookup instead of one per level, and a walk of one
    // folder among others, whose items lie a few leaves apart, starts a level or two above them.
    struct PathPage
    {
        uint64_t bid = 0, ib = 0;
        uint64_t lo = 1, hi = 0; // keys lo to hi, both included; none until a search sets them
    };
    std::array<PathPage, detail::kMaxTreeLevel + 1> last_path[2];
    // Where each B-tree's last search ended: the leaf (last_path's at level 0 then) and its entry.
    // A search whose key lies in that leaf looks at the entries about it first: an item's blocks
    // (its data, its subnodes' block and theirs) have keys next to each other.
    struct LastEntry
    {
        uint64_t bid = 0, ib = 0;
        size_t index = 0;
    };
    LastEntry last_entry[2];
    detail::ReadWindows windows;
    detail::BlockCache internal_blocks;
    std::vector<uint8_t> scratch;

    Status read_header();
    // `size` bytes at `ib`; fails when they pass the end of the file or the read fails.
    Status read_at(uint64_t ib, size_t size, uint8_t* out);
    // At least `need` and at most `size` bytes at `ib` from the file itself; *got says how many.
    Status pread_at_least(uint64_t ib, size_t need, size_t size, uint8_t* out, size_t* got);
    // The page `bid` at `ib` of the tree whose pages have type `ptype`, checked.
    Status page(uint64_t bid, uint64_t ib, uint8_t ptype, detail::Page** out);
    // That page when it is cached and was found sound as that page before (no Status made), else
    // nullptr: page() says why.
    detail::Page* sound_page(uint64_t bid, uint64_t ib, uint8_t ptype)
    {
        detail::Page* p = pages.find(ib);
        return p && p->sound && p->bid == bid && p->ptype == ptype ? p : nullptr;
    }
    // Whether page `p` of the tree whose pages have type `ptype` lists its keys in strictly
    // rising order (found once for each page read).
    bool ordered(uint8_t ptype, detail::Page& p) const;
    // The leaf entry with `key` in a B-tree; *entry points into a cached page (valid until the next
    // page read). Found, absent, or a failure.
    Status search(uint8_t ptype, uint64_t key, const uint8_t** entry);
    Status find_block(uint64_t bid, detail::BlockRef* out);
    // The bytes of a block (cb of them, or its inflated size when it is compressed), decoded when
    // it is a data block of an encoded file.
    Status read_block(const detail::BlockRef& ref, std::vector<uint8_t>* out);
    // An internal block by BID, through the small cache; *out valid until the next call.
    Status internal_block(uint64_t bid, const std::vector<uint8_t>** out);
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

    Status open(File::Impl& f, uint64_t bid);
    Status add_xblock(uint64_t bid, unsigned expect_level);
    Status load(size_t k);
};

namespace detail {
struct Access
{
    static File::Impl& of(File& f) { return *f.m_impl; }
    static DataStream::Impl& of(DataStream& s) { return *s.m_impl; }
};
} // namespace detail

} // namespace pst::read
