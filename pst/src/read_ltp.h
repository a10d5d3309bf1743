// Internals of the reader's lists, tables and properties: heap-on-node and BTree-on-heap over a
// node's data stream.
#pragma once

#include "read_ndb.h"

#include <type_traits>

namespace pst::read::detail {

constexpr unsigned kMaxBthLevels = 8;

// A heap-on-node. Whole: every block is read on open and kept, so allocations stay valid until the
// next open (property contexts); a heap of one block is kept where its stream read it, not copied.
// Lazy: blocks are read when an allocation in them is asked for, and an allocation stays valid
// until the next get (tables, whose heaps can be large).
class HeapReader
{
public:
    Status open(File& file, uint64_t bid, uint8_t client_sig, bool whole);
    uint32_t user_root() const { return m_root; }
    // The bytes of allocation `hid` (a HID: its low 5 bits are 0).
    Status get(uint32_t hid, const uint8_t** data, size_t* size);
    // As get() of a heap opened whole, inline and without a reason: false exactly where get()
    // fails (then get() says why). Every allocation of a property context is looked up so.
    bool find_whole(uint32_t hid, const uint8_t** data, size_t* size) const
    {
        const size_t k = m_layout->hid_block(hid), index = m_layout->hid_index(hid);
        if ((hid & 0x1F) != 0 || index == 0 || k >= m_blocks.size() || index > m_blocks[k].count)
            return false;
        allocation(m_data + m_blocks[k].start, m_blocks[k], index, data, size);
        return true;
    }
    // As get() of a heap opened lazily, inline and without a reason, of an allocation in the block
    // read last (a table's cells mostly lie in one): false when get() must read it or say why not.
    bool find_loaded(uint32_t hid, const uint8_t** data, size_t* size) const
    {
        const size_t k = m_layout->hid_block(hid), index = m_layout->hid_index(hid);
        if (m_whole || (hid & 0x1F) != 0 || index == 0 || k != m_current || index > m_lazy.count)
            return false;
        allocation(m_lazy_data, m_lazy, index, data, size);
        return true;
    }
    // find_whole() or find_loaded(), as the heap was opened.
    bool find(uint32_t hid, const uint8_t** data, size_t* size) const
    {
        return m_whole ? find_whole(hid, data, size) : find_loaded(hid, data, size);
    }
    // A heap opened whole: its bytes, where every allocation lies (valid until the next open).
    std::span<const uint8_t> whole() const { return {m_data, m_data_size}; }
    // What an empty allocation's bytes point at.
    static const uint8_t kEmptyAllocation[1];

private:
    struct BlockMap
    {
        size_t start = 0; // whole mode: offset of the block in m_data
        size_t size = 0;
        uint16_t map = 0;   // ibHnpm
        uint16_t count = 0; // cAlloc
    };
    // The bytes of allocation `index` (1 to map.count) of the heap block at `base`.
    static void allocation(const uint8_t* base, const BlockMap& map, size_t index, const uint8_t** data, size_t* size)
    {
        const uint8_t* offsets = base + map.map + 4;
        const uint16_t begin = get16(offsets + 2 * (index - 1)), end = get16(offsets + 2 * index);
        *data = begin < end ? base + begin : kEmptyAllocation;
        *size = end - begin;
    }
    Status check_map(size_t k, const uint8_t* block, size_t size, BlockMap* out);
    Status lazy_block(size_t k);

    DataStream m_stream;
    const Layout* m_layout = &kUnicodeLayout; // the file's: where a HID's block index sits
    bool m_whole = true;
    uint32_t m_root = 0;
    std::vector<uint8_t> m_all;      // whole mode: the stream, when it has more than one block
    const uint8_t* m_data = nullptr; // whole mode: the stream (m_all, or the stream's one block)
    size_t m_data_size = 0;
    std::vector<BlockMap> m_blocks; // whole mode: every block
    size_t m_current = SIZE_MAX;    // lazy mode: the block in m_lazy
    const uint8_t* m_lazy_data = nullptr;
    BlockMap m_lazy;
};

struct BthInfo
{
    unsigned key = 0, ent = 0, levels = 0;
    uint32_t root = 0;
};

// Reads the BTHHEADER at `hid`, which must describe records of key_size + ent_size bytes.
Status read_bth_header(HeapReader& heap, uint32_t hid, unsigned key_size, unsigned ent_size, BthInfo* out);

inline uint64_t key_value(const uint8_t* p, unsigned size)
{
    if (size == 2) // a property context's, and most tables' keys
        return get16(p);
    if (size == 4)
        return get32(p);
    uint64_t k = 0;
    for (unsigned i = size; i-- > 0;)
        k = k << 8 | p[i];
    return k;
}

// Visits a BTH's leaf records in order. Levels strictly decrease on the way down, and every key
// must lie in the range its parent gives and follow the one before: a node reached twice, a cycle
// or a misplaced record ends the walk with an error.
class BthWalker
{
public:
    // visit(const uint8_t* record) returns a Status, a failure stopping the walk with it, or
    // nothing (a visitor that cannot fail). The record is valid until the visitor returns.
    template <typename Visit> Status walk(HeapReader& heap, const BthInfo& info, Visit&& visit)
    {
        m_have_prev = false;
        if (info.root == 0)
            return Status::success();
        return node(heap, info, info.root, info.levels, 0, false, 0, visit);
    }

private:
    template <typename Visit>
    Status node(HeapReader& heap, const BthInfo& info, uint32_t hid, unsigned level, uint64_t lo, bool has_hi,
                uint64_t hi, Visit& visit)
    {
        const uint8_t* p = nullptr;
        size_t n = 0;
        if (!heap.find(hid, &p, &n))
            if (Status status = heap.get(hid, &p, &n); !status)
                return status;
        const size_t rec = info.key + (level ? 4u : info.ent);
        if (n == 0 || n % rec != 0)
            return fail("BTH node " + hex(hid) + " of " + std::to_string(n) + " bytes is not whole records of " +
                        std::to_string(rec));
        if (level == 0) {
            // The records: each key within the range the parent gives and past the one before
            // (in this leaf or the leaf before). The bounds are kept in locals: the visitor may
            // write memory, which would have every one read again for every record.
            const uint8_t* const end = p + n;
            const unsigned key = info.key;
            uint64_t prev = m_prev;
            bool have_prev = m_have_prev;
            for (const uint8_t* r = p; r != end; r += rec) {
                const uint64_t k = key == 2 ? get16(r) : key_value(r, key);
                if (k < lo || (has_hi && k >= hi) || (have_prev && k <= prev))
                    return fail("BTH node " + hex(hid) + ": key " + hex(k) + " out of order");
                prev = k;
                have_prev = true;
                if constexpr (std::is_void_v<decltype(visit(r))>) {
                    visit(r);
                } else if (Status status = visit(r); !status) {
                    return status;
                }
            }
            m_prev = prev;
            m_have_prev = have_prev;
            return Status::success();
        }
        // Copied: reading the children may replace the heap block this points into.
        std::vector<uint8_t>& copy = m_levels[level - 1];
        copy.assign(p, p + n);
        p = copy.data();
        for (size_t i = 0; i < n / rec; ++i) {
            const uint8_t* r = p + i * rec;
            const uint64_t k = key_value(r, info.key);
            if (k < lo || (has_hi && k >= hi) || (i > 0 && k <= key_value(r - rec, info.key)))
                return fail("BTH node " + hex(hid) + ": key " + hex(k) + " out of order");
            const bool last = i + 1 == n / rec;
            const uint64_t next = last ? hi : key_value(r + rec, info.key);
            if (Status status = node(heap, info, get32(r + info.key), level - 1, k, last ? has_hi : true, next, visit);
                !status)
                return status;
        }
        return Status::success();
    }

    std::vector<uint8_t> m_levels[kMaxBthLevels];
    uint64_t m_prev = 0;
    bool m_have_prev = false;
};

} // namespace pst::read::detail
