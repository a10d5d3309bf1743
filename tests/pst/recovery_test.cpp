// Beyond the live folders: deleted contacts recovered from free space (with their values, never a
// live one, every format and encoding, maps valid or not), orphan message nodes of both kinds,
// damaged free space (no candidate, no crash), and the scan's limits, progress and cancel.
#include "reader_support.h"

#include "layout.h"

#include "pffread/pffread.h"
#include "pst/recovery.h"
#include "pstcheck/check.h"

#include <gtest/gtest.h>
#include <libpff.h>

#include <map>
#include <random>
#include <set>

namespace {

namespace read = pst::read;
using pst_test::outcome;
using pst_test::TempDir;
using Image = std::vector<uint8_t>;

// What a deleted contact carries besides its names, so that each kind of PC layout is recovered.
enum class Shape
{
    Plain,      // one heap block
    BodyInSub,  // a body too large for the heap: held in a subnode, reported as skipped
    Tree,       // a heap of three blocks: a data tree with an XBLOCK
    Attachment, // a photo attachment (its object is a PC of its own)
};
constexpr Shape kShapes[] = {Shape::Plain, Shape::BodyInSub, Shape::Tree, Shape::Attachment};

std::u16string u16(const std::string& s)
{
    return std::u16string(s.begin(), s.end());
}

pst::Message contact(const std::string& given)
{
    pst::Message m(u"IPM.Contact");
    m.set_unicode(0x3A06, u16(given));
    m.set_unicode(0x3A11, u"Doe");
    m.set_unicode(0x3001, u16(given) + u" Doe");
    m.set_named_unicode(pst::kPsetidAddress, 0x8005, u"Doe, " + u16(given));
    return m;
}

pst::Message shaped(const std::string& given, Shape shape)
{
    pst::Message m = contact(given);
    if (shape == Shape::BodyInSub)
        m.set_unicode(0x1000, pst_test::pattern_text(5000));
    if (shape == Shape::Tree)
        for (uint16_t i = 0; i < 6; ++i)
            m.set_binary(static_cast<uint16_t>(0x6000 + i), pst_test::pattern_bytes(3000, static_cast<uint8_t>(i)));
    if (shape == Shape::Attachment) {
        pst::Attachment a;
        a.properties.push_back(
            {pst::PropertyName::tag(0x3701), {pst::PropType::Binary, pst_test::pattern_bytes(20000, 9)}});
        a.properties.push_back({pst::PropertyName::tag(0x7FFF), {pst::PropType::Boolean, true}});
        m.add_attachment(a);
    }
    return m;
}

struct Planned
{
    std::map<std::string, Shape> deleted; // given name -> shape
    std::set<std::string> live;
};

// Live contacts with deleted ones between them (every shape), and two orphans.
Planned fill(pst::Writer& w)
{
    Planned p;
    const auto folder = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
    for (int i = 0; i < 24; ++i) {
        const std::string live = "Live " + std::to_string(i);
        EXPECT_TRUE(w.add_message(folder, shaped(live, kShapes[i % 4])).ok);
        p.live.insert(live);
        if (i % 3 == 0) {
            const std::string gone = "Deleted " + std::to_string(i);
            const Shape shape = kShapes[(i / 3) % 4];
            EXPECT_TRUE(w.add_deleted_message(shaped(gone, shape)).ok);
            p.deleted[gone] = shape;
        }
    }
    EXPECT_TRUE(w.add_orphan_message(contact("Orphan missing"), pst::Writer::OrphanParent::MissingFolder).ok);
    EXPECT_TRUE(w.add_orphan_message(contact("Orphan store"), pst::Writer::OrphanParent::NotAFolder).ok);
    return p;
}

std::string text(const read::PropertyRef* p)
{
    std::u16string units;
    for (size_t i = 0; p && i + 1 < p->size; i += 2)
        units += static_cast<char16_t>(p->data[i] | p->data[i + 1] << 8);
    return pst_test::utf8(units);
}

// The value of a numeric named property, through the file's map.
const read::PropertyRef* named(const read::PropertyContext& pc, const read::NameMap& map, uint32_t lid)
{
    for (size_t i = 0; i < pc.size(); ++i)
        if (const read::NamedId* n = map.find(pc.at(i).id); n && n->numeric && n->lid == lid)
            return &pc.at(i);
    return nullptr;
}

struct Found
{
    read::RecoveredItem item;
    std::string given, display, surname, file_under, message_class;
    size_t skipped = 0;
};

// Opens every item of `result`; items that are no contact (attachment objects, folders) are left
// out. Every item's root block must be unknown to the live block B-tree.
std::vector<Found> contacts_of(read::File& file, read::Recovery& recovery, const read::RecoveryResult& result)
{
    read::NameMap map; // a file cut short may have lost it: file-under names stay empty then
    std::string why;
    const bool have_map = outcome(map.open(file), &why) == 1;
    std::vector<Found> out;
    for (const read::RecoveredItem& item : result.items) {
        std::vector<uint8_t> stream;
        EXPECT_EQ(outcome(file.read_stream(item.bid, &stream), &why), -1) << "a live block came back: " << item.bid;
        read::PropertyContext pc;
        EXPECT_EQ(outcome(recovery.open(item, &pc), &why), 1) << why << " (item at " << item.offset << ")";
        EXPECT_EQ(pc.size(), item.properties);
        Found f;
        f.item = item;
        f.message_class = text(pc.find(0x001A));
        if (f.message_class != "IPM.Contact")
            continue;
        f.given = text(pc.find(0x3A06));
        f.surname = text(pc.find(0x3A11));
        f.display = text(pc.find(0x3001));
        f.file_under = have_map ? text(named(pc, map, 0x8005)) : "";
        f.skipped = pc.skipped();
        out.push_back(f);
    }
    return out;
}

// The recovered contacts are the deleted ones, each once, with their values.
void expect_deleted(const std::vector<Found>& found, const Planned& p)
{
    std::map<std::string, size_t> seen;
    for (const Found& f : found) {
        SCOPED_TRACE(f.given);
        ++seen[f.given];
        ASSERT_TRUE(p.deleted.count(f.given)) << "not a deleted contact";
        EXPECT_EQ(f.surname, "Doe");
        EXPECT_EQ(f.display, f.given + " Doe");
        EXPECT_EQ(f.file_under, "Doe, " + f.given);
        const Shape shape = p.deleted.at(f.given);
        EXPECT_EQ(f.skipped, shape == Shape::BodyInSub ? 1u : 0u);
        EXPECT_EQ(f.item.blocks, shape == Shape::Tree ? 3u : 1u);
    }
    for (const auto& [name, shape] : p.deleted)
        EXPECT_EQ(seen[name], 1u) << name;
}

Image without_valid_maps(Image image, bool ansi)
{
    image[ansi ? 200 : 248] = 0;
    reader_test::fix_header_crc(image, ansi);
    return image;
}

struct FileCase
{
    const char* name;
    pst::FileFormat format;
    pst::BlockEncoding encoding;
};
constexpr FileCase kFiles[] = {
    {"unicode", pst::FileFormat::Unicode, pst::BlockEncoding::None},
    {"unicode_permute", pst::FileFormat::Unicode, pst::BlockEncoding::Permute},
    {"unicode_cyclic", pst::FileFormat::Unicode, pst::BlockEncoding::Cyclic},
    {"ansi", pst::FileFormat::Ansi, pst::BlockEncoding::None},
    {"ansi_permute", pst::FileFormat::Ansi, pst::BlockEncoding::Permute},
    {"ansi_cyclic", pst::FileFormat::Ansi, pst::BlockEncoding::Cyclic},
};

std::string write(const TempDir& dir, const FileCase& c, Planned* planned)
{
    const std::string path = dir.file(std::string(c.name) + ".pst");
    pst::WriterOptions options;
    options.format = c.format;
    options.encoding = c.encoding;
    options.sync_to_disk = false;
    pst_test::write_pst(
        path, [&](pst::Writer& w) { *planned = fill(w); }, options);
    return path;
}

// The bytes the allocation maps of a file image mark free, counted bit by bit (the last region's
// bits past the end of the file count as used).
uint64_t free_bytes_of(const Image& image, const pst::detail::Layout& L)
{
    uint64_t free = 0;
    for (uint64_t start = L.first_region; start < image.size(); start += L.region_size()) {
        const uint8_t* bits = image.data() + start + L.map_bits_at;
        for (uint64_t i = 0; i < uint64_t{L.map_bytes} * 8; ++i) {
            const uint64_t at = start + i * L.map_unit;
            if (at < image.size() && (bits[i / 8] & (0x80 >> (i % 8))) == 0)
                free += std::min<uint64_t>(L.map_unit, image.size() - at);
        }
    }
    return free;
}

class RecoveryFiles : public ::testing::TestWithParam<FileCase>
{
};

TEST_P(RecoveryFiles, FindsTheDeletedNeverTheLive)
{
    TempDir dir;
    Planned planned;
    const std::string path = write(dir, GetParam(), &planned);
    pstcheck::Options allow;
    allow.allow_orphans = true;
    EXPECT_EQ(pstcheck::join(pstcheck::check_file(path, allow)), "");

    std::string why;
    pst::Status opened;
    auto file = read::File::open(path, &opened);
    ASSERT_TRUE(file) << opened.message;
    read::Recovery recovery(*file);
    read::RecoveryResult result;
    ASSERT_EQ(outcome(recovery.scan({}, &result), &why), 1) << why;
    EXPECT_EQ(result.end, read::RecoveryEnd::Complete);
    EXPECT_FALSE(result.whole_file);
    EXPECT_EQ(result.unmapped_regions, 0u);
    EXPECT_EQ(result.scanned, result.total);
    const bool ansi = GetParam().format == pst::FileFormat::Ansi;
    EXPECT_EQ(result.total,
              free_bytes_of(pst_test::read_file(path), ansi ? pst::detail::kAnsiLayout : pst::detail::kUnicodeLayout));
    EXPECT_EQ(result.live, 0u);
    EXPECT_EQ(result.rejected, 0u);
    expect_deleted(contacts_of(*file, recovery, result), planned);

    // With the maps marked not valid every byte is examined: live blocks are met and left out, the
    // same items come back.
    auto whole = read::File::open_memory(without_valid_maps(pst_test::read_file(path), ansi), &opened);
    ASSERT_TRUE(whole) << opened.message;
    read::Recovery whole_recovery(*whole);
    read::RecoveryResult whole_result;
    ASSERT_EQ(outcome(whole_recovery.scan({}, &whole_result), &why), 1) << why;
    EXPECT_TRUE(whole_result.whole_file);
    EXPECT_EQ(whole_result.total, whole->size() - 0x4400);
    EXPECT_GT(whole_result.live, planned.live.size());
    ASSERT_EQ(whole_result.items.size(), result.items.size());
    for (size_t i = 0; i < result.items.size(); ++i)
        EXPECT_EQ(whole_result.items[i].bid, result.items[i].bid);
    expect_deleted(contacts_of(*whole, whole_recovery, whole_result), planned);
}

INSTANTIATE_TEST_SUITE_P(Files, RecoveryFiles, ::testing::ValuesIn(kFiles),
                         [](const auto& info) { return std::string(info.param.name); });

// Both kinds of orphan, in each format; libpff lists the one whose folder is missing as an orphan
// item and files the other under the store node.
TEST(RecoveryOrphans, BothKinds)
{
    TempDir dir;
    for (const FileCase& c : {kFiles[1], kFiles[5]}) {
        SCOPED_TRACE(c.name);
        Planned planned;
        const std::string path = write(dir, c, &planned);
        std::string why;
        pst::Status opened;
        auto file = read::File::open(path, &opened);
        ASSERT_TRUE(file) << opened.message;
        std::map<std::string, uint32_t> parents;
        read::PropertyContext pc;
        ASSERT_EQ(outcome(read::for_each_orphan_message(*file,
                                                        [&](const read::Node& n) {
                                                            EXPECT_EQ(outcome(pc.open(*file, n), &why), 1) << why;
                                                            parents[text(pc.find(0x3A06))] = n.parent;
                                                            return true;
                                                        }),
                          &why),
                  1)
            << why;
        ASSERT_EQ(parents.size(), 2u);
        EXPECT_EQ(parents["Orphan store"], 0x21u);
        EXPECT_EQ(parents["Orphan missing"] & 0x1F, 0x02u);
        read::Node none;
        EXPECT_EQ(outcome(file->find_node(parents["Orphan missing"], &none), &why), 0) << "its folder does not exist";

        size_t messages = 0;
        ASSERT_EQ(outcome(read::for_each_message_node(*file,
                                                      [&](const read::Node&) {
                                                          ++messages;
                                                          return true;
                                                      }),
                          &why),
                  1);
        EXPECT_EQ(messages, planned.live.size() + 2);
        size_t visits = 0;
        EXPECT_EQ(outcome(read::for_each_orphan_message(*file,
                                                        [&](const read::Node&) {
                                                            ++visits;
                                                            return false;
                                                        }),
                          &why),
                  1);
        EXPECT_EQ(visits, 1u) << "the visitor stops the walk";

        auto pff = pffread::File::open(path, &why);
        ASSERT_TRUE(pff) << why;
        int orphans = -1;
        ASSERT_EQ(libpff_file_get_number_of_orphan_items(pff->handle(), &orphans, nullptr), 1);
        ASSERT_EQ(orphans, 1);
        libpff_item_t* item = nullptr;
        ASSERT_EQ(libpff_file_get_orphan_item_by_index(pff->handle(), 0, &item, nullptr), 1);
        EXPECT_EQ(pffread::Item(item).utf8(0x3A06).value_or(""), "Orphan missing");
    }
}

// A file without deletions: only the tail of the last region is free, and nothing is found there.
TEST(RecoveryScan, CleanFileHasNothing)
{
    TempDir dir;
    const std::string path = dir.file("clean.pst");
    pst_test::write_pst(path, [](pst::Writer& w) { reader_test::fill_small(w); });
    std::string why;
    pst::Status opened;
    auto file = read::File::open(path, &opened);
    ASSERT_TRUE(file) << opened.message;
    read::Recovery recovery(*file);
    read::RecoveryResult result;
    ASSERT_EQ(outcome(recovery.scan({}, &result), &why), 1) << why;
    EXPECT_EQ(result.end, read::RecoveryEnd::Complete);
    EXPECT_TRUE(result.items.empty());
    EXPECT_EQ(result.blocks, 0u);
    EXPECT_GT(result.total, 0u);
    EXPECT_LT(result.total, file->size());
}

// A heap of more than 1021 blocks: its data tree is an XXBLOCK over XBLOCKs, all in free space.
TEST(RecoveryScan, TwoLevelDataTree)
{
    TempDir dir;
    const std::string path = dir.file("xx.pst");
    pst_test::write_pst(path, [](pst::Writer& w) {
        pst::Message m = contact("Deleted huge");
        for (uint16_t i = 0; i < 2100; ++i)
            m.set_binary(static_cast<uint16_t>(0x4000 + i), pst_test::pattern_bytes(3580, static_cast<uint8_t>(i)));
        EXPECT_TRUE(w.add_deleted_message(m).ok);
    });
    std::string why;
    pst::Status opened;
    auto file = read::File::open(path, &opened);
    ASSERT_TRUE(file) << opened.message;
    read::Recovery recovery(*file);
    read::RecoveryResult result;
    ASSERT_EQ(outcome(recovery.scan({}, &result), &why), 1) << why;
    const auto found = contacts_of(*file, recovery, result);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].given, "Deleted huge");
    EXPECT_GT(found[0].item.blocks, 1021u);
    read::PropertyContext pc;
    ASSERT_EQ(outcome(recovery.open(found[0].item, &pc), &why), 1) << why;
    const read::PropertyRef* last = pc.find(0x4000 + 2099);
    ASSERT_TRUE(last);
    EXPECT_TRUE(std::vector<uint8_t>(last->data, last->data + last->size) == pst_test::pattern_bytes(3580, 2099 % 256));
}

// ---------------------------------------------------------------------------------------------
// Damaged free space: a block that fails any check gives no candidate, a tree missing a block
// gives none, a damaged map page makes its region be examined whole; nothing crashes.

struct Base
{
    Image image;
    bool ansi = false;
    std::vector<read::RecoveredItem> items; // of the undamaged file
    std::map<uint64_t, std::string> names;  // contact items by BID
};

Base base_file(const TempDir& dir, const FileCase& c)
{
    Base b;
    Planned planned;
    b.image = pst_test::read_file(write(dir, c, &planned));
    b.ansi = c.format == pst::FileFormat::Ansi;
    std::string why;
    pst::Status opened;
    auto file = read::File::open_memory(b.image, &opened);
    read::Recovery recovery(*file);
    read::RecoveryResult result;
    EXPECT_EQ(outcome(recovery.scan({}, &result), &why), 1) << why;
    b.items = result.items;
    for (const Found& f : contacts_of(*file, recovery, result))
        b.names[f.item.bid] = f.given;
    return b;
}

struct Outcome
{
    std::set<std::string> names; // recovered contacts
    size_t items = 0;
    size_t unmapped = 0;
};

Outcome recover(const Image& image)
{
    Outcome o;
    std::string why;
    pst::Status opened;
    auto file = read::File::open_memory(image, &opened);
    if (!file)
        return o;
    read::Recovery recovery(*file);
    read::RecoveryResult result;
    if (outcome(recovery.scan({}, &result), &why) != 1)
        return o;
    o.items = result.items.size();
    o.unmapped = result.unmapped_regions;
    for (const Found& f : contacts_of(*file, recovery, result))
        o.names.insert(f.given);
    return o;
}

unsigned trailer_size(bool ansi)
{
    return ansi ? 12 : 16;
}

// Offset of the trailer of the block of `cb` bytes at `ib`.
uint64_t trailer_of(uint64_t ib, uint64_t cb, bool ansi)
{
    return ib + (cb + trailer_size(ansi) + 63) / 64 * 64 - trailer_size(ansi);
}

void put(Image& image, uint64_t at, unsigned width, uint64_t v)
{
    for (unsigned i = 0; i < width; ++i)
        image.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t get(const Image& image, uint64_t at, unsigned width)
{
    uint64_t v = 0;
    for (unsigned i = width; i-- > 0;)
        v = v << 8 | image.at(at + i);
    return v;
}

// Rewrites the trailer of the block at `ib` for its bytes, BID and offset as they now are.
void fix_block(Image& image, uint64_t ib, uint16_t cb, uint64_t bid, bool ansi)
{
    const uint64_t t = trailer_of(ib, cb, ansi);
    const uint32_t x = static_cast<uint32_t>((ib ^ bid) & 0xFFFFFFFFu);
    put(image, t, 2, cb);
    put(image, t + 2, 2, (x >> 16) ^ (x & 0xFFFF));
    put(image, t + (ansi ? 8 : 4), 4, pst::crc32(image.data() + ib, cb));
    put(image, t + (ansi ? 4 : 8), ansi ? 4 : 8, bid);
}

struct Damage
{
    const char* name;
    // Damages the image around the item (a deleted contact of one block, or of a tree when the
    // case asks for one); returns false when the case does not apply.
    std::function<void(Image&, const read::RecoveredItem&, const Base&)> apply;
    bool tree;                 // applies to the tree item
    bool gone;                 // the item is no longer recovered
    bool whole_region = false; // the AMap page is damaged: the region is examined whole
};

const Damage kDamages[] = {
    {"payload byte flipped", [](Image& im, const read::RecoveredItem& it, const Base&) { im.at(it.offset + 20) ^= 1; },
     false, true},
    {"CRC byte flipped",
     [](Image& im, const read::RecoveredItem& it, const Base& b) {
         im.at(trailer_of(it.offset, it.size, b.ansi) + (b.ansi ? 8 : 4)) ^= 0x80;
     },
     false, true},
    {"signature wrong",
     [](Image& im, const read::RecoveredItem& it, const Base& b) {
         im.at(trailer_of(it.offset, it.size, b.ansi) + 2) ^= 1;
     },
     false, true},
    {"cb one more",
     [](Image& im, const read::RecoveredItem& it, const Base& b) {
         const uint64_t t = trailer_of(it.offset, it.size, b.ansi);
         put(im, t, 2, get(im, t, 2) + 1);
     },
     false, true},
    {"cb zero",
     [](Image& im, const read::RecoveredItem& it, const Base& b) {
         put(im, trailer_of(it.offset, it.size, b.ansi), 2, 0);
     },
     false, true},
    {"cb past a block",
     [](Image& im, const read::RecoveredItem& it, const Base& b) {
         put(im, trailer_of(it.offset, it.size, b.ansi), 2, b.ansi ? 8181 : 8177);
     },
     false, true},
    {"cb reaching before the free run",
     [](Image& im, const read::RecoveredItem& it, const Base& b) {
         // The same trailer claims the largest block: it would start in space in use.
         const uint64_t t = trailer_of(it.offset, it.size, b.ansi);
         put(im, t, 2, b.ansi ? 8180 : 8176);
     },
     false, true},
    {"BID of a live block, trailer repaired",
     [](Image& im, const read::RecoveredItem& it, const Base& b) {
         fix_block(im, it.offset, static_cast<uint16_t>(it.size), 4, b.ansi); // the first block the writer made
     },
     false, true},
    {"heap signature damaged, CRC repaired",
     [](Image& im, const read::RecoveredItem& it, const Base& b) {
         im.at(it.offset + 2) ^= 0x11; // decodes to another byte in every encoding
         fix_block(im, it.offset, static_cast<uint16_t>(it.size), it.bid, b.ansi);
     },
     false, true},
    {"heap page map past the block, CRC repaired",
     [](Image& im, const read::RecoveredItem& it, const Base& b) {
         put(im, it.offset, 2, 0xFFF0); // encoded files: some other value, still no page map
         fix_block(im, it.offset, static_cast<uint16_t>(it.size), it.bid, b.ansi);
     },
     false, true},
    {"XBLOCK lost", [](Image& im, const read::RecoveredItem& it, const Base&) { im.at(it.offset + 9) ^= 0x40; }, true,
     true},
    {"XBLOCK child lost",
     [](Image& im, const read::RecoveredItem& it, const Base& b) {
         const unsigned id = b.ansi ? 4 : 8;
         put(im, it.offset + 8 + id, id, 0x3FFFFFF0); // the second child: a BID no block has
         fix_block(im, it.offset, static_cast<uint16_t>(8 + 3 * id), it.bid, b.ansi);
     },
     true, true},
    {"AMap page damaged", [](Image& im, const read::RecoveredItem&, const Base&) { im.at(0x4400 + 100) ^= 0xFF; },
     false, false, true},
};

class RecoveryDamage : public ::testing::TestWithParam<FileCase>
{
};

TEST_P(RecoveryDamage, NoCandidateNoCrash)
{
    TempDir dir;
    const Base b = base_file(dir, GetParam());
    ASSERT_FALSE(b.names.empty());
    const read::RecoveredItem* single = nullptr;
    const read::RecoveredItem* tree = nullptr;
    for (const read::RecoveredItem& it : b.items) {
        if (!b.names.count(it.bid))
            continue;
        if (it.blocks == 1 && !single)
            single = &it;
        if (it.blocks > 1 && !tree)
            tree = &it;
    }
    ASSERT_TRUE(single && tree);
    std::set<std::string> all;
    for (const auto& [bid, name] : b.names)
        all.insert(name);
    for (const Damage& d : kDamages) {
        SCOPED_TRACE(d.name);
        const read::RecoveredItem& target = d.tree ? *tree : *single;
        Image image = b.image;
        d.apply(image, target, b);
        const Outcome o = recover(image);
        std::set<std::string> want = all;
        if (d.gone)
            want.erase(b.names.at(target.bid));
        EXPECT_EQ(o.names, want);
        EXPECT_EQ(o.unmapped, d.whole_region ? 1u : 0u);
    }
}

// Random bytes over the free space that held deleted items, with the damaged blocks' trailers
// repaired half of the time so that the damage reaches the heap and BTH parsers. Nothing crashes,
// no live block comes back (contacts_of checks every item), no contact is invented.
TEST_P(RecoveryDamage, RandomDamageOfFreeSpace)
{
    TempDir dir;
    const Base b = base_file(dir, GetParam());
    std::set<std::string> all;
    for (const auto& [bid, name] : b.names)
        all.insert(name);
    std::mt19937 rng(20240611);
    for (int round = 0; round < 60; ++round) {
        Image image = b.image;
        const read::RecoveredItem& it = b.items[rng() % b.items.size()];
        const uint64_t span = (it.blocks == 1 ? it.size : 8 + it.blocks * 8) + 1;
        for (int i = 0, n = 1 + int(rng() % 6); i < n; ++i)
            image.at(it.offset + rng() % span) = static_cast<uint8_t>(rng());
        // A repaired block is sound again with whatever bytes it now has (a changed name is
        // recovered as it stands); without repair no contact may be invented.
        const bool repaired = it.blocks == 1 && rng() % 2;
        if (repaired)
            fix_block(image, it.offset, static_cast<uint16_t>(it.size), it.bid, b.ansi);
        const Outcome o = recover(image);
        for (const std::string& name : o.names)
            EXPECT_TRUE(repaired || all.count(name)) << name;
    }
    // A file cut inside the free space.
    for (uint64_t cut : {b.items.front().offset + 10, b.items.back().offset + 100}) {
        Image image(b.image.begin(), b.image.begin() + static_cast<ptrdiff_t>(cut));
        const Outcome o = recover(image);
        EXPECT_LE(o.names.size(), all.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Files, RecoveryDamage, ::testing::Values(kFiles[0], kFiles[2], kFiles[4]),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Limits, progress and cancel.

TEST(RecoveryScan, LimitsProgressAndCancel)
{
    TempDir dir;
    Planned planned;
    const std::string path = write(dir, kFiles[0], &planned);
    std::string why;
    pst::Status opened;
    auto file = read::File::open(path, &opened);
    ASSERT_TRUE(file) << opened.message;
    read::Recovery recovery(*file);
    read::RecoveryResult all;
    ASSERT_EQ(outcome(recovery.scan({}, &all), &why), 1) << why;
    ASSERT_GT(all.items.size(), 3u);

    struct Case
    {
        const char* name;
        read::RecoveryOptions options;
        read::RecoveryEnd end;
        size_t items; // at most
    };
    read::RecoveryOptions two;
    two.max_candidates = 2;
    read::RecoveryOptions one_block;
    one_block.max_blocks = 1;
    read::RecoveryOptions few_bytes;
    few_bytes.max_bytes = 64;
    read::RecoveryOptions cancel;
    cancel.progress = [](const read::RecoveryProgress&) { return false; };
    const Case cases[] = {
        {"candidates", two, read::RecoveryEnd::CandidateLimit, 2},
        {"blocks", one_block, read::RecoveryEnd::BlockLimit, 1},
        {"bytes", few_bytes, read::RecoveryEnd::ByteLimit, 0},
        {"cancel", cancel, read::RecoveryEnd::Cancelled, all.items.size()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        read::RecoveryResult r;
        ASSERT_EQ(outcome(recovery.scan(c.options, &r), &why), 1) << why;
        EXPECT_EQ(r.end, c.end);
        EXPECT_LE(r.items.size(), c.items);
        EXPECT_LE(r.scanned, r.total);
        for (size_t i = 0; i < r.items.size(); ++i)
            EXPECT_EQ(r.items[i].bid, all.items[i].bid);
    }
    EXPECT_EQ(outcome(recovery.scan(two, &all), &why), 1);
    read::PropertyContext pc;
    EXPECT_EQ(outcome(recovery.open(all.items[0], &pc), &why), 1) << why;
    read::RecoveredItem stranger = all.items[0];
    stranger.bid += 4;
    EXPECT_EQ(outcome(recovery.open(stranger, &pc), &why), -1);
    EXPECT_FALSE(why.empty());

    // Progress: each call sees more scanned, never more than the total.
    read::RecoveryOptions watch;
    uint64_t last = 0;
    size_t calls = 0;
    watch.progress = [&](const read::RecoveryProgress& p) {
        EXPECT_GE(p.scanned, last);
        EXPECT_LE(p.scanned, p.total);
        last = p.scanned;
        ++calls;
        return true;
    };
    read::RecoveryResult r;
    ASSERT_EQ(outcome(recovery.scan(watch, &r), &why), 1);
    EXPECT_GT(calls, 0u);
    EXPECT_EQ(last, r.total);
}

} // namespace
