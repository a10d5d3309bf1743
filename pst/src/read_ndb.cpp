// The reader's node database: header, page cache, node and block B-trees, blocks, data trees and
// subnode trees. Every offset, size, count and level read from the file is checked before use.
#include "read_ndb.h"

#include "crypt.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pst::read {
namespace detail {

std::string hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

void PageCache::set_page_size(unsigned size)
{
    clear();
    m_page_size = size;
}

Page* PageCache::find(uint64_t ib)
{
    if (m_sets == 0)
        return nullptr;
    const size_t first = first_of_set(ib);
    for (size_t i = first; i < first + kWays; ++i) {
        if (m_ibs[i] == ib) {
            m_used[i] = ++m_clock;
            return &m_slots[i];
        }
    }
    return nullptr;
}

Page* PageCache::slot(uint64_t ib)
{
    if (m_sets == 0) {
        const size_t capacity = kPageCacheBytes / m_page_size;
        m_sets = capacity / kWays;
        m_ibs.assign(capacity, kNoPage);
        m_used.assign(capacity, 0);
        m_slots.assign(capacity, Page{});
        m_arena.reset(new uint8_t[kPageCacheBytes]);
        for (size_t i = 0; i < capacity; ++i)
            m_slots[i].bytes = m_arena.get() + i * m_page_size;
    }
    const size_t first = first_of_set(ib);
    size_t oldest = first;
    for (size_t i = first + 1; i < first + kWays; ++i)
        if (m_used[i] < m_used[oldest])
            oldest = i;
    m_ibs[oldest] = kNoPage;
    return &m_slots[oldest];
}

void PageCache::commit(Page* page)
{
    const size_t i = static_cast<size_t>(page - m_slots.data());
    m_ibs[i] = page->ib;
    m_used[i] = ++m_clock;
}

void PageCache::clear()
{
    m_sets = 0;
    m_ibs.clear();
    m_used.clear();
    m_slots.clear();
    m_arena.reset();
    m_clock = 0;
}

const std::vector<uint8_t>* BlockCache::find(uint64_t bid) const
{
    for (size_t i = 0; i < kSlots; ++i)
        if (m_used[i] && m_bids[i] == bid)
            return &m_data[i];
    return nullptr;
}

std::vector<uint8_t>* BlockCache::put(uint64_t bid, std::vector<uint8_t>& data)
{
    const size_t i = m_next;
    m_next = (m_next + 1) % kSlots;
    m_bids[i] = bid;
    m_used[i] = true;
    m_data[i].swap(data);
    return &m_data[i];
}

void BlockCache::clear()
{
    for (size_t i = 0; i < kSlots; ++i)
        m_used[i] = false;
}

bool ReadWindows::copy(uint64_t ib, size_t n, uint8_t* out)
{
    for (Window& w : m_windows) {
        if (w.length != 0 && ib >= w.at && ib - w.at <= w.length && n <= w.length - (ib - w.at)) {
            std::memcpy(out, w.bytes.data() + (ib - w.at), n);
            w.used = ++m_clock;
            return true;
        }
    }
    return false;
}

ReadWindows::Window& ReadWindows::refill(uint64_t ib, size_t n, uint64_t file_size, size_t* want)
{
    Window* chosen = &m_windows[0];
    bool follows = false;
    for (Window& w : m_windows) {
        // A read that starts in the window or a small gap past its end: the reader is moving
        // forward through bytes it reads densely.
        if (w.length != 0 && ib >= w.at && ib - w.at <= w.length + kGap) {
            chosen = &w;
            follows = true;
            break;
        }
        if (w.used < chosen->used) {
            chosen = &w;
        }
    }
    // A window that keeps being followed grows, doubling up to kWindowBytes; reads with gaps
    // between them (a folder's items among other folders') or a pair of neighbours (an item's
    // data block and its subnode block) read what they ask for and their neighbours' bytes.
    chosen->streak = follows ? chosen->streak + 1 : 0;
    uint64_t at = ib;
    size_t size = n;
    if (chosen->streak >= 2) {
        const size_t grown = std::min<size_t>(kWindowBytes, size_t{1024} << std::min<unsigned>(chosen->streak, 6));
        size = static_cast<size_t>(std::max<uint64_t>(n, std::min<uint64_t>(grown, file_size - ib)));
    } else {
        // A few hundred bytes on either side cost less than a read of their own: an item's
        // blocks often lie side by side.
        at = ib - std::min<uint64_t>(ib, kNeighbours);
        size = static_cast<size_t>((ib - at) + n + std::min<uint64_t>(kNeighbours, file_size - ib - n));
    }
    *want = size;
    if (chosen->bytes.size() < size) {
        chosen->bytes.resize(std::max(kWindowBytes, size));
    }
    chosen->length = 0;
    chosen->at = at;
    chosen->used = ++m_clock;
    return *chosen;
}

namespace {

constexpr uint64_t kBidMask = ~uint64_t(1); // bit 0 of a BID is reserved

uint64_t key_of(uint8_t ptype, uint64_t raw)
{
    return ptype == kPtypeBBT ? raw & kBidMask : raw & 0xFFFFFFFFu;
}

} // namespace
} // namespace detail

using namespace detail;

File::Impl::~Impl()
{
    if (fd >= 0)
        ::close(fd);
}

Status File::Impl::read_at(uint64_t ib, size_t n, uint8_t* out)
{
    if (ib > size || n > size - ib)
        return fail("read of " + std::to_string(n) + " bytes at " + hex(ib) + " passes the end of the file");
    if (fd < 0) {
        std::memcpy(out, memory.data() + ib, n);
        return Status::success();
    }
    if (n > ReadWindows::kLargestRead || n == 0) {
        size_t got = 0;
        return pread_at_least(ib, n, n, out, &got);
    }
    if (windows.copy(ib, n, out))
        return Status::success();
    size_t want = 0;
    ReadWindows::Window& w = windows.refill(ib, n, size, &want);
    const size_t skip = static_cast<size_t>(ib - w.at);
    size_t got = 0;
    if (Status status = pread_at_least(w.at, skip + n, want, w.bytes.data(), &got); !status)
        return status;
    w.length = got;
    std::memcpy(out, w.bytes.data() + skip, n);
    return Status::success();
}

Status File::Impl::pread_at_least(uint64_t ib, size_t need, size_t n, uint8_t* out, size_t* got)
{
    size_t done = 0;
    while (done < need) {
        const ssize_t r = ::pread(fd, out + done, n - done, static_cast<off_t>(ib + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return fail(std::string("read failed at ") + hex(ib + done) + ": " + std::strerror(errno));
        if (r == 0)
            return fail("the file ends at " + hex(ib + done) + ", before the " + std::to_string(need) + " bytes at " +
                        hex(ib) + " (was it truncated?)");
        done += static_cast<size_t>(r);
    }
    *got = done;
    return Status::success();
}

Status File::Impl::read_header()
{
    if (size < 512)
        return fail("not a personal folder file: " + std::to_string(size) + " bytes are too few for a header");
    uint8_t h[564] = {};
    if (Status status = read_at(0, static_cast<size_t>(std::min<uint64_t>(size, sizeof h)), h); !status)
        return status;
    if (std::memcmp(h, "!BDN", 4) != 0)
        return fail("not a personal folder file (no !BDN signature)");
    const uint16_t client = get16(h + 8);
    if (client != kClientPst && client != kClientOffline && client != kClientPab)
        return fail("not a personal folder file: unknown content type " + hex(client));
    // The version decides the layout the way libpff does: up to 15 ANSI, 21 to 35 Unicode, 36
    // 4 KiB pages; in between the sentinel byte of either layout decides.
    const uint16_t ver = get16(h + 10);
    const Layout* kind = &kUnicodeLayout;
    if (ver <= 15) {
        kind = &kAnsiLayout;
    } else if (ver == 37) {
        return fail("unsupported file version 37: it comes from an Outlook that protects data with Windows "
                    "Information Protection, so its data may be protected and cannot be read here");
    } else if (ver == 36) {
        kind = &kUnicode4kLayout;
    } else if (ver > 36) {
        return fail("unsupported personal folder file version " + std::to_string(ver));
    } else if (ver < 21) {
        const bool ansi_sentinel = h[460] == 0x80, unicode_sentinel = h[512] == 0x80;
        if (ansi_sentinel == unicode_sentinel)
            return fail("unsupported personal folder file version " + std::to_string(ver));
        if (ansi_sentinel)
            kind = &kAnsiLayout;
    }
    const bool ansi = kind->id_size == 4;
    if (!ansi && size < 564)
        return fail("not a personal folder file: " + std::to_string(size) + " bytes are too few for a header");
    if (pst::crc32(h + 8, 471) != get32(h + 4))
        return fail("the file header is damaged (its partial CRC does not match)");
    if (!ansi && pst::crc32(h + 8, 516) != get32(h + 524))
        return fail("the file header is damaged (its full CRC does not match)");
    const uint8_t method = ansi ? h[461] : h[513];
    if (method > 2)
        return fail("unsupported block encoding " + std::to_string(method));
    crypt = static_cast<BlockEncoding>(method);
    layout = kind;
    format = kind->format;
    offline = client == kClientOffline;
    pages.set_page_size(kind->page_size);
    amap_valid = ansi ? h[200] : h[248];
    if (ansi) {
        nbt_bid = get32(h + 184);
        nbt_ib = get32(h + 188);
        bbt_bid = get32(h + 192);
        bbt_ib = get32(h + 196);
    } else {
        nbt_bid = get64(h + 216);
        nbt_ib = get64(h + 224);
        bbt_bid = get64(h + 232);
        bbt_ib = get64(h + 240);
    }
    // A 4 KiB-page file's roots lie on 4 KiB pages after its first allocation map; a file with
    // 512-byte pages that claims version 36 fails here rather than at its first lookup.
    if (kind->page_size != 512) {
        for (const uint64_t ib : {nbt_ib, bbt_ib})
            if (ib % kind->page_size != 0 || ib < kind->first_region)
                return fail("the header names a B-tree root at " + hex(ib) + ", which is not a " +
                            std::to_string(kind->page_size) + "-byte page of this file version");
    }
    // The B-tree roots are read on first use, as libpff does: a file whose body is gone still
    // opens, and its first lookup reports what is missing.
    return Status::success();
}

Status File::Impl::page(uint64_t bid, uint64_t ib, uint8_t ptype, Page** out)
{
    const char* tree = ptype == kPtypeBBT ? "block B-tree" : "node B-tree";
    const Layout& L = *layout;
    const unsigned page_size = L.page_size;
    if (ib % page_size != 0 || ib < L.first_region || ib > size || size - ib < page_size)
        return fail(std::string(tree) + " page " + hex(bid) + " at " + hex(ib) + " is outside the file or not on a " +
                    std::to_string(page_size) + "-byte boundary");
    Page* p = pages.find(ib);
    if (!p) {
        // Read straight into the slot: until committed no lookup finds it, so a failed read
        // leaves nothing behind.
        p = pages.slot(ib);
        if (Status status = read_at(ib, page_size, p->bytes); !status)
            return status;
        const uint8_t* buf = p->bytes;
        p->ib = ib;
        p->ptype = buf[L.page_trailer];
        p->ptype_repeat = buf[L.page_trailer + 1];
        p->bid = L.id(buf + L.page_bid);
        p->count = static_cast<uint16_t>(L.page_count(buf));
        p->entry_size = static_cast<uint8_t>(L.entry_size_of(buf));
        p->level = static_cast<uint8_t>(L.level_of(buf));
        p->ordered = -1;
        p->sound = false;
        pages.commit(p);
    }
    auto at = [&] { return std::string(tree) + std::string(" page " + hex(bid) + " at " + hex(ib)); };
    if (p->ptype != ptype || p->ptype_repeat != ptype)
        return fail(at() + " has page type " + hex(p->ptype) + "/" + hex(p->ptype_repeat) + ", expected " + hex(ptype));
    if (p->bid != bid)
        return fail(at() + ": its trailer names page " + hex(p->bid));
    if (p->level > kMaxTreeLevel)
        return fail(at() + ": implausible cLevel " + std::to_string(p->level));
    const unsigned min_size = p->level ? L.bt_entry() : ptype == kPtypeBBT ? L.bbt_entry : L.nbt_entry;
    if (p->entry_size < min_size)
        return fail(at() + ": entries of " + std::to_string(p->entry_size) + " bytes, at least " +
                    std::to_string(min_size) + " needed");
    if (unsigned(p->count) * p->entry_size > L.page_meta)
        return fail(at() + ": " + std::to_string(p->count) + " entries of " + std::to_string(p->entry_size) +
                    " bytes do not fit in the page");
    p->sound = true;
    *out = p;
    return Status::success();
}

bool File::Impl::ordered(uint8_t ptype, Page& p) const
{
    if (p.ordered < 0) {
        const Layout& L = *layout;
        bool rising = true;
        for (size_t i = 1; i < p.count && rising; ++i)
            rising =
                key_of(ptype, L.id(p.bytes + (i - 1) * p.entry_size)) < key_of(ptype, L.id(p.bytes + i * p.entry_size));
        p.ordered = rising ? 1 : 0;
    }
    return p.ordered == 1;
}

Status File::Impl::search(uint8_t ptype, uint64_t key, const uint8_t** entry)
{
    const Layout& L = *layout;
    key = key_of(ptype, key);
    std::array<PathPage, kMaxTreeLevel + 1>& path = last_path[ptype == kPtypeBBT ? 1 : 0];
    uint64_t bid = ptype == kPtypeBBT ? bbt_bid : nbt_bid;
    uint64_t ib = ptype == kPtypeBBT ? bbt_ib : nbt_ib;
    unsigned above = kMaxTreeLevel + 1;
    // The keys that lead where this search goes, narrowed at each level. A page is kept in the
    // path with them only when every page above it lists its keys in strictly rising order (then
    // the binary search below takes the same entry for every key between one entry's key and the
    // next's, and a search from that page finds what a search from the root finds).
    uint64_t lo = 0, hi = UINT64_MAX;
    // The entries after and before the last one found, nearest first, in the leaf where a search
    // from last_path would begin: in a leaf of strictly rising keys the entry of `key` is the one
    // that search finds.
    LastEntry& last = last_entry[ptype == kPtypeBBT ? 1 : 0];
    if (const PathPage& leaf = path[0];
        key >= leaf.lo && key <= leaf.hi && last.bid == leaf.bid && last.ib == leaf.ib) {
        Page* p = sound_page(leaf.bid, leaf.ib, ptype);
        if (p && p->level == 0 && (p->ordered == 1 || (p->ordered < 0 && this->ordered(ptype, *p)))) {
            const bool wide = L.id_size == 8;
            for (const ptrdiff_t step : {1, 2, 3, -1, -2, -3}) {
                const size_t i = last.index + static_cast<size_t>(step); // past either end: too large
                if (i >= p->count)
                    continue;
                const uint8_t* e = p->bytes + i * p->entry_size;
                if (key_of(ptype, wide ? get64(e) : get32(e)) == key) {
                    last.index = i;
                    *entry = e;
                    return Status::success();
                }
            }
        }
    }
    for (unsigned level = 0; level <= kMaxTreeLevel; ++level) {
        const PathPage& kept = path[level];
        if (key >= kept.lo && key <= kept.hi) {
            bid = kept.bid;
            ib = kept.ib;
            lo = kept.lo;
            hi = kept.hi;
            above = level + 1;
            break;
        }
    }
    bool ordered = true;
    for (;;) {
        Page* p = sound_page(bid, ib, ptype);
        if (!p) {
            if (Status status = page(bid, ib, ptype, &p); !status)
                return status;
        }
        if (p->level >= above)
            return fail(std::string(ptype == kPtypeBBT ? "block" : "node") + " B-tree page " + hex(bid) +
                        " has cLevel " + std::to_string(p->level) + ", not below its parent's " +
                        std::to_string(above));
        if (ordered)
            path[p->level] = {bid, ib, lo, hi};
        // The last entry whose key is at most `key` (the only candidate in a leaf).
        size_t first = 0, end = p->count;
        while (first < end) {
            const size_t mid = (first + end) / 2;
            if (key_of(ptype, L.id(p->bytes + mid * p->entry_size)) <= key)
                first = mid + 1;
            else
                end = mid;
        }
        if (first == 0)
            return Status::none();
        const uint8_t* e = p->bytes + (first - 1) * p->entry_size;
        if (p->level == 0) {
            if (key_of(ptype, L.id(e)) != key)
                return Status::none();
            *entry = e;
            last = {bid, ib, first - 1};
            return Status::success();
        }
        ordered = ordered && this->ordered(ptype, *p);
        lo = std::max(lo, key_of(ptype, L.id(e)));
        if (first < p->count)
            hi = std::min(hi, key_of(ptype, L.id(e + p->entry_size)) - 1);
        above = p->level;
        bid = L.id(e + L.id_size);
        ib = L.id(e + 2 * L.id_size);
    }
}

Status File::Impl::find_block(uint64_t bid, BlockRef* out)
{
    const uint8_t* e = nullptr;
    Status found = search(kPtypeBBT, bid, &e);
    if (found.absent && extra_blocks) {
        const auto it = extra_blocks->find(bid & kBidMask);
        if (it == extra_blocks->end())
            return Status::none();
        *out = it->second;
        return Status::success();
    }
    if (!found.found())
        return found;
    const Layout& L = *layout;
    out->bid = L.id(e) & kBidMask;
    out->ib = L.id(e + L.id_size);
    out->cb = get16(e + 2 * L.id_size);
    // 4 KiB-page files also give the inflated size (0 or cb for a block stored as is).
    const uint16_t inflated = L.bbt_inflated ? get16(e + L.bbt_inflated) : 0;
    out->size = inflated ? inflated : out->cb;
    return Status::success();
}

Node File::Impl::node_at(const uint8_t* e) const
{
    const Layout& L = *layout;
    Node n;
    n.nid = static_cast<uint32_t>(L.id(e));
    n.bid_data = L.id(e + L.id_size);
    n.bid_sub = L.id(e + 2 * L.id_size);
    n.parent = get32(e + 3 * L.id_size);
    return n;
}

Status File::Impl::read_block(const BlockRef& ref, std::vector<uint8_t>* out)
{
    const Layout& L = *layout;
    const uint64_t alloc = L.block_alloc(ref.cb);
    auto at = [&] { return std::string("block " + hex(ref.bid) + " at " + hex(ref.ib)); };
    if (alloc > L.max_block)
        return fail(at() + ": " + std::to_string(ref.cb) + " bytes do not fit in a block");
    if (ref.ib < L.first_region || ref.ib > size || size - ref.ib < alloc)
        return fail(at() + " lies outside the file");
    out->resize(alloc);
    if (Status status = read_at(ref.ib, alloc, out->data()); !status)
        return status;
    const uint8_t* t = out->data() + alloc - L.block_trailer;
    if (get16(t) != ref.cb)
        return fail(at() + ": its trailer says " + std::to_string(get16(t)) + " bytes, the block B-tree " +
                    std::to_string(ref.cb));
    if ((L.id(t + L.trailer_bid) & kBidMask) != (ref.bid & kBidMask))
        return fail(at() + ": its trailer names block " + hex(L.id(t + L.trailer_bid)));
    // A block whose trailer gives an inflated size other than its stored size is a zlib stream
    // (as libpff decides; 0 means stored as is).
    const size_t inflated = L.trailer_inflated ? get16(t + L.trailer_inflated) : 0;
    const size_t n = inflated ? inflated : ref.cb;
    if (n != ref.size)
        return fail(at() + ": its trailer says " + std::to_string(n) + " inflated bytes, the block B-tree " +
                    std::to_string(ref.size));
    if (inflated != 0 && ref.cb != 0 && inflated != ref.cb) {
        if (inflated > kMaxInflatedBlock)
            return fail(at() + ": an inflated size of " + std::to_string(inflated) + " bytes is too large");
        packed.swap(*out);
        out->resize(inflated);
        if (Status status = inflater.inflate(packed.data(), ref.cb, out->data(), inflated); !status)
            return std::move(status).within(at() + ": ");
    }
    out->resize(n);
    if (!is_internal(ref.bid) && n > 0) {
        if (crypt == BlockEncoding::Permute)
            pst::detail::permute_decode(out->data(), n);
        else if (crypt == BlockEncoding::Cyclic)
            pst::detail::cyclic_code(out->data(), n, static_cast<uint32_t>(ref.bid));
    }
    return Status::success();
}

Inflater::~Inflater()
{
    libdeflate_free_decompressor(static_cast<libdeflate_decompressor*>(m_state));
}

Status Inflater::inflate(const uint8_t* in, size_t in_size, uint8_t* out, size_t size)
{
    auto* d = static_cast<libdeflate_decompressor*>(m_state);
    if (!d) {
        d = libdeflate_alloc_decompressor();
        if (!d)
            return fail("no memory to start inflating");
        m_state = d;
    }
    // The output buffer is exactly the size the trailer gives: a stream cannot take more. The
    // stream's Adler-32 check value is verified.
    size_t got = 0;
    switch (libdeflate_zlib_decompress(d, in, in_size, out, size, &got)) {
    case LIBDEFLATE_SUCCESS:
        if (got == size)
            return Status::success();
        return fail("its zlib stream inflates to " + std::to_string(got) + " bytes, its trailer says " +
                    std::to_string(size));
    case LIBDEFLATE_INSUFFICIENT_SPACE:
        return fail("its zlib stream inflates to more than the " + std::to_string(size) + " bytes its trailer says");
    default:
        return fail("its zlib stream is damaged or ends before it is complete");
    }
}

Status File::Impl::internal_block(uint64_t bid, const std::vector<uint8_t>** out)
{
    bid &= kBidMask;
    if (const auto* hit = internal_blocks.find(bid)) {
        *out = hit;
        return Status::success();
    }
    BlockRef ref;
    Status found = find_block(bid, &ref);
    if (!found)
        return found;
    if (found.absent)
        return fail("block " + hex(bid) + " is not in the block B-tree");
    if (Status status = read_block(ref, &scratch); !status)
        return status;
    *out = internal_blocks.put(bid, scratch);
    return Status::success();
}

// ---------------------------------------------------------------------------------------------

Status DataStream::Impl::open(File::Impl& f, uint64_t bid)
{
    file = &f;
    pieces.clear();
    total = 0;
    current = SIZE_MAX;
    if (bid == 0)
        return Status::success(); // no data at all: an empty stream
    if (is_internal(bid))
        return add_xblock(bid, 0);
    BlockRef ref;
    Status found = f.find_block(bid, &ref);
    if (!found)
        return found;
    if (found.absent)
        return fail("data block " + hex(bid) + " is not in the block B-tree");
    pieces.push_back({ref, 0});
    total = ref.size;
    return Status::success();
}

Status DataStream::Impl::add_xblock(uint64_t bid, unsigned expect_level)
{
    const Layout& L = *file->layout;
    const std::vector<uint8_t>* b = nullptr;
    if (Status status = file->internal_block(bid, &b); !status)
        return status;
    auto at = [&] { return std::string("data tree block " + hex(bid)); };
    if (b->size() < 8)
        return fail(at() + ": " + std::to_string(b->size()) + " bytes are too few for an XBLOCK");
    const uint8_t btype = (*b)[0], level = (*b)[1];
    if (btype != 1 || (level != 1 && level != 2))
        return fail(at() + " is not an XBLOCK or XXBLOCK (btype " + std::to_string(btype) + ", cLevel " +
                    std::to_string(level) + ")");
    if (expect_level && level != expect_level)
        return fail(at() + ": cLevel " + std::to_string(level) + ", its parent expects " +
                    std::to_string(expect_level));
    const size_t count = get16(b->data() + 2);
    const uint32_t lcb = get32(b->data() + 4);
    if (8 + count * L.id_size > b->size())
        return fail(at() + ": " + std::to_string(count) + " entries do not fit in " + std::to_string(b->size()) +
                    " bytes");
    // Child BIDs are copied first: reading an XBLOCK below reuses the block cache.
    std::vector<uint64_t> children(count);
    for (size_t i = 0; i < count; ++i)
        children[i] = L.id(b->data() + 8 + i * L.id_size);
    if (level == 2) {
        // Each XBLOCK once: a tree that names one several times only multiplies the work.
        std::vector<uint64_t> sorted = children;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            return fail(at() + " names one XBLOCK twice");
    }
    const uint64_t start = total;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t child = children[i];
        if (level == 2) {
            if (!is_internal(child))
                return fail(at() + " entry " + std::to_string(i) + " names data block " + hex(child) +
                            " where an XBLOCK belongs");
            if (Status status = add_xblock(child, 1); !status)
                return status;
            continue;
        }
        if (is_internal(child))
            return fail(at() + " entry " + std::to_string(i) + " names internal block " + hex(child) +
                        " where a data block belongs");
        BlockRef ref;
        Status found = file->find_block(child, &ref);
        if (!found)
            return found;
        if (found.absent)
            return fail(at() + " entry " + std::to_string(i) + ": block " + hex(child) + " is not in the block B-tree");
        const size_t limit = max_pieces ? std::min(max_pieces, kMaxPieces) : kMaxPieces;
        if (pieces.size() >= limit)
            return fail(at() + ": the data tree has more than " + std::to_string(limit) + " blocks");
        pieces.push_back({ref, total});
        total += ref.size;
        if (total > kMaxStreamSize)
            return fail(at() + ": the data stream is larger than " + std::to_string(kMaxStreamSize >> 20) + " MiB");
    }
    if (total - start != lcb)
        return fail(at() + ": lcbTotal " + std::to_string(lcb) + ", its blocks hold " + std::to_string(total - start));
    return Status::success();
}

Status DataStream::Impl::load(size_t k)
{
    if (current == k)
        return Status::success();
    current = SIZE_MAX;
    if (Status status = file->read_block(pieces[k].ref, &data); !status)
        return status;
    current = k;
    return Status::success();
}

// ---------------------------------------------------------------------------------------------

File::File(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
File::~File() = default;

std::unique_ptr<File> File::open(const std::string& path, Status* why)
{
    auto refuse = [&](Status status) -> std::unique_ptr<File> {
        if (why)
            *why = std::move(status);
        return nullptr;
    };
    auto impl = std::make_unique<Impl>();
    impl->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (impl->fd < 0)
        return refuse(fail(path + ": " + std::strerror(errno)));
    struct stat st
    {
    };
    if (::fstat(impl->fd, &st) != 0)
        return refuse(fail(path + ": " + std::strerror(errno)));
    if (!S_ISREG(st.st_mode))
        return refuse(fail(path + ": not a regular file"));
    impl->size = static_cast<uint64_t>(st.st_size);
    if (Status status = impl->read_header(); !status)
        return refuse(std::move(status));
    return std::unique_ptr<File>(new File(std::move(impl)));
}

std::unique_ptr<File> File::open_memory(std::vector<uint8_t> image, Status* why)
{
    auto impl = std::make_unique<Impl>();
    impl->memory = std::move(image);
    impl->size = impl->memory.size();
    if (Status status = impl->read_header(); !status) {
        if (why)
            *why = std::move(status);
        return nullptr;
    }
    return std::unique_ptr<File>(new File(std::move(impl)));
}

FileFormat File::format() const
{
    return m_impl->format;
}
BlockEncoding File::crypt() const
{
    return m_impl->crypt;
}
bool File::offline() const
{
    return m_impl->offline;
}
uint64_t File::size() const
{
    return m_impl->size;
}

Status File::find_node(uint32_t nid, Node* out)
{
    const uint8_t* e = nullptr;
    Status found = m_impl->search(kPtypeNBT, nid, &e);
    if (found.found())
        *out = m_impl->node_at(e);
    return found;
}

Status File::for_each_node(const std::function<bool(const Node&)>& visit)
{
    Impl& f = *m_impl;
    const Layout& L = *f.layout;
    struct Ref
    {
        uint64_t bid, ib;
    };
    struct Frame
    {
        std::vector<Ref> children;
        size_t next = 0;
        unsigned level = 0;
    };
    std::vector<Frame> stack;
    // Each page is read once in a sound tree; a tree that names more pages than the file holds
    // reaches pages through several parents.
    uint64_t budget = f.size / L.page_size + 1;
    // Done: go on; absent: stopped by the visitor.
    auto enter = [&](Ref r, unsigned above) -> Status {
        if (budget-- == 0)
            return fail("the node B-tree names more pages than the file holds");
        Page* p = nullptr;
        if (Status status = f.page(r.bid, r.ib, kPtypeNBT, &p); !status)
            return status;
        if (p->level >= above)
            return fail("node B-tree page " + hex(r.bid) + " has cLevel " + std::to_string(p->level) +
                        ", not below its parent's " + std::to_string(above));
        if (p->level == 0) {
            Node nodes[kMaxPageSize / 16];
            const size_t n = p->count;
            for (size_t i = 0; i < n; ++i)
                nodes[i] = f.node_at(p->bytes + i * p->entry_size);
            for (size_t i = 0; i < n; ++i)
                if (!visit(nodes[i]))
                    return Status::none();
            return Status::success();
        }
        Frame frame;
        frame.level = p->level;
        frame.children.reserve(p->count);
        for (size_t i = 0; i < p->count; ++i) {
            const uint8_t* e = p->bytes + i * p->entry_size;
            frame.children.push_back({L.id(e + L.id_size), L.id(e + 2 * L.id_size)});
        }
        stack.push_back(std::move(frame));
        return Status::success();
    };
    Status r = enter({f.nbt_bid, f.nbt_ib}, kMaxTreeLevel + 1);
    while (r.found() && !stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.children.size()) {
            stack.pop_back();
            continue;
        }
        const Ref child = top.children[top.next++];
        r = enter(child, top.level);
    }
    return r ? Status::success() : r;
}

Status File::read_stream(uint64_t bid, std::vector<uint8_t>* out)
{
    DataStream::Impl s;
    if (Status status = s.open(*m_impl, bid); !status)
        return status;
    out->resize(static_cast<size_t>(s.total));
    for (size_t k = 0; k < s.pieces.size(); ++k) {
        if (Status status = s.load(k); !status)
            return status;
        if (!s.data.empty())
            std::memcpy(out->data() + s.pieces[k].offset, s.data.data(), s.data.size());
    }
    return Status::success();
}

Status File::find_subnode(uint64_t bid_sub, uint32_t nid, Node* out)
{
    Impl& f = *m_impl;
    const Layout& L = *f.layout;
    uint64_t bid = bid_sub;
    unsigned above = kMaxSubnodeLevel + 1;
    for (;;) {
        auto at = [&] { return std::string("subnode block " + hex(bid)); };
        if (!is_internal(bid))
            return fail(at() + " is not an internal block");
        const std::vector<uint8_t>* b = nullptr;
        if (Status status = f.internal_block(bid, &b); !status)
            return status;
        if (b->size() < L.sl_header)
            return fail(at() + ": " + std::to_string(b->size()) + " bytes are too few for a subnode block");
        const uint8_t btype = (*b)[0], level = (*b)[1];
        if (btype != 2)
            return fail(at() + " is not an SLBLOCK or SIBLOCK (btype " + std::to_string(btype) + ")");
        if (level >= above)
            return fail(at() + " has cLevel " + std::to_string(level) + ", not below its parent's " +
                        std::to_string(above));
        const size_t count = get16(b->data() + 2);
        const size_t size = level == 0 ? L.sl_entry() : L.si_entry();
        if (L.sl_header + count * size > b->size())
            return fail(at() + ": " + std::to_string(count) + " entries do not fit in " + std::to_string(b->size()) +
                        " bytes");
        const uint8_t* entries = b->data() + L.sl_header;
        // Only the low 32 bits of a subnode id are meaningful.
        size_t lo = 0, hi = count;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (static_cast<uint32_t>(L.id(entries + mid * size)) <= nid)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo == 0)
            return Status::none();
        const uint8_t* e = entries + (lo - 1) * size;
        if (level == 0) {
            if (static_cast<uint32_t>(L.id(e)) != nid)
                return Status::none();
            out->nid = nid;
            out->bid_data = L.id(e + L.id_size);
            out->bid_sub = L.id(e + 2 * L.id_size);
            out->parent = 0;
            return Status::success();
        }
        above = level;
        bid = L.id(e + L.id_size);
    }
}

// ---------------------------------------------------------------------------------------------

DataStream::DataStream() : m_impl(std::make_unique<Impl>()) {}
DataStream::~DataStream() = default;
DataStream::DataStream(DataStream&&) noexcept = default;
DataStream& DataStream::operator=(DataStream&&) noexcept = default;

Status DataStream::open(File& file, uint64_t bid)
{
    if (!m_impl)
        m_impl = std::make_unique<Impl>();
    return m_impl->open(*file.m_impl, bid);
}

uint64_t DataStream::size() const
{
    return m_impl ? m_impl->total : 0;
}

size_t DataStream::block_count() const
{
    return m_impl ? m_impl->pieces.size() : 0;
}

size_t DataStream::block_size(size_t k) const
{
    return m_impl->pieces[k].ref.size;
}

uint64_t DataStream::block_offset(size_t k) const
{
    return m_impl->pieces[k].offset;
}

Status DataStream::block(size_t k, const uint8_t** data, size_t* size)
{
    if (!m_impl || k >= m_impl->pieces.size())
        return fail("block " + std::to_string(k) + " is past the end of the data stream");
    if (Status status = m_impl->load(k); !status)
        return status;
    *data = m_impl->data.data();
    *size = m_impl->data.size();
    return Status::success();
}

Status DataStream::read(uint64_t offset, size_t size, uint8_t* out)
{
    Impl* s = m_impl.get();
    if (!s || offset > s->total || size > s->total - offset)
        return fail("read of " + std::to_string(size) + " bytes at " + std::to_string(offset) +
                    " passes the end of a data stream of " + std::to_string(s ? s->total : 0) + " bytes");
    if (size == 0)
        return Status::success();
    // The block holding `offset`: the last one starting at or before it (never an empty block,
    // since the next block starts where an empty one does).
    auto it = std::upper_bound(s->pieces.begin(), s->pieces.end(), offset,
                               [](uint64_t o, const Impl::Piece& p) { return o < p.offset; });
    size_t k = static_cast<size_t>(it - s->pieces.begin()) - 1;
    while (size > 0) {
        if (Status status = s->load(k); !status)
            return status;
        const uint64_t within = offset - s->pieces[k].offset;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size, s->data.size() - within));
        std::memcpy(out, s->data.data() + within, n);
        out += n;
        offset += n;
        size -= n;
        ++k;
    }
    return Status::success();
}

} // namespace pst::read
