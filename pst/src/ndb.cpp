#include "ndb.h"
#include "crypt.h"

#include <algorithm>

namespace pst::detail {
namespace {

constexpr size_t kPage = 512;
constexpr size_t kAMapBytes = 496; // bits of one AMap, PMap or FMap page
constexpr uint8_t kPtypeBBT = 0x80;
constexpr uint8_t kPtypeNBT = 0x81;
constexpr uint8_t kPtypeFMap = 0x82;
constexpr uint8_t kPtypePMap = 0x83;
constexpr uint8_t kPtypeAMap = 0x84;
constexpr uint8_t kPtypeDList = 0x86;
constexpr size_t kBufferLimit = 1u << 20; // bytes gathered before they go to the sink

bool has_pmap(uint64_t region)
{
    return region % 8 == 0;
}
bool has_fmap(uint64_t region)
{
    return region >= 128 && (region - 128) % 496 == 0;
}
// Bytes at the start of a region taken by its map pages.
uint64_t map_bytes(uint64_t region)
{
    return kPage + (has_pmap(region) ? kPage : 0) + (has_fmap(region) ? kPage : 0);
}
uint64_t region_start(uint64_t region)
{
    return kFirstRegion + region * kRegionSize;
}

uint16_t signature(uint64_t ib, uint64_t bid)
{
    uint32_t x = static_cast<uint32_t>((ib ^ bid) & 0xFFFFFFFFu);
    return static_cast<uint16_t>((x >> 16) ^ (x & 0xFFFF));
}

// Longest run of clear bits in one region's AMap (64-byte slots), capped at 255.
uint8_t longest_free_run(const uint8_t* bits)
{
    unsigned best = 0, run = 0;
    for (size_t i = 0; i < kAMapBytes * 8 && best < 255; ++i) {
        bool used = bits[i / 8] & (0x80 >> (i % 8));
        run = used ? 0 : run + 1;
        best = std::max(best, run);
    }
    return static_cast<uint8_t>(std::min(best, 255u));
}

} // namespace

std::vector<Bytes> split_chunks(const Bytes& data, size_t block)
{
    std::vector<Bytes> out;
    for (size_t pos = 0; pos < data.size(); pos += block) {
        size_t n = std::min(block, data.size() - pos);
        out.emplace_back(data.begin() + static_cast<ptrdiff_t>(pos), data.begin() + static_cast<ptrdiff_t>(pos + n));
    }
    return out;
}

uint64_t node_stream_size(const NodeData& node)
{
    uint64_t n = 0;
    for (const auto& c : node.chunks)
        n += c.size();
    for (const auto& s : node.subnodes)
        n += node_stream_size(s.node);
    return n;
}

Ndb::Ndb(Sink& sink, uint64_t max_size, const Format& format, BlockEncoding encoding)
    : m_sink(sink), m_max(std::min(max_size, kMaxFileSize)), m_format(format), m_encoding(encoding)
{
}

Status Ndb::allocate(uint64_t size, uint64_t align, uint64_t* ib)
{
    uint64_t pos = align_up(m_cursor, align);
    uint64_t region = 0;
    for (;;) {
        region = (pos - kFirstRegion) / kRegionSize;
        uint64_t start = region_start(region);
        uint64_t data_start = start + map_bytes(region);
        if (pos < data_start)
            pos = align_up(data_start, align);
        if (pos + size <= start + kRegionSize)
            break;
        pos = start + kRegionSize;
    }
    if (region_start(region + 1) > m_max)
        return Status::failure(m_max >= kMaxFileSize ? "The PST file would exceed 2 GB"
                                                     : "The PST file would exceed the size limit");
    mark(pos, size);
    m_cursor = pos + size;
    *ib = pos;
    return Status::success();
}

void Ndb::mark(uint64_t ib, uint64_t size)
{
    uint64_t region = (ib - kFirstRegion) / kRegionSize;
    if (m_amap.size() < (region + 1) * kAMapBytes)
        m_amap.resize((region + 1) * kAMapBytes, 0);
    uint64_t first = (ib - region_start(region)) / 64;
    uint64_t last = (ib + size - 1 - region_start(region)) / 64;
    uint8_t* bits = m_amap.data() + region * kAMapBytes;
    for (uint64_t i = first; i <= last; ++i)
        bits[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
}

void Ndb::unmark(uint64_t ib, uint64_t size)
{
    uint64_t region = (ib - kFirstRegion) / kRegionSize;
    uint64_t first = (ib - region_start(region)) / 64;
    uint64_t last = (ib + size - 1 - region_start(region)) / 64;
    uint8_t* bits = m_amap.data() + region * kAMapBytes;
    for (uint64_t i = first; i <= last; ++i)
        bits[i / 8] &= static_cast<uint8_t>(~(0x80 >> (i % 8)));
}

Bytes Ndb::bbt_leaf(const BbtEntry& e) const
{
    // BBTENTRY: bid, ib, cb u16, cRef u16 (+ 4 bytes padding in Unicode files).
    const size_t id = m_format.id_size;
    Bytes b(m_format.bbt_entry, 0);
    m_format.put_id(b.data(), e.bid);
    m_format.put_id(b.data() + id, e.ib);
    put16(b.data() + 2 * id, e.cb);
    put16(b.data() + 2 * id + 2, 2); // the BBT entry and the one structure that names the block
    return b;
}

Bytes Ndb::nbt_leaf(const NbtEntry& e) const
{
    // NBTENTRY: nid, bidData, bidSub, nidParent u32 (+ 4 bytes padding in Unicode files).
    const size_t id = m_format.id_size;
    Bytes b(m_format.nbt_entry, 0);
    m_format.put_id(b.data(), e.nid);
    m_format.put_id(b.data() + id, e.bid_data);
    m_format.put_id(b.data() + 2 * id, e.bid_sub);
    put32(b.data() + 3 * id, e.parent);
    return b;
}

Status Ndb::write_superseded_pages(size_t mark, uint32_t nid, uint64_t bid_data, uint64_t bid_sub, uint32_t parent)
{
    const size_t meta = m_format.btree_meta_at;
    // One leaf page of entries; written, then its space freed.
    auto leaf = [&](uint8_t ptype, const std::vector<Bytes>& entries, size_t cb_ent) {
        uint8_t page[kPage] = {};
        for (size_t i = 0; i < entries.size(); ++i)
            std::memcpy(page + i * cb_ent, entries[i].data(), cb_ent);
        page[meta] = static_cast<uint8_t>(entries.size());
        page[meta + 1] = static_cast<uint8_t>(m_format.per_page(cb_ent));
        page[meta + 2] = static_cast<uint8_t>(cb_ent);
        page[meta + 3] = 0;
        uint64_t ib = 0;
        Status st = allocate(kPage, kPage, &ib);
        if (!st)
            return st;
        st = write_page(ptype, page, m_next_page++, ib, false);
        unmark(ib, kPage);
        return st;
    };
    Status st = leaf(kPtypeNBT, {nbt_leaf({nid, parent, bid_data, bid_sub})}, m_format.nbt_entry);
    const size_t per = m_format.per_page(m_format.bbt_entry);
    for (size_t first = mark; st && first < m_bbt.size(); first += per) {
        std::vector<Bytes> entries;
        for (size_t i = first; i < std::min(first + per, m_bbt.size()); ++i)
            entries.push_back(bbt_leaf(m_bbt[i]));
        st = leaf(kPtypeBBT, entries, m_format.bbt_entry);
    }
    return st;
}

void Ndb::free_blocks_since(size_t mark)
{
    for (size_t i = mark; i < m_bbt.size(); ++i)
        unmark(m_bbt[i].ib, align_up(m_bbt[i].cb + m_format.block_trailer, 64));
    m_bbt.resize(std::min(mark, m_bbt.size()));
}

Status Ndb::emit(uint64_t ib, const uint8_t* data, size_t size)
{
    // Appends to the buffer when the range follows it; a short gap is filled with zeros only
    // when nothing was ever written there.
    uint64_t end = m_buf_start + m_buf.size();
    if (m_buf.empty()) {
        m_buf_start = ib;
    } else if (ib < end || end < m_high || ib - end > kRegionSize || m_buf.size() > kBufferLimit) {
        Status st = flush_buffer();
        if (!st)
            return st;
        m_buf_start = ib;
    } else {
        m_buf.resize(m_buf.size() + (ib - end), 0);
    }
    append(m_buf, data, size);
    m_high = std::max(m_high, ib + size);
    return Status::success();
}

Status Ndb::flush_buffer()
{
    if (m_buf.empty())
        return Status::success();
    Status st = m_sink.write_at(m_buf_start, m_buf.data(), m_buf.size());
    m_buf.clear();
    return st;
}

Status Ndb::write_block(const uint8_t* data, size_t size, bool internal, uint64_t* bid)
{
    const size_t trailer_size = m_format.block_trailer;
    uint64_t total = align_up(size + trailer_size, 64);
    uint64_t ib = 0;
    Status st = allocate(total, 64, &ib);
    if (!st)
        return st;
    uint64_t b = (m_next_bid++ << 2) | (internal ? 2 : 0);
    Bytes block(total, 0);
    if (size)
        std::memcpy(block.data(), data, size);
    if (!internal && m_encoding == BlockEncoding::Permute)
        permute_encode(block.data(), size);
    else if (!internal && m_encoding == BlockEncoding::Cyclic)
        cyclic_code(block.data(), size, static_cast<uint32_t>(b));
    // Trailer: cb, wSig, then CRC and BID (Unicode) or BID and CRC (ANSI). The CRC covers the
    // stored, encoded bytes.
    uint8_t* trailer = block.data() + total - trailer_size;
    put16(trailer, static_cast<uint16_t>(size));
    put16(trailer + 2, signature(ib, b));
    const uint32_t crc = crc32(block.data(), size);
    if (m_format.id_size == 8) {
        put32(trailer + 4, crc);
        put64(trailer + 8, b);
    } else {
        put32(trailer + 4, static_cast<uint32_t>(b));
        put32(trailer + 8, crc);
    }
    m_bbt.push_back({b, ib, static_cast<uint16_t>(size)});
    *bid = b;
    return emit(ib, block.data(), block.size());
}

Status Ndb::write_data_tree(const std::vector<Bytes>& chunks, uint64_t* bid)
{
    if (chunks.empty())
        return write_block(nullptr, 0, false, bid);
    if (chunks.size() == 1)
        return write_block(chunks[0].data(), chunks[0].size(), false, bid);
    const size_t slots = m_format.xblock_slots();
    if (chunks.size() > slots * slots)
        return Status::failure("A value is too large for a PST file");
    // Leaf blocks, grouped under XBLOCKs of up to 1021 (ANSI: 2043) slots.
    std::vector<std::pair<uint64_t, uint64_t>> xblocks; // bid, bytes below
    for (size_t first = 0; first < chunks.size(); first += slots) {
        size_t n = std::min(slots, chunks.size() - first);
        Bytes x;
        x.reserve(8 + m_format.id_size * n);
        append8(x, 1);
        append8(x, 1);
        append16(x, static_cast<uint16_t>(n));
        uint64_t total = 0;
        Bytes bids;
        for (size_t i = first; i < first + n; ++i) {
            uint64_t b = 0;
            Status st = write_block(chunks[i].data(), chunks[i].size(), false, &b);
            if (!st)
                return st;
            m_format.append_id(bids, b);
            total += chunks[i].size();
        }
        append32(x, static_cast<uint32_t>(total));
        append(x, bids.data(), bids.size());
        uint64_t xb = 0;
        Status st = write_block(x.data(), x.size(), true, &xb);
        if (!st)
            return st;
        xblocks.emplace_back(xb, total);
    }
    if (xblocks.size() == 1) {
        *bid = xblocks[0].first;
        return Status::success();
    }
    Bytes xx;
    append8(xx, 1);
    append8(xx, 2);
    append16(xx, static_cast<uint16_t>(xblocks.size()));
    uint64_t total = 0;
    for (const auto& x : xblocks)
        total += x.second;
    if (total > 0xFFFFFFFFull)
        return Status::failure("A value is too large for a PST file");
    append32(xx, static_cast<uint32_t>(total));
    for (const auto& x : xblocks)
        m_format.append_id(xx, x.first);
    return write_block(xx.data(), xx.size(), true, bid);
}

Status Ndb::write_subnode_tree(const std::vector<SubnodeData>& subnodes, uint64_t* bid)
{
    *bid = 0;
    if (subnodes.empty())
        return Status::success();
    const size_t per_sl = m_format.sl_entries(), per_si = m_format.si_entries();
    if (subnodes.size() > per_sl * per_si)
        return Status::failure("Too many subnodes in one PST node");
    // Header: btype, cLevel, cEnt, and in Unicode files 4 bytes of padding.
    auto header = [&](Bytes& b, uint8_t level, size_t n) {
        append8(b, 2);
        append8(b, level);
        append16(b, static_cast<uint16_t>(n));
        if (m_format.sl_header() == 8)
            append32(b, 0);
    };
    // SLENTRYs first (each subnode's own trees written before the SLBLOCK that names them).
    std::vector<std::pair<uint32_t, uint64_t>> sl_blocks; // first nid, bid
    for (size_t first = 0; first < subnodes.size(); first += per_sl) {
        size_t n = std::min(per_sl, subnodes.size() - first);
        Bytes sl;
        sl.reserve(8 + 3 * m_format.id_size * n);
        header(sl, 0, n);
        for (size_t i = first; i < first + n; ++i) {
            uint64_t data = 0, sub = 0;
            Status st = write_node(subnodes[i].node, &data, &sub);
            if (!st)
                return st;
            m_format.append_id(sl, subnodes[i].nid);
            m_format.append_id(sl, data);
            m_format.append_id(sl, sub);
        }
        uint64_t b = 0;
        Status st = write_block(sl.data(), sl.size(), true, &b);
        if (!st)
            return st;
        sl_blocks.emplace_back(subnodes[first].nid, b);
    }
    if (sl_blocks.size() == 1) {
        *bid = sl_blocks[0].second;
        return Status::success();
    }
    Bytes si;
    header(si, 1, sl_blocks.size());
    for (const auto& s : sl_blocks) {
        m_format.append_id(si, s.first);
        m_format.append_id(si, s.second);
    }
    return write_block(si.data(), si.size(), true, bid);
}

Status Ndb::write_node(const NodeData& node, uint64_t* bid_data, uint64_t* bid_sub)
{
    if (node.too_large)
        return Status::failure("An item or folder is too large for a PST file");
    Status st = write_data_tree(node.chunks, bid_data);
    if (!st)
        return st;
    return write_subnode_tree(node.subnodes, bid_sub);
}

void Ndb::add_node(uint32_t nid, uint64_t bid_data, uint64_t bid_sub, uint32_t nid_parent)
{
    m_nbt.push_back({nid, nid_parent, bid_data, bid_sub});
}

Status Ndb::write_page(uint8_t ptype, uint8_t* page, uint64_t bid, uint64_t ib, bool map_page)
{
    // Trailer: ptype twice, wSig, then CRC and BID (Unicode) or BID and CRC (ANSI). The CRC
    // covers everything before the trailer.
    const size_t at = m_format.page_trailer_at;
    uint8_t* t = page + at;
    t[0] = ptype;
    t[1] = ptype;
    put16(t + 2, map_page ? 0 : signature(ib, bid));
    const uint32_t crc = crc32(page, at);
    if (m_format.id_size == 8) {
        put32(t + 4, crc);
        put64(t + 8, bid);
    } else {
        put32(t + 4, static_cast<uint32_t>(bid));
        put32(t + 8, crc);
    }
    return emit(ib, page, kPage);
}

Status Ndb::write_btree(uint8_t ptype, const std::vector<Bytes>& leaves, const std::vector<uint64_t>& keys,
                        size_t cb_ent, PageRef* root)
{
    const size_t meta = m_format.btree_meta_at;
    const size_t max_ent = m_format.per_page(cb_ent);
    auto set_meta = [&](uint8_t* page, size_t n, size_t max, size_t cb, uint8_t level) {
        page[meta] = static_cast<uint8_t>(n);
        page[meta + 1] = static_cast<uint8_t>(max);
        page[meta + 2] = static_cast<uint8_t>(cb);
        page[meta + 3] = level;
    };
    // Leaf level, then intermediate levels until one page remains. An empty tree is one
    // empty leaf page.
    std::vector<PageRef> level;
    size_t count = leaves.size();
    size_t first = 0;
    do {
        size_t n = std::min<size_t>(max_ent, count - first);
        uint8_t page[kPage] = {};
        for (size_t i = 0; i < n; ++i)
            std::memcpy(page + i * cb_ent, leaves[first + i].data(), cb_ent);
        set_meta(page, n, max_ent, cb_ent, 0);
        uint64_t ib = 0;
        Status st = allocate(kPage, kPage, &ib);
        if (!st)
            return st;
        uint64_t bid = m_next_page++;
        st = write_page(ptype, page, bid, ib, false);
        if (!st)
            return st;
        level.push_back({n ? keys[first] : 0, bid, ib});
        first += n;
    } while (first < count);

    const size_t bt = m_format.bt_entry(), id = m_format.id_size, per_bt = m_format.per_page(bt);
    uint8_t depth = 0;
    while (level.size() > 1) {
        ++depth;
        std::vector<PageRef> up;
        for (size_t f = 0; f < level.size(); f += per_bt) {
            size_t n = std::min<size_t>(per_bt, level.size() - f);
            uint8_t page[kPage] = {};
            for (size_t i = 0; i < n; ++i) {
                m_format.put_id(page + i * bt, level[f + i].key);
                m_format.put_id(page + i * bt + id, level[f + i].bid);
                m_format.put_id(page + i * bt + 2 * id, level[f + i].ib);
            }
            set_meta(page, n, per_bt, bt, depth);
            uint64_t ib = 0;
            Status st = allocate(kPage, kPage, &ib);
            if (!st)
                return st;
            uint64_t bid = m_next_page++;
            st = write_page(ptype, page, bid, ib, false);
            if (!st)
                return st;
            up.push_back({level[f].key, bid, ib});
        }
        level.swap(up);
    }
    *root = level[0];
    return Status::success();
}

Status Ndb::write_maps(uint64_t regions, uint64_t* free_bytes)
{
    m_amap.resize(regions * kAMapBytes, 0);
    for (uint64_t r = 0; r < regions; ++r)
        mark(region_start(r), map_bytes(r));
    uint64_t free_bits = 0;
    for (uint8_t byte : m_amap)
        free_bits += 8 - static_cast<unsigned>(__builtin_popcount(byte));
    *free_bytes = free_bits * 64;
    for (uint64_t r = 0; r < regions; ++r) {
        uint64_t start = region_start(r);
        // AMap and PMap bits follow 4 bytes of padding in ANSI files; FMap bits never do.
        const size_t bits_at = m_format.map_bits_at;
        uint8_t page[kPage] = {};
        std::memcpy(page + bits_at, m_amap.data() + r * kAMapBytes, kAMapBytes);
        Status st = write_page(kPtypeAMap, page, start, start, true);
        if (!st)
            return st;
        uint64_t next = start + kPage;
        if (has_pmap(r)) {
            uint8_t pmap[kPage] = {};
            std::memset(pmap + bits_at, 0xFF, kAMapBytes);
            st = write_page(kPtypePMap, pmap, next, next, true);
            if (!st)
                return st;
            next += kPage;
        }
        if (has_fmap(r)) {
            uint8_t fmap[kPage] = {};
            for (uint64_t i = 0; i < kAMapBytes && r + i < regions; ++i)
                fmap[i] = longest_free_run(m_amap.data() + (r + i) * kAMapBytes);
            st = write_page(kPtypeFMap, fmap, next, next, true);
            if (!st)
                return st;
        }
    }
    return Status::success();
}

Status Ndb::finish(const HeaderInfo& info)
{
    const Format& f = m_format;
    // B-trees. Blocks were numbered in write order, so the BBT entries are already sorted.
    std::vector<Bytes> leaves;
    std::vector<uint64_t> keys;
    leaves.reserve(m_bbt.size());
    keys.reserve(m_bbt.size());
    for (const auto& e : m_bbt) {
        leaves.push_back(bbt_leaf(e));
        keys.push_back(e.bid);
    }
    PageRef bbt{};
    Status st = write_btree(kPtypeBBT, leaves, keys, f.bbt_entry, &bbt);
    if (!st)
        return st;

    std::sort(m_nbt.begin(), m_nbt.end(), [](const NbtEntry& a, const NbtEntry& b) { return a.nid < b.nid; });
    for (size_t i = 1; i < m_nbt.size(); ++i)
        if (m_nbt[i].nid == m_nbt[i - 1].nid)
            return Status::failure("Internal error: duplicate node id in the PST file");
    leaves.clear();
    keys.clear();
    for (const auto& e : m_nbt) {
        leaves.push_back(nbt_leaf(e));
        keys.push_back(e.nid);
    }
    PageRef nbt{};
    st = write_btree(kPtypeNBT, leaves, keys, f.nbt_entry, &nbt);
    if (!st)
        return st;

    uint64_t regions = (m_cursor - kFirstRegion + kRegionSize - 1) / kRegionSize;
    uint64_t eof = region_start(regions);
    uint64_t free_bytes = 0;
    st = write_maps(regions, &free_bytes);
    if (!st)
        return st;

    // Zeros up to the end of the last region.
    {
        static const uint8_t zeros[65536] = {};
        uint64_t pos = m_cursor;
        while (pos < eof) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof zeros, eof - pos));
            st = emit(pos, zeros, n);
            if (!st)
                return st;
            pos += n;
        }
    }

    // Density list: empty, current page = last AMap.
    uint8_t dlist[kPage] = {};
    put32(dlist + 4, static_cast<uint32_t>(regions - 1));
    st = flush_buffer();
    if (!st)
        return st;
    st = write_page(kPtypeDList, dlist, m_next_page++, kDListOffset, false);
    if (!st)
        return st;

    const Bytes h = header(info, eof, region_start(regions - 1), free_bytes, nbt, bbt);
    st = emit(0, h.data(), h.size());
    if (!st)
        return st;
    st = flush_buffer();
    if (!st)
        return st;
    return m_sink.flush();
}

Bytes Ndb::header(const HeaderInfo& info, uint64_t eof, uint64_t amap_last, uint64_t free_bytes, const PageRef& nbt,
                  const PageRef& bbt) const
{
    // Field offsets of the two layouts. ANSI: 32-bit fields, the BIDs before dwUnique, no
    // dwCRCFull; Unicode: 64-bit fields, bidNextB after the deprecated maps.
    struct Layout
    {
        size_t next_b, next_p, unique, rgnid, root, fm, sentinel;
    };
    const bool ansi = m_format.id_size == 4;
    const Layout at = ansi ? Layout{24, 28, 32, 36, 164, 204, 460} : Layout{516, 32, 40, 44, 180, 256, 512};
    const Format& f = m_format;

    Bytes h(kDListOffset, 0);
    uint8_t* p = h.data();
    std::memcpy(p, "!BDN", 4);
    put16(p + 8, 0x4D53);
    put16(p + 10, f.version);
    put16(p + 12, 19);
    p[14] = 1;
    p[15] = 1;
    f.put_id(p + at.next_b, m_next_bid << 2);
    f.put_id(p + at.next_p, m_next_page);
    put32(p + at.unique, info.unique);
    for (size_t i = 0; i < 32; ++i)
        put32(p + at.rgnid + 4 * i, info.rgnid[i]);
    // ROOT: dwReserved, ibFileEof, ibAMapLast, cbAMapFree, cbPMapFree, BREFNBT, BREFBBT,
    // fAMapValid.
    uint8_t* root = p + at.root + 4;
    const uint64_t fields[] = {eof, amap_last, free_bytes, 0, nbt.bid, nbt.ib, bbt.bid, bbt.ib};
    for (uint64_t v : fields) {
        f.put_id(root, v);
        root += f.id_size;
    }
    *root = 2;                         // VALID_AMAP2
    std::memset(p + at.fm, 0xFF, 256); // rgbFM and rgbFP, deprecated
    p[at.sentinel] = 0x80;
    p[at.sentinel + 1] = static_cast<uint8_t>(m_encoding);
    put32(p + 4, crc32(p + 8, 471));
    if (!ansi)
        put32(p + 524, crc32(p + 8, 516));
    return h;
}

} // namespace pst::detail
