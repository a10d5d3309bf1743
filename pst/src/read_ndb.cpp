// The reader's node database: header, page cache, node and block B-trees, blocks, data trees and
// subnode trees. Every offset, size, count and level read from the file is checked before use.
#include "read_ndb.h"

#include "crypt.h"
#include "pst/writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pst::read {
namespace detail {

const Layout kUnicodeLayout{8, 488, 488, 496, 504, 16, 8, 8176, 32, 24, 24, 8, 24, 16, 4};
const Layout kAnsiLayout{4, 496, 496, 500, 504, 12, 4, 8180, 16, 12, 12, 4, 12, 8, 2};

int fail(std::string* why, std::string text)
{
    if (why)
        *why = std::move(text);
    return -1;
}

std::string hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

Page* PageCache::find(uint64_t ib)
{
    auto it = m_index.find(ib);
    if (it == m_index.end())
        return nullptr;
    if (it->second != m_head) {
        unlink(it->second);
        push_front(it->second);
    }
    return &m_slots[it->second];
}

Page* PageCache::slot()
{
    uint32_t i;
    if (m_slots.size() < kPageCacheSize) {
        if (m_slots.empty()) {
            m_slots.reserve(kPageCacheSize); // pages handed out stay where they are
            m_index.reserve(kPageCacheSize);
        }
        m_slots.emplace_back();
        i = static_cast<uint32_t>(m_slots.size() - 1);
    } else {
        i = m_tail;
        unlink(i);
        m_index.erase(m_slots[i].ib);
    }
    return &m_slots[i];
}

void PageCache::commit(Page* page)
{
    const uint32_t i = static_cast<uint32_t>(page - m_slots.data());
    m_index[page->ib] = i;
    push_front(i);
}

void PageCache::clear()
{
    m_slots.clear();
    m_index.clear();
    m_head = m_tail = UINT32_MAX;
}

void PageCache::unlink(uint32_t i)
{
    Page& p = m_slots[i];
    if (p.prev != UINT32_MAX)
        m_slots[p.prev].next = p.next;
    else
        m_head = p.next;
    if (p.next != UINT32_MAX)
        m_slots[p.next].prev = p.prev;
    else
        m_tail = p.prev;
}

void PageCache::push_front(uint32_t i)
{
    Page& p = m_slots[i];
    p.prev = UINT32_MAX;
    p.next = m_head;
    if (m_head != UINT32_MAX)
        m_slots[m_head].prev = i;
    m_head = i;
    if (m_tail == UINT32_MAX)
        m_tail = i;
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

namespace {

constexpr uint8_t kPtypeBBT = 0x80;
constexpr uint8_t kPtypeNBT = 0x81;
constexpr uint64_t kBidMask = ~uint64_t(1); // bit 0 of a BID is reserved

uint64_t key_of(uint8_t ptype, uint64_t raw)
{
    return ptype == kPtypeBBT ? raw & kBidMask : raw & 0xFFFFFFFFu;
}

uint64_t block_alloc_size(uint64_t cb, unsigned trailer)
{
    return (cb + trailer + 63) / 64 * 64;
}

} // namespace
} // namespace detail

using namespace detail;

File::Impl::~Impl()
{
    if (fd >= 0)
        ::close(fd);
}

int File::Impl::read_at(uint64_t ib, size_t n, uint8_t* out, std::string* why)
{
    if (ib > size || n > size - ib)
        return fail(why, "read of " + std::to_string(n) + " bytes at " + hex(ib) + " passes the end of the file");
    if (fd < 0) {
        std::memcpy(out, memory.data() + ib, n);
        return 1;
    }
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd, out + done, n - done, static_cast<off_t>(ib + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return fail(why, std::string("read failed at ") + hex(ib + done) + ": " + std::strerror(errno));
        if (r == 0)
            return fail(why, "the file ends at " + hex(ib + done) + ", before the " + std::to_string(n) + " bytes at " +
                                 hex(ib) + " (was it truncated?)");
        done += static_cast<size_t>(r);
    }
    return 1;
}

int File::Impl::read_header(std::string* why)
{
    if (size < 512)
        return fail(why, "not a personal folder file: " + std::to_string(size) + " bytes are too few for a header");
    uint8_t h[564] = {};
    if (read_at(0, static_cast<size_t>(std::min<uint64_t>(size, sizeof h)), h, why) < 0)
        return -1;
    if (std::memcmp(h, "!BDN", 4) != 0)
        return fail(why, "not a personal folder file (no !BDN signature)");
    const uint16_t client = le16(h + 8);
    if (client != 0x4D53 && client != 0x4F53 && client != 0x4241) // "SM" (PST), "SO" (OST), "AB" (PAB)
        return fail(why, "not a personal folder file: unknown content type " + hex(client));
    // The version decides the layout the way libpff does: up to 15 ANSI, 21 to 35 Unicode, 36 and
    // above 4 KB pages; in between the sentinel byte of either layout decides.
    const uint16_t ver = le16(h + 10);
    bool ansi = false;
    if (ver <= 15) {
        ansi = true;
    } else if (ver >= 36) {
        return fail(why, "unsupported personal folder file with 4 KB pages (wVer " + std::to_string(ver) + ")");
    } else if (ver < 21) {
        const bool ansi_sentinel = h[460] == 0x80, unicode_sentinel = h[512] == 0x80;
        if (ansi_sentinel == unicode_sentinel)
            return fail(why, "unsupported personal folder file version " + std::to_string(ver));
        ansi = ansi_sentinel;
    }
    if (!ansi && size < 564)
        return fail(why, "not a personal folder file: " + std::to_string(size) + " bytes are too few for a header");
    if (pst::crc32(h + 8, 471) != le32(h + 4))
        return fail(why, "the file header is damaged (its partial CRC does not match)");
    if (!ansi && pst::crc32(h + 8, 516) != le32(h + 524))
        return fail(why, "the file header is damaged (its full CRC does not match)");
    const uint8_t method = ansi ? h[461] : h[513];
    if (method > 2)
        return fail(why, "unsupported block encoding " + std::to_string(method));
    crypt = static_cast<Crypt>(method);
    format = ansi ? Format::Ansi : Format::Unicode;
    layout = ansi ? &kAnsiLayout : &kUnicodeLayout;
    amap_valid = ansi ? h[200] : h[248];
    if (ansi) {
        nbt_bid = le32(h + 184);
        nbt_ib = le32(h + 188);
        bbt_bid = le32(h + 192);
        bbt_ib = le32(h + 196);
    } else {
        nbt_bid = le64(h + 216);
        nbt_ib = le64(h + 224);
        bbt_bid = le64(h + 232);
        bbt_ib = le64(h + 240);
    }
    // The B-tree roots are read on first use, as libpff does: a file whose body is gone still
    // opens, and its first lookup reports what is missing.
    return 1;
}

int File::Impl::page(uint64_t bid, uint64_t ib, uint8_t ptype, const Page** out, std::string* why)
{
    const char* tree = ptype == kPtypeBBT ? "block B-tree" : "node B-tree";
    if (ib % kPageSize != 0 || ib < kFirstDataOffset || ib > size || size - ib < kPageSize)
        return fail(why, std::string(tree) + " page " + hex(bid) + " at " + hex(ib) +
                             " is outside the file or not on a 512-byte boundary");
    Page* p = pages.find(ib);
    if (!p) {
        uint8_t buf[kPageSize];
        if (read_at(ib, kPageSize, buf, why) < 0)
            return -1;
        const Layout& L = *layout;
        p = pages.slot();
        std::memcpy(p->bytes, buf, kPageSize);
        p->ib = ib;
        p->ptype = buf[L.page_ptype];
        p->ptype_repeat = buf[L.page_ptype + 1];
        p->bid = L.id(buf + L.page_bid);
        p->count = buf[L.page_meta];
        p->entry_size = buf[L.page_meta + 2];
        p->level = buf[L.page_meta + 3];
        pages.commit(p);
    }
    auto at = [&] { return std::string(tree) + std::string(" page " + hex(bid) + " at " + hex(ib)); };
    if (p->ptype != ptype || p->ptype_repeat != ptype)
        return fail(why,
                    at() + " has page type " + hex(p->ptype) + "/" + hex(p->ptype_repeat) + ", expected " + hex(ptype));
    if (p->bid != bid)
        return fail(why, at() + ": its trailer names page " + hex(p->bid));
    if (p->level > kMaxTreeLevel)
        return fail(why, at() + ": implausible cLevel " + std::to_string(p->level));
    const unsigned min_size = p->level ? layout->branch : ptype == kPtypeBBT ? layout->bbt_leaf : layout->nbt_leaf;
    if (p->entry_size < min_size)
        return fail(why, at() + ": entries of " + std::to_string(p->entry_size) + " bytes, at least " +
                             std::to_string(min_size) + " needed");
    if (unsigned(p->count) * p->entry_size > layout->page_entries)
        return fail(why, at() + ": " + std::to_string(p->count) + " entries of " + std::to_string(p->entry_size) +
                             " bytes do not fit in the page");
    *out = p;
    return 1;
}

int File::Impl::search(uint8_t ptype, uint64_t key, const uint8_t** entry, std::string* why)
{
    const Layout& L = *layout;
    uint64_t bid = ptype == kPtypeBBT ? bbt_bid : nbt_bid;
    uint64_t ib = ptype == kPtypeBBT ? bbt_ib : nbt_ib;
    unsigned above = kMaxTreeLevel + 1;
    key = key_of(ptype, key);
    for (;;) {
        const Page* p = nullptr;
        if (page(bid, ib, ptype, &p, why) < 0)
            return -1;
        if (p->level >= above)
            return fail(why, std::string(ptype == kPtypeBBT ? "block" : "node") + " B-tree page " + hex(bid) +
                                 " has cLevel " + std::to_string(p->level) + ", not below its parent's " +
                                 std::to_string(above));
        // The last entry whose key is at most `key` (the only candidate in a leaf).
        size_t lo = 0, hi = p->count;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (key_of(ptype, L.id(p->bytes + mid * p->entry_size)) <= key)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo == 0)
            return 0;
        const uint8_t* e = p->bytes + (lo - 1) * p->entry_size;
        if (p->level == 0) {
            if (key_of(ptype, L.id(e)) != key)
                return 0;
            *entry = e;
            return 1;
        }
        above = p->level;
        bid = L.id(e + L.id_size);
        ib = L.id(e + 2 * L.id_size);
    }
}

int File::Impl::find_block(uint64_t bid, BlockRef* out, std::string* why)
{
    const uint8_t* e = nullptr;
    const int found = search(kPtypeBBT, bid, &e, why);
    if (found == 0 && extra_blocks) {
        const auto it = extra_blocks->find(bid & kBidMask);
        if (it == extra_blocks->end())
            return 0;
        *out = it->second;
        return 1;
    }
    if (found != 1)
        return found;
    const Layout& L = *layout;
    out->bid = L.id(e) & kBidMask;
    out->ib = L.id(e + L.id_size);
    out->cb = le16(e + 2 * L.id_size);
    return 1;
}

Node File::Impl::node_at(const uint8_t* e) const
{
    const Layout& L = *layout;
    Node n;
    n.nid = static_cast<uint32_t>(L.id(e));
    n.bid_data = L.id(e + L.id_size);
    n.bid_sub = L.id(e + 2 * L.id_size);
    n.parent = le32(e + 3 * L.id_size);
    return n;
}

int File::Impl::read_block(const BlockRef& ref, std::vector<uint8_t>* out, std::string* why)
{
    const Layout& L = *layout;
    const uint64_t alloc = block_alloc_size(ref.cb, L.block_trailer);
    auto at = [&] { return std::string("block " + hex(ref.bid) + " at " + hex(ref.ib)); };
    if (alloc > kMaxBlockSize)
        return fail(why, at() + ": " + std::to_string(ref.cb) + " bytes do not fit in a block");
    if (ref.ib < kFirstDataOffset || ref.ib > size || size - ref.ib < alloc)
        return fail(why, at() + " lies outside the file");
    out->resize(alloc);
    if (read_at(ref.ib, alloc, out->data(), why) < 0)
        return -1;
    const uint8_t* t = out->data() + alloc - L.block_trailer;
    if (le16(t) != ref.cb)
        return fail(why, at() + ": its trailer says " + std::to_string(le16(t)) + " bytes, the block B-tree " +
                             std::to_string(ref.cb));
    if ((L.id(t + L.trailer_bid) & kBidMask) != (ref.bid & kBidMask))
        return fail(why, at() + ": its trailer names block " + hex(L.id(t + L.trailer_bid)));
    out->resize(ref.cb);
    if (!is_internal(ref.bid) && ref.cb > 0) {
        if (crypt == Crypt::Permute)
            pst::detail::permute_decode(out->data(), ref.cb);
        else if (crypt == Crypt::Cyclic)
            pst::detail::cyclic_code(out->data(), ref.cb, static_cast<uint32_t>(ref.bid));
    }
    return 1;
}

int File::Impl::internal_block(uint64_t bid, const std::vector<uint8_t>** out, std::string* why)
{
    bid &= kBidMask;
    if (const auto* hit = internal_blocks.find(bid)) {
        *out = hit;
        return 1;
    }
    BlockRef ref;
    const int found = find_block(bid, &ref, why);
    if (found < 0)
        return -1;
    if (found == 0)
        return fail(why, "block " + hex(bid) + " is not in the block B-tree");
    if (read_block(ref, &scratch, why) < 0)
        return -1;
    *out = internal_blocks.put(bid, scratch);
    return 1;
}

// ---------------------------------------------------------------------------------------------

int DataStream::Impl::open(File::Impl& f, uint64_t bid, std::string* why)
{
    file = &f;
    pieces.clear();
    total = 0;
    current = SIZE_MAX;
    if (bid == 0)
        return 1; // no data at all: an empty stream
    if (is_internal(bid))
        return add_xblock(bid, 0, why);
    BlockRef ref;
    const int found = f.find_block(bid, &ref, why);
    if (found < 0)
        return -1;
    if (found == 0)
        return fail(why, "data block " + hex(bid) + " is not in the block B-tree");
    pieces.push_back({ref, 0});
    total = ref.cb;
    return 1;
}

int DataStream::Impl::add_xblock(uint64_t bid, unsigned expect_level, std::string* why)
{
    const Layout& L = *file->layout;
    const std::vector<uint8_t>* b = nullptr;
    if (file->internal_block(bid, &b, why) < 0)
        return -1;
    auto at = [&] { return std::string("data tree block " + hex(bid)); };
    if (b->size() < 8)
        return fail(why, at() + ": " + std::to_string(b->size()) + " bytes are too few for an XBLOCK");
    const uint8_t btype = (*b)[0], level = (*b)[1];
    if (btype != 1 || (level != 1 && level != 2))
        return fail(why, at() + " is not an XBLOCK or XXBLOCK (btype " + std::to_string(btype) + ", cLevel " +
                             std::to_string(level) + ")");
    if (expect_level && level != expect_level)
        return fail(why, at() + ": cLevel " + std::to_string(level) + ", its parent expects " +
                             std::to_string(expect_level));
    const size_t count = le16(b->data() + 2);
    const uint32_t lcb = le32(b->data() + 4);
    if (8 + count * L.id_size > b->size())
        return fail(why, at() + ": " + std::to_string(count) + " entries do not fit in " + std::to_string(b->size()) +
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
            return fail(why, at() + " names one XBLOCK twice");
    }
    const uint64_t start = total;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t child = children[i];
        if (level == 2) {
            if (!is_internal(child))
                return fail(why, at() + " entry " + std::to_string(i) + " names data block " + hex(child) +
                                     " where an XBLOCK belongs");
            if (add_xblock(child, 1, why) < 0)
                return -1;
            continue;
        }
        if (is_internal(child))
            return fail(why, at() + " entry " + std::to_string(i) + " names internal block " + hex(child) +
                                 " where a data block belongs");
        BlockRef ref;
        const int found = file->find_block(child, &ref, why);
        if (found < 0)
            return -1;
        if (found == 0)
            return fail(why,
                        at() + " entry " + std::to_string(i) + ": block " + hex(child) + " is not in the block B-tree");
        const size_t limit = max_pieces ? std::min(max_pieces, kMaxPieces) : kMaxPieces;
        if (pieces.size() >= limit)
            return fail(why, at() + ": the data tree has more than " + std::to_string(limit) + " blocks");
        pieces.push_back({ref, total});
        total += ref.cb;
        if (total > kMaxStreamSize)
            return fail(why,
                        at() + ": the data stream is larger than " + std::to_string(kMaxStreamSize >> 20) + " MiB");
    }
    if (total - start != lcb)
        return fail(why,
                    at() + ": lcbTotal " + std::to_string(lcb) + ", its blocks hold " + std::to_string(total - start));
    return 1;
}

int DataStream::Impl::load(size_t k, std::string* why)
{
    if (current == k)
        return 1;
    current = SIZE_MAX;
    if (file->read_block(pieces[k].ref, &data, why) < 0)
        return -1;
    current = k;
    return 1;
}

// ---------------------------------------------------------------------------------------------

File::File(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
File::~File() = default;

std::unique_ptr<File> File::open(const std::string& path, std::string* why)
{
    auto impl = std::make_unique<Impl>();
    impl->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (impl->fd < 0) {
        fail(why, path + ": " + std::strerror(errno));
        return nullptr;
    }
    struct stat st
    {
    };
    if (::fstat(impl->fd, &st) != 0) {
        fail(why, path + ": " + std::strerror(errno));
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        fail(why, path + ": not a regular file");
        return nullptr;
    }
    impl->size = static_cast<uint64_t>(st.st_size);
    if (impl->read_header(why) < 0)
        return nullptr;
    return std::unique_ptr<File>(new File(std::move(impl)));
}

std::unique_ptr<File> File::open_memory(std::vector<uint8_t> image, std::string* why)
{
    auto impl = std::make_unique<Impl>();
    impl->memory = std::move(image);
    impl->size = impl->memory.size();
    if (impl->read_header(why) < 0)
        return nullptr;
    return std::unique_ptr<File>(new File(std::move(impl)));
}

Format File::format() const
{
    return m_impl->format;
}
Crypt File::crypt() const
{
    return m_impl->crypt;
}
uint64_t File::size() const
{
    return m_impl->size;
}

int File::find_node(uint32_t nid, Node* out, std::string* why)
{
    const uint8_t* e = nullptr;
    const int found = m_impl->search(kPtypeNBT, nid, &e, why);
    if (found == 1)
        *out = m_impl->node_at(e);
    return found;
}

int File::for_each_node(const std::function<bool(const Node&)>& visit, std::string* why)
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
    uint64_t budget = f.size / kPageSize + 1;
    // 1 go on, 0 stopped by the visitor, -1 error.
    auto enter = [&](Ref r, unsigned above) -> int {
        if (budget-- == 0)
            return fail(why, "the node B-tree names more pages than the file holds");
        const Page* p = nullptr;
        if (f.page(r.bid, r.ib, kPtypeNBT, &p, why) < 0)
            return -1;
        if (p->level >= above)
            return fail(why, "node B-tree page " + hex(r.bid) + " has cLevel " + std::to_string(p->level) +
                                 ", not below its parent's " + std::to_string(above));
        if (p->level == 0) {
            Node nodes[kPageSize / 16];
            const size_t n = p->count;
            for (size_t i = 0; i < n; ++i)
                nodes[i] = f.node_at(p->bytes + i * p->entry_size);
            for (size_t i = 0; i < n; ++i)
                if (!visit(nodes[i]))
                    return 0;
            return 1;
        }
        Frame frame;
        frame.level = p->level;
        frame.children.reserve(p->count);
        for (size_t i = 0; i < p->count; ++i) {
            const uint8_t* e = p->bytes + i * p->entry_size;
            frame.children.push_back({L.id(e + L.id_size), L.id(e + 2 * L.id_size)});
        }
        stack.push_back(std::move(frame));
        return 1;
    };
    int r = enter({f.nbt_bid, f.nbt_ib}, kMaxTreeLevel + 1);
    while (r == 1 && !stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.children.size()) {
            stack.pop_back();
            continue;
        }
        const Ref child = top.children[top.next++];
        r = enter(child, top.level);
    }
    return r < 0 ? -1 : 1;
}

int File::read_stream(uint64_t bid, std::vector<uint8_t>* out, std::string* why)
{
    DataStream::Impl s;
    if (s.open(*m_impl, bid, why) < 0)
        return -1;
    out->resize(static_cast<size_t>(s.total));
    for (size_t k = 0; k < s.pieces.size(); ++k) {
        if (s.load(k, why) < 0)
            return -1;
        if (!s.data.empty())
            std::memcpy(out->data() + s.pieces[k].offset, s.data.data(), s.data.size());
    }
    return 1;
}

int File::find_subnode(uint64_t bid_sub, uint32_t nid, Node* out, std::string* why)
{
    Impl& f = *m_impl;
    const Layout& L = *f.layout;
    uint64_t bid = bid_sub;
    unsigned above = kMaxSubnodeLevel + 1;
    for (;;) {
        auto at = [&] { return std::string("subnode block " + hex(bid)); };
        if (!is_internal(bid))
            return fail(why, at() + " is not an internal block");
        const std::vector<uint8_t>* b = nullptr;
        if (f.internal_block(bid, &b, why) < 0)
            return -1;
        if (b->size() < L.sl_header)
            return fail(why, at() + ": " + std::to_string(b->size()) + " bytes are too few for a subnode block");
        const uint8_t btype = (*b)[0], level = (*b)[1];
        if (btype != 2)
            return fail(why, at() + " is not an SLBLOCK or SIBLOCK (btype " + std::to_string(btype) + ")");
        if (level >= above)
            return fail(why, at() + " has cLevel " + std::to_string(level) + ", not below its parent's " +
                                 std::to_string(above));
        const size_t count = le16(b->data() + 2);
        const size_t size = level == 0 ? L.sl_entry : L.si_entry;
        if (L.sl_header + count * size > b->size())
            return fail(why, at() + ": " + std::to_string(count) + " entries do not fit in " +
                                 std::to_string(b->size()) + " bytes");
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
            return 0;
        const uint8_t* e = entries + (lo - 1) * size;
        if (level == 0) {
            if (static_cast<uint32_t>(L.id(e)) != nid)
                return 0;
            out->nid = nid;
            out->bid_data = L.id(e + L.id_size);
            out->bid_sub = L.id(e + 2 * L.id_size);
            out->parent = 0;
            return 1;
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

int DataStream::open(File& file, uint64_t bid, std::string* why)
{
    if (!m_impl)
        m_impl = std::make_unique<Impl>();
    return m_impl->open(*file.m_impl, bid, why);
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
    return m_impl->pieces[k].ref.cb;
}

uint64_t DataStream::block_offset(size_t k) const
{
    return m_impl->pieces[k].offset;
}

int DataStream::block(size_t k, const uint8_t** data, size_t* size, std::string* why)
{
    if (!m_impl || k >= m_impl->pieces.size())
        return fail(why, "block " + std::to_string(k) + " is past the end of the data stream");
    if (m_impl->load(k, why) < 0)
        return -1;
    *data = m_impl->data.data();
    *size = m_impl->data.size();
    return 1;
}

int DataStream::read(uint64_t offset, size_t size, uint8_t* out, std::string* why)
{
    Impl* s = m_impl.get();
    if (!s || offset > s->total || size > s->total - offset)
        return fail(why, "read of " + std::to_string(size) + " bytes at " + std::to_string(offset) +
                             " passes the end of a data stream of " + std::to_string(s ? s->total : 0) + " bytes");
    if (size == 0)
        return 1;
    // The block holding `offset`: the last one starting at or before it (never an empty block,
    // since the next block starts where an empty one does).
    auto it = std::upper_bound(s->pieces.begin(), s->pieces.end(), offset,
                               [](uint64_t o, const Impl::Piece& p) { return o < p.offset; });
    size_t k = static_cast<size_t>(it - s->pieces.begin()) - 1;
    while (size > 0) {
        if (s->load(k, why) < 0)
            return -1;
        const uint64_t within = offset - s->pieces[k].offset;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size, s->data.size() - within));
        std::memcpy(out, s->data.data() + within, n);
        out += n;
        offset += n;
        size -= n;
        ++k;
    }
    return 1;
}

} // namespace pst::read
