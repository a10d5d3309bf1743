// Orphan message nodes, and property contexts recovered from the file's free space.
#include "pst/recovery.h"

#include "crypt.h"
#include "read_ndb.h"

#include <algorithm>
#include <unordered_set>

namespace pst::read {

using namespace detail;

namespace {

constexpr uint32_t kTypeFolder = nid::kTypeFolder;
constexpr uint32_t kTypeMessage = nid::kTypeMessage;
constexpr uint32_t kTypeAssocMessage = nid::kTypeAssocMessage;
constexpr uint64_t kWindow = 1 << 20; // bytes read at once
constexpr uint64_t kBidMask = ~uint64_t(1);
using pst::detail::kPtypeAMap;
constexpr size_t kCheckEvery = 256; // candidates checked between progress calls

bool is_message(uint32_t nid)
{
    const uint32_t type = nid & 0x1F;
    return type == kTypeMessage || type == kTypeAssocMessage;
}

using pst::detail::block_signature;

struct Range
{
    uint64_t begin, end;
};

} // namespace

Status for_each_message_node(File& file, const std::function<bool(const Node&)>& visit)
{
    return file.for_each_node([&](const Node& n) { return !is_message(n.nid) || visit(n); });
}

Status for_each_orphan_message(File& file, const std::function<bool(const Node&)>& visit)
{
    // One walk of the node B-tree: a message whose parent is a folder met before it (its parent
    // is nearly always created first, so nearly every message) is no orphan; the others wait
    // until every folder is known. Folders come in key order, so sorted; in a damaged tree that
    // is not, the look-ups stop there rather than sort again and again.
    std::vector<uint32_t> folders;
    bool sorted = true;
    std::vector<Node> maybe; // in key order
    if (Status status = file.for_each_node([&](const Node& n) {
            if ((n.nid & 0x1F) == kTypeFolder) {
                sorted = sorted && (folders.empty() || folders.back() <= n.nid);
                folders.push_back(n.nid);
            } else if (is_message(n.nid) && !(sorted && std::binary_search(folders.begin(), folders.end(), n.parent))) {
                maybe.push_back(n);
            }
            return true;
        });
        !status)
        return status;
    std::sort(folders.begin(), folders.end());
    for (const Node& n : maybe)
        if (!std::binary_search(folders.begin(), folders.end(), n.parent) && !visit(n))
            break;
    return Status::success();
}

// ---------------------------------------------------------------------------------------------

struct Recovery::Impl
{
    File& file;
    File::Impl& f;
    std::unordered_map<uint64_t, BlockRef> found; // sound blocks of free space, by BID
    std::unordered_set<uint64_t> items;           // root BIDs of the last scan's items

    explicit Impl(File& fl) : file(fl), f(Access::of(fl)) {}

    // Sets the found blocks as the file's extra blocks while it lives.
    struct Overlay
    {
        File::Impl& f;
        explicit Overlay(Impl& m) : f(m.f)
        {
            f.extra_blocks = &m.found;
            f.internal_blocks.clear();
        }
        ~Overlay()
        {
            f.extra_blocks = nullptr;
            f.internal_blocks.clear(); // recovered XBLOCKs must not answer live lookups
        }
    };

    void free_ranges(std::vector<Range>* out, RecoveryResult* r);
    // Scans [begin, end); false when the scan must stop (r->end says why).
    bool scan_range(const Range& range, const RecoveryOptions& o, RecoveryResult* r, RecoveryProgress* p);
    bool report(const RecoveryOptions& o, const RecoveryProgress& p, RecoveryResult* r);
    // The stored bytes of a found block, decoded when it is a data block of an encoded file.
    bool block_bytes(const BlockRef& ref, std::vector<uint8_t>* out);
    bool starts_pc_heap(const BlockRef& ref, std::vector<uint8_t>& scratch);
    // The leaves of a found XBLOCK (level 1) or XXBLOCK (level 2), all found; false otherwise.
    bool tree_leaves(const BlockRef& ref, unsigned level, std::vector<uint64_t>* tree, std::vector<uint64_t>* leaves,
                     uint64_t* total, std::vector<uint8_t>& scratch);
};

void Recovery::Impl::free_ranges(std::vector<Range>* out, RecoveryResult* r)
{
    const Layout& L = *f.layout;
    const uint64_t size = f.size, first = L.first_region, region = L.region_size();
    out->clear();
    if (size <= first)
        return;
    if (f.amap_valid != 1 && f.amap_valid != 2) {
        r->whole_file = true;
        out->push_back({first, size});
        return;
    }
    uint8_t page[kMaxPageSize];
    for (uint64_t start = first; start < size; start += region) {
        const uint64_t end = std::min(start + region, size);
        // A region whose map cannot be trusted is examined whole.
        bool sound = end - start >= L.page_size && f.read_at(start, L.page_size, page).found();
        sound = sound && page[L.page_trailer] == kPtypeAMap && page[L.page_trailer + 1] == kPtypeAMap &&
                pst::crc32(page, L.page_trailer) == get32(page + L.page_crc);
        if (!sound) {
            ++r->unmapped_regions;
            out->push_back({start, end});
            continue;
        }
        const uint8_t* bits = page + L.map_bits_at;
        uint64_t run = 0;
        bool in_run = false;
        for (uint64_t i = 0; i < uint64_t{L.map_bytes} * 8; ++i) {
            // A byte of eight units alike that do not end the run, or begin one, is passed at once
            // (a live file's maps are mostly full bytes).
            if (i % 8 == 0 && start + (i + 7) * L.map_unit < end && bits[i / 8] == (in_run ? 0x00 : 0xFF)) {
                i += 7;
                continue;
            }
            const uint64_t at = start + i * L.map_unit;
            const bool used = at >= end || (bits[i / 8] & (0x80 >> (i % 8)));
            if (!used && !in_run) {
                run = at;
                in_run = true;
            } else if (used && in_run) {
                out->push_back({run, std::min(at, end)});
                in_run = false;
            }
            if (at >= end)
                break;
        }
        if (in_run)
            out->push_back({run, end});
    }
}

bool Recovery::Impl::report(const RecoveryOptions& o, const RecoveryProgress& p, RecoveryResult* r)
{
    if (o.progress && !o.progress(p)) {
        r->end = RecoveryEnd::Cancelled;
        return false;
    }
    return true;
}

bool Recovery::Impl::scan_range(const Range& range, const RecoveryOptions& o, RecoveryResult* r, RecoveryProgress* p)
{
    const Layout& L = *f.layout;
    const unsigned trailer = L.block_trailer;
    const uint64_t unit = L.block_align;
    std::vector<uint8_t> buf;
    for (uint64_t ws = range.begin; ws < range.end; ws += kWindow) {
        const uint64_t we = std::min(ws + kWindow, range.end);
        if (r->scanned + (we - ws) > o.max_bytes) {
            r->end = RecoveryEnd::ByteLimit;
            return false;
        }
        // The bytes before the window that a block ending in it may start at.
        const uint64_t back = std::min<uint64_t>(L.max_block, ws - range.begin);
        const uint64_t base = ws - back;
        buf.resize(static_cast<size_t>(we - base));
        if (!f.read_at(base, buf.size(), buf.data()))
            return true; // the file ends early: nothing more to find here
        for (uint64_t e = ws + unit; e <= we; e += unit) {
            const uint8_t* t = buf.data() + (e - trailer - base);
            const uint16_t cb = get16(t);
            if (cb < 8 || cb > L.max_block_data())
                continue;
            const uint64_t alloc = L.block_alloc(cb);
            if (e - range.begin < alloc)
                continue;
            const uint64_t start = e - alloc;
            const uint64_t bid = L.id(t + L.trailer_bid) & kBidMask;
            if (bid == 0 || get16(t + 2) != block_signature(start, bid) ||
                pst::crc32(buf.data() + (start - base), cb) != get32(t + L.trailer_crc))
                continue;
            const uint16_t inflated = L.trailer_inflated ? get16(t + L.trailer_inflated) : 0;
            ++r->blocks;
            ++p->blocks;
            if (found.size() >= o.max_blocks) {
                r->end = RecoveryEnd::BlockLimit;
                return false;
            }
            found.emplace(bid, BlockRef{bid, start, cb, inflated ? inflated : cb}); // the first copy of a BID is kept
        }
        r->scanned += we - ws;
        p->scanned = r->scanned;
        if (!report(o, *p, r))
            return false;
    }
    return true;
}

bool Recovery::Impl::block_bytes(const BlockRef& ref, std::vector<uint8_t>* out)
{
    // The file's own block reader: it inflates a compressed block and decodes a data block.
    return f.read_block(ref, out).found();
}

bool Recovery::Impl::starts_pc_heap(const BlockRef& ref, std::vector<uint8_t>& scratch)
{
    if (is_internal(ref.bid) || !block_bytes(ref, &scratch))
        return false;
    return scratch.size() >= 12 && scratch[2] == pst::detail::kHeapSignature && scratch[3] == pst::detail::kClientPC &&
           get16(scratch.data()) <= scratch.size();
}

bool Recovery::Impl::tree_leaves(const BlockRef& ref, unsigned level, std::vector<uint64_t>* tree,
                                 std::vector<uint64_t>* leaves, uint64_t* total, std::vector<uint8_t>& scratch)
{
    const Layout& L = *f.layout;
    if (!is_internal(ref.bid) || !block_bytes(ref, &scratch) || scratch.size() < 8)
        return false;
    if (scratch[0] != 1 || scratch[1] != level)
        return false;
    const size_t count = get16(scratch.data() + 2);
    const uint32_t lcb = get32(scratch.data() + 4);
    if (count == 0 || 8 + count * L.id_size > scratch.size())
        return false;
    std::vector<uint64_t> children(count);
    for (size_t i = 0; i < count; ++i)
        children[i] = L.id(scratch.data() + 8 + i * L.id_size) & kBidMask;
    tree->push_back(ref.bid);
    uint64_t sum = 0;
    for (uint64_t child : children) {
        const auto it = found.find(child);
        if (it == found.end() || leaves->size() >= kMaxPieces)
            return false;
        if (level == 2) {
            uint64_t below = 0;
            if (!tree_leaves(it->second, 1, tree, leaves, &below, scratch))
                return false;
            sum += below;
            continue;
        }
        if (is_internal(child))
            return false;
        leaves->push_back(child);
        sum += it->second.size;
    }
    if (sum != lcb)
        return false;
    *total = sum;
    return true;
}

Recovery::Recovery(File& file) : m_impl(std::make_unique<Impl>(file)) {}
Recovery::~Recovery() = default;

Status Recovery::scan(const RecoveryOptions& o, RecoveryResult* r)
{
    Impl& m = *m_impl;
    *r = RecoveryResult{};
    m.found.clear();
    m.items.clear();
    std::vector<Range> ranges;
    m.free_ranges(&ranges, r);
    for (const Range& range : ranges)
        r->total += range.end - range.begin;
    RecoveryProgress p;
    p.total = r->total;
    for (const Range& range : ranges)
        if (!m.scan_range(range, o, r, &p))
            break;

    // Candidates: trees first (XXBLOCKs before XBLOCKs), then the data blocks no tree took, each
    // starting a property context's heap.
    struct Candidate
    {
        RecoveredItem item;
        std::vector<uint64_t> bids; // every block of the tree
    };
    std::vector<const BlockRef*> blocks;
    blocks.reserve(m.found.size());
    for (const auto& [bid, ref] : m.found)
        blocks.push_back(&ref);
    std::sort(blocks.begin(), blocks.end(), [](const BlockRef* a, const BlockRef* b) { return a->ib < b->ib; });
    std::vector<Candidate> candidates;
    std::unordered_set<uint64_t> taken;
    std::vector<uint8_t> scratch;
    for (unsigned level : {2u, 1u}) {
        for (const BlockRef* b : blocks) {
            if (!is_internal(b->bid) || taken.count(b->bid))
                continue;
            Candidate c;
            std::vector<uint64_t> leaves;
            uint64_t total = 0;
            if (!m.tree_leaves(*b, level, &c.bids, &leaves, &total, scratch) ||
                !m.starts_pc_heap(m.found.at(leaves.front()), scratch))
                continue;
            c.bids.insert(c.bids.end(), leaves.begin(), leaves.end());
            taken.insert(c.bids.begin(), c.bids.end());
            c.item.offset = b->ib;
            c.item.bid = b->bid;
            c.item.size = total;
            c.item.blocks = static_cast<uint32_t>(leaves.size());
            candidates.push_back(std::move(c));
        }
    }
    for (const BlockRef* b : blocks) {
        if (is_internal(b->bid) || taken.count(b->bid) || !m.starts_pc_heap(*b, scratch))
            continue;
        Candidate c;
        c.bids.push_back(b->bid);
        c.item.offset = b->ib;
        c.item.bid = b->bid;
        c.item.size = b->cb;
        c.item.blocks = 1;
        candidates.push_back(std::move(c));
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.item.offset < b.item.offset; });

    // What the live trees use is never recovered: blocks of the block B-tree, and BIDs that live
    // nodes name (the node B-tree is read only when there is something to compare).
    std::vector<uint64_t> named;
    if (!candidates.empty()) {
        if (Status status = m.file.for_each_node([&](const Node& n) {
                named.push_back(n.bid_data & kBidMask);
                named.push_back(n.bid_sub & kBidMask);
                return true;
            });
            !status)
            return status;
    }
    std::sort(named.begin(), named.end());
    std::unordered_set<uint64_t> live;
    for (const Candidate& c : candidates)
        for (uint64_t bid : c.bids) {
            BlockRef ref;
            Status in_bbt = m.f.find_block(bid, &ref);
            if (!in_bbt)
                return in_bbt;
            if (in_bbt.found() || std::binary_search(named.begin(), named.end(), bid))
                live.insert(bid);
        }
    r->live = live.size();

    Impl::Overlay overlay(m);
    PropertyContext pc;
    size_t checked = 0;
    // A scan cancelled while reading still checks what it found; a cancel while checking stops.
    const bool cancelled = r->end == RecoveryEnd::Cancelled;
    for (const Candidate& c : candidates) {
        if (!cancelled && ++checked % kCheckEvery == 0) {
            p.candidates = r->items.size();
            if (!m.report(o, p, r))
                break;
        }
        if (std::any_of(c.bids.begin(), c.bids.end(), [&](uint64_t b) { return live.count(b) != 0; }))
            continue;
        if (r->items.size() >= o.max_candidates) {
            r->end = RecoveryEnd::CandidateLimit;
            break;
        }
        const Node node{0, c.item.bid, 0, 0};
        if (!pc.open(m.file, node) || pc.size() == 0) {
            ++r->rejected;
            continue;
        }
        RecoveredItem item = c.item;
        item.properties = static_cast<uint32_t>(pc.size());
        item.skipped = static_cast<uint32_t>(pc.skipped());
        r->items.push_back(item);
        m.items.insert(item.bid);
    }
    return Status::success();
}

Status Recovery::open(const RecoveredItem& item, PropertyContext* pc)
{
    Impl& m = *m_impl;
    if (!m.items.count(item.bid))
        return fail("block " + hex(item.bid) + " is no item of the last recovery scan");
    Impl::Overlay overlay(m);
    if (Status status = pc->open(m.file, Node{0, item.bid, 0, 0}); !status)
        return std::move(status).within("recovered item at " + hex(item.offset) + ": ");
    return Status::success();
}

} // namespace pst::read
