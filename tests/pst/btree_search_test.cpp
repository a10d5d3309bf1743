// B-tree lookups that start at the lowest page of the tree's last lookups whose keys hold theirs: in every order
// (rising, falling, shuffled, a walk's node then its blocks), for keys present, between two entries, before the first
// and past the last, and in trees with pages out of order, each lookup finds what a lookup from the root finds.
#include "read_ndb.h"
#include "reader_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using pst::read::File;
using pst::read::detail::Access;
using pst::read::detail::kPtypeBBT;
using pst::read::detail::kPtypeNBT;

struct Lookup
{
    uint8_t ptype;
    uint64_t key;
};

// What a lookup found: found (1), absent (0) or failed (-1), and the entry's bytes when found.
struct Found
{
    int outcome = 0;
    std::vector<uint8_t> entry;
    bool operator==(const Found&) const = default;
};

Found search(File::Impl& f, const Lookup& l)
{
    const uint8_t* e = nullptr;
    const pst::Status s = f.search(l.ptype, l.key, &e);
    Found out;
    out.outcome = !s ? -1 : s.absent ? 0 : 1;
    if (out.outcome == 1)
        out.entry.assign(e, e + 3 * f.layout->id_size);
    return out;
}

// Each lookup of `order` on one reader, against the same lookup from the root (the last leaves
// forgotten) on another; the number of lookups that found an entry.
size_t check_order(const std::vector<uint8_t>& image, const std::vector<Lookup>& order, const char* name)
{
    SCOPED_TRACE(name);
    pst::Status why;
    auto walked = File::open_memory(image, &why);
    auto fresh = File::open_memory(image, &why);
    EXPECT_TRUE(walked && fresh) << why.message;
    if (!walked || !fresh)
        return 0;
    File::Impl& w = Access::of(*walked);
    File::Impl& r = Access::of(*fresh);
    size_t found = 0;
    for (const Lookup& l : order) {
        r.last_path[0] = r.last_path[1] = {};
        const Found expected = search(r, l);
        EXPECT_EQ(search(w, l), expected) << (l.ptype == kPtypeBBT ? "block " : "node ") << l.key;
        found += expected.outcome == 1 ? 1 : 0;
    }
    return found;
}

// Every node of the file and its blocks, in the tree's order, each with the keys on either side
// of it; then the smallest and largest keys.
std::vector<Lookup> keys_of(const std::vector<uint8_t>& image)
{
    pst::Status why;
    auto file = File::open_memory(image, &why);
    std::vector<Lookup> keys;
    EXPECT_TRUE(file) << why.message;
    if (!file)
        return keys;
    EXPECT_TRUE(file->for_each_node([&](const pst::read::Node& n) {
        keys.push_back({kPtypeNBT, n.nid});
        keys.push_back({kPtypeNBT, n.nid + 1u});
        for (const uint64_t bid : {n.bid_data, n.bid_sub}) {
            if (bid != 0) {
                keys.push_back({kPtypeBBT, bid});
                keys.push_back({kPtypeBBT, bid - 2});
                keys.push_back({kPtypeBBT, bid + 2});
                keys.push_back({kPtypeBBT, bid | 1}); // the reserved bit is no part of the key
            }
        }
        return true;
    }));
    for (const uint8_t ptype : {kPtypeNBT, kPtypeBBT})
        for (const uint64_t edge : {uint64_t{0}, uint64_t{1}, uint64_t{UINT32_MAX}, UINT64_MAX})
            keys.push_back({ptype, edge});
    return keys;
}

void check_every_order(const std::vector<uint8_t>& image)
{
    const std::vector<Lookup> walk = keys_of(image);
    ASSERT_GT(walk.size(), 10000u);
    std::vector<Lookup> rising = walk;
    std::stable_sort(rising.begin(), rising.end(), [](const Lookup& a, const Lookup& b) { return a.key < b.key; });
    const std::vector<Lookup> falling(rising.rbegin(), rising.rend());
    std::vector<Lookup> shuffled = walk;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    std::vector<Lookup> ends; // the first, the last, the second, the second last, ...
    for (size_t i = 0, j = rising.size(); i < j; ++i) {
        ends.push_back(rising[i]);
        if (i < --j)
            ends.push_back(rising[j]);
    }
    // Keys present, in strides of 1 to 6 keys rising and falling: lookups in the leaf of the last
    // one at entries about it, at the edge of those looked at first and past it.
    pst::Status why;
    const auto file = File::open_memory(image, &why);
    ASSERT_TRUE(file) << why.message;
    File::Impl& from_root = Access::of(*file);
    std::vector<Lookup> present;
    for (const Lookup& l : rising) {
        from_root.last_path[0] = from_root.last_path[1] = {};
        if (search(from_root, l).outcome == 1)
            present.push_back(l);
    }
    for (size_t stride = 1; stride <= 6; ++stride) {
        std::vector<Lookup> strides;
        for (size_t i = 0; i < present.size(); i += stride)
            strides.push_back(present[i]);
        for (size_t i = present.size(); i > stride; i -= stride)
            strides.push_back(present[i - 1]);
        EXPECT_EQ(check_order(image, strides, ("strides of " + std::to_string(stride)).c_str()), strides.size());
    }
    const size_t found = check_order(image, walk, "walk");
    EXPECT_GT(found, walk.size() / 5);
    EXPECT_EQ(check_order(image, rising, "rising"), found);
    EXPECT_EQ(check_order(image, falling, "falling"), found);
    EXPECT_EQ(check_order(image, shuffled, "shuffled"), found);
    EXPECT_EQ(check_order(image, ends, "ends"), found);
}

std::vector<uint8_t> many_messages(pst::FileFormat format)
{
    pst_test::TempDir dir;
    const std::string path = dir.file("many.pst");
    pst::WriterOptions options;
    options.format = format;
    options.sync_to_disk = false;
    // Messages with a recipient table each: nodes with data and subnodes.
    pst_test::write_pst(
        path,
        [](pst::Writer& w) {
            const pst::FolderId folder = w.add_folder(w.top_of_personal_folders(), u"Mail", u"IPF.Note");
            for (int i = 0; i < 3000; ++i) {
                pst::Message m(u"IPM.Note");
                m.set_unicode(0x0037, pst_test::pattern_text(static_cast<size_t>(1 + i % 40)));
                m.add_recipient({{{pst::PropertyName::tag(0x3001), {pst::PropType::Unicode, u"Anna Smith"}}}});
                const pst::Status added = w.add_message(folder, m);
                ASSERT_TRUE(added.ok) << added.message;
            }
        },
        options);
    return pst_test::read_file(path);
}

const pst::detail::Layout& layout_of(pst::FileFormat format)
{
    return format == pst::FileFormat::Ansi      ? pst::detail::kAnsiLayout
           : format == pst::FileFormat::Unicode ? pst::detail::kUnicodeLayout
                                                : pst::detail::kUnicode4kLayout;
}

} // namespace

TEST(BtreeSearch, FromTheLastLeafFindsWhatTheRootFinds)
{
    for (const auto format : {pst::FileFormat::Unicode, pst::FileFormat::Ansi, pst::FileFormat::Unicode4k}) {
        SCOPED_TRACE(static_cast<int>(format));
        const std::vector<uint8_t> image = many_messages(format);
        const pst::detail::Layout& L = layout_of(format);
        const reader_test::Roots roots = reader_test::roots_of(image);
        // Trees of more than one level, so that a lookup from the last leaf skips pages.
        ASSERT_GT(L.level_of(image.data() + roots.nbt), 0u);
        ASSERT_GT(L.level_of(image.data() + roots.bbt), 0u);
        {
            SCOPED_TRACE("sound");
            check_every_order(image);
        }
        // Damage: the first page at a level with its second and third entries swapped (keys A C
        // B: a lookup from the root takes A's child for keys below B, B's for keys from B on): the
        // first leaf, the first page above the leaves and the root, in either tree.
        for (const unsigned level : {0u, 1u, 2u}) {
            for (const uint64_t root : {roots.nbt, roots.bbt}) {
                if (L.level_of(image.data() + root) < level)
                    continue;
                SCOPED_TRACE("level " + std::to_string(level) + (root == roots.nbt ? " of nodes" : " of blocks"));
                std::vector<uint8_t> damaged = image;
                uint64_t ib = root;
                while (L.level_of(damaged.data() + ib) > level)
                    ib = L.id(damaged.data() + ib + 2 * L.id_size);
                uint8_t* page = damaged.data() + ib;
                const size_t size = L.entry_size_of(page);
                ASSERT_GE(L.page_count(page), 3u);
                std::swap_ranges(page + size, page + 2 * size, page + 2 * size);
                check_every_order(damaged);
            }
        }
    }
}
