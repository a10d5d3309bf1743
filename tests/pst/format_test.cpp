// The file-level structures, read from the bytes: header fields and CRCs, region sizing,
// allocation maps, a file that crosses the first FMap.
#include "pffread/pffread.h"
#include "pstcheck/check.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace pst_test;

namespace {

constexpr uint64_t kRegion = 253952;

uint16_t u16(const std::vector<uint8_t>& f, size_t at)
{
    return static_cast<uint16_t>(f.at(at) | f.at(at + 1) << 8);
}
uint32_t u32(const std::vector<uint8_t>& f, size_t at)
{
    return u16(f, at) | static_cast<uint32_t>(u16(f, at + 2)) << 16;
}
uint64_t u64(const std::vector<uint8_t>& f, size_t at)
{
    return u32(f, at) | static_cast<uint64_t>(u32(f, at + 4)) << 32;
}

} // namespace

TEST(PstFormat, CrcIsThePlainReflectedCrc32WithoutInversion)
{
    EXPECT_EQ(pst::crc32("123456789", 9), 0x2DFD2D88u);
    EXPECT_EQ(pst::crc32("", 0), 0u);
    // Feeding in pieces gives the same result.
    EXPECT_EQ(pst::crc32("6789", 4, pst::crc32("12345", 5)), 0x2DFD2D88u);
}

TEST(PstFormat, HeaderFields)
{
    std::vector<uint8_t> f;
    {
        pst::WriterOptions o;
        o.deterministic = true;
        auto w = pst::Writer::create(std::make_unique<pst::MemorySink>(&f), o);
        auto folder = w->add_folder(w->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
        for (int i = 0; i < 3; ++i) {
            pst::Message m(u"IPM.Contact");
            m.set_unicode(0x3001, u"x");
            ASSERT_TRUE(w->add_message(folder, m).ok);
        }
        ASSERT_TRUE(w->finish().ok);
    }
    ASSERT_GE(f.size(), 0x4400u + kRegion);
    EXPECT_EQ(pstcheck::join(pstcheck::check_bytes(f)), "");
    EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "!BDN");
    EXPECT_EQ(u32(f, 4), pst::crc32(f.data() + 8, 471)) << "partial CRC";
    EXPECT_EQ(u16(f, 8), 0x4D53u);
    EXPECT_EQ(u16(f, 10), 23u) << "Unicode";
    EXPECT_EQ(u16(f, 12), 19u);
    EXPECT_EQ(f[512], 0x80u) << "sentinel";
    EXPECT_EQ(f[513], 0u) << "no block encoding";
    EXPECT_EQ(u32(f, 524), pst::crc32(f.data() + 8, 516)) << "full CRC";
    EXPECT_EQ(f[248], 2u) << "allocation maps valid";

    const uint64_t eof = u64(f, 184);
    EXPECT_EQ(eof, f.size());
    EXPECT_EQ((eof - 0x4400) % kRegion, 0u) << "whole regions";
    EXPECT_EQ(u64(f, 192), eof - kRegion) << "last AMap";
    // cbAMapFree: 64 bytes for every clear bit of every AMap page.
    uint64_t free_bits = 0;
    for (uint64_t at = 0x4400; at < eof; at += kRegion)
        for (size_t i = 0; i < 496; ++i)
            free_bits += 8 - static_cast<uint64_t>(__builtin_popcount(f[at + i]));
    EXPECT_EQ(u64(f, 200), free_bits * 64);
    // Node-id counters: one past the last message and folder handed out.
    EXPECT_EQ(u32(f, 44 + 4 * 4), 0x10004u) << "three messages from 0x10001";
    EXPECT_EQ(u32(f, 44 + 4 * 2), 0x405u) << "one user folder at 0x404";
    EXPECT_EQ(u32(f, 44 + 4 * 3), 0x4000u);
    // BTH and page BIDs: blocks step by 4, pages have their own counter.
    EXPECT_EQ(u64(f, 516) % 4, 0u);
}

// A file larger than 0x1F04400 bytes has its first FMap at the start of region 128, after the
// AMap and the PMap; everything still reads back.
TEST(PstFormat, FileCrossingTheFirstFMap)
{
    TempDir dir;
    std::string path = dir.file("fmap.pst");
    const size_t value = 7 * 1024 * 1024;
    write_pst(path, [&](pst::Writer& w) {
        auto folder = w.add_folder(w.top_of_personal_folders(), u"Large", u"IPF.Note");
        for (int i = 0; i < 5; ++i) {
            pst::Message m(u"IPM.Note");
            m.set_binary(0x1013, pattern_bytes(value, static_cast<uint8_t>(i)));
            m.set_long(0x6601, i);
            ASSERT_TRUE(w.add_message(folder, m).ok);
        }
    });
    auto f = read_file(path);
    ASSERT_GT(f.size(), 0x1F04400u + kRegion);
    const size_t fmap = 0x1F04400 + 1024;
    EXPECT_EQ(f[fmap + 496], 0x82u) << "FMap page type";
    EXPECT_EQ(f[0x1F04400 + 496], 0x84u) << "AMap of region 128";
    EXPECT_EQ(f[0x1F04400 + 512 + 496], 0x83u) << "PMap of region 128";
    EXPECT_EQ(u32(f, fmap + 500), pst::crc32(f.data() + fmap, 496));
    EXPECT_EQ(u64(f, fmap + 504), fmap) << "map pages carry their offset as BID";
    EXPECT_EQ(check_problems(path), "");

    std::string why;
    auto file = pffread::File::open(path, &why);
    ASSERT_TRUE(file) << why;
    auto tree = pffread::read_tree(*file);
    auto messages = tree.messages();
    ASSERT_EQ(messages.size(), 5u);
    for (const auto& [folders, msg] : messages) {
        const auto* idx = msg->find(0x6601);
        ASSERT_TRUE(idx);
        const auto* bin = msg->find(0x1013);
        ASSERT_TRUE(bin);
        EXPECT_TRUE(bin->data == pattern_bytes(value, idx->data.at(0)));
    }
}
