// The reader's lists, tables and properties: heap-on-node, BTree-on-heap, property contexts and
// table contexts. HIDs, page maps, BTH levels and keys, column layouts and row numbers are
// checked before use.
#include "read_ltp.h"

#include <algorithm>
#include <array>

namespace pst::read {
namespace detail {
namespace {

using pst::detail::kBthType;
using pst::detail::kClientPC;
using pst::detail::kClientTC;
using pst::detail::kHeapSignature;

constexpr uint64_t kMaxValueBytes = 2 * kMaxStreamSize; // subnode values of one property context
// Blocks that the subnode values of one property context, or the cells of one table, may list:
// values that name one large data tree many times are not read over and over.
constexpr size_t kItemBlockBudget = size_t(1) << 17;
constexpr size_t kTableBlockBudget = size_t(1) << 20;
const uint8_t* const kEmpty = HeapReader::kEmptyAllocation; // an empty value's bytes

// Opens the data tree `bid` listing at most *budget blocks, and takes them from the budget.
Status open_budgeted(File& file, DataStream& stream, uint64_t bid, size_t* budget)
{
    if (*budget == 0)
        return fail("the values of one item or table name too many blocks");
    Access::of(stream).max_pieces = *budget;
    if (Status status = stream.open(file, bid); !status)
        return status;
    *budget -= std::min(*budget, stream.block_count());
    return Status::success();
}

// The bytes an HNID names: nothing (0), a heap allocation (a HID) or a subnode's data stream.
Status resolve(File& file, HeapReader& heap, uint64_t bid_sub, uint32_t hnid, DataStream& stream, size_t* budget,
               std::vector<uint8_t>* out)
{
    if (hnid == 0) {
        out->clear();
        return Status::success();
    }
    if ((hnid & 0x1F) == 0) {
        const uint8_t* p = nullptr;
        size_t n = 0;
        if (Status status = heap.get(hnid, &p, &n); !status)
            return status;
        out->assign(p, p + n);
        return Status::success();
    }
    if (bid_sub == 0)
        return fail("value subnode " + hex(hnid) + " named by a node without subnodes");
    Node sub;
    Status found = file.find_subnode(bid_sub, hnid, &sub);
    if (!found)
        return found;
    if (found.absent)
        return fail("value subnode " + hex(hnid) + " does not exist");
    if (Status status = open_budgeted(file, stream, sub.bid_data, budget); !status)
        return status;
    out->resize(static_cast<size_t>(stream.size()));
    return stream.read(0, out->size(), out->data());
}

} // namespace

Status HeapReader::check_map(size_t k, const uint8_t* b, size_t size, BlockMap* out)
{
    auto at = [&] { return std::string("heap block " + std::to_string(k)); };
    if (size < 2)
        return fail(at() + ": " + std::to_string(size) + " bytes are too few for a heap page");
    const uint16_t map = get16(b);
    if (map > size || size - map < 4)
        return fail(at() + ": page map at " + std::to_string(map) + " lies outside its " + std::to_string(size) +
                    " bytes");
    const uint16_t count = get16(b + map);
    if (4 + 2 * (size_t(count) + 1) > size - map)
        return fail(at() + ": a page map of " + std::to_string(count) + " allocations does not fit");
    const uint8_t* offsets = b + map + 4;
    uint16_t prev = get16(offsets);
    if (prev > map)
        return fail(at() + ": first allocation at " + std::to_string(prev) + ", past the page map");
    for (size_t i = 1; i <= count; ++i) {
        const uint16_t cur = get16(offsets + 2 * i);
        if (cur < prev || cur > map)
            return fail(at() + ": allocation " + std::to_string(i) + " ends at " + std::to_string(cur) +
                        ", out of order or past the page map");
        prev = cur;
    }
    out->size = size;
    out->map = map;
    out->count = count;
    return Status::success();
}

Status HeapReader::open(File& file, uint64_t bid, uint8_t client_sig, bool whole)
{
    m_whole = whole;
    m_current = SIZE_MAX;
    m_blocks.clear();
    m_data = nullptr;
    m_data_size = 0;
    m_root = 0;
    m_layout = Access::of(file).layout;
    if (Status status = m_stream.open(file, bid); !status)
        return status;
    const size_t blocks = m_stream.block_count();
    if (blocks == 0)
        return fail("heap without data");
    if (blocks > m_layout->max_heap_blocks())
        return fail("heap of " + std::to_string(blocks) + " blocks, more than a HID can name");
    const uint8_t* b = nullptr;
    size_t n = 0;
    if (Status status = m_stream.block(0, &b, &n); !status)
        return status;
    if (n < 12 || b[2] != kHeapSignature)
        return fail("not a heap-on-node (no 0xEC signature)");
    if (b[3] != client_sig)
        return fail("heap of client type " + hex(b[3]) + ", expected " + hex(client_sig));
    m_root = get32(b + 4);
    if (!whole) {
        // The first block is the one most reads ask for first (the heap's root, most tables'
        // rows): kept as the block read last when its map is sound, as its first read would.
        if (check_map(0, b, n, &m_lazy)) {
            m_lazy_data = b;
            m_current = 0;
        }
        return Status::success();
    }
    m_blocks.resize(blocks);
    if (blocks == 1) {
        // Most items: the block stays in the stream, which nothing reads again until the next open.
        m_data = b;
        m_data_size = n;
        return check_map(0, b, n, &m_blocks[0]);
    }
    m_all.resize(static_cast<size_t>(m_stream.size()));
    m_data = m_all.data();
    m_data_size = m_all.size();
    for (size_t k = 0; k < blocks; ++k) {
        if (k > 0) {
            if (Status status = m_stream.block(k, &b, &n); !status)
                return status;
        }
        const size_t start = static_cast<size_t>(m_stream.block_offset(k));
        if (n)
            std::memcpy(m_all.data() + start, b, n);
        if (Status status = check_map(k, m_all.data() + start, n, &m_blocks[k]); !status)
            return status;
        m_blocks[k].start = start;
    }
    return Status::success();
}

Status HeapReader::lazy_block(size_t k)
{
    if (m_current == k)
        return Status::success();
    m_current = SIZE_MAX;
    const uint8_t* b = nullptr;
    size_t n = 0;
    Status status = m_stream.block(k, &b, &n);
    if (status)
        status = check_map(k, b, n, &m_lazy);
    if (!status)
        return status;
    m_lazy_data = b;
    m_current = k;
    return Status::success();
}

Status HeapReader::get(uint32_t hid, const uint8_t** data, size_t* size)
{
    const size_t k = m_layout->hid_block(hid), index = m_layout->hid_index(hid);
    if ((hid & 0x1F) != 0 || index == 0)
        return fail("HID " + hex(hid) + " is not a heap allocation id");
    if (k >= m_stream.block_count())
        return fail("HID " + hex(hid) + " names heap block " + std::to_string(k) + " of " +
                    std::to_string(m_stream.block_count()));
    const uint8_t* base = nullptr;
    const BlockMap* map = nullptr;
    if (m_whole) {
        map = &m_blocks[k];
        base = m_data + map->start;
    } else {
        if (Status status = lazy_block(k); !status)
            return status;
        map = &m_lazy;
        base = m_lazy_data;
    }
    if (index > map->count)
        return fail("HID " + hex(hid) + " names allocation " + std::to_string(index) + " of a heap block with " +
                    std::to_string(map->count));
    allocation(base, *map, index, data, size);
    return Status::success();
}

const uint8_t HeapReader::kEmptyAllocation[1] = {0};

Status read_bth_header(HeapReader& heap, uint32_t hid, unsigned key_size, unsigned ent_size, BthInfo* out)
{
    const uint8_t* p = nullptr;
    size_t n = 0;
    if (!heap.find(hid, &p, &n))
        if (Status status = heap.get(hid, &p, &n); !status)
            return status;
    if (n < 8 || p[0] != kBthType)
        return fail("BTH header " + hex(hid) + " missing or not of type 0xb5");
    if (p[1] != key_size || p[2] != ent_size)
        return fail("BTH " + hex(hid) + " of " + std::to_string(p[1]) + "-byte keys and " + std::to_string(p[2]) +
                    "-byte records, expected " + std::to_string(key_size) + " and " + std::to_string(ent_size));
    if (p[3] > kMaxBthLevels)
        return fail("BTH " + hex(hid) + " with an implausible " + std::to_string(p[3]) + " index levels");
    out->key = key_size;
    out->ent = ent_size;
    out->levels = p[3];
    out->root = get32(p + 4);
    return Status::success();
}

} // namespace detail

using namespace detail;

// ---------------------------------------------------------------------------------------------

struct PropertyContext::Impl
{
    HeapReader heap;
    BthWalker walker;
    std::vector<PropertyRef> props;
    struct Pending
    {
        size_t index;
        uint32_t nid;
        size_t offset = 0;
    };
    std::vector<Pending> pending;
    // Values read from subnodes: the first arena_size bytes of `arena`, which grows without
    // filling what the reads overwrite (a contact's notes, megabytes at times).
    std::unique_ptr<uint8_t[]> arena;
    size_t arena_size = 0, arena_capacity = 0;
    // Room for `n` more bytes at arena_size.
    void arena_room(size_t n)
    {
        if (arena_capacity - arena_size >= n)
            return;
        const size_t capacity = std::max(2 * arena_capacity, arena_size + n);
        auto grown = std::make_unique_for_overwrite<uint8_t[]>(capacity);
        if (arena_size)
            std::memcpy(grown.get(), arena.get(), arena_size);
        arena = std::move(grown);
        arena_capacity = capacity;
    }
    DataStream stream;
    size_t skipped = 0;
    std::string skip_reason;

    void skip(std::string reason)
    {
        if (skipped++ == 0)
            skip_reason = std::move(reason);
    }
    int read_subnode_values(File& file, const Node& node);
    // open(), open_only() (`only`) and open_selected() (`keep`); neither: every value.
    Status open(File& file, const Node& node, const std::span<const uint16_t>* only, const PropertySelection* keep);
};

PropertyContext::PropertyContext() : m_impl(std::make_unique<Impl>()) {}
PropertyContext::~PropertyContext() = default;

Status PropertyContext::open(File& file, const Node& node)
{
    return m_impl->open(file, node, nullptr, nullptr);
}

Status PropertyContext::open_only(File& file, const Node& node, std::span<const uint16_t> ids)
{
    return m_impl->open(file, node, &ids, nullptr);
}

Status PropertyContext::open_selected(File& file, const Node& node, const PropertySelection& keep)
{
    return m_impl->open(file, node, nullptr, &keep);
}

Status PropertyContext::Impl::open(File& file, const Node& node, const std::span<const uint16_t>* only,
                                   const PropertySelection* keep)
{
    Impl& m = *this;
    m.props.clear();
    m.pending.clear();
    m.arena_size = 0;
    m.skipped = 0;
    m.skip_reason.clear();
    auto at = [&] { return std::string("property context of node " + hex(node.nid) + ": "); };
    BthInfo info;
    Status status = m.heap.open(file, node.bid_data, kClientPC, true);
    if (status)
        status = read_bth_header(m.heap, m.heap.user_root(), 2, 6, &info);
    if (!status)
        return std::move(status).within(at());
    Status walked = m.walker.walk(m.heap, info, [&](const uint8_t* r) {
        if (keep != nullptr && !keep->keeps(get16(r), get16(r + 2)))
            return;
        // Filled where it is kept: a property built beside and then copied in was read back
        // as one wider load of narrower stores, which stalls.
        PropertyRef& ref = m.props.emplace_back();
        ref.id = get16(r);
        ref.type = get16(r + 2);
        const uint32_t hnid = get32(r + 4);
        if (is_inline_size(ref.type)) {
            ref.data = r + 4; // the heap's bytes stay until the next open
            ref.size = 4;
        } else if (hnid == 0) {
            ref.data = kEmpty;
        } else if ((hnid & 0x1F) == 0) {
            if (!m.heap.find_whole(hnid, &ref.data, &ref.size)) {
                m.skip("property " + hex(ref.id) + ": " + m.heap.get(hnid, &ref.data, &ref.size).message);
                m.props.pop_back();
            }
        } else if (keep != nullptr ? keep->has_id(ref.id)
                                   : only == nullptr || std::find(only->begin(), only->end(), ref.id) != only->end()) {
            m.pending.push_back({m.props.size() - 1, hnid});
        } else {
            ref.data = nullptr; // a value in a subnode not asked for
        }
    });
    if (!walked) {
        m.props.clear();
        return std::move(walked).within(at());
    }
    if (!m.pending.empty())
        m.read_subnode_values(file, node);
    return Status::success();
}

int PropertyContext::Impl::read_subnode_values(File& file, const Node& node)
{
    uint64_t budget = kMaxValueBytes;
    size_t blocks = kItemBlockBudget;
    for (Pending& p : pending) {
        PropertyRef& ref = props[p.index];
        ref.size = SIZE_MAX; // left out unless read below
        Node sub;
        if (node.bid_sub == 0) {
            skip("property " + hex(ref.id) + ": value subnode " + hex(p.nid) + " named by a node without subnodes");
            continue;
        }
        Status found = file.find_subnode(node.bid_sub, p.nid, &sub);
        if (!found.found()) {
            skip("property " + hex(ref.id) + ": " +
                 (found.absent ? "value subnode " + hex(p.nid) + " does not exist" : found.message));
            continue;
        }
        if (Status bad = open_budgeted(file, stream, sub.bid_data, &blocks); !bad) {
            skip("property " + hex(ref.id) + ": " + bad.message);
            continue;
        }
        const uint64_t n = stream.size();
        if (n > budget) {
            skip("property " + hex(ref.id) + ": the values of one item pass " + std::to_string(kMaxValueBytes >> 20) +
                 " MiB");
            continue;
        }
        p.offset = arena_size;
        arena_room(static_cast<size_t>(n));
        if (Status bad = stream.read(0, static_cast<size_t>(n), arena.get() + p.offset); !bad) {
            skip("property " + hex(ref.id) + ": " + bad.message);
            continue;
        }
        arena_size += static_cast<size_t>(n);
        budget -= n;
        ref.size = static_cast<size_t>(n);
    }
    // The arena has its final size: point the values into it and drop the ones left out.
    for (const Pending& p : pending)
        if (props[p.index].size != SIZE_MAX)
            props[p.index].data = props[p.index].size ? arena.get() + p.offset : kEmpty;
    props.erase(std::remove_if(props.begin(), props.end(), [](const PropertyRef& r) { return r.size == SIZE_MAX; }),
                props.end());
    return 1;
}

size_t PropertyContext::size() const
{
    return m_impl->props.size();
}

const PropertyRef& PropertyContext::at(size_t i) const
{
    return m_impl->props[i];
}

std::span<const PropertyRef> PropertyContext::all() const
{
    return m_impl->props;
}

const PropertyRef* PropertyContext::find(uint16_t id) const
{
    for (const PropertyRef& r : m_impl->props)
        if (r.id == id)
            return &r;
    return nullptr;
}

std::span<const uint8_t> PropertyContext::heap_bytes() const
{
    return m_impl->heap.whole();
}

size_t PropertyContext::skipped() const
{
    return m_impl->skipped;
}

const std::string& PropertyContext::skip_reason() const
{
    return m_impl->skip_reason;
}

// ---------------------------------------------------------------------------------------------

struct Table::Impl
{
    File* file = nullptr;
    Node node;
    HeapReader heap;
    BthWalker walker;
    std::vector<Column> columns; // of a table whose layout was read anew
    // The table's columns: `columns`, or those of the sound layout it is laid out as (taken
    // without a copy: a table is opened for every message's recipients).
    const std::vector<Column>* cols = &columns;
    // The row layouts and column descriptions (TCINFO's bytes 2 to 9, then from 22 on) of the
    // last tables whose columns were all sound, and those columns: the recipient tables of a
    // folder's messages come in a few layouts (with or without an SMTP address column, ...),
    // which follow one another in no order. A new one takes the place of the oldest.
    struct SoundLayout
    {
        std::vector<uint8_t> bytes;
        std::vector<Column> columns;
    };
    static constexpr size_t kSoundLayouts = 4;
    std::array<SoundLayout, kSoundLayouts> sound;
    size_t sound_next = 0;                           // the one a new layout takes
    std::vector<std::pair<uint32_t, size_t>> by_tag; // sorted by tag; made by the first cell()
    bool by_tag_made = false;
    uint16_t rgib[4] = {};
    size_t row_size = 0;
    std::vector<uint32_t> ids, numbers;
    enum class Matrix
    {
        None,
        Heap,
        Subnode
    } matrix = Matrix::None;
    uint32_t matrix_hid = 0;
    DataStream matrix_stream;
    std::vector<uint64_t> first_row; // subnode matrix: first row number of each block, then the total
    size_t cached = SIZE_MAX;
    std::vector<uint8_t> row;
    DataStream value_stream;
    size_t value_blocks = kTableBlockBudget;

    Status open(File& f, const Node& n);
    Status load_row(size_t r);
    // The cell of the row read last at `column` when it needs no read and no reason: absent
    // (*present false), a fixed-size value in the row, or a value in the heap block read last.
    // False when cell_at() must read it or say why not. Always inlined: it is the whole of most
    // cells' reads, and a call of its own cost row_cells() half of what reading a row at once saved.
    [[gnu::always_inline]] bool cell_in_row(size_t column, std::span<const uint8_t>* out, bool* present) const
    {
        if (column >= cols->size()) {
            *present = false;
            return true;
        }
        const Column& c = (*cols)[column];
        const uint8_t* r = row.data();
        *present = (r[rgib[2] + c.bit / 8] & (0x80 >> (c.bit % 8))) != 0;
        if (!*present)
            return true;
        if (is_fixed_size(static_cast<uint16_t>(c.tag))) {
            *out = {r + c.offset, c.size};
            return true;
        }
        const uint32_t hnid = get32(r + c.offset);
        const uint8_t* p = nullptr;
        size_t n = 0;
        if (hnid == 0 || (hnid & 0x1F) != 0 || !heap.find_loaded(hnid, &p, &n))
            return false;
        *out = {p, n};
        return true;
    }
};

Status Table::Impl::open(File& f, const Node& n)
{
    file = &f;
    node = n;
    columns.clear();
    cols = &columns;
    by_tag.clear();
    by_tag_made = false;
    ids.clear();
    numbers.clear();
    first_row.clear();
    matrix = Matrix::None;
    cached = SIZE_MAX;
    row_size = 0;
    value_blocks = kTableBlockBudget;
    if (Status status = heap.open(f, n.bid_data, kClientTC, false); !status)
        return status;
    const uint8_t* p = nullptr;
    size_t size = 0;
    if (!heap.find(heap.user_root(), &p, &size))
        if (Status status = heap.get(heap.user_root(), &p, &size); !status)
            return status;
    if (size < 22 || p[0] != kClientTC)
        return fail("TCINFO " + hex(heap.user_root()) + " missing or not of type 0x7c");
    const size_t count = p[1];
    if (size < 22 + 8 * count)
        return fail("TCINFO of " + std::to_string(size) + " bytes cannot hold " + std::to_string(count) + " columns");
    for (int i = 0; i < 4; ++i)
        rgib[i] = get16(p + 2 + 2 * i);
    if (!(rgib[0] <= rgib[1] && rgib[1] <= rgib[2] && rgib[2] <= rgib[3]))
        return fail("TCINFO row layout " + std::to_string(rgib[0]) + "/" + std::to_string(rgib[1]) + "/" +
                    std::to_string(rgib[2]) + "/" + std::to_string(rgib[3]) + " is not ascending");
    const Layout& layout = *Access::of(f).layout;
    row_size = rgib[3];
    if (row_size > layout.max_block_data())
        return fail("rows of " + std::to_string(row_size) + " bytes do not fit in a block");
    const uint32_t hid_index = get32(p + 10), hnid_rows = get32(p + 14);
    // A table laid out as one opened before (a message's recipients after another's): the same
    // row layout and column descriptions, whose columns were read and found sound then.
    const auto same_as = [&](const std::vector<uint8_t>& layout_bytes) {
        return layout_bytes.size() == 8 + 8 * count && std::memcmp(layout_bytes.data(), p + 2, 8) == 0 &&
               std::memcmp(layout_bytes.data() + 8, p + 22, 8 * count) == 0;
    };
    const SoundLayout* same = nullptr;
    for (const SoundLayout& l : sound)
        if (same_as(l.bytes)) {
            same = &l;
            break;
        }
    const bool known = same != nullptr;
    if (known)
        cols = &same->columns;
    for (size_t i = 0; i < count && !known; ++i) {
        const uint8_t* d = p + 22 + 8 * i;
        Column c{get32(d), get16(d + 4), d[6], d[7]};
        const uint16_t type = static_cast<uint16_t>(c.tag);
        const bool fixed = is_fixed_size(type);
        const auto col = [&c] { return "column " + hex(c.tag); };
        if ((fixed && (c.size == 0 || c.size > 8)) || (!fixed && c.size != 4))
            return fail(col() + ": " + std::to_string(c.size) + " bytes do not fit its type");
        if (size_t(c.offset) + c.size > rgib[2])
            return fail(col() + ": data at " + std::to_string(c.offset) + " passes the cell area of " +
                        std::to_string(rgib[2]) + " bytes");
        if (size_t(rgib[2]) + c.bit / 8 >= row_size)
            return fail(col() + ": existence bit " + std::to_string(c.bit) + " lies outside the row");
        columns.push_back(c);
    }
    if (!known) {
        SoundLayout& l = sound[sound_next];
        sound_next = (sound_next + 1) % kSoundLayouts;
        l.bytes.assign(p + 2, p + 10);
        l.bytes.insert(l.bytes.end(), p + 22, p + 22 + 8 * count);
        l.columns = columns;
    }

    BthInfo info;
    const unsigned ent = layout.row_index_size;
    if (Status status = read_bth_header(heap, hid_index, 4, ent, &info); !status)
        return status;
    if (Status status = walker.walk(heap, info,
                                    [&](const uint8_t* r) {
                                        ids.push_back(get32(r));
                                        numbers.push_back(ent == 4 ? get32(r + 4) : get16(r + 4));
                                        return Status::success();
                                    });
        !status)
        return status;

    if (hnid_rows == 0)
        return Status::success();
    if ((hnid_rows & 0x1F) == 0) {
        matrix = Matrix::Heap;
        matrix_hid = hnid_rows;
        return Status::success();
    }
    if (n.bid_sub == 0)
        return fail("row matrix subnode " + hex(hnid_rows) + " named by a node without subnodes");
    Node sub;
    Status found = f.find_subnode(n.bid_sub, hnid_rows, &sub);
    if (!found)
        return found;
    if (found.absent)
        return fail("row matrix subnode " + hex(hnid_rows) + " does not exist");
    if (Status status = matrix_stream.open(f, sub.bid_data); !status)
        return status;
    // Rows never cross a block: each block holds as many whole rows as fit.
    uint64_t rows = 0;
    for (size_t k = 0; k < matrix_stream.block_count(); ++k) {
        first_row.push_back(rows);
        if (row_size)
            rows += matrix_stream.block_size(k) / row_size;
    }
    first_row.push_back(rows);
    matrix = Matrix::Subnode;
    return Status::success();
}

Status Table::Impl::load_row(size_t r)
{
    if (cached == r)
        return Status::success();
    cached = SIZE_MAX;
    const uint64_t number = numbers[r];
    row.resize(row_size);
    if (matrix == Matrix::None || row_size == 0)
        return fail("row " + std::to_string(number) + ": the table has no row matrix");
    if (matrix == Matrix::Heap) {
        const uint8_t* p = nullptr;
        size_t n = 0;
        if (!heap.find_loaded(matrix_hid, &p, &n))
            if (Status status = heap.get(matrix_hid, &p, &n); !status)
                return status;
        if (number >= n / row_size)
            return fail("row number " + std::to_string(number) + " outside the row matrix of " +
                        std::to_string(n / row_size) + " rows");
        std::memcpy(row.data(), p + number * row_size, row_size);
    } else {
        if (number >= first_row.back())
            return fail("row number " + std::to_string(number) + " outside the row matrix of " +
                        std::to_string(first_row.back()) + " rows");
        const size_t k =
            static_cast<size_t>(std::upper_bound(first_row.begin(), first_row.end(), number) - first_row.begin()) - 1;
        const uint8_t* p = nullptr;
        size_t n = 0;
        if (Status status = matrix_stream.block(k, &p, &n); !status)
            return status;
        const uint64_t within = (number - first_row[k]) * row_size;
        std::memcpy(row.data(), p + within, row_size);
    }
    if (row_size < 4 || get32(row.data()) != ids[r])
        return fail("row " + std::to_string(number) + " of the row matrix holds row id " +
                    hex(row_size < 4 ? 0 : get32(row.data())) + ", the row index says " + hex(ids[r]));
    cached = r;
    return Status::success();
}

Table::Table() : m_impl(std::make_unique<Impl>()) {}
Table::~Table() = default;

Status Table::open(File& file, const Node& node)
{
    if (Status status = m_impl->open(file, node); !status) {
        m_impl->ids.clear();
        m_impl->numbers.clear();
        return std::move(status).within("table of node " + hex(node.nid) + ": ");
    }
    return Status::success();
}

size_t Table::row_count() const
{
    return m_impl->ids.size();
}
uint32_t Table::row_id(size_t row) const
{
    return m_impl->ids[row];
}
uint32_t Table::row_number(size_t row) const
{
    return m_impl->numbers[row];
}
const std::vector<Table::Column>& Table::columns() const
{
    return *m_impl->cols;
}

Status Table::read_row(size_t row)
{
    if (row >= m_impl->ids.size())
        return fail("row " + std::to_string(row) + " is past the row index");
    return m_impl->load_row(row);
}

Status Table::cell_at(size_t row, size_t column, std::span<const uint8_t>* out, std::vector<uint8_t>* spill)
{
    Impl& m = *m_impl;
    // The row read last (a reader of a row's cells asks for it once for each cell) is not read again.
    if (m.cached != row || row >= m.ids.size())
        if (Status status = read_row(row); !status)
            return status;
    if (bool present = false; m.cell_in_row(column, out, &present))
        return present ? Status::success() : Status::none();
    const Column& c = (*m.cols)[column];
    const uint32_t hnid = get32(m.row.data() + c.offset);
    if (hnid != 0 && (hnid & 0x1F) == 0) {
        const uint8_t* p = nullptr;
        size_t n = 0;
        if (Status status = m.heap.get(hnid, &p, &n); !status)
            return status;
        *out = {p, n};
        return Status::success();
    }
    if (Status status = resolve(*m.file, m.heap, m.node.bid_sub, hnid, m.value_stream, &m.value_blocks, spill); !status)
        return status;
    *out = *spill;
    return Status::success();
}

Status Table::row_cells(size_t row, std::span<const size_t> columns, std::optional<std::span<const uint8_t>>* out,
                        std::vector<uint8_t>* spills)
{
    Impl& m = *m_impl;
    if (m.cached != row || row >= m.ids.size())
        if (Status status = read_row(row); !status)
            return status;
    for (size_t i = 0; i < columns.size(); ++i) {
        out[i].reset();
        std::span<const uint8_t> bytes;
        if (bool present = false; m.cell_in_row(columns[i], &bytes, &present)) {
            if (present)
                out[i].emplace(bytes);
            continue;
        }
        if (Status status = cell_at(row, columns[i], &bytes, &spills[i]); !status)
            return status;
        out[i].emplace(bytes);
    }
    return Status::success();
}

Status Table::cell(size_t row, uint32_t tag, std::vector<uint8_t>* out)
{
    Impl& m = *m_impl;
    if (!m.by_tag_made) {
        // By tag, then by column (a column's index is unique): the order a stable sort by tag
        // gives, without the buffer std::stable_sort allocates. Made when a cell is first asked
        // for by its tag: readers of many small tables (a message's recipients) ask by column.
        for (size_t i = 0; i < m.cols->size(); ++i)
            m.by_tag.emplace_back((*m.cols)[i].tag, i);
        std::sort(m.by_tag.begin(), m.by_tag.end());
        m.by_tag_made = true;
    }
    auto it =
        std::lower_bound(m.by_tag.begin(), m.by_tag.end(), tag, [](const auto& e, uint32_t t) { return e.first < t; });
    const size_t column = it != m.by_tag.end() && it->first == tag ? it->second : m.cols->size();
    std::span<const uint8_t> bytes;
    Status status = cell_at(row, column, &bytes, out);
    // A value in a subnode is read into `out` itself; one in the row or the heap is copied there.
    if (status.found() && bytes.data() != out->data())
        out->assign(bytes.begin(), bytes.end());
    return status;
}

} // namespace pst::read
