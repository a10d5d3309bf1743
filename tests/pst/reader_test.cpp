// Tests of the PST reader: differential against libpff on files written at test time (every
// format and block encoding, values and trees at their size edges, the fixture generator) and on
// real files; header checks against libpff's; damaged images (truncated, flipped, cyclic,
// oversized counts) must give -1 with a reason, never a crash.
#include "reader_support.h"

#include "fixture/fixture.h"
#include "pffread/pffread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace reader_test;

// ---------------------------------------------------------------------------------------------
// Files with every edge of the node database and the heap in them.

struct Variant
{
    const char* name;
    pst::FileFormat format;
    pst::BlockEncoding encoding;
    bool large; // values of a full XBLOCK and one byte more (an XXBLOCK)
};

constexpr Variant kVariants[] = {
    {"unicode", pst::FileFormat::Unicode, pst::BlockEncoding::None, true},
    {"unicode_permute", pst::FileFormat::Unicode, pst::BlockEncoding::Permute, false},
    {"unicode_cyclic", pst::FileFormat::Unicode, pst::BlockEncoding::Cyclic, false},
    {"ansi", pst::FileFormat::Ansi, pst::BlockEncoding::None, false},
    {"ansi_permute", pst::FileFormat::Ansi, pst::BlockEncoding::Permute, false},
    {"ansi_cyclic", pst::FileFormat::Ansi, pst::BlockEncoding::Cyclic, true},
};

class ReaderDifferential : public ::testing::TestWithParam<Variant>
{
};

TEST_P(ReaderDifferential, EdgesEqualLibpff)
{
    const Variant& v = GetParam();
    pst_test::TempDir dir;
    const std::string path = dir.file("edges.pst");
    pst::WriterOptions options;
    options.format = v.format;
    options.encoding = v.encoding;
    options.sync_to_disk = false;
    pst_test::write_pst(
        path, [&](pst::Writer& w) { fill_edges(w, v.format, v.large); }, options);
    const Summary s = compare_with_libpff(path);
    EXPECT_GE(s.messages, 230u);
    EXPECT_EQ(exercise_path(path).failures, 0u);
}

INSTANTIATE_TEST_SUITE_P(Variants, ReaderDifferential, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderDifferentialFixture, GeneratedContactsEqualLibpff)
{
    // Thousands of nodes and blocks: B-trees of several levels, contents tables of many blocks.
    pst_test::TempDir dir;
    for (auto format : {pst::FileFormat::Unicode, pst::FileFormat::Ansi}) {
        const std::string path = dir.file(format == pst::FileFormat::Ansi ? "ansi.pst" : "unicode.pst");
        auto options = fixture::ContactsOptions::of(3000, 4, 60, 5);
        options.format = format;
        options.encoding = pst::BlockEncoding::Permute;
        ASSERT_TRUE(fixture::write_contacts(path, options).ok);
        const Summary s = compare_with_libpff(path);
        EXPECT_EQ(s.messages, 3060u);
        EXPECT_EQ(exercise_path(path).failures, 0u);
    }
}

TEST(ReaderDifferentialReal, RealFilesEqualLibpff)
{
    const std::string dir = REAL_FIXTURES;
    if (!std::filesystem::exists(dir))
        GTEST_SKIP() << "no real files at " << dir;
    for (const char* name : {"sample-contacts.pst", "dist-list.pst", "ansi-32bit.pst"}) {
        SCOPED_TRACE(name);
        const Summary s = compare_with_libpff(dir + "/" + name);
        EXPECT_GT(s.folders, 0u);
        const Exercise ex = exercise_path(dir + "/" + name);
        EXPECT_EQ(ex.failures, 0u) << ex.text();
    }
}

TEST(ReaderHeap, ValuesAcrossManyHeapBlocks)
{
    // 3580-byte values, two to a heap block: heaps of 7, 8, 9 and 135, 136, 137 blocks (bitmap
    // headers at 8 and 136). libpff misreads heaps of more than 16 blocks, so the values are
    // checked against what was written; the node's stream also through DataStream's random access.
    pst_test::TempDir dir;
    for (auto format : {pst::FileFormat::Unicode, pst::FileFormat::Ansi}) {
        for (size_t count : {12, 14, 16, 268, 270, 272}) {
            SCOPED_TRACE(std::to_string(count) + (format == pst::FileFormat::Ansi ? " ansi" : " unicode"));
            const std::string path = dir.file("heap.pst");
            pst::WriterOptions options;
            options.format = format;
            options.sync_to_disk = false;
            pst_test::write_pst(
                path, [&](pst::Writer& w) { fill_many(w, count, 3580); }, options);
            std::string why;
            auto file = pst::read::File::open(path, &why);
            ASSERT_TRUE(file) << why;
            const pst::read::Node node = only_message(*file);
            pst::read::PropertyContext pc;
            ASSERT_EQ(pc.open(*file, node, &why), 1) << why;
            ASSERT_EQ(pc.size(), count + 7); // and the properties every message gets
            for (size_t i = 0; i < count; ++i) {
                const pst::read::PropertyRef* p = pc.find(static_cast<uint16_t>(0x6000 + i));
                ASSERT_TRUE(p);
                EXPECT_TRUE(std::vector<uint8_t>(p->data, p->data + p->size) ==
                            pst_test::pattern_bytes(3580, static_cast<uint8_t>(i)));
            }
            std::vector<uint8_t> all;
            ASSERT_EQ(file->read_stream(node.bid_data, &all, &why), 1) << why;
            pst::read::DataStream stream;
            ASSERT_EQ(stream.open(*file, node.bid_data, &why), 1) << why;
            ASSERT_EQ(stream.size(), all.size());
            for (size_t k = 1; k < stream.block_count(); ++k) {
                uint8_t across[7];
                const uint64_t at = stream.block_offset(k) - 3;
                ASSERT_EQ(stream.read(at, sizeof across, across, &why), 1) << why;
                EXPECT_TRUE(std::equal(across, across + 7, all.begin() + static_cast<ptrdiff_t>(at)));
            }
            EXPECT_EQ(stream.read(all.size() - 1, 2, all.data(), &why), -1);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The header: opened exactly when libpff opens it.

TEST(ReaderHeader, AcceptsWhatLibpffAccepts)
{
    pst_test::TempDir dir;
    for (auto format : {pst::FileFormat::Unicode, pst::FileFormat::Ansi}) {
        const bool ansi = format == pst::FileFormat::Ansi;
        pst::WriterOptions options;
        options.format = format;
        options.sync_to_disk = false;
        const std::string base = dir.file("base.pst");
        pst_test::write_pst(
            base, [](pst::Writer&) {}, options);
        const std::vector<uint8_t> image = pst_test::read_file(base);
        const size_t crypt_at = ansi ? 461 : 513;
        struct Case
        {
            const char* name;
            size_t at;
            uint8_t value;
            bool fix_crc;
        };
        const Case cases[] = {
            {"magic", 0, 'X', true},
            {"partial CRC", 4, 0x55, false},
            {"full CRC", 524, 0x55, false},
            {"inside partial CRC", 40, 0x77, false},
            {"inside full CRC only", 520, 0x77, false},
            {"after the CRCs", 540, 0x77, false},
            {"content type", 8, 'X', true},
            {"wVer 13", 10, 13, true},
            {"wVer 16", 10, 16, true},
            {"wVer 21", 10, 21, true},
            {"wVer 36", 10, 36, true},
            {"crypt 2", crypt_at, 2, true},
            {"crypt 3", crypt_at, 3, true},
            {"sentinel", ansi ? 460u : 512u, 0, true},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(ansi ? "ansi " : "unicode ") + c.name);
            std::vector<uint8_t> damaged = image;
            damaged[c.at] = c.value;
            if (c.fix_crc)
                fix_header_crc(damaged, ansi);
            const std::string path = dir.file("case.pst");
            write_bytes(path, damaged);
            std::string pff_why, our_why;
            const bool pff_opens = pffread::File::open(path, &pff_why) != nullptr;
            const auto ours = pst::read::File::open(path, &our_why);
            // A wrong crypt method opens in both but leaves nothing readable; 4 KB pages are
            // refused here and not read there either.
            if (std::string(c.name) != "crypt 2" && std::string(c.name) != "wVer 36") {
                EXPECT_EQ(ours != nullptr, pff_opens) << our_why << " / " << pff_why;
            }
            if (!ours) {
                EXPECT_FALSE(our_why.empty());
            }
        }
    }
}

TEST(ReaderHeader, OpenReadsOnlyTheHeaderAndTheRoots)
{
    pst_test::TempDir dir;
    const std::string path = dir.file("lazy.pst");
    pst_test::write_pst(path, [](pst::Writer& w) { fill_small(w); });
    std::vector<uint8_t> image = pst_test::read_file(path);
    const Roots roots = roots_of(image);
    // Everything but the header and the two root pages is zeroed: open still succeeds.
    std::vector<uint8_t> bare(image.size(), 0);
    std::copy(image.begin(), image.begin() + 0x4400, bare.begin());
    for (uint64_t ib : {roots.nbt, roots.bbt})
        std::copy(image.begin() + ib, image.begin() + ib + 512, bare.begin() + ib);
    std::string why;
    auto file = pst::read::File::open_memory(bare, &why);
    ASSERT_TRUE(file) << why;
    EXPECT_EQ(file->size(), image.size());
    EXPECT_GT(exercise_file(*file).failures, 0u);
}

// ---------------------------------------------------------------------------------------------
// Damaged images: every failure has a reason; nothing crashes, loops or reads out of bounds
// (the sanitizer build runs the same table).

TEST(ReaderDamage, DamagedImagesFailWithAReason)
{
    pst_test::TempDir dir;
    for (auto format : {pst::FileFormat::Unicode, pst::FileFormat::Ansi}) {
        const std::string path = dir.file("damage.pst");
        pst::WriterOptions options;
        options.format = format;
        options.sync_to_disk = false;
        pst_test::write_pst(
            path, [&](pst::Writer& w) { fill_damage_base(w, format); }, options);
        const std::vector<uint8_t> image = pst_test::read_file(path);
        ASSERT_EQ(exercise_image(image).failures, 0u);
        for (const DamageCase& d : damage_cases(image, format)) {
            SCOPED_TRACE(std::string(format == pst::FileFormat::Ansi ? "ansi: " : "unicode: ") + d.name);
            const Exercise ex = exercise_image(d.image);
            EXPECT_FALSE(ex.empty_reason) << "a -1 without a reason";
            if (d.expect.empty())
                continue;
            EXPECT_TRUE(ex.mentions(d.expect)) << "expected a reason with \"" << d.expect << "\"; got\n" << ex.text();
        }
    }
}

TEST(ReaderDamage, FlippedBytesEverywhere)
{
    // One byte flipped at a stride through the whole data area of a small file.
    pst_test::TempDir dir;
    const std::string path = dir.file("flip.pst");
    pst_test::write_pst(path, [](pst::Writer& w) { fill_small(w); });
    const std::vector<uint8_t> image = pst_test::read_file(path);
    size_t damaged = 0;
    for (size_t at = 0x4400; at < image.size(); at += 11) {
        if (image[at] == 0 && image[at ^ 1] == 0)
            continue; // padding
        std::vector<uint8_t> copy = image;
        copy[at] ^= 0xA5;
        const Exercise ex = exercise_image(copy);
        ASSERT_FALSE(ex.empty_reason) << "flip at " << at;
        damaged += ex.failures > 0;
    }
    EXPECT_GT(damaged, 10u);
}

TEST(ReaderDamage, FileShrinkingUnderTheReader)
{
    pst_test::TempDir dir;
    const std::string path = dir.file("shrink.pst");
    pst_test::write_pst(path, [](pst::Writer& w) { fill_small(w); });
    std::string why;
    auto file = pst::read::File::open(path, &why);
    ASSERT_TRUE(file) << why;
    std::filesystem::resize_file(path, 0x4400 + 1024);
    const Exercise ex = exercise_file(*file);
    EXPECT_GT(ex.failures, 0u);
    EXPECT_FALSE(ex.empty_reason);
    EXPECT_TRUE(ex.mentions("truncated") || ex.mentions("passes the end")) << ex.text();
}

TEST(ReaderDamage, MissingAndEmptyFiles)
{
    pst_test::TempDir dir;
    std::string why;
    EXPECT_FALSE(pst::read::File::open(dir.file("none.pst"), &why));
    EXPECT_NE(why.find("none.pst"), std::string::npos);
    EXPECT_FALSE(pst::read::File::open(dir.path(), &why));
    EXPECT_FALSE(pst::read::File::open_memory({}, &why));
    EXPECT_FALSE(why.empty());
}

} // namespace
