// Damage to the ANSI layout of a written file is found: its header, page and block trailers,
// entry sizes, map page padding and the 2-byte table row index.
#include "image.h"
#include "pst/writer.h"
#include "pstcheck/check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using pstcheck::testing::Image;
using pstcheck::testing::pst_crc;

// Offsets of the ANSI layout that the damages below need.
constexpr uint64_t kNbtRoot = 188; // ROOT.BREFNBT.ib
constexpr uint64_t kBbtRoot = 196; // ROOT.BREFBBT.ib
constexpr uint64_t kTrailer = 500; // PAGETRAILER: ptype, ptype, wSig, bid u32, dwCRC u32
constexpr uint64_t kMeta = 496;    // cEnt, cEntMax, cbEnt, cLevel

struct Entry
{
    uint64_t at;        // offset of the leaf entry
    uint32_t key, a, b; // BBT: bid, ib, cb | NBT: nid, bidData, bidSub
};

// An ANSI file in memory with the few walks the damages need.
struct AnsiImage
{
    Image img;

    uint64_t get(uint64_t off, int width) const { return img.get(off, width); }
    void put(uint64_t off, int width, uint64_t v) { img.put(off, width, v); }
    void fix_header() { put(4, 4, pst_crc(&img.bytes[8], 471)); }
    void fix_page(uint64_t page) { put(page + kTrailer + 8, 4, pst_crc(&img.bytes.at(page), kTrailer)); }
    static uint64_t block_size(uint64_t cb) { return (cb + 12 + 63) / 64 * 64; }
    void fix_block(const Entry& e) { put(e.a + block_size(e.b) - 4, 4, pst_crc(&img.bytes.at(e.a), e.b)); }

    std::vector<Entry> leaves(uint64_t page, unsigned size, int depth = 0) const
    {
        std::vector<Entry> out;
        const unsigned count = img.bytes.at(page + kMeta);
        for (unsigned i = 0; i < count && depth < 8; ++i) {
            const bool leaf = img.bytes.at(page + kMeta + 3) == 0;
            const uint64_t e = page + uint64_t(i) * (leaf ? size : 12);
            if (!leaf) {
                const auto below = leaves(get(e + 8, 4), size, depth + 1);
                out.insert(out.end(), below.begin(), below.end());
                continue;
            }
            out.push_back({e, uint32_t(get(e, 4)), uint32_t(get(e + 4, 4)),
                           uint32_t(size == 12 ? get(e + 8, 2) : get(e + 8, 4))});
        }
        return out;
    }
    std::vector<Entry> blocks() const { return leaves(get(kBbtRoot, 4), 12); }
    Entry block(uint32_t bid) const
    {
        for (const auto& e : blocks())
            if (e.key == bid)
                return e;
        return {};
    }
    Entry node(uint32_t nid) const
    {
        for (const auto& e : leaves(get(kNbtRoot, 4), 16))
            if (e.key == nid)
                return e;
        return {};
    }
};

std::string hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

struct AnsiDamage
{
    const char* name;
    std::function<std::string(AnsiImage&)> apply; // returns the text a reported line must contain
};

const AnsiDamage kDamages[] = {
    {"HeaderCrc",
     [](AnsiImage& a) {
         a.img.bytes.at(36) ^= 1; // rgnid[0]
         return std::string("header: dwCRCPartial");
     }},
    {"HeaderSentinel",
     [](AnsiImage& a) {
         a.put(460, 1, 0);
         a.fix_header();
         return std::string("header: bSentinel is 0x0, not 0x80");
     }},
    {"HeaderCryptMethod",
     [](AnsiImage& a) {
         a.put(461, 1, 7);
         a.fix_header();
         return std::string("header: unknown bCryptMethod 7");
     }},
    {"HeaderFileEof",
     [](AnsiImage& a) {
         a.put(168, 4, a.get(168, 4) - 512);
         a.fix_header();
         return std::string("header: ibFileEof");
     }},
    {"PageCrc",
     [](AnsiImage& a) {
         a.img.bytes.at(a.get(kBbtRoot, 4)) ^= 1;
         return "BBT page " + hex(a.get(kBbtRoot - 4, 4)) + " at " + hex(a.get(kBbtRoot, 4)) + ": CRC";
     }},
    {"PageTrailerBid",
     [](AnsiImage& a) {
         const uint64_t page = a.get(kNbtRoot, 4);
         a.put(page + kTrailer + 4, 4, a.get(page + kTrailer + 4, 4) + 1);
         a.fix_page(page);
         return "NBT page " + hex(a.get(kNbtRoot - 4, 4)) + " at " + hex(page) + ": trailer BID is";
     }},
    {"PageEntrySize",
     [](AnsiImage& a) {
         const uint64_t page = a.blocks().front().at - a.blocks().front().at % 512;
         a.put(page + kMeta + 2, 1, 24); // the Unicode size
         a.fix_page(page);
         return std::string("cbEnt 24, expected 12");
     }},
    {"PageEntryLimit",
     [](AnsiImage& a) {
         const uint64_t page = a.blocks().front().at - a.blocks().front().at % 512;
         a.put(page + kMeta + 1, 1, 20);
         a.fix_page(page);
         return std::string("cEntMax 20, expected 41");
     }},
    {"BlockCrc",
     [](AnsiImage& a) {
         const Entry b = a.block(4);
         a.img.bytes.at(b.a) ^= 1;
         return "block 0x4 at " + hex(b.a) + ": CRC";
     }},
    {"BlockTrailerBid",
     [](AnsiImage& a) {
         const Entry b = a.block(4);
         a.put(b.a + AnsiImage::block_size(b.b) - 8, 4, 8);
         return "block 0x4 at " + hex(b.a) + ": trailer BID is 0x8";
     }},
    {"AMapPadding",
     [](AnsiImage& a) {
         a.put(0x4400, 4, 1);
         a.fix_page(0x4400);
         return std::string("AMap page at 0x4400: dwPadding 0x1, not 0");
     }},
    {"AMapBitCleared",
     [](AnsiImage& a) {
         const uint64_t page = a.get(kBbtRoot, 4);
         const uint64_t bit = (page - 0x4400) / 64;
         a.img.bytes.at(0x4404 + bit / 8) &= uint8_t(~(0x80 >> (bit % 8)));
         a.fix_page(0x4400);
         return hex(page) + " in use but not marked allocated";
     }},
    {"RowIndexWidth",
     [](AnsiImage& a) {
         // The contents table of the first user folder: its BTH header (HID 0x20) follows the
         // 12-byte heap header; an ANSI row index has 2-byte entries.
         const Entry table = a.node(0x404 << 5 | 0x0E);
         const Entry b = a.block(table.a);
         a.put(b.a + 12 + 2, 1, 4);
         a.fix_block(b);
         return std::string("BTH header bType 0xb5, cbKey 4, cbEnt 4; expected 0xb5, 4, 2");
     }},
};

std::string write_file(const fs::path& dir)
{
    const std::string path = (dir / "ansi.pst").string();
    pst::WriterOptions o;
    o.format = pst::FileFormat::Ansi;
    o.deterministic = true;
    pst::Status st;
    auto w = pst::Writer::create(path, o, &st);
    EXPECT_TRUE(w) << st.message;
    const auto f = w->add_folder(w->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
    for (char16_t c : std::u16string(u"ABC")) {
        pst::Message m(u"IPM.Contact");
        m.set_unicode(0x3001, std::u16string(u"Person ") + c);
        EXPECT_TRUE(w->add_message(f, m).ok);
    }
    st = w->finish();
    EXPECT_TRUE(st.ok) << st.message;
    return path;
}

class Damaged : public ::testing::TestWithParam<AnsiDamage>
{
};

TEST_P(Damaged, IsReported)
{
    const fs::path dir = fs::temp_directory_path() / ("pstcheck-ansi-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    AnsiImage a{Image::load(write_file(dir))};
    fs::remove_all(dir);
    ASSERT_TRUE(pstcheck::check_bytes(a.img.bytes).empty()) << pstcheck::join(pstcheck::check_bytes(a.img.bytes));
    const std::string expected = GetParam().apply(a);
    const auto problems = pstcheck::check_bytes(a.img.bytes);
    bool found = false;
    for (const auto& p : problems)
        found |= p.find(expected) != std::string::npos;
    EXPECT_TRUE(found) << "expected a line with \"" << expected << "\", got:\n" << pstcheck::join(problems);
}

INSTANTIATE_TEST_SUITE_P(Ansi, Damaged, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
