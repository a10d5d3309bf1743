// Where the fields of the node database sit in each file kind: one description per kind, used by
// the reader, the writer and recovery alike. ANSI files use 32-bit BIDs and offsets, Unicode
// files 64-bit ones, which changes every trailer, entry and page layout; the 4 KiB-page form
// also has larger pages and blocks, 2-byte entry counts, 24-byte trailers with the inflated size
// of a block, and HIDs with 14 bits of allocation index. Everything above the node database is
// the same, except the width of a table's row index entries.
#pragma once

#include "bytes.h"
#include "pst/format.h"

#include <cstdint>

namespace pst::detail {

struct Layout
{
    FileFormat format;
    uint16_t version;          // wVer the writer puts in the header
    unsigned id_size;          // bytes of a BID or file offset
    unsigned page_size;        // B-tree and map pages
    unsigned page_meta;        // offset of cEnt, cEntMax, cbEnt, cLevel (also the bytes of entries)
    unsigned page_trailer;     // offset of ptype, ptypeRepeat, wSig
    unsigned page_bid;         // offset of the page's BID in the trailer area
    unsigned page_crc;         // offset of the page's CRC
    unsigned block_trailer;    // BLOCKTRAILER size
    unsigned block_align;      // blocks start and end on multiples of this
    unsigned max_block;        // largest block with its trailer
    unsigned trailer_bid;      // offset of the BID in a block trailer
    unsigned trailer_crc;      // offset of the CRC in a block trailer
    unsigned trailer_inflated; // offset of the inflated size in a block trailer (0: none)
    unsigned bbt_entry;        // leaf BBTENTRY
    unsigned bbt_inflated;     // offset of the inflated size in a BBTENTRY (0: none)
    unsigned nbt_entry;        // leaf NBTENTRY
    unsigned sl_header;        // SLBLOCK / SIBLOCK header (Unicode pads it to 8 bytes)
    unsigned row_index_size;   // dwRowIndex of a table's row index
    unsigned map_bits_at;      // offset of the bits in an AMap or PMap page
    unsigned map_bytes;        // bytes of bits in one AMap page
    unsigned map_unit;         // bytes one AMap bit stands for
    uint64_t first_region;     // offset of the first allocation map
    unsigned hid_block_shift;  // a HID's block index starts at this bit
    bool wide_counts;          // cEnt and cEntMax are 2 bytes (4 KiB pages)
    uint64_t max_file_size;    // the writer's limit: ANSI offsets stay below 2 GB, Unicode files below
                               // Outlook's default of 50 GB
    const char* too_large;     // the writer's reason when a file would pass max_file_size

    unsigned max_block_data() const { return max_block - block_trailer; }
    unsigned bt_entry() const { return 3 * id_size; } // intermediate BTENTRY: key, BID, offset
    unsigned sl_entry() const { return 3 * id_size; }
    unsigned si_entry() const { return 2 * id_size; }
    unsigned per_page(unsigned entry) const { return page_meta / entry; }
    unsigned xblock_slots() const { return (max_block_data() - 8) / id_size; }
    unsigned sl_entries() const { return (max_block_data() - sl_header) / sl_entry(); }
    unsigned si_entries() const { return (max_block_data() - sl_header) / si_entry(); }
    uint64_t region_size() const { return uint64_t{map_bytes} * 8 * map_unit; }
    // Bytes a block of `cb` stored bytes takes in the file.
    uint64_t block_alloc(uint64_t cb) const { return align_up(cb + block_trailer, block_align); }

    // A HID: hidType 0 (5 bits), the allocation's index (from 1), the heap block's index.
    uint32_t hid_block(uint32_t hid) const { return hid >> hid_block_shift; }
    uint32_t hid_index(uint32_t hid) const { return (hid & ((1u << hid_block_shift) - 1)) >> 5; }
    uint32_t make_hid(uint32_t block, uint32_t index) const { return (block << hid_block_shift) | (index << 5); }
    uint32_t max_heap_blocks() const { return 1u << (32 - hid_block_shift); }
    uint32_t max_heap_allocs() const { return (1u << (hid_block_shift - 5)) - 1; }

    uint64_t id(const uint8_t* p) const { return id_size == 8 ? get64(p) : get32(p); }
    void put_id(uint8_t* p, uint64_t v) const
    {
        for (unsigned i = 0; i < id_size; ++i)
            p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    void append_id(Bytes& b, uint64_t v) const
    {
        const size_t n = b.size();
        b.resize(n + id_size);
        put_id(b.data() + n, v);
    }
    // cEnt, cbEnt and cLevel of a B-tree page, and all four fields set.
    unsigned page_count(const uint8_t* page) const { return wide_counts ? get16(page + page_meta) : page[page_meta]; }
    unsigned entry_size_of(const uint8_t* page) const { return page[page_meta + (wide_counts ? 4 : 2)]; }
    unsigned level_of(const uint8_t* page) const { return page[page_meta + (wide_counts ? 5 : 3)]; }
    void set_page_meta(uint8_t* page, unsigned count, unsigned max, unsigned entry, unsigned level) const
    {
        uint8_t* m = page + page_meta;
        if (wide_counts) {
            put16(m, static_cast<uint16_t>(count));
            put16(m + 2, static_cast<uint16_t>(max));
            m += 4;
        } else {
            m[0] = static_cast<uint8_t>(count);
            m[1] = static_cast<uint8_t>(max);
            m += 2;
        }
        m[0] = static_cast<uint8_t>(entry);
        m[1] = static_cast<uint8_t>(level);
    }
};

// ANSI (wVer 14): 8180-byte blocks, 41/31/41 B-tree entries per page.
inline constexpr Layout kAnsiLayout{
    .format = FileFormat::Ansi,
    .version = 14,
    .id_size = 4,
    .page_size = 512,
    .page_meta = 496,
    .page_trailer = 500,
    .page_bid = 504,
    .page_crc = 508,
    .block_trailer = 12,
    .block_align = 64,
    .max_block = 8192,
    .trailer_bid = 4,
    .trailer_crc = 8,
    .trailer_inflated = 0,
    .bbt_entry = 12,
    .bbt_inflated = 0,
    .nbt_entry = 16,
    .sl_header = 4,
    .row_index_size = 2,
    .map_bits_at = 4,
    .map_bytes = 496,
    .map_unit = 64,
    .first_region = 0x4400,
    .hid_block_shift = 16,
    .wide_counts = false,
    .max_file_size = kMaxAnsiFileSize,
    .too_large = "The PST file would exceed 2 GB",
};
// Unicode (wVer 23): 8176-byte blocks, 20/15/20 B-tree entries per page.
inline constexpr Layout kUnicodeLayout{
    .format = FileFormat::Unicode,
    .version = 23,
    .id_size = 8,
    .page_size = 512,
    .page_meta = 488,
    .page_trailer = 496,
    .page_bid = 504,
    .page_crc = 500,
    .block_trailer = 16,
    .block_align = 64,
    .max_block = 8192,
    .trailer_bid = 8,
    .trailer_crc = 4,
    .trailer_inflated = 0,
    .bbt_entry = 24,
    .bbt_inflated = 0,
    .nbt_entry = 32,
    .sl_header = 8,
    .row_index_size = 4,
    .map_bits_at = 0,
    .map_bytes = 496,
    .map_unit = 64,
    .first_region = 0x4400,
    .hid_block_shift = 16,
    .wide_counts = false,
    .max_file_size = kMaxFileSize,
    .too_large = "The PST file would exceed 50 GB",
};
// Unicode with 4 KiB pages (wVer 36): blocks of up to 64 KiB in 512-byte steps, 169/126/169
// B-tree entries per page, one AMap page per 16,678,912 bytes from 0x22000.
inline constexpr Layout kUnicode4kLayout{
    .format = FileFormat::Unicode4k,
    .version = 36,
    .id_size = 8,
    .page_size = 4096,
    .page_meta = 4056,
    .page_trailer = 4072,
    .page_bid = 4080,
    .page_crc = 4076,
    .block_trailer = 24,
    .block_align = 512,
    .max_block = 65536,
    .trailer_bid = 8,
    .trailer_crc = 4,
    .trailer_inflated = 18,
    .bbt_entry = 24,
    .bbt_inflated = 18,
    .nbt_entry = 32,
    .sl_header = 8,
    .row_index_size = 4,
    .map_bits_at = 0,
    .map_bytes = 4072,
    .map_unit = 512,
    .first_region = 0x22000,
    .hid_block_shift = 19,
    .wide_counts = true,
    .max_file_size = kMaxFileSize,
    .too_large = "The PST file would exceed 50 GB",
};

inline const Layout& layout_of(FileFormat f)
{
    switch (f) {
    case FileFormat::Ansi:
        return kAnsiLayout;
    case FileFormat::Unicode4k:
        return kUnicode4kLayout;
    case FileFormat::Unicode:
        break;
    }
    return kUnicodeLayout;
}

// Lists, tables and properties: the same in every file kind.
constexpr uint8_t kHeapSignature = 0xEC; // bSig of a heap-on-node's first block
constexpr uint8_t kClientPC = 0xBC;      // bClientSig of a property context's heap
constexpr uint8_t kClientTC = 0x7C;      // ... of a table context's heap, and bType of its TCINFO
constexpr uint8_t kBthType = 0xB5;       // bType of a BTHHEADER
constexpr size_t kMaxHeapAlloc = 3580;   // largest heap allocation; larger values go to a subnode

constexpr uint8_t kPtypeBBT = 0x80;
constexpr uint8_t kPtypeNBT = 0x81;
constexpr uint8_t kPtypeFMap = 0x82;
constexpr uint8_t kPtypePMap = 0x83;
constexpr uint8_t kPtypeAMap = 0x84;
constexpr uint8_t kPtypeFPMap = 0x85;
constexpr uint8_t kPtypeDList = 0x86;

// wSig of a block or page trailer: its offset and BID folded to 16 bits.
inline uint16_t block_signature(uint64_t ib, uint64_t bid)
{
    const uint32_t x = static_cast<uint32_t>((ib ^ bid) & 0xFFFFFFFFu);
    return static_cast<uint16_t>((x >> 16) ^ (x & 0xFFFF));
}

inline bool is_internal_bid(uint64_t bid)
{
    return (bid & 2) != 0;
}

} // namespace pst::detail
