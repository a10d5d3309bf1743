#include "writer_ndb.h"
#include "crypt.h"
#include "pst/writer.h"

#include <algorithm>
#include <functional>
#include <zlib.h>

namespace pst::detail {
namespace {

constexpr size_t kBufferLimit = 1u << 20; // bytes gathered before they go to the sink

// Longest run of clear bits in one region's AMap, capped at 255.
uint8_t longest_free_run(const uint8_t* bits, size_t bytes)
{
    unsigned best = 0, run = 0;
    for (size_t i = 0; i < bytes * 8 && best < 255; ++i) {
        bool used = bits[i / 8] & (0x80 >> (i % 8));
        run = used ? 0 : run + 1;
        best = std::max(best, run);
    }
    return static_cast<uint8_t>(std::min(best, 255u));
}

// The zlib stream of `size` bytes at `data`, or false when it would not be smaller. zlib's fastest
// level: on a file's blocks (heaps of a few KiB) its streams are about 3 % larger than the default
// level's and inflate about 30 % faster, which is what a reader of the file pays for.
bool deflate_smaller(const uint8_t* data, size_t size, Bytes* out)
{
    uLongf n = compressBound(static_cast<uLong>(size));
    out->resize(n);
    if (compress2(out->data(), &n, data, static_cast<uLong>(size), Z_BEST_SPEED) != Z_OK || n >= size)
        return false;
    out->resize(n);
    return true;
}

} // namespace

std::vector<Bytes> split_chunks(std::span<const uint8_t> data, size_t block)
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

Ndb::Ndb(Sink& sink, uint64_t max_size, const Layout& layout, BlockEncoding encoding, bool compress)
    : m_sink(sink), m_max(std::min(max_size, layout.max_file_size)), m_format(layout), m_encoding(encoding),
      m_compress(compress && layout.trailer_inflated != 0), m_cursor(layout.first_region)
{
}

// Every region starts with its AMap page; 512-byte-page files add a PMap page every 8 regions,
// an FMap page (a byte per AMap) every 496 regions after the 128 the header covers, and an FPMap
// page (a bit per PMap) every 31,744 regions after the 8,192 (2 GB) the header covers; an FMap
// and an FPMap never fall in the same region. 4 KiB-page files have AMaps only.
bool Ndb::has_pmap(uint64_t region) const
{
    return m_format.page_size == 512 && region % 8 == 0;
}
bool Ndb::has_fmap(uint64_t region) const
{
    return m_format.page_size == 512 && region >= 128 && (region - 128) % 496 == 0;
}
bool Ndb::has_fpmap(uint64_t region) const
{
    return m_format.page_size == 512 && region >= 8192 && (region - 8192) % (496 * 8 * 8) == 0;
}
uint64_t Ndb::map_bytes(uint64_t region) const
{
    const uint64_t page = m_format.page_size;
    return page + (has_pmap(region) ? page : 0) + (has_fmap(region) ? page : 0) + (has_fpmap(region) ? page : 0);
}
uint64_t Ndb::region_start(uint64_t region) const
{
    return m_format.first_region + region * m_format.region_size();
}

Status Ndb::allocate(uint64_t size, uint64_t align, uint64_t* ib)
{
    uint64_t pos = align_up(m_cursor, align);
    uint64_t region = 0;
    for (;;) {
        region = (pos - m_format.first_region) / m_format.region_size();
        uint64_t start = region_start(region);
        uint64_t data_start = start + map_bytes(region);
        if (pos < data_start)
            pos = align_up(data_start, align);
        if (pos + size <= start + m_format.region_size())
            break;
        pos = start + m_format.region_size();
    }
    if (region_start(region + 1) > m_max)
        return Status::failure(m_max >= m_format.max_file_size ? m_format.too_large
                                                               : "The PST file would exceed the size limit");
    mark(pos, size);
    m_cursor = pos + size;
    *ib = pos;
    return Status::success();
}

void Ndb::mark(uint64_t ib, uint64_t size)
{
    const uint64_t map = m_format.map_bytes, unit = m_format.map_unit;
    uint64_t region = (ib - m_format.first_region) / m_format.region_size();
    if (m_amap.size() < (region + 1) * map)
        m_amap.resize((region + 1) * map, 0);
    uint64_t first = (ib - region_start(region)) / unit;
    uint64_t last = (ib + size - 1 - region_start(region)) / unit;
    uint8_t* bits = m_amap.data() + region * map;
    for (uint64_t i = first; i <= last; ++i)
        bits[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
}

void Ndb::unmark(uint64_t ib, uint64_t size)
{
    const uint64_t map = m_format.map_bytes, unit = m_format.map_unit;
    uint64_t region = (ib - m_format.first_region) / m_format.region_size();
    uint64_t first = (ib - region_start(region)) / unit;
    uint64_t last = (ib + size - 1 - region_start(region)) / unit;
    uint8_t* bits = m_amap.data() + region * map;
    for (uint64_t i = first; i <= last; ++i)
        bits[i / 8] &= static_cast<uint8_t>(~(0x80 >> (i % 8)));
}

void Ndb::put_bbt_leaf(const BbtEntry& e, uint8_t* b) const
{
    // BBTENTRY: bid, ib, cb u16, cRef u16 (+ 4 bytes padding in Unicode files). 4 KiB-page
    // files put the inflated size between cb and cRef.
    const size_t id = m_format.id_size;
    std::memset(b, 0, m_format.bbt_entry);
    m_format.put_id(b, e.bid);
    m_format.put_id(b + id, e.ib);
    put16(b + 2 * id, e.cb);
    size_t ref_at = 2 * id + 2;
    if (m_format.bbt_inflated) {
        put16(b + m_format.bbt_inflated, e.inflated);
        ref_at = m_format.bbt_inflated + 2;
    }
    put16(b + ref_at, 2); // the BBT entry and the one structure that names the block
}

void Ndb::put_nbt_leaf(const NbtEntry& e, uint8_t* b) const
{
    // NBTENTRY: nid, bidData, bidSub, nidParent u32 (+ 4 bytes padding in Unicode files).
    const size_t id = m_format.id_size;
    std::memset(b, 0, m_format.nbt_entry);
    m_format.put_id(b, e.nid);
    m_format.put_id(b + id, e.bid_data);
    m_format.put_id(b + 2 * id, e.bid_sub);
    put32(b + 3 * id, e.parent);
}

Bytes Ndb::bbt_leaf(const BbtEntry& e) const
{
    Bytes b(m_format.bbt_entry);
    put_bbt_leaf(e, b.data());
    return b;
}

Bytes Ndb::nbt_leaf(const NbtEntry& e) const
{
    Bytes b(m_format.nbt_entry);
    put_nbt_leaf(e, b.data());
    return b;
}

Status Ndb::write_superseded_pages(size_t mark, uint32_t nid, uint64_t bid_data, uint64_t bid_sub, uint32_t parent)
{
    const unsigned page_size = m_format.page_size;
    // One leaf page of entries; written, then its space freed.
    auto leaf = [&](uint8_t ptype, const std::vector<Bytes>& entries, unsigned cb_ent) {
        Bytes page(page_size, 0);
        for (size_t i = 0; i < entries.size(); ++i)
            std::memcpy(page.data() + i * cb_ent, entries[i].data(), cb_ent);
        m_format.set_page_meta(page.data(), static_cast<unsigned>(entries.size()), m_format.per_page(cb_ent), cb_ent,
                               0);
        uint64_t ib = 0;
        Status st = allocate(page_size, page_size, &ib);
        if (!st)
            return st;
        st = write_page(ptype, page.data(), m_next_page++, ib, false);
        unmark(ib, page_size);
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
        unmark(m_bbt[i].ib, m_format.block_alloc(m_bbt[i].cb));
    m_bbt.resize(std::min(mark, m_bbt.size()));
}

Status Ndb::emit(uint64_t ib, const uint8_t* data, size_t size)
{
    uint8_t* at = nullptr;
    Status st = emit_space(ib, size, &at);
    if (st && size)
        std::memcpy(at, data, size);
    return st;
}

Status Ndb::emit_space(uint64_t ib, size_t size, uint8_t** at)
{
    // Appends to the buffer when the range follows it; a short gap is filled with zeros only
    // when nothing was ever written there.
    uint64_t end = m_buf_start + m_buf.size();
    if (m_buf.empty()) {
        m_buf_start = ib;
    } else if (ib < end || end < m_high || ib - end > m_format.region_size() || m_buf.size() > kBufferLimit) {
        Status st = flush_buffer();
        if (!st)
            return st;
        m_buf_start = ib;
    } else {
        const size_t gap = static_cast<size_t>(ib - end);
        std::memset(m_buf.extend(gap), 0, gap);
    }
    m_high = std::max(m_high, ib + size);
    *at = m_buf.extend(size);
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
    const uint64_t b = (m_next_bid++ << 2) | (internal ? 2 : 0);
    // Data blocks are encoded first, then (4 KiB-page files) compressed when that saves bytes;
    // a reader inflates, then decodes. Without compression the block is built in place in the
    // output buffer.
    const auto encode = [&](uint8_t* bytes, size_t n) {
        if (!internal && m_encoding == BlockEncoding::Permute)
            permute_encode(bytes, n);
        else if (!internal && m_encoding == BlockEncoding::Cyclic)
            cyclic_code(bytes, n, static_cast<uint32_t>(b));
    };
    const uint8_t* stored = data;
    size_t cb = size;
    bool encoded = false;
    Bytes plain, packed;
    if (m_compress && !internal && size > 0) {
        plain.assign(data, data + size);
        encode(plain.data(), size);
        encoded = true;
        stored = plain.data();
        if (deflate_smaller(plain.data(), size, &packed)) {
            stored = packed.data();
            cb = packed.size();
        }
    }
    const size_t trailer_size = m_format.block_trailer;
    const uint64_t total = m_format.block_alloc(cb);
    uint64_t ib = 0;
    Status st = allocate(total, m_format.block_align, &ib);
    if (!st)
        return st;
    uint8_t* block = nullptr;
    st = emit_space(ib, total, &block);
    if (!st)
        return st;
    if (cb)
        std::memcpy(block, stored, cb);
    std::memset(block + cb, 0, total - cb); // padding and trailer
    if (!encoded)
        encode(block, cb);
    // Trailer: cb, wSig, then CRC and BID (Unicode) or BID and CRC (ANSI), then in 4 KiB-page
    // files 2 bytes and the inflated size. The CRC covers the stored bytes.
    uint8_t* trailer = block + total - trailer_size;
    put16(trailer, static_cast<uint16_t>(cb));
    put16(trailer + 2, block_signature(ib, b));
    put32(trailer + m_format.trailer_crc, crc32(block, cb));
    m_format.put_id(trailer + m_format.trailer_bid, b);
    if (m_format.trailer_inflated)
        put16(trailer + m_format.trailer_inflated, static_cast<uint16_t>(size));
    m_bbt.push_back({b, ib, static_cast<uint16_t>(cb), static_cast<uint16_t>(size)});
    *bid = b;
    return Status::success();
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
        if (m_format.sl_header == 8)
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
    const size_t at = m_format.page_trailer;
    uint8_t* t = page + at;
    t[0] = ptype;
    t[1] = ptype;
    put16(t + 2, map_page ? 0 : block_signature(ib, bid));
    put32(page + m_format.page_crc, crc32(page, at));
    m_format.put_id(page + m_format.page_bid, bid);
    return emit(ib, page, m_format.page_size);
}

Status Ndb::write_btree(uint8_t ptype, size_t count, const std::function<uint64_t(size_t i, uint8_t* entry)>& leaf,
                        size_t cb_ent, PageRef* root)
{
    const unsigned page_size = m_format.page_size;
    const size_t max_ent = m_format.per_page(static_cast<unsigned>(cb_ent));
    auto set_meta = [&](uint8_t* page, size_t n, size_t max, size_t cb, uint8_t level) {
        m_format.set_page_meta(page, static_cast<unsigned>(n), static_cast<unsigned>(max), static_cast<unsigned>(cb),
                               level);
    };
    // Leaf level, then intermediate levels until one page remains. An empty tree is one
    // empty leaf page.
    std::vector<PageRef> level;
    size_t first = 0;
    Bytes page(page_size);
    do {
        size_t n = std::min<size_t>(max_ent, count - first);
        std::fill(page.begin(), page.end(), 0);
        uint64_t first_key = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint64_t key = leaf(first + i, page.data() + i * cb_ent);
            if (i == 0)
                first_key = key;
        }
        set_meta(page.data(), n, max_ent, cb_ent, 0);
        uint64_t ib = 0;
        Status st = allocate(page_size, page_size, &ib);
        if (!st)
            return st;
        uint64_t bid = m_next_page++;
        st = write_page(ptype, page.data(), bid, ib, false);
        if (!st)
            return st;
        level.push_back({first_key, bid, ib});
        first += n;
    } while (first < count);

    const size_t bt = m_format.bt_entry(), id = m_format.id_size, per_bt = m_format.per_page(bt);
    uint8_t depth = 0;
    while (level.size() > 1) {
        ++depth;
        std::vector<PageRef> up;
        for (size_t f = 0; f < level.size(); f += per_bt) {
            size_t n = std::min<size_t>(per_bt, level.size() - f);
            Bytes page(page_size, 0);
            for (size_t i = 0; i < n; ++i) {
                m_format.put_id(page.data() + i * bt, level[f + i].key);
                m_format.put_id(page.data() + i * bt + id, level[f + i].bid);
                m_format.put_id(page.data() + i * bt + 2 * id, level[f + i].ib);
            }
            set_meta(page.data(), n, per_bt, bt, depth);
            uint64_t ib = 0;
            Status st = allocate(page_size, page_size, &ib);
            if (!st)
                return st;
            uint64_t bid = m_next_page++;
            st = write_page(ptype, page.data(), bid, ib, false);
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
    const size_t map = m_format.map_bytes, page_size = m_format.page_size;
    m_amap.resize(regions * map, 0);
    for (uint64_t r = 0; r < regions; ++r)
        mark(region_start(r), map_bytes(r));
    uint64_t free_bits = 0;
    for (uint8_t byte : m_amap)
        free_bits += 8 - static_cast<unsigned>(__builtin_popcount(byte));
    *free_bytes = free_bits * m_format.map_unit;
    for (uint64_t r = 0; r < regions; ++r) {
        uint64_t start = region_start(r);
        // AMap and PMap bits follow 4 bytes of padding in ANSI files; FMap bits never do.
        const size_t bits_at = m_format.map_bits_at;
        Bytes page(page_size, 0);
        std::memcpy(page.data() + bits_at, m_amap.data() + r * map, map);
        Status st = write_page(kPtypeAMap, page.data(), start, start, true);
        if (!st)
            return st;
        uint64_t next = start + page_size;
        if (has_pmap(r)) {
            Bytes pmap(page_size, 0);
            std::memset(pmap.data() + bits_at, 0xFF, map);
            st = write_page(kPtypePMap, pmap.data(), next, next, true);
            if (!st)
                return st;
            next += page_size;
        }
        if (has_fmap(r)) {
            Bytes fmap(page_size, 0);
            for (uint64_t i = 0; i < map && r + i < regions; ++i)
                fmap[i] = longest_free_run(m_amap.data() + (r + i) * map, map);
            st = write_page(kPtypeFMap, fmap.data(), next, next, true);
            if (!st)
                return st;
            next += page_size;
        }
        if (has_fpmap(r)) {
            // Every page marked free, as in the PMaps it stands for: neither is read any more.
            Bytes fpmap(page_size, 0);
            std::memset(fpmap.data(), 0xFF, map);
            st = write_page(kPtypeFPMap, fpmap.data(), next, next, true);
            if (!st)
                return st;
        }
    }
    return Status::success();
}

Status Ndb::finish(const HeaderInfo& info)
{
    const Layout& f = m_format;
    // B-trees. Blocks were numbered in write order, so the BBT entries are already sorted.
    PageRef bbt{};
    Status st = write_btree(
        kPtypeBBT, m_bbt.size(),
        [&](size_t i, uint8_t* entry) {
            put_bbt_leaf(m_bbt[i], entry);
            return m_bbt[i].bid;
        },
        f.bbt_entry, &bbt);
    if (!st)
        return st;

    std::sort(m_nbt.begin(), m_nbt.end(), [](const NbtEntry& a, const NbtEntry& b) { return a.nid < b.nid; });
    for (size_t i = 1; i < m_nbt.size(); ++i)
        if (m_nbt[i].nid == m_nbt[i - 1].nid)
            return Status::failure("Internal error: duplicate node id in the PST file");
    PageRef nbt{};
    st = write_btree(
        kPtypeNBT, m_nbt.size(),
        [&](size_t i, uint8_t* entry) {
            put_nbt_leaf(m_nbt[i], entry);
            return uint64_t{m_nbt[i].nid};
        },
        f.nbt_entry, &nbt);
    if (!st)
        return st;

    uint64_t regions = (m_cursor - f.first_region + f.region_size() - 1) / f.region_size();
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

    // Density list (512-byte-page files): empty, current page = last AMap.
    st = flush_buffer();
    if (!st)
        return st;
    if (f.page_size == 512) {
        Bytes dlist(f.page_size, 0);
        put32(dlist.data() + 4, static_cast<uint32_t>(regions - 1));
        st = write_page(kPtypeDList, dlist.data(), m_next_page++, kDListOffset, false);
        if (!st)
            return st;
    }

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
    struct Fields
    {
        size_t next_b, next_p, unique, rgnid, root, fm, sentinel;
    };
    const bool ansi = m_format.id_size == 4;
    const Fields at = ansi ? Fields{24, 28, 32, 36, 164, 204, 460} : Fields{516, 32, 40, 44, 180, 256, 512};
    const Layout& f = m_format;

    Bytes h(kDListOffset, 0);
    uint8_t* p = h.data();
    std::memcpy(p, "!BDN", 4);
    put16(p + 8, info.client);
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
