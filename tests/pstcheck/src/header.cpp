// The file header: identification, CRCs, ROOT fields, and the id counters.
#include "model.h"

#include <algorithm>

namespace pstcheck::detail {
namespace {

constexpr uint64_t kCrcPartialOffset = 4;
constexpr uint64_t kCrcPartialLength = 471;
constexpr uint64_t kCrcFullOffset = 524;
constexpr uint64_t kCrcFullLength = 516;

// Offsets of the header fields in the two layouts. The ANSI header keeps bidNextB and bidNextP
// before dwUnique, its ROOT has 32-bit fields, and it has no dwCRCFull.
struct HeaderFields
{
    uint64_t next_b, next_p, rgnid, root, sentinel;
};
constexpr HeaderFields kUnicodeFields{516, 32, 44, 180, 512};
constexpr HeaderFields kAnsiFields{24, 28, 36, 164, 460};

void check_crc(File& f, const char* name, uint64_t stored_at, uint64_t length)
{
    const uint32_t stored = f.bytes.u32(stored_at);
    const uint32_t computed = crc32(f.bytes.sub(8, length));
    if (stored != computed)
        f.problem(std::string("header: ") + name + " " + hex(stored) + " stored, " + hex(computed) + " computed");
}

} // namespace

bool read_header(File& f)
{
    const Bytes& b = f.bytes;
    if (!b.has(0, 512)) {
        f.problem("header: file of " + std::to_string(b.size()) + " bytes is too small for a header");
        return false;
    }
    if (b.u32(0) != 0x4E444221) {
        f.problem("header: dwMagic is " + hex(b.u32(0)) + ", not \"!BDN\"");
        return false;
    }
    if (b.u16(8) != 0x4D53)
        f.problem("header: wMagicClient is " + hex(b.u16(8)) + ", not \"SM\"");
    Header& h = f.header;
    h.version = b.u16(10);
    if (h.version == 36) {
        f.problem("not checked: file with 4 KB pages (wVer 36)");
        return false;
    }
    if (h.version != 23 && h.version != 14 && h.version != 15) {
        f.problem("header: unknown wVer " + std::to_string(h.version));
        return false;
    }
    f.layout = h.version == 23 ? unicode_layout() : ansi_layout();
    const Layout& l = f.layout;
    if (!b.has(0, l.header)) {
        f.problem("header: file of " + std::to_string(b.size()) + " bytes is too small for a header");
        return false;
    }
    check_crc(f, "dwCRCPartial", kCrcPartialOffset, kCrcPartialLength);
    if (!l.ansi)
        check_crc(f, "dwCRCFull", kCrcFullOffset, kCrcFullLength);

    const HeaderFields& at = l.ansi ? kAnsiFields : kUnicodeFields;
    h.bid_next_p = l.ref(b, at.next_p);
    h.bid_next_b = l.ref(b, at.next_b);
    for (int i = 0; i < 32; ++i)
        h.rgnid[i] = b.u32(at.rgnid + 4 * i);
    // ROOT: dwReserved, ibFileEof, ibAMapLast, cbAMapFree, cbPMapFree, BREFNBT, BREFBBT, fAMapValid.
    const uint64_t root = at.root + 4;
    const auto field = [&](unsigned k) { return l.ref(b, root + k * l.id); };
    h.file_eof = field(0);
    h.amap_last = field(1);
    h.amap_free = field(2);
    h.nbt = {field(4), field(5)};
    h.bbt = {field(6), field(7)};
    h.amap_valid = b.u8(root + 8 * l.id);
    h.crypt = b.u8(at.sentinel + 1);

    if (b.u8(at.sentinel) != 0x80)
        f.problem("header: bSentinel is " + hex(b.u8(at.sentinel)) + ", not 0x80");
    if (h.crypt > 2)
        f.problem("header: unknown bCryptMethod " + std::to_string(h.crypt));
    if (h.file_eof != b.size())
        f.problem("header: ibFileEof " + hex(h.file_eof) + " but the file has " + hex(b.size()) + " bytes");
    if (h.amap_valid != 1 && h.amap_valid != 2)
        f.problem("header: fAMapValid is " + std::to_string(h.amap_valid) + " (allocation maps marked invalid)");
    if (b.size() > kFirstAMap) {
        const uint64_t last = kFirstAMap + (b.size() - kFirstAMap - 1) / kRegionSize * kRegionSize;
        if (h.amap_last != last)
            f.problem("header: ibAMapLast " + hex(h.amap_last) + ", the last AMap page is at " + hex(last));
    } else {
        f.problem("header: the file ends at " + hex(b.size()) + ", before the first AMap page");
    }
    return true;
}

void check_header_counters(File& f)
{
    const Header& h = f.header;
    uint64_t max_block = 0;
    for (const auto& e : f.blocks)
        max_block = std::max(max_block, e.bid);
    if (!f.blocks.empty() && (max_block >> 2) >= (h.bid_next_b >> 2))
        f.problem("header: bidNextB " + hex(h.bid_next_b) + " is not above block BID " + hex(max_block));
    if (f.max_page_bid && f.max_page_bid >= h.bid_next_p)
        f.problem("header: bidNextP " + hex(h.bid_next_p) + " is not above page BID " + hex(f.max_page_bid));

    uint32_t max_index[32] = {};
    uint64_t max_nid[32] = {};
    for (const auto& n : f.nodes) {
        const unsigned type = n.nid & 0x1F;
        const uint32_t index = uint32_t(n.nid >> 5);
        if (index > max_index[type]) {
            max_index[type] = index;
            max_nid[type] = n.nid;
        }
    }
    for (unsigned t = 0; t < 32; ++t)
        if (max_index[t] > h.rgnid[t])
            f.problem("header: rgnid[" + std::to_string(t) + "] is " + hex(h.rgnid[t]) + ", below the index of node " +
                      hex(max_nid[t]));
}

} // namespace pstcheck::detail
