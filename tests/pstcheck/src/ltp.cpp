#include "ltp.h"

#include <algorithm>
#include <set>

namespace pstcheck::detail {
namespace {

constexpr int kMaxNesting = 8;
constexpr uint64_t kMaxAlloc = 3580;

bool read_data_into(File& f, uint64_t bid, int depth, NodeData& out)
{
    auto content = f.block_data(bid);
    if (!content || depth > 2)
        return false;
    if (!is_internal_bid(bid)) {
        if (content->size() > f.data_budget) {
            if (!f.budget_exhausted)
                f.problem("checker stopped reading node data: data trees name far more bytes than the file holds");
            f.budget_exhausted = true;
            return false;
        }
        f.data_budget -= content->size();
        out.blocks.push_back(std::move(*content));
        return true;
    }
    const Bytes x(*content);
    const uint64_t id = f.layout.id;
    if (x.u8(0) != 1 || 8 + uint64_t(x.u16(2)) * id > x.size())
        return false;
    for (unsigned i = 0; i < x.u16(2); ++i)
        if (!read_data_into(f, f.layout.ref(x, 8 + id * uint64_t(i)), depth + 1, out))
            return false;
    return true;
}

void read_subnodes_into(File& f, uint64_t bid, int depth, Subnodes& out)
{
    auto content = f.block_data(bid);
    if (!content || depth > 1 || !is_internal_bid(bid))
        return;
    const Bytes x(*content);
    const Layout& l = f.layout;
    const unsigned c_level = x.u8(1), c_ent = x.u16(2);
    const uint64_t size = (c_level == 0 ? 3 : 2) * l.id;
    if (x.u8(0) != 2 || l.sl_header + c_ent * size > x.size())
        return;
    for (unsigned i = 0; i < c_ent; ++i) {
        const Bytes e = x.sub(l.sl_header + i * size, size);
        if (c_level == 0)
            out[e.u32(0)] = {l.ref(e, l.id), l.ref(e, 2 * l.id)};
        else
            read_subnodes_into(f, l.ref(e, l.id), depth + 1, out);
    }
}

unsigned heap_header_size(size_t block)
{
    if (block == 0)
        return 12;
    return (block == 8 || (block > 8 && (block - 8) % 128 == 0)) ? 66 : 2;
}

uint64_t key_of(const Bytes& b, unsigned size)
{
    uint64_t k = 0;
    for (unsigned i = std::min(size, 8u); i-- > 0;)
        k = k << 8 | b.u8(i);
    return k;
}

// Checks the layout of a value of `type`; returns the reason it is malformed, or "".
std::string malformed(uint16_t type, const std::vector<uint8_t>& v)
{
    const Bytes b(v);
    if (type == 0x001F && v.size() % 2)
        return "odd length " + std::to_string(v.size()) + " for a UTF-16 string";
    if (type & 0x1000) {
        const uint16_t base = type & 0x0FFF;
        const int elem = fixed_size(base);
        if (elem > 0)
            return v.size() % elem ? "multi-value length " + std::to_string(v.size()) + " is not a multiple of " +
                                         std::to_string(elem)
                                   : "";
        if (v.empty())
            return "";
        const uint64_t count = b.u32(0);
        if (!b.has(4, count * 4))
            return "multi-value count " + std::to_string(count) + " does not fit";
        uint64_t prev = 4 + count * 4;
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t off = b.u32(4 + 4 * i);
            if (off < prev || off > v.size())
                return "multi-value offset " + std::to_string(off) + " out of order or range";
            prev = off;
        }
    }
    return "";
}

// Resolves an HNID to its bytes: 0 is empty, a HID names a heap allocation, anything else a
// subnode. Returns nullopt after reporting when it names nothing.
std::optional<std::vector<uint8_t>> resolve(const ValueSource& src, uint32_t hnid, const std::string& what)
{
    if (hnid == 0)
        return std::vector<uint8_t>{};
    if ((hnid & 0x1F) == 0) {
        auto a = src.heap.alloc(hnid);
        if (!a) {
            src.f.problem(what + ": HID " + hex(hnid) + " names no heap allocation");
            return std::nullopt;
        }
        return std::vector<uint8_t>(a->data(), a->data() + a->size());
    }
    auto it = src.subnodes.find(hnid);
    if (it == src.subnodes.end()) {
        src.f.problem(what + ": subnode " + hex(hnid) + " does not exist");
        return std::nullopt;
    }
    auto data = read_data(src.f, it->second.bid_data, what);
    if (!data)
        return std::nullopt;
    return data->joined();
}

// Lower bounds of free space for fill levels 0 to 14; level 15 is anything below 8 bytes.
constexpr unsigned kFillBounds[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768, 512, 256, 128, 64, 32, 16, 8};

bool fill_level_fits(unsigned level, uint64_t free)
{
    unsigned want = 15;
    for (unsigned k = 0; k < 15; ++k)
        if (free >= kFillBounds[k]) {
            want = k;
            break;
        }
    // The published ranges share their end points: at a bound both neighbours are right.
    return level == want || (want < 15 && free == kFillBounds[want] && level == want + 1);
}

// Each heap block's free space class, kept in block 0 (blocks 0-7) and in the bitmap headers
// of blocks 8, 136, ... (the 128 blocks from there).
void check_fill_levels(File& f, const std::string& where, const std::vector<std::vector<uint8_t>>& blocks)
{
    // Blocks the heap does not have are "empty" (level 0) in block 0's header.
    for (size_t i = blocks.size(); i < 8; ++i)
        if ((Bytes(blocks[0]).u8(8 + i / 2) >> (4 * (i % 2))) & 0xF)
            f.problem(where + " heap block 0: fill level for absent block " + std::to_string(i) + " is not 0");
    for (size_t i = 0; i < blocks.size(); ++i) {
        const size_t holder = i < 8 ? 0 : 8 + (i - 8) / 128 * 128;
        const uint64_t at = i < 8 ? 8 + i / 2 : 2 + (i - holder) / 2;
        const unsigned level = (Bytes(blocks[holder]).u8(at) >> (4 * ((i - holder) % 2))) & 0xF;
        const uint64_t payload = f.layout.max_payload();
        const uint64_t free = blocks[i].size() < payload ? payload - blocks[i].size() : 0;
        if (!fill_level_fits(level, free))
            f.problem(where + " heap block " + std::to_string(i) + ": fill level " + std::to_string(level) + " for " +
                      std::to_string(free) + " free bytes");
    }
}

// Types of the properties the checks below read; a PC that stores one of them under another
// type is wrong (strings may be 8-bit or UTF-16).
struct KnownType
{
    uint16_t id;
    uint16_t type;
};
constexpr KnownType kKnownTypes[] = {
    {0x001A, 0x001F}, {0x0037, 0x001F}, {0x0E07, 0x0003}, {0x0E08, 0x0003}, {0x0E17, 0x0003},
    {0x0FF9, 0x0102}, {0x3001, 0x001F}, {0x3007, 0x0040}, {0x3008, 0x0040}, {0x35DF, 0x0003},
    {0x35E0, 0x0102}, {0x35E3, 0x0102}, {0x35E7, 0x0102}, {0x3602, 0x0003}, {0x3603, 0x0003},
    {0x360A, 0x000B}, {0x3613, 0x001F}, {0x3617, 0x0003}, {0x3FFD, 0x0003}, {0x67FF, 0x0003},
};

void check_known_type(File& f, const std::string& what, uint16_t id, uint16_t type)
{
    for (const auto& k : kKnownTypes) {
        if (k.id != id)
            continue;
        if (type != k.type && !(k.type == 0x001F && type == 0x001E))
            f.problem(what + ": stored as type " + hex(type) + ", expected " + hex(k.type));
        return;
    }
}

} // namespace

std::vector<uint8_t> NodeData::joined() const
{
    std::vector<uint8_t> out;
    for (const auto& b : blocks)
        out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::optional<NodeData> read_data(File& f, uint64_t bid, const std::string&)
{
    // A tree that cannot be read was already reported by the block and reference checks.
    NodeData out;
    if (!read_data_into(f, bid, 0, out))
        return std::nullopt;
    return out;
}

Subnodes read_subnodes(File& f, uint64_t bid_sub)
{
    Subnodes out;
    if (bid_sub)
        read_subnodes_into(f, bid_sub, 0, out);
    return out;
}

int fixed_size(uint16_t type)
{
    switch (type) {
    case 0x0002:
        return 2;
    case 0x0003:
    case 0x0004:
    case 0x000A:
        return 4;
    case 0x000B:
        return 1;
    case 0x0005:
    case 0x0006:
    case 0x0007:
    case 0x0014:
    case 0x0040:
        return 8;
    case 0x0048:
        return 16;
    case 0x000D:
    case 0x001E:
    case 0x001F:
    case 0x00FB:
    case 0x00FD:
    case 0x00FE:
    case 0x0102:
        return 0;
    default:
        break;
    }
    if ((type & 0x1000) && fixed_size(type & 0x0FFF) >= 0 && (type & 0x0FFF) != 0x000D)
        return 0;
    return -1;
}

std::optional<Heap> Heap::parse(File& f, NodeData data, const std::string& where)
{
    Heap h;
    h.m_where = where;
    if (data.blocks.empty()) {
        f.problem(where + ": heap without data");
        return std::nullopt;
    }
    for (size_t i = 0; i < data.blocks.size(); ++i) {
        const Bytes b(data.blocks[i]);
        const std::string at = where + " heap block " + std::to_string(i);
        const unsigned header = heap_header_size(i);
        if (b.size() < header + 4) {
            f.problem(at + ": " + std::to_string(b.size()) + " bytes cannot hold a heap page");
            return std::nullopt;
        }
        if (i == 0) {
            if (b.u8(2) != 0xEC) {
                f.problem(at + ": bSig " + hex(b.u8(2)) + ", expected 0xec");
                return std::nullopt;
            }
            h.m_client_sig = b.u8(3);
            h.m_user_root = b.u32(4);
        }
        const uint16_t map = b.u16(0);
        const unsigned c_alloc = b.u16(map);
        if (map < header || map % 2 || !b.has(map, 4 + 2 * (uint64_t(c_alloc) + 1))) {
            f.problem(at + ": page map at " + std::to_string(map) + " does not fit its " + std::to_string(b.size()) +
                      " bytes");
            return std::nullopt;
        }
        if (c_alloc > 2047)
            f.problem(at + ": " + std::to_string(c_alloc) + " allocations exceed 2047");
        std::vector<uint16_t> offsets;
        for (unsigned k = 0; k <= c_alloc; ++k)
            offsets.push_back(b.u16(map + 4 + 2 * k));
        const unsigned c_free = b.u16(map + 2);
        unsigned empty = 0;
        for (unsigned k = 1; k <= c_alloc; ++k)
            empty += offsets[k] == offsets[k - 1];
        if (c_free != empty)
            f.problem(at + ": cFree " + std::to_string(c_free) + ", the page map has " + std::to_string(empty) +
                      " freed allocations");
        if (offsets[0] != header)
            f.problem(at + ": first allocation at " + std::to_string(offsets[0]) + ", expected " +
                      std::to_string(header));
        for (unsigned k = 1; k <= c_alloc; ++k) {
            if (offsets[k] < offsets[k - 1] || offsets[k] > map) {
                f.problem(at + ": allocation " + std::to_string(k) + " ends at " + std::to_string(offsets[k]) +
                          ", out of order or past the page map");
                return std::nullopt;
            }
            if (uint64_t(offsets[k] - offsets[k - 1]) > kMaxAlloc)
                f.problem(at + ": allocation " + std::to_string(k) + " of " +
                          std::to_string(offsets[k] - offsets[k - 1]) + " bytes exceeds 3580");
        }
        h.m_offsets.push_back(std::move(offsets));
    }
    check_fill_levels(f, where, data.blocks);
    h.m_blocks = std::move(data.blocks);
    return h;
}

std::optional<Bytes> Heap::alloc(uint32_t hid) const
{
    const uint32_t index = (hid >> 5) & 0x7FF, block = hid >> 16;
    if ((hid & 0x1F) != 0 || index == 0 || block >= m_offsets.size() || index >= m_offsets[block].size())
        return std::nullopt;
    const auto& off = m_offsets[block];
    return Bytes(m_blocks[block].data() + off[index - 1], off[index] - off[index - 1]);
}

namespace {

struct BthWalk
{
    File& f;
    const Heap& heap;
    unsigned key_size, data_size;
    std::string what;
    std::vector<BthRecord> out;

    bool walk(uint32_t hid, unsigned level, std::optional<uint64_t> parent_key, int depth)
    {
        const auto a = heap.alloc(hid);
        const std::string at = what + " BTH node " + hex(hid);
        if (!a || a->size() == 0) {
            f.problem(at + ": names no heap allocation");
            return false;
        }
        const unsigned rec = key_size + (level ? 4 : data_size);
        if (a->size() % rec) {
            f.problem(at + ": " + std::to_string(a->size()) + " bytes are not whole records of " + std::to_string(rec));
            return false;
        }
        bool ok = true;
        for (uint64_t off = 0; off < a->size(); off += rec) {
            const Bytes r = a->sub(off, rec);
            const uint64_t key = key_of(r, key_size);
            if (off == 0 && parent_key && key != *parent_key)
                f.problem(at + ": first key " + hex(key) + " differs from the parent's key " + hex(*parent_key));
            if (!out.empty() && level == 0 && key <= out.back().key)
                f.problem(at + ": key " + hex(key) + " not above the previous key " + hex(out.back().key));
            if (level == 0) {
                out.push_back({key, std::vector<uint8_t>(r.data() + key_size, r.data() + rec)});
            } else if (depth < kMaxNesting) {
                ok &= walk(r.u32(key_size), level - 1, key, depth + 1);
            }
        }
        return ok;
    }
};

} // namespace

std::optional<std::vector<BthRecord>> read_bth(File& f, const Heap& heap, uint32_t hid, unsigned key_size,
                                               unsigned data_size, const std::string& what)
{
    const auto h = heap.alloc(hid);
    if (!h || h->size() < 8) {
        f.problem(what + ": BTH header " + hex(hid) + " names no 8-byte heap allocation");
        return std::nullopt;
    }
    const unsigned type = h->u8(0), cb_key = h->u8(1), cb_ent = h->u8(2), levels = h->u8(3);
    const uint32_t root = h->u32(4);
    if (type != 0xB5 || cb_key != key_size || cb_ent != data_size) {
        f.problem(what + ": BTH header bType " + hex(type) + ", cbKey " + std::to_string(cb_key) + ", cbEnt " +
                  std::to_string(cb_ent) + "; expected 0xb5, " + std::to_string(key_size) + ", " +
                  std::to_string(data_size));
        return std::nullopt;
    }
    if (root == 0) {
        if (levels)
            f.problem(what + ": empty BTH with " + std::to_string(levels) + " index levels");
        return std::vector<BthRecord>{};
    }
    if (levels > kMaxNesting) {
        f.problem(what + ": BTH with " + std::to_string(levels) + " index levels");
        return std::nullopt;
    }
    BthWalk w{f, heap, key_size, data_size, what, {}};
    if (!w.walk(root, levels, std::nullopt, 0))
        return std::nullopt;
    return std::move(w.out);
}

std::optional<PropMap> read_pc(File& f, const Heap& heap, const Subnodes& subnodes)
{
    const std::string& where = heap.where();
    if (heap.client_sig() != 0xBC) {
        f.problem(where + ": heap client signature " + hex(heap.client_sig()) + ", expected 0xbc (PC)");
        return std::nullopt;
    }
    auto records = read_bth(f, heap, heap.user_root(), 2, 6, where + " PC");
    if (!records)
        return std::nullopt;
    const ValueSource src{f, heap, subnodes};
    PropMap out;
    for (const auto& r : *records) {
        const Bytes d(r.data);
        const uint16_t id = uint16_t(r.key), type = d.u16(0);
        const uint32_t hnid = d.u32(2);
        const std::string what = where + " property " + hex(uint32_t(id) << 16 | type);
        const int size = fixed_size(type);
        PropValue v{type, {}};
        check_known_type(f, what, id, type);
        if (size < 0) {
            f.problem(what + ": unknown property type");
            continue;
        }
        if (size > 0 && size <= 4) {
            for (int i = 0; i < size; ++i)
                v.bytes.push_back(uint8_t(hnid >> (8 * i)));
        } else {
            auto bytes = resolve(src, hnid, what);
            if (!bytes)
                continue;
            if (size > 0 && bytes->size() != size_t(size)) {
                f.problem(what + ": " + std::to_string(bytes->size()) + " bytes for a " + std::to_string(size) +
                          "-byte type");
                continue;
            }
            v.bytes = std::move(*bytes);
        }
        if (auto why = malformed(type, v.bytes); !why.empty())
            f.problem(what + ": " + why);
        out[id] = std::move(v);
    }
    return out;
}

namespace {

bool check_columns(File& f, const std::string& where, const std::vector<Column>& cols, const uint16_t rgib[4])
{
    bool ok = true;
    if (!(rgib[0] <= rgib[1] && rgib[1] <= rgib[2] && rgib[2] <= rgib[3])) {
        f.problem(where + ": TCINFO rgib " + std::to_string(rgib[0]) + "/" + std::to_string(rgib[1]) + "/" +
                  std::to_string(rgib[2]) + "/" + std::to_string(rgib[3]) + " not ascending");
        return false;
    }
    if (size_t(rgib[3] - rgib[2]) != (cols.size() + 7) / 8) {
        f.problem(where + ": cell existence bitmap of " + std::to_string(rgib[3] - rgib[2]) + " bytes for " +
                  std::to_string(cols.size()) + " columns");
        ok = false;
    }
    std::set<unsigned> bits;
    std::vector<std::pair<unsigned, unsigned>> ranges;
    for (size_t i = 0; i < cols.size(); ++i) {
        const Column& c = cols[i];
        const std::string col = where + " column " + hex(c.tag);
        if (i > 0 && c.tag <= cols[i - 1].tag)
            f.problem(col + ": columns not sorted by tag");
        const int size = fixed_size(uint16_t(c.tag));
        const unsigned want = size == 0 ? 4 : unsigned(size);
        if (size < 0 || (c.cb != want && !(size == 16 && c.cb == 4))) {
            f.problem(col + ": cbData " + std::to_string(c.cb) + " does not fit its type");
            ok = false;
        }
        const unsigned lo = c.cb >= 4 ? 0 : c.cb == 2 ? rgib[0] : rgib[1];
        const unsigned hi = c.cb >= 4 ? rgib[0] : c.cb == 2 ? rgib[1] : rgib[2];
        if (c.ib < lo || c.ib + c.cb > hi) {
            f.problem(col + ": ibData " + std::to_string(c.ib) + " (+" + std::to_string(c.cb) + ") outside its area " +
                      std::to_string(lo) + ".." + std::to_string(hi));
            ok = false;
        }
        if (c.bit >= cols.size() || !bits.insert(c.bit).second) {
            f.problem(col + ": iBit " + std::to_string(c.bit) + " out of range or shared");
            ok = false;
        }
        ranges.push_back({c.ib, c.ib + c.cb});
        if (c.tag == 0x67F20003 && (c.ib != 0 || c.bit != 0))
            f.problem(col + ": the row id column must sit at offset 0 with iBit 0");
        if (c.tag == 0x67F30003 && (c.ib != 4 || c.bit != 1))
            f.problem(col + ": the row version column must sit at offset 4 with iBit 1");
    }
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i)
        if (ranges[i].first < ranges[i - 1].second) {
            f.problem(where + ": column data at " + std::to_string(ranges[i].first) + " overlaps another column");
            ok = false;
        }
    return ok;
}

// The row matrix as a list of blocks, each holding whole rows.
std::optional<std::vector<std::vector<uint8_t>>> row_blocks(const ValueSource& src, uint32_t hnid, uint16_t row_size,
                                                            const std::string& where)
{
    std::vector<std::vector<uint8_t>> blocks;
    if (hnid == 0)
        return blocks;
    if ((hnid & 0x1F) == 0) {
        auto a = src.heap.alloc(hnid);
        if (!a) {
            src.f.problem(where + ": row matrix HID " + hex(hnid) + " names no heap allocation");
            return std::nullopt;
        }
        blocks.emplace_back(a->data(), a->data() + a->size());
        return blocks;
    }
    auto it = src.subnodes.find(hnid);
    if (it == src.subnodes.end()) {
        src.f.problem(where + ": row matrix subnode " + hex(hnid) + " does not exist");
        return std::nullopt;
    }
    auto data = read_data(src.f, it->second.bid_data, where);
    if (!data)
        return std::nullopt;
    const uint64_t payload = src.f.layout.max_payload();
    const uint64_t per_block = payload / row_size;
    for (size_t i = 0; i + 1 < data->blocks.size(); ++i)
        if (data->blocks[i].size() != payload)
            src.f.problem(where + ": row matrix block " + std::to_string(i) + " has " +
                          std::to_string(data->blocks[i].size()) + " bytes; every block but the last holds " +
                          std::to_string(per_block) + " rows padded to " + std::to_string(payload) + " bytes");
    return std::move(data->blocks);
}

} // namespace

std::optional<Table> read_tc(File& f, const Heap& heap, const Subnodes& subnodes)
{
    const std::string& where = heap.where();
    if (heap.client_sig() != 0x7C) {
        f.problem(where + ": heap client signature " + hex(heap.client_sig()) + ", expected 0x7c (TC)");
        return std::nullopt;
    }
    const auto info = heap.alloc(heap.user_root());
    if (!info || info->size() < 22 || info->u8(0) != 0x7C) {
        f.problem(where + ": TCINFO " + hex(heap.user_root()) + " missing or not of type 0x7c");
        return std::nullopt;
    }
    const unsigned c_cols = info->u8(1);
    if (info->size() < 22 + 8 * uint64_t(c_cols)) {
        f.problem(where + ": TCINFO of " + std::to_string(info->size()) + " bytes cannot hold " +
                  std::to_string(c_cols) + " columns");
        return std::nullopt;
    }
    Table t;
    const uint16_t rgib[4] = {info->u16(2), info->u16(4), info->u16(6), info->u16(8)};
    for (unsigned i = 0; i < c_cols; ++i) {
        const Bytes c = info->sub(22 + 8 * i, 8);
        t.columns.push_back({c.u32(0), c.u16(4), c.u8(6), c.u8(7)});
    }
    if (!check_columns(f, where, t.columns, rgib))
        return std::nullopt;
    if (info->u32(18) != 0)
        f.problem(where + ": TCINFO hidIndex is " + hex(info->u32(18)) + ", not 0");
    t.row_size = rgib[3];
    const unsigned row_index = unsigned(f.layout.row_index);
    const auto index = read_bth(f, heap, info->u32(10), 4, row_index, where + " row index");
    if (!index)
        return std::nullopt;
    const ValueSource src{f, heap, subnodes};
    const uint32_t hnid_rows = info->u32(14);
    if (t.row_size == 0) {
        if (!index->empty() || hnid_rows)
            f.problem(where + ": rows of size 0");
        return t;
    }
    const auto blocks = row_blocks(src, hnid_rows, t.row_size, where);
    if (!blocks)
        return std::nullopt;
    std::vector<Bytes> rows;
    const uint64_t per_block = f.layout.max_payload() / t.row_size;
    for (size_t i = 0; i < blocks->size(); ++i) {
        const auto& b = (*blocks)[i];
        const bool last = i + 1 == blocks->size();
        // Blocks before the last end in padding after their whole rows.
        const uint64_t used = last ? b.size() : std::min<uint64_t>(b.size(), per_block * t.row_size);
        if (last && b.size() % t.row_size)
            f.problem(where + ": row matrix of " + std::to_string(b.size()) + " bytes is not whole rows of " +
                      std::to_string(t.row_size));
        for (uint64_t off = 0; off + t.row_size <= used; off += t.row_size)
            rows.push_back(Bytes(b.data() + off, t.row_size));
    }
    if (index->size() != rows.size())
        f.problem(where + ": row index lists " + std::to_string(index->size()) + " rows, the row matrix holds " +
                  std::to_string(rows.size()));
    std::vector<uint32_t> ids(rows.size(), 0);
    std::vector<bool> indexed(rows.size(), false);
    for (const auto& r : *index) {
        const uint32_t n = row_index == 2 ? Bytes(r.data).u16(0) : Bytes(r.data).u32(0);
        if (n >= rows.size() || indexed[n]) {
            f.problem(where + ": row index entry " + hex(r.key) + " names row " + std::to_string(n) +
                      ", missing or named twice");
            continue;
        }
        indexed[n] = true;
        ids[n] = uint32_t(r.key);
        if (rows[n].u32(0) != r.key)
            f.problem(where + ": row " + std::to_string(n) + " holds row id " + hex(rows[n].u32(0)) +
                      ", the row index says " + hex(r.key));
    }
    for (size_t n = 0; n < rows.size(); ++n) {
        std::map<uint32_t, PropValue> cells;
        for (const auto& c : t.columns) {
            const bool present = (rows[n].u8(rgib[2] + c.bit / 8) >> (7 - c.bit % 8)) & 1;
            if (!present)
                continue;
            const uint16_t type = uint16_t(c.tag);
            PropValue v{type, {}};
            if (fixed_size(type) > 0 && c.cb == fixed_size(type)) {
                v.bytes.assign(rows[n].data() + c.ib, rows[n].data() + c.ib + c.cb);
            } else {
                auto bytes =
                    resolve(src, rows[n].u32(c.ib), where + " row " + std::to_string(n) + " column " + hex(c.tag));
                if (!bytes)
                    continue;
                v.bytes = std::move(*bytes);
            }
            cells[c.tag] = std::move(v);
        }
        t.rows.push_back(std::move(cells));
    }
    t.row_ids = std::move(ids);
    return t;
}

} // namespace pstcheck::detail
