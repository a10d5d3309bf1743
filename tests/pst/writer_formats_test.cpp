// Every file kind with each block encoding (4 KiB pages with and without compressed blocks, as a
// PST or an OST): libpff, readpst and the structural checker find the same contents as in the
// plain Unicode file; sizes at the ANSI limits (8180-byte blocks, 2043
// XBLOCK slots, 681 subnodes per SLBLOCK, 41/31/41 B-tree entries per page).
#include "pffread/pffread.h"
#include "pstcheck/check.h"
#include "support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace pst_test;

namespace {

struct Variant
{
    const char* name;
    pst::FileFormat format;
    pst::BlockEncoding encoding;
    bool compress = false;
    bool offline = false;
};

const Variant kVariants[] = {
    {"Unicode4k", pst::FileFormat::Unicode4k, pst::BlockEncoding::None},
    {"Unicode4kCompressed", pst::FileFormat::Unicode4k, pst::BlockEncoding::None, true},
    {"Unicode4kCompressedPermute", pst::FileFormat::Unicode4k, pst::BlockEncoding::Permute, true},
    {"Ost4kCompressedCyclic", pst::FileFormat::Unicode4k, pst::BlockEncoding::Cyclic, true, true},
    {"OstUnicode", pst::FileFormat::Unicode, pst::BlockEncoding::None, false, true},
    {"UnicodePermute", pst::FileFormat::Unicode, pst::BlockEncoding::Permute},
    {"UnicodeCyclic", pst::FileFormat::Unicode, pst::BlockEncoding::Cyclic},
    {"Ansi", pst::FileFormat::Ansi, pst::BlockEncoding::None},
    {"AnsiPermute", pst::FileFormat::Ansi, pst::BlockEncoding::Permute},
    {"AnsiCyclic", pst::FileFormat::Ansi, pst::BlockEncoding::Cyclic},
};

const std::u16string kMarker = u"Plain-text marker \u00C4\u00D6\u00DC";

// Contacts in nested folders with values of every storage kind: inline, heap, subnode data trees
// (a 60,000-byte body), an XBLOCK value, 8-bit strings in code page 1251, a mail with recipients.
void fill(pst::Writer& w)
{
    const auto contacts = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
    const auto family = w.add_folder(contacts, u"Family \u0421\u0435\u043C\u044C\u044F", u"IPF.Contact");
    for (int i = 0; i < 40; ++i) {
        pst::Message m(u"IPM.Contact");
        const std::u16string name = u"Person " + pattern_text(1 + i % 7, u'a') + u" \U0001F600";
        m.set_unicode(0x3001, name);
        m.set_unicode(0x0037, name);
        m.set_unicode(0x3A06, kMarker);
        m.set_named_unicode(pst::kPsetidAddress, 0x8005, name);
        m.set_named_long(pst::kPsetidAddress, 0x8006, 32791);
        m.set_systime(0x3A42, 0x01C0F2D3E4A5B000ull + uint64_t(i));
        if (i % 10 == 3)
            m.set_unicode(0x1000, pattern_text(30000));
        if (i % 10 == 5)
            m.set_binary(0x3A50, pattern_bytes(3 * 8180 + 11, uint8_t(i)));
        if (i % 10 == 7) {
            m.set_string8(0x3A16, "\xCF\xF0\xE8\xE2\xE5\xF2"); // "Привет" in 1251
            m.set_codepage(1251);
        }
        ASSERT_TRUE(w.add_message(i % 3 ? contacts : family, m).ok);
    }
    pst::Message mail(u"IPM.Note");
    mail.set_unicode(0x0037, u"Hello");
    for (int r = 0; r < 3; ++r) {
        pst::Recipient to;
        to.properties = {{pst::PropertyName::tag(0x0C15), {pst::PropType::Long, int32_t(1)}},
                         {pst::PropertyName::tag(0x3001), {pst::PropType::Unicode, pattern_text(5 + r)}}};
        mail.add_recipient(std::move(to));
    }
    ASSERT_TRUE(w.add_message(w.top_of_personal_folders(), mail).ok);
}

std::string write(const TempDir& dir, const std::string& name, pst::FileFormat format, pst::BlockEncoding encoding,
                  bool compress = false, bool offline = false)
{
    const std::string path = dir.file(name + (offline ? ".ost" : ".pst"));
    pst::WriterOptions o;
    o.format = format;
    o.encoding = encoding;
    o.compress = compress;
    o.offline = offline;
    write_pst(path, fill, o);
    return path;
}

std::string hex_bytes(const std::vector<uint8_t>& b)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

// Everything libpff reads from a file, as text: folders, messages, every record entry raw and
// as libpff converts it. PidTagMessageSize (the bytes of the message's node, which the format's
// table layouts change) only as present or absent.
void dump(const pffread::Folder& f, const std::string& path, std::string& out)
{
    out += "folder " + path + " [" + f.container_class + "]\n";
    for (const auto& m : f.messages) {
        out += " message " + m.message_class + " type " + std::to_string(m.item_type) + " body " +
               m.body.value_or("-") + "\n";
        for (const auto& e : m.entries)
            out += "  " + std::to_string(e.id) + ":" + std::to_string(e.type) + " " +
                   (e.id == 0x0E08 ? "size" : hex_bytes(e.data)) + " " + e.text.value_or("-") + "\n";
    }
    for (const auto& c : f.folders)
        dump(c, path + "/" + c.name.value_or("?"), out);
}

std::string libpff_dump(const std::string& path)
{
    std::string why;
    auto file = pffread::File::open(path, &why);
    if (!file)
        return "cannot open: " + why;
    const pffread::Tree tree = pffread::read_tree(*file);
    std::string out = tree.ok ? "" : "walk failed\n";
    dump(tree.root, "", out);
    return out;
}

// The files of a directory tree, concatenated in name order, each after its relative name;
// lines starting with `drop` are left out.
std::string tree_text(const std::string& root, const std::string& drop = "\x01")
{
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto& f : files) {
        all += std::filesystem::relative(f, root).string() + "\n";
        std::ifstream in(f, std::ios::binary);
        for (std::string line; std::getline(in, line);)
            if (line.compare(0, drop.size(), drop) != 0)
                all += line + "\n";
    }
    return all;
}

// pffexport's export of every item, without the message sizes (they follow the format).
std::string pffexport_dump(const TempDir& dir, const std::string& path)
{
    const std::string target = dir.file(std::filesystem::path(path).stem().string() + ".pffexport");
    const std::string cmd = "pffexport -q -t '" + target + "' '" + path + "' > /dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
        return "pffexport failed";
    return tree_text(target + ".export", "Size:");
}

#ifdef READPST
// readpst's export of every item, all files concatenated in name order; the random MIME
// boundaries of its mailbox files are taken out.
std::string readpst_dump(const TempDir& dir, const std::string& path)
{
    const std::string out = dir.file(std::filesystem::path(path).stem().string() + ".readpst");
    std::filesystem::remove_all(out);
    std::filesystem::create_directory(out);
    const std::string cmd = std::string(READPST) + " -q -D -cv -o '" + out + "' '" + path + "' > /dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
        return "readpst failed";
    std::string all = tree_text(out);
    for (size_t at = all.find("iamunique-"); at != std::string::npos; at = all.find("iamunique-", at + 1)) {
        size_t end = at + 10;
        while (end < all.size() && std::isdigit(static_cast<unsigned char>(all[end])))
            ++end;
        all.replace(at + 10, end - at - 10, 1, 'N');
    }
    return all;
}

// readpst now and then reads a file differently from one run to the next (a few runs in a
// hundred, the plain Unicode file too): what two runs in a row agree on.
std::string readpst_settled(const TempDir& dir, const std::string& path)
{
    std::string last = readpst_dump(dir, path);
    for (int again = 0; again < 4; ++again) {
        std::string now = readpst_dump(dir, path);
        if (now == last)
            break;
        last = std::move(now);
    }
    return last;
}
#endif

// "" when equal, else the first line where the two texts differ (short enough for a report).
std::string first_difference(const std::string& want, const std::string& have)
{
    std::istringstream a(want), b(have);
    std::string x, y;
    for (int line = 1;; ++line) {
        const bool more_a = bool(std::getline(a, x)), more_b = bool(std::getline(b, y));
        if (!more_a && !more_b)
            return "";
        if (x != y || more_a != more_b)
            return "line " + std::to_string(line) + ": want \"" + x.substr(0, 160) + "\", have \"" + y.substr(0, 160) +
                   "\"";
    }
}

class Formats : public ::testing::TestWithParam<Variant>
{
protected:
    // What libpff and readpst read from the plain Unicode file.
    struct Reference
    {
        std::string libpff, pffexport, readpst;
    };
    static void SetUpTestSuite()
    {
        dir = new TempDir;
        const std::string path = write(*dir, "reference", pst::FileFormat::Unicode, pst::BlockEncoding::None);
        reference = new Reference{libpff_dump(path), pffexport_dump(*dir, path), ""};
#ifdef READPST
        reference->readpst = readpst_settled(*dir, path);
#endif
    }
    static void TearDownTestSuite()
    {
        delete reference;
        delete dir;
    }
    static TempDir* dir;
    static Reference* reference;
};
TempDir* Formats::dir = nullptr;
Formats::Reference* Formats::reference = nullptr;

TEST_P(Formats, ReadBackLikeThePlainUnicodeFile)
{
    const Variant& v = GetParam();
    const std::string path = write(*dir, v.name, v.format, v.encoding, v.compress, v.offline);
    const bool four_k = v.format == pst::FileFormat::Unicode4k;
    // The structural checker knows 512-byte-page PSTs only (on purpose: it shares no code with the
    // writer), and says so.
    if (four_k)
        EXPECT_NE(check_problems(path).find("not checked"), std::string::npos);
    else if (v.offline)
        EXPECT_EQ(check_problems(path), "header: wMagicClient is 0x4f53, not \"SM\"\n");
    else
        EXPECT_EQ(check_problems(path), "");

    EXPECT_GT(reference->libpff.size(), 100000u);
    EXPECT_EQ(first_difference(reference->libpff, libpff_dump(path)), "");
    EXPECT_NE(reference->pffexport.find("Contact.txt"), std::string::npos);
    EXPECT_EQ(first_difference(reference->pffexport, pffexport_dump(*dir, path)), "");
#ifdef READPST
    EXPECT_NE(reference->readpst.find("BEGIN:VCARD"), std::string::npos);
    EXPECT_EQ(first_difference(reference->readpst, readpst_settled(*dir, path)), "");
#endif

    // The header says which layout, content type and encoding the file has; only an unencoded,
    // uncompressed file shows its texts in the clear.
    const auto bytes = read_file(path);
    const bool ansi = v.format == pst::FileFormat::Ansi;
    ASSERT_GT(bytes.size(), four_k ? 0x22000u : 0x4400u);
    EXPECT_EQ(bytes[10], ansi ? 14 : four_k ? 36 : 23);
    EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 10), v.offline ? "SO" : "SM");
    EXPECT_EQ(bytes[ansi ? 461 : 513], static_cast<uint8_t>(v.encoding));
    const std::string marker = utf8(kMarker);
    std::vector<uint8_t> utf16;
    for (char16_t c : kMarker) {
        utf16.push_back(uint8_t(c));
        utf16.push_back(uint8_t(c >> 8));
    }
    const bool clear = std::search(bytes.begin(), bytes.end(), utf16.begin(), utf16.end()) != bytes.end();
    EXPECT_EQ(clear, v.encoding == pst::BlockEncoding::None && !v.compress);
}

INSTANTIATE_TEST_SUITE_P(Writer, Formats, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

// B-tree pages of `count` entries: full leaves of `per_leaf`, then levels of `per_index`.
size_t btree_pages(size_t count, size_t per_leaf, size_t per_index)
{
    size_t level = std::max<size_t>(1, (count + per_leaf - 1) / per_leaf), pages = level;
    while (level > 1) {
        level = (level + per_index - 1) / per_index;
        pages += level;
    }
    return pages;
}

struct Counts
{
    pstcheck::Summary summary;
    std::string problems;
};

// Writes `messages` contacts, one of them with a binary value of `value_size` bytes and
// `big_values` more values of 3581 bytes each (one subnode each), and checks the file.
Counts write_counted(const TempDir& dir, pst::FileFormat format, size_t messages, size_t value_size,
                     size_t big_values = 0)
{
    const std::string path = dir.file("counted.pst");
    pst::WriterOptions o;
    o.format = format;
    o.sync_to_disk = false;
    write_pst(
        path,
        [&](pst::Writer& w) {
            const auto f = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
            for (size_t i = 0; i < messages; ++i) {
                pst::Message m(u"IPM.Contact");
                m.set_unicode(0x3001, pattern_text(4 + i % 5));
                if (i == 0 && value_size)
                    m.set_binary(0x3A50, pattern_bytes(value_size, 9));
                for (size_t k = 0; i == 0 && k < big_values; ++k)
                    m.set_binary(uint16_t(0x6000 + k), pattern_bytes(3581, uint8_t(k)));
                ASSERT_TRUE(w.add_message(f, m).ok);
            }
        },
        o);
    Counts c;
    c.problems = pstcheck::join(pstcheck::check_file(path, {}, &c.summary));
    // libpff reads the large value back whole.
    std::string why;
    auto file = pffread::File::open(path, &why);
    EXPECT_TRUE(file) << why;
    if (file && value_size) {
        const pffread::Tree t = pffread::read_tree(*file);
        const auto all = t.messages();
        const auto first = std::find_if(all.begin(), all.end(), [](const auto& m) { return m.second->find(0x3A50); });
        EXPECT_NE(first, all.end());
        if (first != all.end()) {
            EXPECT_EQ(first->second->find(0x3A50)->data, pattern_bytes(value_size, 9)) << value_size;
        }
    }
    return c;
}

// A value one byte past a limit takes exactly `extra` more blocks than one at the limit.
struct SizeEdge
{
    const char* name;
    pst::FileFormat format;
    size_t at_limit;
    size_t extra;
};

const SizeEdge kSizeEdges[] = {
    {"UnicodeBlock", pst::FileFormat::Unicode, 8176, 2},         // a second data block and an XBLOCK
    {"AnsiBlock", pst::FileFormat::Ansi, 8180, 2},               //
    {"UnicodeXBlock", pst::FileFormat::Unicode, 1021 * 8176, 3}, // a data block, an XBLOCK, an XXBLOCK
    {"AnsiXBlock", pst::FileFormat::Ansi, 2043 * 8180, 3},       //
    {"AnsiTwoBlocks", pst::FileFormat::Ansi, 2 * 8180, 1},       // one more data block
};

class ValueSizes : public ::testing::TestWithParam<SizeEdge>
{
};

TEST_P(ValueSizes, OneBytePastTheLimitTakesTheNextStructure)
{
    const SizeEdge& e = GetParam();
    TempDir dir;
    const Counts at = write_counted(dir, e.format, 1, e.at_limit);
    const Counts past = write_counted(dir, e.format, 1, e.at_limit + 1);
    EXPECT_EQ(at.problems, "");
    EXPECT_EQ(past.problems, "");
    EXPECT_EQ(past.summary.blocks, at.summary.blocks + e.extra);
}

INSTANTIATE_TEST_SUITE_P(Writer, ValueSizes, ::testing::ValuesIn(kSizeEdges),
                         [](const auto& info) { return std::string(info.param.name); });

// Subnodes per SLBLOCK: 340 (Unicode), 681 (ANSI). The message's recipient table is one of them.
TEST(WriterFormatsEdges, SubnodesPastOneSlblockTakeAnSiblock)
{
    for (const auto& [format, per_block] :
         {std::pair{pst::FileFormat::Unicode, size_t(340)}, std::pair{pst::FileFormat::Ansi, size_t(681)}}) {
        TempDir dir;
        const Counts full = write_counted(dir, format, 1, 0, per_block - 1);
        const Counts past = write_counted(dir, format, 1, 0, per_block);
        EXPECT_EQ(full.problems, "");
        EXPECT_EQ(past.problems, "");
        // One more value block, a second SLBLOCK and the SIBLOCK above both.
        EXPECT_EQ(past.summary.blocks, full.summary.blocks + 3) << per_block;
    }
}

// B-tree pages at the ANSI entry counts: 41 BBT and 31 NBT entries per leaf, 41 per index page.
// Node counts are set by the number of contacts, block counts by the data blocks of one value.
TEST(WriterFormatsEdges, AnsiBtreePagesHold41And31Entries)
{
    TempDir dir;
    const Counts one = write_counted(dir, pst::FileFormat::Ansi, 1, 0);
    ASSERT_EQ(one.problems, "");
    const size_t base_nodes = one.summary.nodes - 1; // without the contact
    // A value of n full blocks (n >= 2) adds n data blocks and an XBLOCK to the one-contact file.
    const size_t base_blocks = one.summary.blocks;
    struct Edge
    {
        size_t nodes, blocks; // wanted counts (0: any)
    };
    std::vector<Edge> edges;
    for (size_t nodes : {62, 63, 31 * 41, 31 * 41 + 1})
        edges.push_back({nodes, 0});
    for (size_t blocks : {82, 83, 41 * 41, 41 * 41 + 1})
        edges.push_back({0, blocks});
    for (const Edge& e : edges) {
        ASSERT_TRUE(e.nodes == 0 || e.nodes > base_nodes + 1);
        ASSERT_TRUE(e.blocks == 0 || e.blocks >= base_blocks + 3);
        const size_t messages = e.nodes ? e.nodes - base_nodes : 1;
        const size_t value = e.blocks ? (e.blocks - base_blocks - 1) * 8180 : 0;
        const Counts c = write_counted(dir, pst::FileFormat::Ansi, messages, value);
        EXPECT_EQ(c.problems, "");
        if (e.nodes) {
            EXPECT_EQ(c.summary.nodes, e.nodes);
        }
        if (e.blocks) {
            EXPECT_EQ(c.summary.blocks, e.blocks);
        }
        EXPECT_EQ(c.summary.messages, messages);
        EXPECT_EQ(c.summary.btree_pages, btree_pages(c.summary.blocks, 41, 41) + btree_pages(c.summary.nodes, 31, 41))
            << c.summary.nodes << " nodes, " << c.summary.blocks << " blocks";
    }
}

// An ANSI table indexes rows with 16 bits: a folder takes 65536 messages and refuses the next.
TEST(WriterFormatsEdges, AnsiFolderHoldsAtMost65536Messages)
{
    TempDir dir;
    pst::WriterOptions o;
    o.format = pst::FileFormat::Ansi;
    o.sync_to_disk = false;
    write_pst(
        dir.file("full.pst"),
        [](pst::Writer& w) {
            const auto f = w.add_folder(w.top_of_personal_folders(), u"Full", u"IPF.Note");
            pst::Message m(u"IPM.Note");
            for (int i = 0; i < 65536; ++i)
                ASSERT_TRUE(w.add_message(f, m).ok) << i;
            const pst::Status st = w.add_message(f, m);
            EXPECT_FALSE(st.ok);
            EXPECT_EQ(st.message, "A folder of an ANSI PST file holds at most 65536 items");
            // Other folders still take messages.
            EXPECT_TRUE(w.add_message(w.top_of_personal_folders(), m).ok);
        },
        o);
    pstcheck::Summary s;
    EXPECT_EQ(pstcheck::join(pstcheck::check_file(dir.file("full.pst"), {}, &s)), "");
    EXPECT_EQ(s.messages, 65537u);
}

} // namespace
