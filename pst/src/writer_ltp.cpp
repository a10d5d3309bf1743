#include "writer_ltp.h"

#include <algorithm>

namespace pst::detail {
namespace {

bool is_bitmap_block(size_t index)
{
    return index >= 8 && (index - 8) % 128 == 0;
}

// Free-space class of a heap block (0 = nearly empty ... 15 = full).
uint8_t fill_level(size_t free_bytes)
{
    static const size_t kLimits[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768, 512, 256, 128, 64, 32, 16, 8};
    for (uint8_t i = 0; i < 15; ++i)
        if (free_bytes >= kLimits[i])
            return i;
    return 15;
}

} // namespace

Heap::Heap(uint8_t client_sig, const Layout& layout)
    : m_client(client_sig), m_layout(layout), m_block(layout.max_block_data())
{
    new_block();
}

void Heap::new_block()
{
    // Room for a typical item's heap at once (it grows no further than a block). The block's
    // header comes first, zeros until take_blocks() fills it in, so that the block is built
    // where it will be handed over.
    m_blocks.emplace_back();
    Bytes& data = m_blocks.back().data;
    data.reserve(std::min<size_t>(m_block, 4096));
    data.resize(header_size(m_blocks.size() - 1), 0);
}

size_t Heap::header_size(size_t index)
{
    if (index == 0)
        return 12;
    return is_bitmap_block(index) ? 66 : 2;
}

size_t Heap::block_size(const Block& b)
{
    return align_up(b.data.size(), 2) + 4 + 2 * (b.starts.size() + 1);
}

uint32_t Heap::alloc(const uint8_t* data, size_t size)
{
    size_t index = m_blocks.size() - 1;
    Block* b = &m_blocks.back();
    size_t after = align_up(b->data.size() + size, 2) + 4 + 2 * (b->starts.size() + 2);
    if (b->starts.size() >= m_layout.max_heap_allocs() || after > m_block) {
        new_block();
        ++index;
        b = &m_blocks.back();
    }
    b->starts.push_back(static_cast<uint16_t>(b->data.size() - header_size(index)));
    append(b->data, data, size);
    return m_layout.make_hid(static_cast<uint32_t>(index), static_cast<uint32_t>(b->starts.size()));
}

uint8_t* Heap::at(uint32_t hid)
{
    const uint32_t index = m_layout.hid_block(hid);
    Block& b = m_blocks[index];
    return b.data.data() + header_size(index) + b.starts[m_layout.hid_index(hid) - 1];
}

uint64_t Heap::serialized_size() const
{
    uint64_t n = 0;
    for (size_t i = 0; i < m_blocks.size(); ++i)
        n += block_size(m_blocks[i]);
    return n;
}

std::vector<Bytes> Heap::take_blocks()
{
    std::vector<uint8_t> levels(m_blocks.size());
    for (size_t i = 0; i < m_blocks.size(); ++i)
        levels[i] = fill_level(m_block - block_size(m_blocks[i]));
    auto put_levels = [&](uint8_t* p, size_t first, size_t count) {
        for (size_t k = 0; k < count && first + k < levels.size(); ++k)
            p[k / 2] |= static_cast<uint8_t>(levels[first + k] << (4 * (k % 2)));
    };

    std::vector<Bytes> out;
    out.reserve(m_blocks.size());
    for (size_t i = 0; i < m_blocks.size(); ++i) {
        Block& b = m_blocks[i];
        const size_t hdr = header_size(i);
        const size_t end = b.data.size(); // header and allocations
        const size_t map_at = align_up(end, 2);
        b.data.resize(block_size(b), 0);
        uint8_t* blk = b.data.data();
        put16(blk, static_cast<uint16_t>(map_at));
        if (i == 0) {
            blk[2] = kHeapSignature;
            blk[3] = m_client;
            put32(blk + 4, m_root);
            put_levels(blk + 8, 0, 8);
        } else if (is_bitmap_block(i)) {
            put_levels(blk + 2, i, 128);
        }
        uint8_t* map = blk + map_at;
        put16(map, static_cast<uint16_t>(b.starts.size()));
        put16(map + 2, 0);
        for (size_t k = 0; k < b.starts.size(); ++k)
            put16(map + 4 + 2 * k, static_cast<uint16_t>(hdr + b.starts[k]));
        put16(map + 4 + 2 * b.starts.size(), static_cast<uint16_t>(end));
        out.push_back(std::move(b.data));
    }
    m_blocks.clear();
    return out;
}

void build_bth(Heap& heap, uint32_t header_hid, uint8_t cb_key, uint8_t cb_ent, const Bytes& records, size_t count,
               std::vector<uint32_t>* leaf_hids)
{
    uint32_t root = 0;
    uint8_t levels = 0;
    if (count > 0) {
        size_t rec = cb_key + cb_ent;
        size_t per = bth_records_per_leaf(rec);
        struct Ref
        {
            const uint8_t* key;
            uint32_t hid;
        };
        std::vector<Ref> level;
        for (size_t f = 0; f < count; f += per) {
            size_t n = std::min(per, count - f);
            uint32_t hid = heap.alloc(records.data() + f * rec, n * rec);
            if (leaf_hids)
                leaf_hids->push_back(hid);
            level.push_back({records.data() + f * rec, hid});
        }
        size_t per_index = kMaxHeapAlloc / (cb_key + 4u);
        while (level.size() > 1) {
            ++levels;
            std::vector<Ref> up;
            for (size_t f = 0; f < level.size(); f += per_index) {
                size_t n = std::min(per_index, level.size() - f);
                Bytes idx;
                for (size_t k = 0; k < n; ++k) {
                    append(idx, level[f + k].key, cb_key);
                    append32(idx, level[f + k].hid);
                }
                up.push_back({level[f].key, heap.alloc(idx)});
            }
            level.swap(up);
        }
        root = level[0].hid;
    }
    uint8_t* h = heap.at(header_hid);
    h[0] = kBthType;
    h[1] = cb_key;
    h[2] = cb_ent;
    h[3] = levels;
    put32(h + 4, root);
}

ValueKind value_kind(uint16_t type)
{
    return is_inline_size(type) ? ValueKind::Inline : is_fixed_size(type) ? ValueKind::Fixed8 : ValueKind::Variable;
}

uint8_t cell_width(uint16_t type)
{
    switch (type) {
    case 0x0002:
        return 2;
    case 0x000B:
        return 1;
    default:
        return value_kind(type) == ValueKind::Fixed8 ? 8 : 4;
    }
}

NodeData build_pc(const Layout& format, const std::vector<StoredProp>& props, std::vector<SubnodeData> extra,
                  uint16_t size_id, uint32_t* size)
{
    Heap heap(kClientPC, format);
    uint32_t header = heap.alloc(Bytes(8, 0));
    heap.set_root(header);
    SubnodeIds ids;
    std::vector<SubnodeData> subs = std::move(extra);

    Bytes recs;
    recs.reserve(props.size() * 8);
    size_t size_index = props.size();
    for (size_t i = 0; i < props.size(); ++i) {
        const StoredProp& p = props[i];
        const std::span<const uint8_t> data = p.bytes();
        uint32_t hnid = 0;
        if (value_kind(p.type) == ValueKind::Inline) {
            for (size_t k = 0; k < data.size() && k < 4; ++k)
                hnid |= static_cast<uint32_t>(data[k]) << (8 * k);
            if (p.id == size_id)
                size_index = i;
        } else if (data.empty()) {
            hnid = 0;
        } else if (data.size() <= kMaxHeapAlloc) {
            hnid = heap.alloc(data.data(), data.size());
        } else {
            SubnodeData s;
            s.nid = ids.next();
            s.node.chunks = split_chunks(data, format.max_block_data());
            hnid = s.nid;
            subs.push_back(std::move(s));
        }
        append16(recs, p.id);
        append16(recs, p.type);
        append32(recs, hnid);
    }
    std::vector<uint32_t> leaves;
    build_bth(heap, header, 2, 6, recs, props.size(), &leaves);
    std::sort(subs.begin(), subs.end(), [](const SubnodeData& a, const SubnodeData& b) { return a.nid < b.nid; });

    NodeData node;
    if (size_index < props.size()) {
        uint64_t total = heap.serialized_size();
        for (const auto& s : subs)
            total += node_stream_size(s.node);
        uint32_t v = static_cast<uint32_t>(std::min<uint64_t>(total, 0x7FFFFFFF));
        size_t per = bth_records_per_leaf(8);
        put32(heap.at(leaves[size_index / per]) + (size_index % per) * 8 + 4, v);
        if (size)
            *size = v;
    }
    node.chunks = heap.take_blocks();
    node.subnodes = std::move(subs);
    node.too_large = heap.overflowed();
    return node;
}

TableBuilder::TableBuilder(const Layout& format, std::vector<uint32_t> tags)
    : m_format(format), m_max_rows(format.row_index_size == 2 ? 0x10000 : 0xFFFFFFFFu), m_heap(kClientTC, format)
{
    tags.push_back(0x67F20003);
    tags.push_back(0x67F30003);
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());

    m_hid_bth = m_heap.alloc(Bytes(8, 0));
    m_hid_info = m_heap.alloc(Bytes(22 + 8 * tags.size(), 0));
    m_heap.set_root(m_hid_info);

    for (uint32_t t : tags)
        m_cols.push_back({t, 0, cell_width(static_cast<uint16_t>(t & 0xFFFF)), 0});
    auto col = [&](uint32_t tag) -> Column& {
        return *std::lower_bound(m_cols.begin(), m_cols.end(), tag,
                                 [](const Column& c, uint32_t t) { return c.tag < t; });
    };
    col(0x67F20003) = {0x67F20003, 0, 4, 0};
    col(0x67F30003) = {0x67F30003, 4, 4, 1};
    uint16_t ib = 8;
    uint8_t bit = 2;
    auto place = [&](uint8_t width) {
        for (auto& c : m_cols) {
            if (c.tag == 0x67F20003 || c.tag == 0x67F30003 || c.cb != width)
                continue;
            c.ib = ib;
            ib = static_cast<uint16_t>(ib + width);
        }
    };
    place(8);
    place(4);
    m_rgib[0] = ib;
    place(2);
    m_rgib[1] = ib;
    place(1);
    m_rgib[2] = ib;
    for (auto& c : m_cols)
        if (c.tag != 0x67F20003 && c.tag != 0x67F30003)
            c.bit = bit++;
    m_rgib[3] = static_cast<uint16_t>(ib + (m_cols.size() + 7) / 8);
    m_row_size = m_rgib[3];
}

bool TableBuilder::has_column(uint32_t tag) const
{
    auto it =
        std::lower_bound(m_cols.begin(), m_cols.end(), tag, [](const Column& c, uint32_t t) { return c.tag < t; });
    return it != m_cols.end() && it->tag == tag;
}

uint32_t TableBuilder::store_variable(std::span<const uint8_t> data)
{
    if (data.empty())
        return 0;
    if (data.size() <= kMaxHeapAlloc)
        return m_heap.alloc(data.data(), data.size());
    SubnodeData s;
    s.nid = m_ids.next();
    s.node.chunks = split_chunks(data, m_format.max_block_data());
    m_subnodes.push_back(std::move(s));
    return m_subnodes.back().nid;
}

void TableBuilder::add_row(uint32_t row_id, uint32_t row_ver, const std::vector<Cell>& cells)
{
    // Rows gather in pieces of whole rows, each the size of a data block once full: a large
    // table neither moves its rows as it grows nor copies them when it is finished.
    const size_t per_block = std::max<size_t>(1, m_format.max_block_data() / m_row_size);
    if (m_rows.empty() || m_rows.back().size() >= per_block * m_row_size) {
        m_rows.emplace_back();
        m_rows.back().reserve(m_rows.size() == 1 ? m_row_size : per_block * m_row_size);
    }
    Bytes& rows = m_rows.back();
    const size_t base = rows.size();
    rows.resize(base + m_row_size, 0);
    auto set_bit = [&](uint8_t bit) { rows[base + m_rgib[2] + bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8)); };
    put32(rows.data() + base, row_id);
    put32(rows.data() + base + 4, row_ver);
    set_bit(0);
    set_bit(1);
    for (const Cell& cell : cells) {
        auto it = std::lower_bound(m_cols.begin(), m_cols.end(), cell.tag,
                                   [](const Column& c, uint32_t t) { return c.tag < t; });
        if (it == m_cols.end() || it->tag != cell.tag || it->bit < 2)
            continue;
        uint16_t type = static_cast<uint16_t>(cell.tag & 0xFFFF);
        if (value_kind(type) == ValueKind::Variable) {
            uint32_t hnid = store_variable(cell.data);
            put32(rows.data() + base + it->ib, hnid);
        } else {
            std::memcpy(rows.data() + base + it->ib, cell.data.data(), std::min<size_t>(it->cb, cell.data.size()));
        }
        set_bit(it->bit);
    }
    m_row_ids.push_back(row_id);
}

NodeData TableBuilder::finish()
{
    std::vector<std::pair<uint32_t, uint32_t>> index;
    index.reserve(m_row_ids.size());
    for (size_t i = 0; i < m_row_ids.size(); ++i)
        index.emplace_back(m_row_ids[i], static_cast<uint32_t>(i));
    std::sort(index.begin(), index.end());
    // TCROWID: row id, row index (4 bytes, 2 in ANSI files).
    const size_t width = m_format.row_index_size;
    Bytes recs;
    recs.reserve(index.size() * (4 + width));
    for (const auto& e : index) {
        append32(recs, e.first);
        if (width == 2)
            append16(recs, static_cast<uint16_t>(e.second));
        else
            append32(recs, e.second);
    }
    build_bth(m_heap, m_hid_bth, 4, static_cast<uint8_t>(width), recs, index.size(), nullptr);

    uint32_t hnid_rows = 0;
    const size_t row_bytes = m_row_ids.size() * m_row_size;
    if (row_bytes > 0 && row_bytes <= kMaxHeapAlloc) {
        Bytes all;
        for (const Bytes& piece : m_rows)
            append(all, piece.data(), piece.size());
        hnid_rows = m_heap.alloc(all);
    } else if (row_bytes > 0) {
        // Whole rows per block; every block but the last is padded to the full block size.
        const size_t block = m_format.max_block_data();
        SubnodeData s;
        s.nid = m_ids.next();
        for (size_t i = 0; i < m_rows.size(); ++i) {
            if (i + 1 < m_rows.size())
                m_rows[i].resize(block, 0);
            s.node.chunks.push_back(std::move(m_rows[i]));
        }
        hnid_rows = s.nid;
        m_subnodes.push_back(std::move(s));
    }
    m_rows.clear();

    uint8_t* info = m_heap.at(m_hid_info);
    info[0] = kClientTC;
    info[1] = static_cast<uint8_t>(m_cols.size());
    for (int i = 0; i < 4; ++i)
        put16(info + 2 + 2 * i, m_rgib[i]);
    put32(info + 10, m_hid_bth);
    put32(info + 14, hnid_rows);
    put32(info + 18, 0);
    for (size_t i = 0; i < m_cols.size(); ++i) {
        uint8_t* d = info + 22 + 8 * i;
        put32(d, m_cols[i].tag);
        put16(d + 4, m_cols[i].ib);
        d[6] = m_cols[i].cb;
        d[7] = m_cols[i].bit;
    }

    NodeData node;
    node.too_large = m_heap.overflowed() || m_row_ids.size() > m_max_rows;
    node.chunks = m_heap.take_blocks();
    std::sort(m_subnodes.begin(), m_subnodes.end(),
              [](const SubnodeData& a, const SubnodeData& b) { return a.nid < b.nid; });
    node.subnodes = std::move(m_subnodes);
    return node;
}

} // namespace pst::detail
