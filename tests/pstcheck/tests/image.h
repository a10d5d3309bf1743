// A PST file in memory for tests that damage it on purpose: field access, CRC repair after a
// change, and the offsets of the structures a test wants to hit. Only what the tests need;
// the checker itself must not rely on any of this.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pstcheck::testing {

uint32_t pst_crc(const uint8_t* p, size_t n);

struct BbtEntry
{
    uint64_t at = 0; // offset of the entry
    uint64_t bid = 0, ib = 0;
    uint16_t cb = 0, cref = 0;
};

class Image
{
public:
    static Image load(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        Image img;
        img.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return img;
    }

    uint64_t get(uint64_t off, int width) const
    {
        uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i)
            v = v << 8 | bytes.at(off + i);
        return v;
    }
    void put(uint64_t off, int width, uint64_t v)
    {
        for (int i = 0; i < width; ++i)
            bytes.at(off + i) = uint8_t(v >> (8 * i));
    }

    // Recomputes the CRCs after a deliberate change so that only the change itself is wrong.
    void fix_header()
    {
        put(4, 4, pst_crc(&bytes[8], 471));
        put(524, 4, pst_crc(&bytes[8], 516));
    }
    void fix_page(uint64_t page) { put(page + 500, 4, pst_crc(&bytes.at(page), 496)); }
    void fix_block(const BbtEntry& e);

    uint64_t nbt_root() const { return get(224, 8); }
    uint64_t bbt_root() const { return get(240, 8); }

    // Offsets of the leaf pages of the tree whose root page is at `root`, in key order.
    std::vector<uint64_t> leaf_pages(uint64_t root) const
    {
        std::vector<uint64_t> out;
        collect(root, out, 0);
        return out;
    }

    std::vector<uint8_t> bytes;

private:
    void collect(uint64_t page, std::vector<uint64_t>& out, int depth) const
    {
        if (depth > 8)
            return;
        if (bytes.at(page + 491) == 0) {
            out.push_back(page);
            return;
        }
        for (unsigned i = 0; i < bytes.at(page + 488); ++i)
            collect(get(page + 24 * i + 16, 8), out, depth + 1);
    }
};

inline std::vector<BbtEntry> bbt_entries(const Image& img)
{
    std::vector<BbtEntry> out;
    for (uint64_t page : img.leaf_pages(img.bbt_root()))
        for (unsigned i = 0; i < img.bytes.at(page + 488); ++i) {
            const uint64_t e = page + 24 * i;
            out.push_back(
                {e, img.get(e, 8), img.get(e + 8, 8), uint16_t(img.get(e + 16, 2)), uint16_t(img.get(e + 18, 2))});
        }
    return out;
}

struct NbtEntry
{
    uint64_t at = 0; // offset of the entry
    uint64_t nid = 0, bid_data = 0, bid_sub = 0;
    uint32_t parent = 0;
};

inline std::vector<NbtEntry> nbt_entries(const Image& img)
{
    std::vector<NbtEntry> out;
    for (uint64_t page : img.leaf_pages(img.nbt_root()))
        for (unsigned i = 0; i < img.bytes.at(page + 488); ++i) {
            const uint64_t e = page + 32 * i;
            out.push_back({e, img.get(e, 8), img.get(e + 8, 8), img.get(e + 16, 8), uint32_t(img.get(e + 24, 4))});
        }
    return out;
}

inline NbtEntry find_nbt(const Image& img, uint64_t nid)
{
    for (const auto& e : nbt_entries(img))
        if (e.nid == nid)
            return e;
    return {};
}

// Removes the leaf entry at `at` (entries of `size` bytes) from its page and repairs the page CRC.
inline void remove_entry(Image& img, uint64_t at, unsigned size)
{
    const uint64_t page = at - at % 512;
    const unsigned count = img.bytes.at(page + 488);
    const uint64_t end = page + uint64_t(count) * size;
    std::copy(img.bytes.begin() + at + size, img.bytes.begin() + end, img.bytes.begin() + at);
    std::fill(img.bytes.begin() + end - size, img.bytes.begin() + end, 0);
    img.bytes.at(page + 488) = uint8_t(count - 1);
    img.fix_page(page);
}

inline void Image::fix_block(const BbtEntry& e)
{
    const uint64_t size = (e.cb + 16 + 63) / 64 * 64;
    put(e.ib + size - 12, 4, pst_crc(&bytes.at(e.ib), e.cb));
}

inline uint32_t pst_crc(const uint8_t* p, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc;
}

} // namespace pstcheck::testing
