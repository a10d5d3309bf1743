// Walks the block and node B-trees from the header's roots and checks every page on the way.
#include "model.h"

#include <algorithm>
#include <optional>
#include <set>

namespace pstcheck::detail {
namespace {

constexpr int kMaxDepth = 12;

struct TreeKind
{
    const char* name;
    uint8_t ptype;
    uint64_t Layout::*leaf_cb; // leaf entry size
};

constexpr TreeKind kBBT{"BBT", kPtypeBBT, &Layout::bbt_leaf};
constexpr TreeKind kNBT{"NBT", kPtypeNBT, &Layout::nbt_leaf};

class TreeWalker
{
public:
    TreeWalker(File& f, const TreeKind& kind, std::set<uint64_t>& page_bids, std::set<uint64_t>& page_offsets)
        : m_f(f), m_kind(kind), m_page_bids(page_bids), m_page_offsets(page_offsets)
    {
    }

    // Walks the page at `ref`. `level` is the cLevel the parent expects (-1 for the root);
    // keys must lie in [lo, hi); `parent_key` is the parent's key for this page, if any.
    // Returns false when part of the tree could not be read.
    bool walk(const Bref& ref, int level, uint64_t lo, std::optional<uint64_t> hi, std::optional<uint64_t> parent_key,
              int depth);

private:
    std::string where(const Bref& ref) const
    {
        return std::string(m_kind.name) + " page " + hex(ref.bid) + " at " + hex(ref.ib);
    }
    bool check_page(const Bref& ref, Bytes page, int level);
    void add_leaf(Bytes e);

    File& m_f;
    const TreeKind& m_kind;
    std::set<uint64_t>& m_page_bids;
    std::set<uint64_t>& m_page_offsets;
};

bool TreeWalker::check_page(const Bref& ref, Bytes page, int level)
{
    const std::string at = where(ref);
    const Layout& l = m_f.layout;
    bool usable = true;
    const uint64_t trailer = l.page_trailer;
    const uint8_t ptype = page.u8(trailer), ptype2 = page.u8(trailer + 1);
    if (ptype != m_kind.ptype || ptype2 != m_kind.ptype) {
        m_f.problem(at + ": ptype " + hex(ptype) + "/" + hex(ptype2) + ", expected " + hex(m_kind.ptype));
        usable = false;
    }
    const uint64_t bid = l.ref(page, trailer + l.trailer_bid());
    if (bid != ref.bid)
        m_f.problem(at + ": trailer BID is " + hex(bid));
    const uint16_t sig = page.u16(trailer + 2);
    if (sig != signature(ref.ib, ref.bid))
        m_f.problem(at + ": wSig " + hex(sig) + ", expected " + hex(signature(ref.ib, ref.bid)));
    const uint32_t crc = page.u32(trailer + l.trailer_crc()), computed = crc32(page.sub(0, trailer));
    if (crc != computed)
        m_f.problem(at + ": CRC " + hex(crc) + " stored, " + hex(computed) + " computed");

    const uint64_t meta = l.page_meta, entries_size = l.page_meta;
    const unsigned c_ent = page.u8(meta), c_ent_max = page.u8(meta + 1), cb_ent = page.u8(meta + 2),
                   c_level = page.u8(meta + 3);
    if (level >= 0 && int(c_level) != level) {
        m_f.problem(at + ": cLevel " + std::to_string(c_level) + ", its parent expects " + std::to_string(level));
        usable = false;
    }
    if (c_level > kMaxDepth) {
        m_f.problem(at + ": cLevel " + std::to_string(c_level) + " is implausible");
        usable = false;
    }
    const uint64_t want_cb = c_level == 0 ? l.*m_kind.leaf_cb : l.bt_entry();
    if (cb_ent != want_cb) {
        m_f.problem(at + ": cbEnt " + std::to_string(cb_ent) + ", expected " + std::to_string(want_cb));
        usable = false;
    }
    if (c_ent_max != entries_size / want_cb)
        m_f.problem(at + ": cEntMax " + std::to_string(c_ent_max) + ", expected " +
                    std::to_string(entries_size / want_cb));
    if (c_ent > entries_size / want_cb || c_ent > c_ent_max) {
        m_f.problem(at + ": cEnt " + std::to_string(c_ent) + " exceeds cEntMax " + std::to_string(c_ent_max));
        usable = false;
    }
    if (c_ent == 0 && level >= 0)
        m_f.problem(at + ": a non-root page without entries");
    if (!l.ansi && page.u32(492) != 0) // ANSI pages have no padding there
        m_f.problem(at + ": dwPadding " + hex(page.u32(492)) + ", not 0");
    return usable;
}

void TreeWalker::add_leaf(Bytes e)
{
    // Entry padding is not checked: Outlook leaves whatever was in memory there.
    const Layout& l = m_f.layout;
    if (m_kind.ptype == kPtypeBBT) {
        BlockEntry b;
        b.bid = l.ref(e, 0);
        b.ib = l.ref(e, l.id);
        b.cb = e.u16(2 * l.id);
        b.cref = e.u16(2 * l.id + 2);
        m_f.blocks.push_back(b);
    } else {
        NodeEntry n;
        n.nid = l.ref(e, 0);
        n.bid_data = l.ref(e, l.id);
        n.bid_sub = l.ref(e, 2 * l.id);
        n.parent = e.u32(3 * l.id);
        m_f.nodes.push_back(n);
    }
}

bool TreeWalker::walk(const Bref& ref, int level, uint64_t lo, std::optional<uint64_t> hi,
                      std::optional<uint64_t> parent_key, int depth)
{
    const std::string at = where(ref);
    if (depth > kMaxDepth) {
        m_f.problem(at + ": tree deeper than " + std::to_string(kMaxDepth) + " levels");
        return false;
    }
    if (!m_f.bytes.has(ref.ib, kPageSize) || ref.ib < kFirstAMap) {
        m_f.problem(at + ": outside the file's data area");
        return false;
    }
    if (ref.ib % kPageSize != 0)
        m_f.problem(at + ": not aligned to 512 bytes");
    if (!m_page_offsets.insert(ref.ib).second) {
        m_f.problem(at + ": page reached twice");
        return false;
    }
    if (!m_page_bids.insert(ref.bid).second)
        m_f.problem(at + ": page BID used by another page");
    m_f.max_page_bid = std::max(m_f.max_page_bid, ref.bid);
    m_f.extents.push_back({ref.ib, kPageSize, Extent::BTreePage, ref.bid});
    ++m_f.summary.btree_pages;

    const Bytes page = m_f.bytes.sub(ref.ib, kPageSize);
    if (!check_page(ref, page, level))
        return false;
    const Layout& l = m_f.layout;
    const unsigned c_ent = page.u8(l.page_meta), cb_ent = page.u8(l.page_meta + 2), c_level = page.u8(l.page_meta + 3);

    bool complete = true;
    std::optional<uint64_t> prev;
    for (unsigned i = 0; i < c_ent; ++i) {
        const Bytes e = page.sub(uint64_t(i) * cb_ent, cb_ent);
        const uint64_t key = l.ref(e, 0);
        const std::string entry = at + " entry " + std::to_string(i) + " (key " + hex(key) + ")";
        if (prev && key <= *prev)
            m_f.problem(entry + ": keys not strictly ascending after " + hex(*prev));
        else if (key < lo || (hi && key >= *hi))
            m_f.problem(entry + ": key outside the range its parent gives");
        if (i == 0 && parent_key && key != *parent_key)
            m_f.problem(at + ": first key " + hex(key) + " differs from the parent's key " + hex(*parent_key));
        prev = key;
        if (c_level == 0) {
            add_leaf(e);
            continue;
        }
        std::optional<uint64_t> next_key = hi;
        if (i + 1 < c_ent)
            next_key = l.ref(page, uint64_t(i + 1) * cb_ent);
        const Bref child{l.ref(e, l.id), l.ref(e, 2 * l.id)};
        complete &= walk(child, int(c_level) - 1, key, next_key, key, depth + 1);
    }
    return complete;
}

template <typename T, typename Key> void sort_unique(File& f, std::vector<T>& v, Key key, const char* what)
{
    std::stable_sort(v.begin(), v.end(), [&](const T& a, const T& b) { return key(a) < key(b); });
    auto out = v.begin();
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (out != v.begin() && key(*(out - 1)) == key(*it)) {
            f.problem(std::string(what) + " " + hex(key(*it)) + " listed twice");
            continue;
        }
        *out++ = *it;
    }
    v.erase(out, v.end());
}

} // namespace

void read_btrees(File& f)
{
    std::set<uint64_t> page_bids, page_offsets;
    f.bbt_complete = TreeWalker(f, kBBT, page_bids, page_offsets).walk(f.header.bbt, -1, 0, {}, {}, 0);
    f.nbt_complete = TreeWalker(f, kNBT, page_bids, page_offsets).walk(f.header.nbt, -1, 0, {}, {}, 0);
    sort_unique(
        f, f.blocks, [](const BlockEntry& e) { return e.bid; }, "BBT: block");
    sort_unique(
        f, f.nodes, [](const NodeEntry& e) { return e.nid; }, "NBT: node");
    for (const auto& b : f.blocks)
        if (b.bid & 1)
            f.problem("BBT: block " + hex(b.bid) + " has the reserved BID bit set");
    for (const auto& n : f.nodes)
        if (n.nid >> 32)
            f.problem("NBT: node " + hex(n.nid) + " has a NID wider than 32 bits");
}

} // namespace pstcheck::detail
