#include "reader_support.h"

#include "pffread/pffread.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>

namespace reader_test {

namespace read = pst::read;
using pst_test::outcome;
using pst_test::pattern_bytes;
using pst_test::pattern_text;

namespace {

std::string hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

uint32_t sibling(uint32_t nid, uint32_t type)
{
    return (nid & ~0x1Fu) | type;
}

void add(pst::Writer& w, pst::FolderId folder, const pst::Message& m)
{
    const pst::Status st = w.add_message(folder, m);
    ASSERT_TRUE(st.ok) << st.message;
}

pst::Message many(size_t count, size_t size)
{
    pst::Message m(u"IPM.Note");
    for (size_t i = 0; i < count; ++i)
        m.set_binary(static_cast<uint16_t>(0x6000 + i), pattern_bytes(size, static_cast<uint8_t>(i)));
    return m;
}

pst::Message every_type()
{
    pst::Message m(u"IPM.Contact");
    m.set_string8(0x3A06, "Ren\xE9");
    m.set_unicode(0x3A11, u"");
    // Every type code the writer stores as given: inline, 8-byte, variable, multi-valued, empty.
    const std::vector<std::pair<uint16_t, size_t>> raw = {
        {0x0002, 2},  {0x0003, 4},  {0x0004, 4}, {0x000A, 4},  {0x000B, 1},  {0x0005, 8},
        {0x0006, 8},  {0x0007, 8},  {0x0014, 8}, {0x0040, 8},  {0x0048, 16}, {0x000D, 12},
        {0x1003, 12}, {0x1102, 20}, {0x0102, 0}, {0x101F, 20}, {0x001F, 6}};
    for (size_t i = 0; i < raw.size(); ++i)
        m.set_raw(static_cast<uint16_t>(0x6700 + i), raw[i].first, pattern_bytes(raw[i].second, uint8_t(i)));
    m.set_named_unicode(pst::kPsetidAddress, 0x8005, u"Doe, Jane");
    m.set_named_long(pst::kPsetidAddress, 0x8029, 1);
    m.set_string_named(pst::kPsPublicStrings, u"Keywords",
                       {pst::PropType::MultiUnicode, std::vector<std::u16string>{u"Family"}});
    for (int i = 0; i < 3; ++i)
        m.add_recipient({{{pst::PropertyName::tag(0x0C15), {pst::PropType::Long, int32_t(1)}},
                          {pst::PropertyName::tag(0x3001), {pst::PropType::Unicode, pattern_text(5 + i)}}}});
    return m;
}

} // namespace

void fill_small(pst::Writer& w)
{
    const auto top = w.top_of_personal_folders();
    const auto contacts = w.add_folder(top, u"Contacts", u"IPF.Contact");
    const auto mail = w.add_folder(top, u"Mail", u"IPF.Note");
    w.add_folder(contacts, u"Empty", u"IPF.Contact");
    for (int i = 0; i < 6; ++i)
        add(w, contacts, every_type());
    for (int i = 0; i < 3; ++i) {
        pst::Message m(u"IPM.Note");
        m.set_unicode(0x0037, pattern_text(10 + i));
        m.set_unicode(0x1000, pattern_text(4000));
        add(w, mail, m);
    }
}

void fill_many(pst::Writer& w, size_t count, size_t size)
{
    add(w, w.add_folder(w.top_of_personal_folders(), u"Many", u"IPF.Note"), many(count, size));
}

read::Node only_message(read::File& file)
{
    read::Node found;
    size_t messages = 0;
    std::string why;
    EXPECT_EQ(outcome(file.for_each_node([&](const read::Node& n) {
                  if ((n.nid & 0x1F) == 0x04) {
                      found = n;
                      ++messages;
                  }
                  return true;
              }),
                      &why),
              1)
        << why;
    EXPECT_EQ(messages, 1u);
    return found;
}

void fill_damage_base(pst::Writer& w, pst::FileFormat format)
{
    const bool ansi = format == pst::FileFormat::Ansi;
    fill_small(w);
    const auto folder = w.add_folder(w.top_of_personal_folders(), u"Trees", u"IPF.Note");
    pst::Message x(u"IPM.Note");
    x.set_binary(0x1013, pattern_bytes(3 * (ansi ? 8180 : 8176), 7)); // an XBLOCK
    add(w, folder, x);
    add(w, folder, many(ansi ? 681 : 340, 3581)); // with the recipient table, an SIBLOCK
}

void fill_edges(pst::Writer& w, pst::FileFormat format, bool large)
{
    const bool ansi = format == pst::FileFormat::Ansi, four_k = format == pst::FileFormat::Unicode4k;
    const size_t block = ansi ? 8180 : four_k ? 65512 : 8176;
    const size_t slots = ansi ? 2043 : four_k ? 8188 : 1021, sl = ansi ? 681 : four_k ? 2729 : 340;
    const auto top = w.top_of_personal_folders();
    const auto edges = w.add_folder(top, u"Edges", u"IPF.Note");
    w.add_folder(top, u"Empty", u"IPF.Contact");
    const auto nested = w.add_folder(w.add_folder(edges, u"Outer", u"IPF.Note"), u"", u"");
    std::vector<size_t> sizes = {0, 1, 3580, 3581, block, block + 1, 2 * block, 2 * block + 1};
    if (large) {
        sizes.push_back(slots * block);
        sizes.push_back(slots * block + 1);
    }
    for (size_t i = 0; i < sizes.size(); ++i) {
        pst::Message m(u"IPM.Note");
        m.set_binary(0x1013, pattern_bytes(sizes[i], static_cast<uint8_t>(i)));
        m.set_unicode(0x0037, pattern_text(sizes[i] / 2));
        add(w, edges, m);
    }
    // Subnodes: the recipient table and sl - 1 or sl values (a full SLBLOCK, then one more).
    for (size_t count : {sl - 1, sl})
        add(w, edges, many(count, 3581));
    // Property BTHs of one leaf (447 records) and with an index level.
    for (size_t count : {size_t(447), size_t(448), size_t(1200)})
        add(w, edges, many(count, 4));
    add(w, edges, every_type());
    // A contents table whose row matrix spans several blocks.
    for (int i = 0; i < 220; ++i) {
        pst::Message m(u"IPM.Note");
        m.set_unicode(0x0037, pattern_text(1 + i % 40));
        m.set_long(0x6601, i);
        add(w, nested, m);
    }
}

// ---------------------------------------------------------------------------------------------

namespace {

std::vector<uint8_t> bytes_of(const read::PropertyRef& p)
{
    return std::vector<uint8_t>(p.data, p.data + p.size);
}

void compare_properties(read::File& file, read::PropertyContext& pc, read::NameMap& names, uint32_t nid,
                        const std::vector<pffread::Entry>& entries)
{
    read::Node node;
    std::string why;
    ASSERT_EQ(outcome(file.find_node(nid, &node), &why), 1) << why;
    ASSERT_EQ(outcome(pc.open(file, node), &why), 1) << why;
    EXPECT_EQ(pc.skipped(), 0u) << pc.skip_reason();
    ASSERT_EQ(pc.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const read::PropertyRef& p = pc.at(i);
        const pffread::Entry& e = entries[i];
        SCOPED_TRACE("property " + hex(e.id) + " type " + hex(e.type));
        EXPECT_EQ(p.id, e.id);
        EXPECT_EQ(p.type, e.type);
        // libpff hands out the low 2 bytes of a PtypInteger16 and the low byte of a PtypBoolean.
        std::vector<uint8_t> ours = bytes_of(p);
        if (p.type == 0x0002 || p.type == 0x000B)
            ours.resize(p.type == 0x0002 ? 2 : 1);
        EXPECT_TRUE(ours == e.data) << p.size << " bytes, libpff " << e.data.size();
        const read::NamedId* n = names.find(p.id);
        ASSERT_EQ(n != nullptr, e.named.has_value());
        if (!n)
            continue;
        EXPECT_EQ(n->numeric, e.named->numeric);
        EXPECT_TRUE(n->guid == e.named->guid);
        if (n->numeric)
            EXPECT_EQ(n->lid, e.named->lid);
        else
            EXPECT_EQ(pst_test::utf8(n->name), e.named->name);
    }
}

// A folder's hierarchy and contents rows are libpff's sub folders and messages; contents cells
// carry the values of the messages they stand for.
void compare_children(read::File& file, read::PropertyContext& pc, const pffread::Item& folder)
{
    struct Kind
    {
        uint32_t type;
        int (pffread::Item::*count)() const;
        pffread::Item (pffread::Item::*child)(int) const;
    };
    const Kind kinds[] = {{0x0D, &pffread::Item::sub_folder_count, &pffread::Item::sub_folder},
                          {0x0E, &pffread::Item::sub_message_count, &pffread::Item::sub_message}};
    for (const Kind& k : kinds) {
        std::vector<uint32_t> expected;
        for (int i = 0; i < (folder.*k.count)(); ++i)
            expected.push_back((folder.*k.child)(i).identifier());
        read::Node node;
        std::string why;
        const int found = outcome(file.find_node(sibling(folder.identifier(), k.type), &node), &why);
        ASSERT_GE(found, expected.empty() ? 0 : 1) << why;
        if (found == 0)
            continue;
        read::Table table;
        ASSERT_EQ(outcome(table.open(file, node), &why), 1) << why;
        std::vector<uint32_t> ids;
        for (size_t r = 0; r < table.row_count(); ++r) {
            ids.push_back(table.row_id(r));
            ASSERT_EQ(outcome(table.read_row(r), &why), 1) << why;
        }
        EXPECT_EQ(ids, expected) << "table type " << hex(k.type);
        if (k.type != 0x0E)
            continue;
        std::vector<uint8_t> cell;
        for (size_t r = 0; r < table.row_count(); ++r) {
            read::Node message;
            ASSERT_EQ(outcome(file.find_node(table.row_id(r), &message), &why), 1) << why;
            ASSERT_EQ(outcome(pc.open(file, message), &why), 1) << why;
            for (const auto& c : table.columns()) {
                const read::PropertyRef* p = pc.find(static_cast<uint16_t>(c.tag >> 16));
                if (outcome(table.cell(r, c.tag, &cell), &why) != 1 || !p || p->type != (c.tag & 0xFFFF))
                    continue;
                // Fixed cells of 1 or 2 bytes hold the low bytes of the property's 4.
                const size_t n = p->size == 4 && cell.size() < 4 ? cell.size() : p->size;
                EXPECT_TRUE(std::vector<uint8_t>(p->data, p->data + n) == cell)
                    << "row " << r << " column " << hex(c.tag);
            }
        }
    }
}

} // namespace

Summary compare_with_libpff(const std::string& path)
{
    Summary s;
    std::string why;
    auto pff = pffread::File::open(path, &why);
    EXPECT_TRUE(pff) << why;
    pst::Status opened;
    auto file = read::File::open(path, &opened);
    EXPECT_TRUE(file) << opened.message;
    if (!pff || !file)
        return s;
    read::NameMap names;
    EXPECT_EQ(outcome(names.open(*file), &why), 1) << why;
    read::PropertyContext pc, row_pc;
    const bool walked = pffread::walk(*pff, [&](const pffread::Item& item, const pffread::Visit& at) {
        SCOPED_TRACE("node " + hex(item.identifier()));
        ++(at.is_folder ? s.folders : s.messages);
        compare_properties(*file, pc, names, item.identifier(), item.entries());
        if (at.is_folder)
            compare_children(*file, row_pc, item);
    });
    EXPECT_TRUE(walked);
    return s;
}

// ---------------------------------------------------------------------------------------------

void Exercise::check(int rc, const std::string& why)
{
    if (rc >= 0)
        return;
    ++failures;
    empty_reason |= why.empty();
    if (reasons.size() < 200)
        reasons.push_back(why);
}

bool Exercise::mentions(const std::string& part) const
{
    for (const auto& r : reasons)
        if (r.find(part) != std::string::npos)
            return true;
    return false;
}

std::string Exercise::text() const
{
    std::string out;
    for (size_t i = 0; i < reasons.size() && i < 12; ++i)
        out += reasons[i] + "\n";
    return out;
}

Exercise exercise_file(read::File& file)
{
    Exercise ex;
    std::string why;
    auto call = [&](auto&& f) {
        why.clear();
        const int rc = f();
        ex.check(rc, why);
        return rc;
    };
    std::vector<read::Node> nodes;
    call([&] {
        return outcome(file.for_each_node([&](const read::Node& n) {
            nodes.push_back(n);
            return nodes.size() < 100000;
        }),
                       &why);
    });
    read::NameMap names;
    call([&] { return outcome(names.open(file), &why); });
    read::PropertyContext pc;
    read::Table table;
    std::vector<uint8_t> bytes;
    auto whole_table = [&](const read::Node& n) {
        if (call([&] { return outcome(table.open(file, n), &why); }) < 0)
            return;
        for (size_t r = 0; r < table.row_count(); ++r) {
            if (call([&] { return outcome(table.read_row(r), &why); }) < 0)
                continue;
            for (const auto& c : table.columns())
                call([&] { return outcome(table.cell(r, c.tag, &bytes), &why); });
        }
    };
    for (const read::Node& n : nodes) {
        const uint32_t type = n.nid & 0x1F;
        call([&] { return outcome(file.read_stream(n.bid_data, &bytes), &why); });
        if ((type >= 0x0D && type <= 0x12 && type != 0x10))
            whole_table(n);
        else if ((type >= 0x02 && type <= 0x05) || type == 0x08 || n.nid == 0x21 || n.nid == 0x61)
            if (call([&] { return outcome(pc.open(file, n), &why); }) == 1 && pc.skipped() > 0)
                ex.check(-1, pc.skip_reason());
        if ((type != 0x04 && type != 0x08) || n.bid_sub == 0)
            continue;
        for (uint32_t table_nid : {0x692u, 0x671u}) {
            read::Node sub;
            if (call([&] { return outcome(file.find_subnode(n.bid_sub, table_nid, &sub), &why); }) == 1)
                whole_table(sub);
        }
    }
    return ex;
}

namespace {
Exercise exercise_opened(const std::unique_ptr<read::File>& file, const std::string& why)
{
    Exercise ex;
    if (file)
        return exercise_file(*file);
    ex.check(-1, why);
    return ex;
}
} // namespace

Exercise exercise_image(const std::vector<uint8_t>& image)
{
    pst::Status why;
    auto file = read::File::open_memory(image, &why);
    return exercise_opened(file, why.message);
}

Exercise exercise_path(const std::string& path)
{
    pst::Status why;
    auto file = read::File::open(path, &why);
    return exercise_opened(file, why.message);
}

// ---------------------------------------------------------------------------------------------
// Damage: the file's structures located from the header and the block B-tree, then changed.

namespace {

using Image = std::vector<uint8_t>;

uint64_t get(const Image& b, uint64_t at, unsigned n)
{
    uint64_t v = 0;
    for (unsigned i = n; i-- > 0;)
        v = v << 8 | (at + i < b.size() ? b[at + i] : 0);
    return v;
}
void put(Image& b, uint64_t at, unsigned n, uint64_t v)
{
    for (unsigned i = 0; i < n; ++i)
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// The few positions of the node database the cases need, for either format.
struct Geometry
{
    unsigned id, meta, trailer, trailer_bid, sl_header, si_entry, row_index;
};
constexpr Geometry kUnicodeGeometry{8, 488, 16, 8, 8, 16, 4};
constexpr Geometry kAnsiGeometry{4, 496, 12, 4, 4, 8, 2};

struct Block
{
    uint64_t bid = 0, ib = 0, cb = 0;
    uint64_t trailer(const Geometry& g) const { return ib + (cb + g.trailer + 63) / 64 * 64 - g.trailer; }
};

void list_blocks(const Image& img, const Geometry& g, uint64_t ib, int depth, std::vector<Block>& out)
{
    if (depth > 10 || ib + 512 > img.size())
        return;
    const unsigned count = img[ib + g.meta], size = img[ib + g.meta + 2], level = img[ib + g.meta + 3];
    for (unsigned i = 0; i < count; ++i) {
        const uint64_t e = ib + i * size;
        if (level == 0)
            out.push_back({get(img, e, g.id), get(img, e + g.id, g.id), get(img, e + 2 * g.id, 2)});
        else
            list_blocks(img, g, get(img, e + 2 * g.id, g.id), depth + 1, out);
    }
}

// File offset of allocation `index` (1-based) of the heap block at `ib`.
uint64_t alloc_at(const Image& img, uint64_t ib, uint64_t index)
{
    const uint64_t map = ib + get(img, ib, 2);
    return ib + get(img, map + 4 + 2 * (index - 1), 2);
}
uint64_t hid_at(const Image& img, uint64_t ib, uint64_t hid)
{
    return alloc_at(img, ib, (hid >> 5) & 0x7FF);
}

} // namespace

std::vector<DamageCase> damage_cases(const Image& image, pst::FileFormat format)
{
    const bool ansi = format == pst::FileFormat::Ansi;
    const Geometry& g = ansi ? kAnsiGeometry : kUnicodeGeometry;
    const Roots roots = roots_of(image);
    std::vector<Block> blocks;
    list_blocks(image, g, roots.bbt, 0, blocks);
    auto find = [&](const std::function<bool(const Block&)>& match) {
        for (const Block& b : blocks)
            if (b.ib + b.cb <= image.size() && match(b))
                return b;
        ADD_FAILURE() << "no such block in the base file";
        return Block{};
    };
    auto heap_of = [&](uint8_t client) {
        return [&image, client](const Block& b) {
            return !(b.bid & 2) && image[b.ib + 2] == 0xEC && image[b.ib + 3] == client;
        };
    };
    auto internal = [&](uint8_t btype, uint8_t level) {
        return [&image, btype, level](const Block& b) {
            return (b.bid & 2) && image[b.ib] == btype && image[b.ib + 1] == level;
        };
    };
    const Block pc = find(heap_of(0xBC));
    // A table whose rows are in its heap.
    const Block tc = find([&](const Block& b) {
        if (!heap_of(0x7C)(b))
            return false;
        const uint64_t rows = get(image, hid_at(image, b.ib, get(image, b.ib + 4, 4)) + 14, 4);
        return rows != 0 && (rows & 0x1F) == 0;
    });
    const Block xblock = find(internal(1, 1)), siblock = find(internal(2, 1)), slblock = find(internal(2, 0));
    const uint64_t tcinfo = hid_at(image, tc.ib, get(image, tc.ib + 4, 4));
    const uint64_t row_index =
        hid_at(image, tc.ib, get(image, hid_at(image, tc.ib, get(image, tcinfo + 10, 4)) + 4, 4));
    const uint64_t row_matrix = hid_at(image, tc.ib, get(image, tcinfo + 14, 4));
    const uint64_t pc_bth = hid_at(image, pc.ib, get(image, pc.ib + 4, 4));
    const uint64_t pc_records = hid_at(image, pc.ib, get(image, pc_bth + 4, 4));
    const uint64_t pc_map = pc.ib + get(image, pc.ib, 2);
    uint64_t bbt_leaf = roots.bbt;
    while (image[bbt_leaf + g.meta + 3] > 0)
        bbt_leaf = get(image, bbt_leaf + 2 * g.id, g.id);
    const uint64_t nbt_bid = get(image, roots.nbt + 504, g.id);
    EXPECT_GT(image[roots.nbt + g.meta + 3], 0) << "the base file's node B-tree needs a branch root";

    std::vector<DamageCase> cases;
    auto add = [&](std::string name, std::string expect, const std::function<void(Image&)>& change) {
        DamageCase d{std::move(name), image, std::move(expect)};
        change(d.image);
        cases.push_back(std::move(d));
    };
    for (uint64_t n : {uint64_t(0), uint64_t(511), uint64_t(512), uint64_t(0x4400), roots.nbt + 256,
                       uint64_t(image.size() / 2), uint64_t(image.size() - 1)})
        add("truncated to " + std::to_string(n), n < 512 ? "too few" : "", [n](Image& b) { b.resize(n); });
    auto set = [&](std::string name, std::string expect, uint64_t at, unsigned n, uint64_t v) {
        add(std::move(name), std::move(expect), [=](Image& b) { put(b, at, n, v); });
    };
    set("node page cEnt 255", "do not fit in the page", roots.nbt + g.meta, 1, 255);
    set("node page cLevel 200", "implausible cLevel", roots.nbt + g.meta + 3, 1, 200);
    set("node page type", "page type", roots.nbt + 512 - g.trailer, 1, 0x80);
    set("node page trailer BID", "trailer names page", roots.nbt + 504, g.id, nbt_bid + 4);
    set("node page child unaligned", "512-byte boundary", roots.nbt + 2 * g.id, g.id, roots.nbt + 8);
    add("node page child is itself", "not below its parent", [&](Image& b) {
        put(b, roots.nbt + g.id, g.id, nbt_bid);
        put(b, roots.nbt + 2 * g.id, g.id, roots.nbt);
    });
    add("block index offsets past the file", "outside the file", [&](Image& b) {
        for (unsigned i = 0; i < b[bbt_leaf + g.meta]; ++i)
            put(b, bbt_leaf + i * b[bbt_leaf + g.meta + 2] + g.id, g.id, 0x7FFFFFC0);
    });
    add("block index sizes past a block", "do not fit in a block", [&](Image& b) {
        for (unsigned i = 0; i < b[bbt_leaf + g.meta]; ++i)
            put(b, bbt_leaf + i * b[bbt_leaf + g.meta + 2] + 2 * g.id, 2, 9000);
    });
    set("block trailer size", "its trailer says", pc.trailer(g), 2, pc.cb ^ 1);
    set("block trailer BID", "its trailer names block", pc.trailer(g) + g.trailer_bid, g.id, pc.bid + 8);
    set("heap page map past the block", "page map at", pc.ib, 2, 0xFFFF);
    set("heap cAlloc 65535", "does not fit", pc_map, 2, 0xFFFF);
    set("heap allocations out of order", "out of order", pc_map + 6, 2, 0xFFFE);
    set("heap signature", "0xEC", pc.ib + 2, 1, 0);
    set("heap client type", "client type", pc.ib + 3, 1, 0x7C);
    set("BTH type", "0xb5", pc_bth, 1, 0);
    set("BTH levels 9", "implausible", pc_bth + 3, 1, 9);
    set("BTH root names no allocation", "names allocation", pc_bth + 4, 4, 0x7FE0);
    set("BTH keys out of order", "out of order", pc_records + 8, 2, 0);
    add("property value names no allocation", "names allocation", [&](Image& b) {
        // The first property whose value lies in the heap: left out, the context still opened.
        uint64_t r = pc_records;
        for (int k = 0; k < 64 && (pst::is_inline_size(static_cast<uint16_t>(get(b, r + 2, 2))) ||
                                   get(b, r + 4, 4) == 0 || (get(b, r + 4, 4) & 0x1F) != 0);
             ++k)
            r += 8;
        put(b, r + 4, 4, 0x7FE0);
    });
    set("TCINFO cCols 255", "cannot hold", tcinfo + 1, 1, 255);
    set("column offset past the row", "passes the cell area", tcinfo + 22 + 4, 2, 0xFFFF);
    set("row number past the matrix", "outside the row matrix", row_index + 4, g.row_index, 0xFFFF);
    set("row id differs from the index", "row index says", row_matrix, 4, get(image, row_matrix, 4) ^ 0x20);
    set("XBLOCK cEnt 65535", "entries do not fit", xblock.ib + 2, 2, 0xFFFF);
    set("XBLOCK lcbTotal", "lcbTotal", xblock.ib + 4, 4, get(image, xblock.ib + 4, 4) + 1);
    set("XBLOCK cLevel 3", "not an XBLOCK", xblock.ib + 1, 1, 3);
    set("XBLOCK names an internal block", "internal block", xblock.ib + 8, g.id, get(image, xblock.ib + 8, g.id) | 2);
    set("SIBLOCK entry is itself", "not below its parent", siblock.ib + g.sl_header + g.id, g.id, siblock.bid);
    set("SLBLOCK cEnt 65535", "entries do not fit", slblock.ib + 2, 2, 0xFFFF);
    set("SLBLOCK type", "not an SLBLOCK", slblock.ib, 1, 1);
    return cases;
}

Roots roots_of(const Image& image)
{
    const bool ansi = get(image, 10, 2) <= 15;
    return ansi ? Roots{get(image, 188, 4), get(image, 196, 4)} : Roots{get(image, 224, 8), get(image, 240, 8)};
}

void fix_header_crc(Image& image, bool ansi)
{
    put(image, 4, 4, pst::crc32(image.data() + 8, 471));
    if (!ansi)
        put(image, 524, 4, pst::crc32(image.data() + 8, 516));
}

void write_bytes(const std::string& path, const Image& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

} // namespace reader_test
