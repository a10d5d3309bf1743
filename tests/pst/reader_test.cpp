// Tests of the PST reader: differential against libpff on files written at test time (every
// format and block encoding, values and trees at their size edges, the fixture generator) and on
// real files; header checks against libpff's; damaged images (truncated, flipped, cyclic,
// oversized counts) must give -1 with a reason, never a crash.
#include "reader_support.h"

#include "fixture/fixture.h"
#include "pffread/pffread.h"
#include "pst/messaging.h"
#include "pst/recovery.h"
#include "realfiles/real_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

namespace {

using namespace reader_test;
using pst_test::outcome;

// ---------------------------------------------------------------------------------------------
// Files written at test time (every format and encoding, the format's size edges; the fixture
// generator's thousands of nodes) and real files: what libpff reads, and nothing fails.

struct Source
{
    const char* name;
    enum Kind
    {
        Edges,
        Generated,
        Real
    } kind;
    pst::FileFormat format;
    pst::BlockEncoding encoding;
    bool large;            // edges: values of a full XBLOCK and one byte more (an XXBLOCK)
    size_t messages;       // at least
    const char* real;      // a file in the real fixtures
    bool compress = false; // 4 KiB pages: blocks stored compressed
};

using F = pst::FileFormat;
using E = pst::BlockEncoding;
constexpr Source kSources[] = {
    {"unicode", Source::Edges, F::Unicode, E::None, true, 236, nullptr},
    {"unicode_permute", Source::Edges, F::Unicode, E::Permute, false, 234, nullptr},
    {"unicode_cyclic", Source::Edges, F::Unicode, E::Cyclic, false, 234, nullptr},
    {"ansi", Source::Edges, F::Ansi, E::None, false, 234, nullptr},
    {"ansi_permute", Source::Edges, F::Ansi, E::Permute, false, 234, nullptr},
    {"ansi_cyclic", Source::Edges, F::Ansi, E::Cyclic, true, 236, nullptr},
    {"generated_unicode", Source::Generated, F::Unicode, E::Permute, false, 3060, nullptr},
    {"generated_ansi", Source::Generated, F::Ansi, E::Cyclic, false, 3060, nullptr},
    // 4 KiB pages: 64 KiB blocks, HID block indexes from bit 19, compressed blocks. No file is both
    // compressed and permute-encoded: libpff 20180714 decodes only part of such a value of several
    // blocks.
    {"unicode4k", Source::Edges, F::Unicode4k, E::Permute, false, 234, nullptr},
    {"unicode4k_compressed", Source::Edges, F::Unicode4k, E::None, false, 234, nullptr, true},
    {"generated_4k_compressed_cyclic", Source::Generated, F::Unicode4k, E::Cyclic, false, 3060, nullptr, true},
    {"real_sample_contacts", Source::Real, F::Unicode, E::None, false, 6, "sample-contacts.pst"},
    {"real_dist_list", Source::Real, F::Unicode, E::None, false, 4, "dist-list.pst"},
    {"real_ansi", Source::Real, F::Ansi, E::None, false, 1, "ansi-32bit.pst"},
};

class ReaderDifferential : public ::testing::TestWithParam<Source>
{
};

TEST_P(ReaderDifferential, EqualsLibpff)
{
    const Source& src = GetParam();
    pst_test::TempDir dir;
    std::string path = dir.file("file.pst");
    if (src.kind == Source::Real) {
        REAL_FILE_OR_SKIP(real, src.real);
        path = real;
    } else if (src.kind == Source::Generated) {
        auto options = fixture::ContactsOptions::of(3000, 4, 60, 5);
        options.format = src.format;
        options.encoding = src.encoding;
        options.compress = src.compress;
        ASSERT_TRUE(fixture::write_contacts(path, options).ok);
    } else {
        pst::WriterOptions options;
        options.format = src.format;
        options.encoding = src.encoding;
        options.compress = src.compress;
        options.sync_to_disk = false;
        pst_test::write_pst(
            path, [&](pst::Writer& w) { fill_edges(w, src.format, src.large); }, options);
    }
    const Summary s = compare_with_libpff(path);
    EXPECT_GE(s.messages, src.messages);
    const Exercise ex = exercise_path(path);
    EXPECT_EQ(ex.failures, 0u) << ex.text();
}

INSTANTIATE_TEST_SUITE_P(Sources, ReaderDifferential, ::testing::ValuesIn(kSources),
                         [](const auto& info) { return std::string(info.param.name); });

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
            pst::Status opened;
            auto file = pst::read::File::open(path, &opened);
            ASSERT_TRUE(file) << opened.message;
            const pst::read::Node node = only_message(*file);
            pst::read::PropertyContext pc;
            ASSERT_EQ(outcome(pc.open(*file, node), &why), 1) << why;
            ASSERT_EQ(pc.size(), count + 7); // and the properties every message gets
            for (size_t i = 0; i < count; ++i) {
                const pst::read::PropertyRef* p = pc.find(static_cast<uint16_t>(0x6000 + i));
                ASSERT_TRUE(p);
                EXPECT_TRUE(std::vector<uint8_t>(p->data, p->data + p->size) ==
                            pst_test::pattern_bytes(3580, static_cast<uint8_t>(i)));
            }
            std::vector<uint8_t> all;
            ASSERT_EQ(outcome(file->read_stream(node.bid_data, &all), &why), 1) << why;
            pst::read::DataStream stream;
            ASSERT_EQ(outcome(stream.open(*file, node.bid_data), &why), 1) << why;
            ASSERT_EQ(stream.size(), all.size());
            for (size_t k = 1; k < stream.block_count(); ++k) {
                uint8_t across[7];
                const uint64_t at = stream.block_offset(k) - 3;
                ASSERT_EQ(outcome(stream.read(at, sizeof across, across), &why), 1) << why;
                EXPECT_TRUE(std::equal(across, across + 7, all.begin() + static_cast<ptrdiff_t>(at)));
            }
            EXPECT_EQ(outcome(stream.read(all.size() - 1, 2, all.data()), &why), -1);
        }
    }
}

TEST(ReaderHeap, OpenOnlyReadsTheSubnodeValuesAskedFor)
{
    // Values of 3580 bytes stay in the heap, of 3581 go to subnodes: only those are left unread.
    struct Case
    {
        size_t size;
        std::vector<uint16_t> ids;
        std::vector<bool> read; // of 0x6000, 0x6001, 0x6002
    };
    const Case cases[] = {
        {3580, {}, {true, true, true}},
        {3581, {}, {false, false, false}},
        {3581, {0x6001}, {false, true, false}},
        {3581, {0x6002, 0x6000}, {true, false, true}},
        {3581, {0x6000, 0x6001, 0x6002}, {true, true, true}},
    };
    pst_test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes, " + std::to_string(c.ids.size()) + " asked for");
        const std::string path = dir.file("only.pst");
        pst::WriterOptions options;
        options.sync_to_disk = false;
        pst_test::write_pst(
            path, [&](pst::Writer& w) { fill_many(w, 3, c.size); }, options);
        pst::Status opened;
        auto file = pst::read::File::open(path, &opened);
        ASSERT_TRUE(file) << opened.message;
        std::string why;
        pst::read::PropertyContext pc;
        ASSERT_EQ(outcome(pc.open_only(*file, only_message(*file), c.ids), &why), 1) << why;
        EXPECT_EQ(pc.size(), 3u + 7u);
        EXPECT_EQ(pc.skipped(), 0u);
        for (uint16_t i = 0; i < 3; ++i) {
            const pst::read::PropertyRef* p = pc.find(static_cast<uint16_t>(0x6000 + i));
            ASSERT_TRUE(p);
            if (c.read[i]) {
                EXPECT_TRUE(p->data != nullptr && std::vector<uint8_t>(p->data, p->data + p->size) ==
                                                      pst_test::pattern_bytes(c.size, static_cast<uint8_t>(i)));
            } else {
                EXPECT_TRUE(p->data == nullptr && p->size == 0);
            }
        }
        // The same context opened whole again reads every value.
        ASSERT_EQ(outcome(pc.open(*file, only_message(*file)), &why), 1) << why;
        for (uint16_t i = 0; i < 3; ++i) {
            EXPECT_EQ(pc.find(static_cast<uint16_t>(0x6000 + i))->size, c.size);
        }
    }
}

TEST(ReaderHeap, OpenSelectedKeepsTheIdsAskedForAndTheTypesNotExpected)
{
    // Of one message, as the whole context has them: the properties of the ids asked for (their
    // subnode values read), and of the others those of a type not expected, in the BTH's order.
    // One selection serves every case: the ids of a case replace those of the one before.
    pst::Message m(u"IPM.Note");
    m.set_unicode(0x6000, u"heap");
    m.set_raw(0x6001, 0x0000, {1, 2, 3, 4});                // a type no reader expects
    m.set_raw(0x6002, 0x0003, {7, 0, 0, 0});                // inline
    m.set_binary(0x6003, pst_test::pattern_bytes(3581, 3)); // in a subnode
    m.set_raw(0x6004, 0x1234, {5, 6});
    pst_test::TempDir dir;
    const std::string path = dir.file("selected.pst");
    pst::WriterOptions options;
    options.sync_to_disk = false;
    pst_test::write_pst(
        path,
        [&](pst::Writer& w) {
            const pst::Status st = w.add_message(w.add_folder(w.top_of_personal_folders(), u"Mail", u"IPF.Note"), m);
            ASSERT_TRUE(st.ok) << st.message;
        },
        options);
    pst::Status opened;
    auto file = pst::read::File::open(path, &opened);
    ASSERT_TRUE(file) << opened.message;
    const pst::read::Node node = only_message(*file);
    std::string why;
    pst::read::PropertyContext whole;
    ASSERT_EQ(outcome(whole.open(*file, node), &why), 1) << why;

    struct Case
    {
        std::vector<uint16_t> ids;
        std::vector<uint16_t> expected_types;
        std::vector<uint16_t> kept; // in order
    };
    const std::vector<uint16_t> usual = {0x0002, 0x0003, 0x000B, 0x0014, 0x001E, 0x001F, 0x0040, 0x0102};
    std::vector<uint16_t> all_types = usual;
    all_types.insert(all_types.end(), {0x0000, 0x1234});
    const Case cases[] = {
        {{}, all_types, {}},
        {{}, usual, {0x6001, 0x6004}},
        {{0x6000}, all_types, {0x6000}},
        {{0x6003, 0x6002}, all_types, {0x6002, 0x6003}},
        {{0x6004, 0x6001}, all_types, {0x6001, 0x6004}},
        {{0x6003}, usual, {0x6001, 0x6003, 0x6004}},
        // Ids at the edges of the bits and of a group of 64, none of them stored.
        {{0x0000, 0x003F, 0x0040, 0x5FFF, 0xFFFF}, all_types, {}},
        {{0x5FC0, 0x6000, 0x603F}, all_types, {0x6000}},
        {{0x6000, 0x6001, 0x6002, 0x6003, 0x6004}, all_types, {0x6000, 0x6001, 0x6002, 0x6003, 0x6004}},
    };
    pst::read::PropertySelection keep;
    pst::read::PropertyContext pc;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.ids.size()) + " ids, " + std::to_string(c.expected_types.size()) + " types");
        keep.set_ids(c.ids);
        keep.set_expected_types(c.expected_types);
        ASSERT_EQ(outcome(pc.open_selected(*file, node, keep), &why), 1) << why;
        std::vector<uint16_t> kept;
        for (const pst::read::PropertyRef& p : pc.all()) {
            kept.push_back(p.id);
            const pst::read::PropertyRef* w = whole.find(p.id);
            ASSERT_TRUE(w);
            EXPECT_EQ(p.type, w->type);
            if (keep.has_id(p.id)) {
                EXPECT_TRUE(std::vector<uint8_t>(p.data, p.data + p.size) ==
                            std::vector<uint8_t>(w->data, w->data + w->size));
            }
        }
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(pc.skipped(), 0u);
        for (const uint16_t id : c.ids) {
            EXPECT_TRUE(keep.has_id(id));
        }
        EXPECT_FALSE(keep.has_id(0x6005));
    }
    // The whole context again: the selection is not kept by the context.
    ASSERT_EQ(outcome(pc.open(*file, node), &why), 1) << why;
    EXPECT_EQ(pc.size(), whole.size());
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
            std::string pff_why;
            pst::Status our_why;
            const bool pff_opens = pffread::File::open(path, &pff_why) != nullptr;
            const auto ours = pst::read::File::open(path, &our_why);
            // A wrong crypt method opens in both but leaves nothing readable; 4 KB pages are
            // refused here and not read there either.
            if (std::string(c.name) != "crypt 2" && std::string(c.name) != "wVer 36") {
                EXPECT_EQ(ours != nullptr, pff_opens) << our_why.message << " / " << pff_why;
            }
            if (!ours) {
                EXPECT_FALSE(our_why);
                EXPECT_FALSE(our_why.message.empty());
            }
        }
    }
}

// The messaging layer by node id, in a PST and in a compressed 4 KiB-page OST: the store's name,
// the root folder, its hierarchy table, the children of a folder in node-id order, the contents
// table of "Contacts" (6 rows, each a child), and what is not a child.
TEST(ReaderMessaging, StoreRootTablesAndChildren)
{
    pst_test::TempDir dir;
    for (const bool four_k : {false, true}) {
        SCOPED_TRACE(four_k ? "4 KiB OST" : "PST");
        pst::WriterOptions options;
        options.format = four_k ? pst::FileFormat::Unicode4k : pst::FileFormat::Unicode;
        options.compress = four_k;
        options.offline = four_k;
        options.sync_to_disk = false;
        const std::string path = dir.file(four_k ? "messaging.ost" : "messaging.pst");
        pst_test::write_pst(
            path, [](pst::Writer& w) { fill_small(w); }, options);
        std::string why;
        pst::Status opened;
        auto file = pst::read::File::open(path, &opened);
        ASSERT_TRUE(file) << opened.message;
        EXPECT_EQ(file->offline(), four_k);
        EXPECT_EQ(file->format(), options.format);

        pst::read::PropertyContext store;
        ASSERT_EQ(outcome(pst::read::open_message_store(*file, &store), &why), 1) << why;
        const pst::read::PropertyRef* name = store.find(0x3001);
        ASSERT_NE(name, nullptr);
        const std::u16string expected = u"Personal Folders";
        ASSERT_EQ(name->size, 2 * expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(name->data[2 * i] | name->data[2 * i + 1] << 8, expected[i]);

        pst::read::Node root;
        ASSERT_EQ(outcome(pst::read::find_root_folder(*file, &root), &why), 1) << why;
        EXPECT_EQ(root.nid, pst::nid::kRootFolder);
        pst::read::Table hierarchy;
        ASSERT_EQ(
            outcome(pst::read::open_folder_table(*file, root.nid, pst::read::FolderTable::Hierarchy, &hierarchy), &why),
            1)
            << why;
        std::vector<uint32_t> rows;
        for (size_t r = 0; r < hierarchy.row_count(); ++r)
            rows.push_back(hierarchy.row_id(r));
        EXPECT_NE(std::find(rows.begin(), rows.end(), 0x8022u), rows.end()); // Top of Personal Folders

        std::vector<pst::read::Node> children;
        ASSERT_EQ(outcome(pst::read::children_of(*file, 0x8022, &children), &why), 1) << why;
        ASSERT_GE(children.size(), 3u); // Deleted Items, Contacts, Mail
        EXPECT_TRUE(std::is_sorted(children.begin(), children.end(),
                                   [](const auto& a, const auto& b) { return a.nid < b.nid; }));
        pst::read::Node node;
        EXPECT_EQ(outcome(pst::read::find_child(*file, root.nid, 0x8022, &node), &why), 1);
        EXPECT_EQ(outcome(pst::read::find_child(*file, 0x8022, root.nid, &node), &why), 0);
        EXPECT_EQ(outcome(pst::read::find_child(*file, root.nid, root.nid, &node), &why), 0);
        EXPECT_EQ(outcome(pst::read::find_child(*file, root.nid, 0x7FFFFFE2, &node), &why), 0);

        // "Contacts": the child folder whose contents table has six rows, every row a child.
        size_t found = 0;
        for (const pst::read::Node& folder : children) {
            pst::read::Table contents;
            if (outcome(pst::read::open_folder_table(*file, folder.nid, pst::read::FolderTable::Contents, &contents),
                        &why) != 1 ||
                contents.row_count() != 6)
                continue;
            ++found;
            for (size_t r = 0; r < contents.row_count(); ++r)
                EXPECT_EQ(outcome(pst::read::find_child(*file, folder.nid, contents.row_id(r), &node), &why), 1);
        }
        EXPECT_EQ(found, 1u);
        pst::read::Table none;
        EXPECT_EQ(
            outcome(pst::read::open_folder_table(*file, 0x7FFFFFE2, pst::read::FolderTable::Contents, &none), &why), 0);
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
    pst::Status opened;
    auto file = pst::read::File::open_memory(bare, &opened);
    ASSERT_TRUE(file) << opened.message;
    EXPECT_EQ(file->size(), image.size());
    EXPECT_GT(exercise_file(*file).failures, 0u);
}

// ---------------------------------------------------------------------------------------------
// Damaged images: every failure has a reason; nothing crashes, loops or reads out of bounds
// (the sanitizer build runs the same table). Missing, unreadable and shrinking files.

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

TEST(ReaderDamage, FileShrinkingUnderTheReader)
{
    pst_test::TempDir dir;
    const std::string path = dir.file("shrink.pst");
    pst_test::write_pst(path, [](pst::Writer& w) { fill_small(w); });
    pst::Status why;
    EXPECT_FALSE(pst::read::File::open(dir.file("none.pst"), &why));
    EXPECT_NE(why.message.find("none.pst"), std::string::npos);
    EXPECT_FALSE(pst::read::File::open(dir.path(), &why));
    auto file = pst::read::File::open(path, &why);
    ASSERT_TRUE(file) << why.message;
    std::filesystem::resize_file(path, 0x4400 + 1024);
    const Exercise ex = exercise_file(*file);
    EXPECT_GT(ex.failures, 0u);
    EXPECT_FALSE(ex.empty_reason);
    EXPECT_TRUE(ex.mentions("truncated") || ex.mentions("passes the end")) << ex.text();
}

} // namespace

// One table read after another (a message's recipients after another's, through one Table): the
// columns and cells of each are what a table opened for it alone gives, whether its layout is the
// last one's or not (three layouts, two of them alike but for their tags, each met again after another).
TEST(PstReaderTables, ReusedTableReadsEachLayoutAsAFreshOne)
{
    pst_test::TempDir dir;
    const std::string path = dir.file("layouts.pst");
    const auto recipient = [](std::u16string name, int extra) {
        pst::Recipient r;
        r.properties.push_back({pst::PropertyName::tag(0x3001), {pst::PropType::Unicode, name}});
        r.properties.push_back({pst::PropertyName::tag(0x3003), {pst::PropType::Unicode, name + u"@example.org"}});
        // Layouts 1, 2 and 3: as many columns, of the same sizes, under other tags; 4 and 5
        // one more. Six layouts, more than the table keeps, the first of them again after
        // five others.
        if (extra == 1 || extra == 4)
            r.properties.push_back({pst::PropertyName::tag(0x39FE), {pst::PropType::Unicode, name + u"@smtp.org"}});
        if (extra == 2 || extra == 4 || extra == 5)
            r.properties.push_back({pst::PropertyName::tag(0x3A00), {pst::PropType::Unicode, u"alias"}});
        if (extra == 3 || extra == 5)
            r.properties.push_back({pst::PropertyName::tag(0x3A01), {pst::PropType::Unicode, u"other"}});
        return r;
    };
    const int layouts[] = {0, 0, 1, 1, 0, 2, 1, 2, 2, 0, 3, 4, 5, 1, 0, 5, 3, 2, 4, 1, 0};
    pst_test::write_pst(path, [&](pst::Writer& w) {
        const pst::FolderId folder = w.add_folder(w.top_of_personal_folders(), u"Mail", u"IPF.Note");
        for (size_t i = 0; i < std::size(layouts); ++i) {
            pst::Message m(u"IPM.Note");
            // One name long enough for a subnode of its own; every third message's second
            // recipient without an address (a cell the row does not have).
            m.add_recipient(recipient(u"p" + std::u16string(i == 7 ? 5000 : i + 1, u'x'), layouts[i]));
            pst::Recipient second = recipient(u"q", layouts[i]);
            if (i % 3 == 2)
                second.properties.erase(second.properties.begin() + 1);
            m.add_recipient(second);
            ASSERT_TRUE(w.add_message(folder, m).ok);
        }
    });
    pst::Status why;
    auto file = pst::read::File::open(path, &why);
    ASSERT_TRUE(file) << why.message;
    std::vector<pst::read::Node> messages;
    ASSERT_TRUE(pst::read::for_each_message_node(*file, [&](const pst::read::Node& n) {
        messages.push_back(n);
        return true;
    }));
    ASSERT_EQ(messages.size(), std::size(layouts));
    struct Read
    {
        std::vector<uint32_t> columns;
        std::vector<std::vector<uint8_t>> cells;
        bool operator==(const Read&) const = default;
    };
    const auto read = [&](pst::read::Table& t, const pst::read::Node& message) {
        Read r;
        EXPECT_TRUE(pst::read::open_recipient_table(*file, message, &t).found());
        for (const auto& c : t.columns()) {
            r.columns.insert(r.columns.end(), {c.tag, c.offset, c.size, c.bit});
            for (size_t row = 0; row < t.row_count(); ++row) {
                std::vector<uint8_t> cell;
                const pst::Status got = t.cell(row, c.tag, &cell);
                cell.push_back(got.found() ? 1 : got.absent ? 0 : 2);
                r.cells.push_back(std::move(cell));
            }
        }
        return r;
    };
    pst::read::Table reused;
    std::set<std::vector<uint32_t>> seen;
    for (const pst::read::Node& message : messages) {
        pst::read::Table fresh;
        const Read expected = read(fresh, message);
        EXPECT_EQ(read(reused, message), expected) << "message " << message.nid;
        seen.insert(expected.columns);
        // Each row's cells in one call, with a column past the last (absent): as cell() has them.
        const size_t count = reused.columns().size(), rows = reused.row_count();
        std::vector<size_t> all(count + 1);
        for (size_t c = 0; c < all.size(); ++c)
            all[c] = c;
        std::vector<std::optional<std::span<const uint8_t>>> cells(all.size());
        std::vector<std::vector<uint8_t>> spills(all.size());
        for (size_t row = 0; row < rows; ++row) {
            ASSERT_TRUE(reused.row_cells(row, all, cells.data(), spills.data()).found());
            for (size_t c = 0; c < count; ++c) {
                std::vector<uint8_t> cell;
                if (cells[c])
                    cell.assign(cells[c]->begin(), cells[c]->end());
                cell.push_back(cells[c] ? 1 : 0);
                EXPECT_EQ(cell, expected.cells[c * rows + row]) << "message " << message.nid << " row " << row;
            }
            EXPECT_FALSE(cells[count]);
        }
        EXPECT_FALSE(reused.row_cells(rows, all, cells.data(), spills.data()).ok);
    }
    EXPECT_EQ(seen.size(), 6u); // six layouts met
}
