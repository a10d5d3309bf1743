// Blocks listed in the BBT: placement and trailers, then the trees that reference them (data
// trees, subnode trees) and the reference counts that follow from those references.
#include "model.h"

namespace pstcheck::detail {
namespace {

constexpr int kMaxNesting = 16;

std::string block_at(const BlockEntry& b)
{
    return "block " + hex(b.bid) + " at " + hex(b.ib);
}

void check_block(File& f, BlockEntry& b)
{
    const std::string at = block_at(b);
    const Layout& l = f.layout;
    const uint64_t size = f.block_alloc_size(b.cb);
    if (b.cb > l.max_payload()) {
        f.problem(at + ": cb " + std::to_string(b.cb) + " exceeds " + std::to_string(l.max_payload()) + " bytes");
        return;
    }
    if (b.ib % 64 != 0)
        f.problem(at + ": not aligned to 64 bytes");
    if (b.ib < kFirstAMap || !f.bytes.has(b.ib, size)) {
        f.problem(at + ": outside the file's data area");
        return;
    }
    f.extents.push_back({b.ib, size, Extent::Block, b.bid});
    const Bytes t = f.bytes.sub(b.ib + size - l.block_trailer, l.block_trailer);
    const uint16_t cb = t.u16(0), sig = t.u16(2);
    const uint32_t crc = t.u32(l.trailer_crc());
    const uint64_t bid = l.ref(t, l.trailer_bid());
    bool sound = true;
    if (cb != b.cb) {
        f.problem(at + ": trailer cb " + std::to_string(cb) + ", the BBT says " + std::to_string(b.cb));
        sound = false;
    }
    if (bid != b.bid) {
        f.problem(at + ": trailer BID is " + hex(bid));
        sound = false;
    }
    if (sig != signature(b.ib, b.bid))
        f.problem(at + ": wSig " + hex(sig) + ", expected " + hex(signature(b.ib, b.bid)));
    const uint32_t computed = crc32(f.bytes.sub(b.ib, b.cb));
    if (crc != computed)
        f.problem(at + ": CRC " + hex(crc) + " stored, " + hex(computed) + " computed");
    b.sound = sound;
}

// Counts references and checks the internal blocks reached from the NBT.
class ReferenceWalker
{
public:
    explicit ReferenceWalker(File& f) : m_f(f) {}

    // A data tree rooted at `bid`; `level` is the level the referrer expects (-1: any).
    void data(uint64_t bid, int level, const std::string& from, int depth);
    // A subnode tree rooted at `bid`.
    void subnodes(uint64_t bid, int level, const std::string& from, int depth);

private:
    BlockEntry* reach(uint64_t bid, const std::string& from);

    File& m_f;
};

BlockEntry* ReferenceWalker::reach(uint64_t bid, const std::string& from)
{
    BlockEntry* b = m_f.find_block(bid);
    if (!b) {
        m_f.problem(from + ": block " + hex(bid) + " is not in the BBT");
        return nullptr;
    }
    ++b->refs;
    if (b->expanded)
        return nullptr;
    b->expanded = true;
    return b;
}

void ReferenceWalker::data(uint64_t bid, int level, const std::string& from, int depth)
{
    BlockEntry* b = reach(bid, from);
    if (!b)
        return;
    const std::string at = block_at(*b);
    if (!is_internal_bid(bid)) {
        if (level > 0)
            m_f.problem(from + ": names data block " + hex(bid) + " where an XBLOCK is needed");
        return;
    }
    if (level == 0) {
        m_f.problem(from + ": names internal block " + hex(bid) + " where a data block is needed");
        return;
    }
    const auto content = m_f.block_data(bid);
    if (!content || depth > kMaxNesting)
        return;
    const Bytes x(*content);
    const unsigned btype = x.u8(0), c_level = x.u8(1), c_ent = x.u16(2);
    const uint32_t lcb_total = x.u32(4);
    if (btype != 1 || (c_level != 1 && c_level != 2)) {
        m_f.problem(at + ": internal block reached as data is not an XBLOCK/XXBLOCK (btype " + std::to_string(btype) +
                    ", cLevel " + std::to_string(c_level) + ")");
        return;
    }
    if (level > 0 && int(c_level) != level)
        m_f.problem(at + ": cLevel " + std::to_string(c_level) + ", its parent expects " + std::to_string(level));
    const uint64_t id = m_f.layout.id;
    if (8 + uint64_t(c_ent) * id > x.size()) {
        m_f.problem(at + ": " + std::to_string(c_ent) + " entries do not fit in " + std::to_string(x.size()) +
                    " bytes");
        return;
    }
    if (c_ent == 0)
        m_f.problem(at + ": data tree without entries");
    uint64_t total = 0;
    for (unsigned i = 0; i < c_ent; ++i) {
        const uint64_t child = m_f.layout.ref(x, 8 + id * uint64_t(i));
        const std::string here = at + " entry " + std::to_string(i);
        data(child, int(c_level) - 1, here, depth + 1);
        if (const BlockEntry* c = m_f.find_block(child)) {
            if (c_level == 1) {
                total += c->cb;
            } else if (auto cc = m_f.block_data(child)) {
                total += Bytes(*cc).u32(4);
            }
        }
    }
    if (total != lcb_total)
        m_f.problem(at + ": lcbTotal " + std::to_string(lcb_total) + ", its blocks hold " + std::to_string(total));
}

void ReferenceWalker::subnodes(uint64_t bid, int level, const std::string& from, int depth)
{
    BlockEntry* b = reach(bid, from);
    if (!b)
        return;
    const std::string at = block_at(*b);
    if (!is_internal_bid(bid)) {
        m_f.problem(from + ": subnode tree " + hex(bid) + " is not an internal block");
        return;
    }
    const auto content = m_f.block_data(bid);
    if (!content || depth > kMaxNesting)
        return;
    const Bytes x(*content);
    const unsigned btype = x.u8(0), c_level = x.u8(1), c_ent = x.u16(2);
    if (btype != 2 || c_level > 1) {
        m_f.problem(at + ": internal block reached as subnodes is not an SLBLOCK/SIBLOCK (btype " +
                    std::to_string(btype) + ", cLevel " + std::to_string(c_level) + ")");
        return;
    }
    if (level >= 0 && int(c_level) != level)
        m_f.problem(at + ": cLevel " + std::to_string(c_level) + ", its parent expects " + std::to_string(level));
    // Entries: SLENTRY {nid, bidData, bidSub}, SIENTRY {nid, bid}, after a header of 8 bytes (4 of
    // them padding) in Unicode files and 4 bytes in ANSI files.
    const Layout& l = m_f.layout;
    const uint64_t size = (c_level == 0 ? 3 : 2) * l.id, header = l.sl_header;
    if (header == 8 && x.u32(4) != 0)
        m_f.problem(at + ": dwPadding " + hex(x.u32(4)) + ", not 0");
    if (header + c_ent * size > x.size()) {
        m_f.problem(at + ": " + std::to_string(c_ent) + " entries do not fit in " + std::to_string(x.size()) +
                    " bytes");
        return;
    }
    if (c_ent == 0)
        m_f.problem(at + ": subnode tree without entries");
    for (unsigned i = 0; i < c_ent; ++i) {
        const Bytes e = x.sub(header + i * size, size);
        // Only the low 32 bits of a subnode id are meaningful; writers leave garbage above them.
        const uint64_t nid = e.u32(0);
        const std::string here = at + " entry " + std::to_string(i) + " (subnode " + hex(nid) + ")";
        if (i > 0 && nid <= x.u32(header + (i - 1) * size))
            m_f.problem(here + ": subnode ids not strictly ascending");
        if (c_level == 0) {
            data(l.ref(e, l.id), -1, here, depth + 1);
            if (l.ref(e, 2 * l.id))
                subnodes(l.ref(e, 2 * l.id), -1, here, depth + 1);
            continue;
        }
        const uint64_t child = l.ref(e, l.id);
        subnodes(child, 0, here, depth + 1);
        if (auto cc = m_f.block_data(child)) {
            const Bytes c(*cc);
            if (c.u16(2) > 0 && c.u32(header) != nid)
                m_f.problem(here + ": key differs from the first id " + hex(c.u32(header)) + " of its child");
        }
    }
}

} // namespace

void check_blocks(File& f)
{
    for (auto& b : f.blocks)
        check_block(f, b);
}

void check_references(File& f)
{
    ReferenceWalker walker(f);
    for (const auto& n : f.nodes) {
        const std::string from = "node " + hex(n.nid);
        if (n.bid_data) // an empty node has no data block
            walker.data(n.bid_data, -1, from + " data", 0);
        if (n.bid_sub)
            walker.subnodes(n.bid_sub, -1, from + " subnodes", 0);
    }
    if (!f.bbt_complete || !f.nbt_complete)
        return; // counts would be incomplete
    for (const auto& b : f.blocks) {
        if (b.refs == 0) {
            if (f.options.check_leaks)
                f.problem(block_at(b) + ": referenced by nothing (leaked)");
            continue;
        }
        if (b.cref != b.refs + 1)
            f.problem(block_at(b) + ": cRef " + std::to_string(b.cref) + ", expected " + std::to_string(b.refs + 1) +
                      " (the BBT entry and " + std::to_string(b.refs) + " references)");
    }
}

} // namespace pstcheck::detail
