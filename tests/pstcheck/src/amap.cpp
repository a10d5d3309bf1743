// Allocation metadata: map pages at their fixed places, AMap bits against the structures in use,
// overlaps, the header's free count, FMap contents and the density list.
#include "model.h"

#include <algorithm>

namespace pstcheck::detail {
namespace {

constexpr uint64_t kBitsPerMap = 496 * 8;
constexpr size_t kMaxRunsPerMap = 8;

struct MapPagePlace
{
    uint64_t offset;
    uint8_t ptype;
    const char* name;
};

// The map pages of region k, in file order.
std::vector<MapPagePlace> map_pages(uint64_t k)
{
    const uint64_t start = kFirstAMap + k * kRegionSize;
    std::vector<MapPagePlace> out{{start, kPtypeAMap, "AMap"}};
    if (k % 8 == 0)
        out.push_back({start + kPageSize, kPtypePMap, "PMap"});
    // FMap: one byte per AMap, after the 128 that the header covers. FPMap: one bit per PMap, after
    // the 1024 (8192 regions, 2 GB) that the header covers. Their regions never coincide.
    if (k >= 128 && (k - 128) % 496 == 0)
        out.push_back({start + 2 * kPageSize, kPtypeFMap, "FMap"});
    if (k >= 8192 && (k - 8192) % (496 * 8 * 8) == 0)
        out.push_back({start + 2 * kPageSize, kPtypeFPMap, "FPMap"});
    return out;
}

bool check_map_page(File& f, const MapPagePlace& p)
{
    const std::string at = std::string(p.name) + " page at " + hex(p.offset);
    if (!f.bytes.has(p.offset, kPageSize)) {
        f.problem(at + ": beyond the end of the file");
        return false;
    }
    const Bytes page = f.bytes.sub(p.offset, kPageSize);
    const Layout& l = f.layout;
    const uint64_t trailer = l.page_trailer;
    bool ok = true;
    if (page.u8(trailer) != p.ptype || page.u8(trailer + 1) != p.ptype) {
        f.problem(at + ": ptype " + hex(page.u8(trailer)) + "/" + hex(page.u8(trailer + 1)) + ", expected " +
                  hex(p.ptype));
        ok = false;
    }
    if (page.u16(trailer + 2) != 0)
        f.problem(at + ": wSig " + hex(page.u16(trailer + 2)) + ", expected 0");
    const uint32_t crc = page.u32(trailer + l.trailer_crc()), computed = crc32(page.sub(0, trailer));
    if (crc != computed)
        f.problem(at + ": CRC " + hex(crc) + " stored, " + hex(computed) + " computed");
    const uint64_t bid = l.ref(page, trailer + l.trailer_bid());
    if (bid != p.offset)
        f.problem(at + ": trailer BID " + hex(bid) + ", expected its offset");
    // ANSI pages pad their 496 bytes of bits to 500: before them in AMap and PMap pages, after
    // them in FMap and FPMap pages.
    const bool pad_first = p.ptype == kPtypeAMap || p.ptype == kPtypePMap;
    if (l.ansi && page.u32(pad_first ? 0 : 496) != 0)
        f.problem(at + ": dwPadding " + hex(page.u32(pad_first ? 0 : 496)) + ", not 0");
    return ok;
}

std::string describe(const Extent& e)
{
    switch (e.kind) {
    case Extent::MapPage:
        return "map page at " + hex(e.ib);
    case Extent::BTreePage:
        return "B-tree page " + hex(e.id) + " at " + hex(e.ib);
    case Extent::Block:
        break;
    }
    return "block " + hex(e.id) + " at " + hex(e.ib);
}

bool bit(const Bytes& map, uint64_t i)
{
    return (map.u8(i / 8) >> (7 - i % 8)) & 1;
}
void set_bit(std::vector<uint8_t>& map, uint64_t i)
{
    map[i / 8] |= uint8_t(0x80 >> (i % 8));
}

uint64_t longest_free_run(const Bytes& map)
{
    uint64_t best = 0, run = 0;
    for (uint64_t i = 0; i < kBitsPerMap; ++i) {
        run = bit(map, i) ? 0 : run + 1;
        best = std::max(best, run);
    }
    return best;
}

uint64_t free_bits(const Bytes& map)
{
    uint64_t n = 0;
    for (uint64_t i = 0; i < kBitsPerMap; ++i)
        n += !bit(map, i);
    return n;
}

// Reports runs where the stored bits of region k differ from the expected ones.
void compare_bits(File& f, uint64_t k, const Bytes& stored, const std::vector<uint8_t>& expected,
                  const std::vector<Extent>& sorted)
{
    const uint64_t start = kFirstAMap + k * kRegionSize;
    const Bytes want(expected.data(), expected.size());
    size_t runs = 0;
    for (uint64_t i = 0; i < kBitsPerMap;) {
        const bool have = bit(stored, i), need = bit(want, i);
        if (have == need) {
            ++i;
            continue;
        }
        uint64_t j = i;
        while (j < kBitsPerMap && bit(stored, j) == have && bit(want, j) == need)
            ++j;
        if (have && !f.options.check_unused_space) {
            i = j;
            continue;
        }
        if (++runs > kMaxRunsPerMap) {
            f.problem("AMap page at " + hex(start) + ": more differing runs not listed");
            return;
        }
        const uint64_t from = start + i * 64, bytes = (j - i) * 64;
        std::string line = "AMap page at " + hex(start) + ": " + std::to_string(bytes) + " bytes at " + hex(from);
        if (have) {
            line += " marked allocated but nothing uses them";
        } else {
            auto it = std::upper_bound(sorted.begin(), sorted.end(), from,
                                       [](uint64_t v, const Extent& e) { return v < e.ib; });
            line += " in use but not marked allocated";
            if (it != sorted.begin() && (it - 1)->ib + (it - 1)->size > from)
                line += " (" + describe(*(it - 1)) + ")";
        }
        f.problem(line);
        i = j;
    }
}

void check_dlist(File& f, uint64_t regions, const std::vector<uint64_t>& free_per_map)
{
    const std::string at = "DList page at " + hex(kDListOffset);
    if (!f.bytes.has(kDListOffset, kPageSize))
        return; // the header check already reports so short a file
    const Bytes page = f.bytes.sub(kDListOffset, kPageSize);
    const Layout& l = f.layout;
    const uint64_t trailer = l.page_trailer;
    if (page.u8(trailer) != kPtypeDL || page.u8(trailer + 1) != kPtypeDL) {
        f.problem(at + ": ptype " + hex(page.u8(trailer)) + "/" + hex(page.u8(trailer + 1)) + ", expected " +
                  hex(kPtypeDL));
        return;
    }
    const uint64_t bid = l.ref(page, trailer + l.trailer_bid());
    const uint16_t sig = page.u16(trailer + 2);
    if (sig != signature(kDListOffset, bid))
        f.problem(at + ": wSig " + hex(sig) + ", expected " + hex(signature(kDListOffset, bid)));
    const uint32_t crc = page.u32(trailer + l.trailer_crc()), computed = crc32(page.sub(0, trailer));
    if (crc != computed)
        f.problem(at + ": CRC " + hex(crc) + " stored, " + hex(computed) + " computed");
    if (bid > f.header.bid_next_p)
        f.problem(at + ": BID " + hex(bid) + " is above bidNextP " + hex(f.header.bid_next_p));
    const unsigned count = page.u8(1);
    const uint32_t current = page.u32(4);
    if (current >= regions)
        f.problem(at + ": ulCurrentPage " + std::to_string(current) + ", the file has " + std::to_string(regions) +
                  " AMap pages");
    if (count > l.dlist_entries) {
        f.problem(at + ": cEntDList " + std::to_string(count) + " exceeds " + std::to_string(l.dlist_entries));
        return;
    }
    uint64_t previous_free = ~uint64_t(0);
    for (unsigned i = 0; i < count; ++i) {
        const uint32_t e = page.u32(8 + 4 * i);
        const uint32_t map = e & 0xFFFFF, slots = e >> 20;
        const std::string entry = at + " entry " + std::to_string(i);
        if (map >= regions) {
            f.problem(entry + ": AMap page " + std::to_string(map) + " does not exist");
            continue;
        }
        if (slots != std::min<uint64_t>(free_per_map[map], 0xFFF))
            f.problem(entry + ": " + std::to_string(slots) + " free slots for AMap page " + std::to_string(map) +
                      ", which has " + std::to_string(free_per_map[map]));
        if (slots > previous_free)
            f.problem(entry + ": not sorted by descending free space");
        previous_free = slots;
    }
}

} // namespace

void check_allocation(File& f)
{
    const uint64_t size = f.bytes.size();
    if (size <= kFirstAMap)
        return;
    const uint64_t regions = (size - kFirstAMap + kRegionSize - 1) / kRegionSize;
    std::vector<bool> map_ok(regions, false);
    for (uint64_t k = 0; k < regions; ++k) {
        for (const auto& p : map_pages(k)) {
            const bool ok = check_map_page(f, p);
            if (p.ptype == kPtypeAMap)
                map_ok[k] = ok;
            f.extents.push_back({p.offset, kPageSize, Extent::MapPage, p.offset});
        }
    }

    std::vector<Extent> sorted = f.extents;
    std::sort(sorted.begin(), sorted.end(), [](const Extent& a, const Extent& b) { return a.ib < b.ib; });
    std::vector<std::vector<uint8_t>> expected(regions, std::vector<uint8_t>(496, 0));
    uint64_t reach = 0; // end of the furthest extent seen so far
    const Extent* reach_owner = nullptr;
    for (const auto& e : sorted) {
        if (reach_owner && e.ib < reach)
            f.problem(describe(e) + " overlaps " + describe(*reach_owner));
        if (e.ib + e.size > reach) {
            reach = e.ib + e.size;
            reach_owner = &e;
        }
        if (e.ib < kFirstAMap)
            continue; // reported where the extent was found
        const uint64_t k = (e.ib - kFirstAMap) / kRegionSize;
        const uint64_t k_end = (e.ib + e.size - 1 - kFirstAMap) / kRegionSize;
        if (k_end != k)
            f.problem(describe(e) + " crosses into the next AMap region");
        if (k >= regions)
            continue;
        const uint64_t first = (e.ib - kFirstAMap) % kRegionSize / 64;
        for (uint64_t i = first; i < first + (e.size + 63) / 64 && i < kBitsPerMap; ++i)
            set_bit(expected[k], i);
    }

    std::vector<uint64_t> free_per_map(regions, 0);
    uint64_t free_total = 0;
    bool all_maps = true;
    for (uint64_t k = 0; k < regions; ++k) {
        const uint64_t start = kFirstAMap + k * kRegionSize;
        if (!map_ok[k]) {
            all_maps = false;
            continue;
        }
        const Bytes stored = f.bytes.sub(start + f.layout.map_bits, 496);
        free_per_map[k] = free_bits(stored);
        free_total += free_per_map[k];
        compare_bits(f, k, stored, expected[k], sorted);
    }
    if (all_maps && free_total * 64 != f.header.amap_free)
        f.problem("header: cbAMapFree " + std::to_string(f.header.amap_free) + ", the AMap pages have " +
                  std::to_string(free_total * 64) + " free bytes");

    // FMap pages: the longest free run of each AMap they cover, capped at 255.
    for (uint64_t k = 128; k < regions; k += 496) {
        const uint64_t at = kFirstAMap + k * kRegionSize + 2 * kPageSize;
        if (!f.bytes.has(at, kPageSize))
            continue;
        for (uint64_t j = 0; j < 496 && k + j < regions; ++j) {
            if (!map_ok[k + j])
                continue;
            const uint64_t run = std::min<uint64_t>(
                longest_free_run(f.bytes.sub(kFirstAMap + (k + j) * kRegionSize + f.layout.map_bits, 496)), 255);
            if (f.bytes.u8(at + j) != run)
                f.problem("FMap page at " + hex(at) + ": byte " + std::to_string(j) + " is " +
                          std::to_string(f.bytes.u8(at + j)) + ", the longest free run of its AMap is " +
                          std::to_string(run));
        }
    }
    if (f.options.check_dlist)
        check_dlist(f, regions, free_per_map);
}

} // namespace pstcheck::detail
