// Damage of each kind is found, with a message that names the structure and what is wrong.
#include "image.h"
#include "pstcheck/check.h"
#include "realfiles/real_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace {

using pstcheck::testing::bbt_entries;
using pstcheck::testing::BbtEntry;
using pstcheck::testing::Image;

bool has_line(const std::vector<std::string>& problems, const std::string& text)
{
    for (const auto& p : problems)
        if (p.find(text) != std::string::npos)
            return true;
    return false;
}

std::string hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

BbtEntry first_data_block(const Image& img)
{
    for (const auto& e : bbt_entries(img))
        if (!(e.bid & 2) && e.cb > 0)
            return e;
    return {};
}

void flip_amap_bit(Image& img, uint64_t ib)
{
    const uint64_t bit = (ib - 0x4400) / 64;
    img.bytes.at(0x4400 + bit / 8) ^= uint8_t(0x80 >> (bit % 8));
    img.fix_page(0x4400);
}

uint64_t first_free_unit(const Image& img)
{
    for (uint64_t bit = 0; bit < 496 * 8; ++bit)
        if (!(img.bytes.at(0x4400 + bit / 8) & (0x80 >> (bit % 8))))
            return 0x4400 + bit * 64;
    return 0;
}

struct Damage
{
    const char* name;
    std::function<std::string(Image&)> apply; // damages the image, returns the expected text
};

const Damage kDamages[] = {
    {"BlockByteFlipped",
     [](Image& img) {
         const BbtEntry e = first_data_block(img);
         img.bytes.at(e.ib + e.cb / 2) ^= 0x5A;
         return "block " + hex(e.bid) + " at " + hex(e.ib) + ": CRC";
     }},
    {"BlockTrailerBid",
     [](Image& img) {
         const BbtEntry e = first_data_block(img);
         img.put(e.ib + (e.cb + 16 + 63) / 64 * 64 - 8, 8, e.bid + 4);
         return "block " + hex(e.bid) + " at " + hex(e.ib) + ": trailer BID";
     }},
    {"BlockMoved",
     [](Image& img) {
         BbtEntry e = first_data_block(img);
         img.put(e.at + 8, 8, e.ib + 64);
         img.fix_page(e.at - e.at % 512);
         return "block " + hex(e.bid) + " at " + hex(e.ib + 64);
     }},
    {"ReferenceCountChanged",
     [](Image& img) {
         const BbtEntry e = first_data_block(img);
         img.put(e.at + 18, 2, e.cref + 1);
         img.fix_page(e.at - e.at % 512);
         return "block " + hex(e.bid) + " at " + hex(e.ib) + ": cRef " + std::to_string(e.cref + 1);
     }},
    {"PageByteFlipped",
     [](Image& img) {
         img.bytes.at(img.nbt_root() + 5) ^= 0x01;
         return "NBT page " + hex(img.get(img.nbt_root() + 504, 8)) + " at " + hex(img.nbt_root()) + ": CRC";
     }},
    {"PageSignature",
     [](Image& img) {
         img.put(img.bbt_root() + 498, 2, img.get(img.bbt_root() + 498, 2) ^ 0x0100);
         return std::string("wSig");
     }},
    {"EntryCountTooLarge",
     [](Image& img) {
         img.bytes.at(img.nbt_root() + 488) = 200;
         img.fix_page(img.nbt_root());
         return std::string("cEnt 200 exceeds cEntMax");
     }},
    {"EntrySizeWrong",
     [](Image& img) {
         const uint64_t leaf = img.leaf_pages(img.nbt_root()).front();
         img.bytes.at(leaf + 490) = 24;
         img.fix_page(leaf);
         return std::string("cbEnt 24, expected 32");
     }},
    {"LevelWrong",
     [](Image& img) {
         const uint64_t leaf = img.leaf_pages(img.bbt_root()).front();
         if (leaf == img.bbt_root())
             return std::string("(BBT root is a leaf)");
         img.bytes.at(leaf + 491) = 3;
         img.fix_page(leaf);
         return std::string("cLevel 3, its parent expects 0");
     }},
    {"PagePaddingSet",
     [](Image& img) {
         img.put(img.nbt_root() + 492, 4, 0x1234);
         img.fix_page(img.nbt_root());
         return std::string("dwPadding 0x1234, not 0");
     }},
    {"KeysSwapped",
     [](Image& img) {
         const uint64_t leaf = img.leaf_pages(img.bbt_root()).front();
         std::vector<uint8_t> first(img.bytes.begin() + leaf, img.bytes.begin() + leaf + 24);
         std::copy(img.bytes.begin() + leaf + 24, img.bytes.begin() + leaf + 48, img.bytes.begin() + leaf);
         std::copy(first.begin(), first.end(), img.bytes.begin() + leaf + 24);
         img.fix_page(leaf);
         return std::string("keys not strictly ascending");
     }},
    {"ParentKeyDiffers",
     [](Image& img) {
         const uint64_t root = img.bbt_root();
         if (img.bytes.at(root + 491) == 0 || img.bytes.at(root + 488) < 2)
             return std::string("(BBT root is a leaf)");
         img.put(root + 24, 8, img.get(root + 24, 8) - 4);
         img.fix_page(root);
         return std::string("differs from the parent's key");
     }},
    {"MissingBlock",
     [](Image& img) {
         const uint64_t leaf = img.leaf_pages(img.nbt_root()).front();
         img.put(leaf + 8, 8, 0x7FFFFFF0);
         img.fix_page(leaf);
         return std::string("block 0x7ffffff0 is not in the BBT");
     }},
    {"HeaderByteFlipped",
     [](Image& img) {
         img.bytes.at(100) ^= 0x10;
         return std::string("header: dwCRCPartial");
     }},
    {"HeaderTailByteFlipped",
     [](Image& img) {
         img.bytes.at(500) ^= 0x10;
         return std::string("header: dwCRCFull");
     }},
    {"FreeCountOff",
     [](Image& img) {
         img.put(200, 8, img.get(200, 8) + 64);
         img.fix_header();
         return std::string("header: cbAMapFree");
     }},
    {"NextBlockIdTooLow",
     [](Image& img) {
         img.put(516, 8, 4);
         img.fix_header();
         return std::string("header: bidNextB 0x4 is not above");
     }},
    {"NextPageIdTooLow",
     [](Image& img) {
         img.put(32, 8, 1);
         img.fix_header();
         return std::string("header: bidNextP 0x1 is not above");
     }},
    {"UnknownCryptMethod",
     [](Image& img) {
         img.bytes.at(513) = 7;
         img.fix_header();
         return std::string("header: unknown bCryptMethod 7");
     }},
    {"MapsMarkedInvalid",
     [](Image& img) {
         img.bytes.at(248) = 0;
         img.fix_header();
         return std::string("header: fAMapValid is 0");
     }},
    {"NodeCounterTooLow",
     [](Image& img) {
         img.put(44 + 4 * 2, 4, 0); // folders
         img.fix_header();
         return std::string("header: rgnid[2] is 0x0");
     }},
    {"AMapBitCleared",
     [](Image& img) {
         flip_amap_bit(img, img.nbt_root());
         return "in use but not marked allocated (B-tree page " + hex(img.get(img.nbt_root() + 504, 8));
     }},
    {"StrayAMapBit",
     [](Image& img) {
         const uint64_t unit = first_free_unit(img);
         flip_amap_bit(img, unit);
         return "64 bytes at " + hex(unit) + " marked allocated but nothing uses them";
     }},
    {"AMapPageCrc",
     [](Image& img) {
         img.bytes.at(0x4400 + 500) ^= 0xFF;
         return std::string("AMap page at 0x4400: CRC");
     }},
    {"PMapPageType",
     [](Image& img) {
         img.bytes.at(0x4600 + 496) = 0x80;
         return std::string("PMap page at 0x4600: ptype 0x80");
     }},
    {"Truncated",
     [](Image& img) {
         img.bytes.resize(0x20000);
         return std::string("header: ibFileEof 0x42400 but the file has 0x20000 bytes");
     }},
    {"TruncatedIntoHeader",
     [](Image& img) {
         img.bytes.resize(100);
         return std::string("too small for a header");
     }},
    {"NotAPstFile",
     [](Image& img) {
         img.bytes.assign(img.bytes.size(), 'x');
         return std::string("header: dwMagic");
     }},
};

class Corruption : public ::testing::TestWithParam<Damage>
{
};

TEST_P(Corruption, IsReported)
{
    REAL_FILE_OR_SKIP(kBase, "sample-contacts.pst");
    Image img = Image::load(kBase);
    // The base file has known deviations of its own (see the real-file tests): the damage must
    // add a line that the undamaged file does not have.
    const auto before = pstcheck::check_bytes(img.bytes);
    const std::string expected = GetParam().apply(img);
    ASSERT_FALSE(has_line(before, expected)) << expected;
    const auto problems = pstcheck::check_bytes(img.bytes);
    EXPECT_TRUE(has_line(problems, expected)) << "expected a line with \"" << expected << "\", got:\n"
                                              << pstcheck::join(problems);
}

INSTANTIATE_TEST_SUITE_P(Damage, Corruption, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
