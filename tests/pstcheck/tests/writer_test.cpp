// Files written by the project's own PST writer pass every check; damage to their messaging layer
// is found. These files use no encoding, so their heap bytes can be damaged directly.
#include "image.h"
#include "pst/writer.h"
#include "pstcheck/check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using pstcheck::testing::bbt_entries;
using pstcheck::testing::find_nbt;
using pstcheck::testing::Image;
using pstcheck::testing::nbt_entries;

class TempDir
{
public:
    TempDir()
    {
        static int counter = 0;
        m_path =
            fs::temp_directory_path() / ("pstcheck-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(m_path);
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    fs::path m_path;
};

pst::Message contact(int i)
{
    pst::Message m(u"IPM.Contact");
    const std::u16string n =
        u"Person " + std::u16string(1, char16_t(u'A' + i % 26)) + u" " + std::u16string(1, char16_t(u'0' + i % 10));
    m.set_unicode(0x3001, n);
    m.set_unicode(0x0037, n);
    m.set_unicode(0x3A06, u"Given");
    m.set_unicode(0x3A11, n);
    m.set_named_unicode(pst::kPsetidAddress, 0x8005, n);
    m.set_named_unicode(pst::kPsetidAddress, 0x8083, u"person@example.com");
    return m;
}

// An attachment of `size` bytes; a contact photo when `photo`.
pst::Attachment attachment(size_t size, bool photo)
{
    pst::Attachment a;
    const std::u16string name = photo ? u"ContactPicture.jpg" : u"data.bin";
    a.properties.push_back({pst::PropertyName::tag(0x3701), {pst::PropType::Binary, std::vector<uint8_t>(size, 0x5A)}});
    a.properties.push_back({pst::PropertyName::tag(0x3704), {pst::PropType::Unicode, name}});
    a.properties.push_back({pst::PropertyName::tag(0x3707), {pst::PropType::Unicode, name}});
    if (photo)
        a.properties.push_back({pst::PropertyName::tag(0x7FFF), {pst::PropType::Boolean, true}});
    return a;
}

struct Written
{
    size_t folders = 0;  // user folders added
    size_t messages = 0; // messages added
};

struct Content
{
    const char* name;
    std::function<Written(pst::Writer&)> fill;
};

const Content kContents[] = {
    {"Empty", [](pst::Writer&) { return Written{}; }},
    {"ThreeContacts",
     [](pst::Writer& w) {
         const auto f = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
         for (int i = 0; i < 3; ++i)
             EXPECT_TRUE(w.add_message(f, contact(i)).ok);
         return Written{1, 3};
     }},
    {"LargeValues",
     [](pst::Writer& w) {
         const auto f = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
         const size_t sizes[] = {1790, 1791, 4088, 4089, 9000, 70000}; // UTF-16 units around heap/block limits
         for (size_t s : sizes) {
             pst::Message m = contact(int(s));
             m.set_unicode(0x1000, std::u16string(s, u'x'));
             m.set_binary(0x3A50, std::vector<uint8_t>(s, 0xAB));
             EXPECT_TRUE(w.add_message(f, m).ok);
         }
         return Written{1, std::size(sizes)};
     }},
    {"NestedFolders",
     [](pst::Writer& w) {
         auto parent = w.top_of_personal_folders();
         for (int depth = 0; depth < 6; ++depth) {
             parent = w.add_folder(parent, u"Level " + std::u16string(1, char16_t(u'0' + depth)), u"IPF.Contact");
             EXPECT_TRUE(w.add_message(parent, contact(depth)).ok);
         }
         w.add_folder(w.root_folder(), u"", u"IPF.Note");
         EXPECT_TRUE(w.add_message(w.deleted_items(), contact(99)).ok);
         return Written{7, 7};
     }},
    {"ManyNamedProperties",
     [](pst::Writer& w) {
         const auto f = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
         pst::Message m = contact(0);
         for (uint32_t lid = 0x8100; lid < 0x8100 + 300; ++lid)
             m.set_named_long(pst::kPsetidCommon, lid, int32_t(lid));
         for (int i = 0; i < 40; ++i)
             m.set(pst::PropertyName::string(pst::kPsPublicStrings, u"name-" +
                                                                        std::u16string(1, char16_t(u'a' + i % 26)) +
                                                                        std::u16string(1, char16_t(u'a' + i / 26))),
                   pst::PropertyValue{pst::PropType::Long, int32_t(i)});
         EXPECT_TRUE(w.add_message(f, m).ok);
         return Written{1, 1};
     }},
    {"PastFirstFMap", // nine 4 MB values put the file past 0x1F04400, where the first FMap page sits
     [](pst::Writer& w) {
         const auto f = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
         for (int i = 0; i < 9; ++i) {
             pst::Message m = contact(i);
             m.set_binary(0x3A50, std::vector<uint8_t>(4u << 20, uint8_t(i)));
             EXPECT_TRUE(w.add_message(f, m).ok);
         }
         return Written{1, 9};
     }},
    {"String8Values", // tables hold UTF-16 copies of 8-bit strings
     [](pst::Writer& w) {
         const auto f = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
         const std::string names[] = {"Plain ASCII",
                                      "Ren\xe9"
                                      "e \x93quoted\x94",
                                      ""};
         for (const auto& n : names) {
             pst::Message m(u"IPM.Contact");
             m.set_string8(0x3001, n);
             m.set_string8(0x0037, n);
             m.set_long(0x3FFD, 1252); // code page of the 8-bit strings
             EXPECT_TRUE(w.add_message(f, m).ok);
         }
         return Written{1, std::size(names)};
     }},
    {"ThousandContacts",
     [](pst::Writer& w) {
         const auto f = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
         for (int i = 0; i < 1000; ++i)
             EXPECT_TRUE(w.add_message(f, contact(i)).ok);
         return Written{1, 1000};
     }},
    {"Attachments", // a photo of several blocks, values at the heap and block edges, three on one
     [](pst::Writer& w) {
         const auto f = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
         const size_t sizes[] = {0, 3580, 3581, 8176, 8177, 60000};
         for (size_t s : sizes) {
             pst::Message m = contact(int(s));
             m.add_attachment(attachment(s, s == 60000));
             EXPECT_TRUE(w.add_message(f, m).ok);
         }
         pst::Message three = contact(3);
         for (size_t k = 0; k < 3; ++k)
             three.add_attachment(attachment(100 + k, false));
         EXPECT_TRUE(w.add_message(f, three).ok);
         return Written{1, std::size(sizes) + 1};
     }},
    {"DeletedMessages", // deleted between live ones: free space holding their blocks (and index pages)
     [](pst::Writer& w) {
         const auto f = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
         for (int i = 0; i < 30; ++i) {
             EXPECT_TRUE(w.add_message(f, contact(i)).ok);
             if (i % 3 == 0) {
                 pst::Message gone = contact(100 + i);
                 gone.set_unicode(0x1000, std::u16string(size_t(2000 * i), u'd')); // some of several blocks
                 gone.add_attachment(attachment(9000, true));
                 EXPECT_TRUE(w.add_deleted_message(gone, i % 2 ? pst::Writer::DeletedIndex::Superseded
                                                               : pst::Writer::DeletedIndex::None)
                                 .ok);
             }
         }
         return Written{1, 30};
     }},
};

std::string write(const TempDir& dir, const Content& c, Written* written,
                  pst::FileFormat format = pst::FileFormat::Unicode,
                  pst::BlockEncoding encoding = pst::BlockEncoding::None)
{
    const std::string path = dir.file(std::string(c.name) + ".pst");
    pst::WriterOptions o;
    o.format = format;
    o.encoding = encoding;
    o.deterministic = true;
    o.creation_time = 133000000000000000ull;
    pst::Status st;
    auto w = pst::Writer::create(path, o, &st);
    EXPECT_TRUE(w) << st.message;
    if (!w)
        return path;
    *written = c.fill(*w);
    st = w->finish();
    EXPECT_TRUE(st.ok) << st.message;
    return path;
}

class WriterOutput : public ::testing::TestWithParam<Content>
{
};

TEST_P(WriterOutput, PassesEveryCheck)
{
    TempDir dir;
    Written written;
    const std::string path = write(dir, GetParam(), &written);
    pstcheck::Summary s;
    const auto problems = pstcheck::check_file(path, {}, &s);
    EXPECT_TRUE(problems.empty()) << pstcheck::join(problems);
    if (std::string(GetParam().name) == "Attachments") {
        EXPECT_EQ(s.attachments, 9u);
    }
    // The store's fixed folders (root, top of personal folders, deleted items, ...) come on top.
    EXPECT_GE(s.folders, written.folders + 3);
    EXPECT_EQ(s.messages, written.messages);
    EXPECT_GT(s.named_properties, 0u);
}

INSTANTIATE_TEST_SUITE_P(Writer, WriterOutput, ::testing::ValuesIn(kContents),
                         [](const auto& info) { return std::string(info.param.name); });

// The same contents in both file formats and with each block encoding: every check passes and
// reaches as far as in the plain Unicode file.
using FormatCase = std::tuple<size_t, pst::FileFormat, pst::BlockEncoding>;

class WriterFormats : public ::testing::TestWithParam<FormatCase>
{
};

TEST_P(WriterFormats, PassesEveryCheck)
{
    const auto [content, format, encoding] = GetParam();
    TempDir dir;
    Written written;
    const std::string path = write(dir, kContents[content], &written, format, encoding);
    pstcheck::Summary s;
    const auto problems = pstcheck::check_file(path, {}, &s);
    EXPECT_TRUE(problems.empty()) << pstcheck::join(problems);
    EXPECT_GE(s.folders, written.folders + 3);
    EXPECT_EQ(s.messages, written.messages);
    EXPECT_GT(s.named_properties, 0u);
    const Image img = Image::load(path);
    const bool ansi = format == pst::FileFormat::Ansi;
    EXPECT_EQ(img.get(10, 2), ansi ? 14u : 23u);
    EXPECT_EQ(img.get(ansi ? 461 : 513, 1), static_cast<uint64_t>(encoding));
}

// Every content but the 36 MB one in every combination; that one in the ANSI layout, whose FMap
// page it reaches.
std::vector<FormatCase> format_cases()
{
    std::vector<FormatCase> out;
    for (size_t c = 0; c < std::size(kContents); ++c)
        for (auto f : {pst::FileFormat::Unicode, pst::FileFormat::Ansi})
            for (auto e : {pst::BlockEncoding::None, pst::BlockEncoding::Permute, pst::BlockEncoding::Cyclic})
                if (std::string(kContents[c].name) != "PastFirstFMap" ||
                    (f == pst::FileFormat::Ansi && e == pst::BlockEncoding::Cyclic))
                    out.emplace_back(c, f, e);
    return out;
}

std::string format_case_name(const ::testing::TestParamInfo<FormatCase>& info)
{
    static const char* const kEncodings[] = {"None", "Permute", "Cyclic"};
    const size_t content = std::get<0>(info.param);
    const bool ansi = std::get<1>(info.param) == pst::FileFormat::Ansi;
    return std::string(kContents[content].name) + (ansi ? "Ansi" : "Unicode") +
           kEncodings[static_cast<int>(std::get<2>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Writer, WriterFormats, ::testing::ValuesIn(format_cases()), format_case_name);

// Damage to the messaging layer of a small written file.
struct MessagingDamage
{
    const char* name;
    size_t content;                           // index into kContents of the file to damage
    std::function<std::string(Image&)> apply; // returns the text a reported line must contain
};

std::vector<pstcheck::testing::NbtEntry> of_type(const Image& img, unsigned type)
{
    std::vector<pstcheck::testing::NbtEntry> out;
    for (const auto& e : nbt_entries(img))
        if ((e.nid & 0x1F) == type)
            out.push_back(e);
    return out;
}

std::string hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// Changes the first UTF-16 occurrence of `text` inside data block `bid` (an unencoded external
// block) and repairs the block's CRC. Returns false when the text is not there.
bool change_text(Image& img, uint64_t bid, const std::u16string& text)
{
    std::vector<uint8_t> needle;
    for (char16_t c : text) {
        needle.push_back(uint8_t(c));
        needle.push_back(uint8_t(c >> 8));
    }
    for (const auto& b : bbt_entries(img)) {
        if (b.bid != bid)
            continue;
        const auto begin = img.bytes.begin() + b.ib, end = begin + b.cb;
        const auto it = std::search(begin, end, needle.begin(), needle.end());
        if (it == end)
            return false;
        *it ^= 0x20; // change the case of the first letter
        img.fix_block(b);
        return true;
    }
    return false;
}

pstcheck::testing::BbtEntry block_of(const Image& img, uint64_t bid)
{
    for (const auto& b : bbt_entries(img))
        if (b.bid == bid)
            return b;
    return {};
}

// Entry `nid` of the SLBLOCK `bid_sub` (a subnode tree of one level), as an NBT-like entry.
pstcheck::testing::NbtEntry subnode(const Image& img, uint64_t bid_sub, uint32_t nid)
{
    const auto b = block_of(img, bid_sub);
    for (unsigned i = 0; b.cb && i < img.get(b.ib + 2, 2); ++i) {
        const uint64_t e = b.ib + 8 + 24 * i;
        if (img.get(e, 8) == nid)
            return {e, nid, img.get(e + 8, 8), img.get(e + 16, 8), 0};
    }
    return {};
}

// Offset in the file of the heap allocation `hid` in single-block heap `b`.
uint64_t heap_alloc(const Image& img, const pstcheck::testing::BbtEntry& b, uint32_t hid)
{
    const uint64_t map = b.ib + img.get(b.ib, 2);
    return b.ib + img.get(map + 4 + 2 * ((hid >> 5) - 1), 2);
}

// Changes the first occurrence of `from` in block `b` to `to` and repairs the CRC.
bool patch(Image& img, const pstcheck::testing::BbtEntry& b, const std::vector<uint8_t>& from,
           const std::vector<uint8_t>& to)
{
    const auto begin = img.bytes.begin() + b.ib, end = begin + b.cb;
    const auto it = std::search(begin, end, from.begin(), from.end());
    if (it == end)
        return false;
    std::copy(to.begin(), to.end(), it);
    img.fix_block(b);
    return true;
}

const MessagingDamage kMessagingDamages[] = {
    {"MessageMovedToAnotherFolder", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         img.put(m.at + 24, 4, 0x122); // the root folder
         img.fix_page(m.at - m.at % 512);
         return "folder " + hex(m.parent) + ": PidTagContentCount is 3, the folder has 2";
     }},
    {"MessageNodeRemoved", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         pstcheck::testing::remove_entry(img, m.at, 32);
         return "has a row for " + hex(m.nid) + ", which is not a child";
     }},
    {"ContentsTableRemoved", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto table = find_nbt(img, (m.parent & ~0x1Fu) | 0x0E);
         pstcheck::testing::remove_entry(img, table.at, 32);
         return "its contents table node " + hex(table.nid) + " is missing";
     }},
    {"NameMapRemoved", 1,
     [](Image& img) {
         pstcheck::testing::remove_entry(img, find_nbt(img, 0x61).at, 32);
         return std::string("required node 0x61 is missing");
     }},
    {"HeapSignatureDamaged", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         for (const auto& b : bbt_entries(img))
             if (b.bid == m.bid_data && !(b.bid & 2)) {
                 img.bytes.at(b.ib + 2) = 0xED;
                 img.fix_block(b);
             }
         return "message " + hex(m.nid) + " heap block 0: bSig 0xed";
     }},
    {"FolderParentIsAMessage", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto folder = find_nbt(img, m.parent);
         img.put(folder.at + 24, 4, m.nid);
         img.fix_page(folder.at - folder.at % 512);
         return "node " + hex(folder.nid) + ": nidParent " + hex(m.nid) + " is not a folder";
     }},
    {"LcbTotalWrong", 2,
     [](Image& img) {
         for (const auto& b : bbt_entries(img))
             if ((b.bid & 2) && img.bytes.at(b.ib) == 1) {
                 img.put(b.ib + 4, 4, img.get(b.ib + 4, 4) + 1);
                 img.fix_block(b);
                 return "block " + hex(b.bid) + " at " + hex(b.ib) + ": lcbTotal";
             }
         return std::string("(no XBLOCK in the file)");
     }},
    {"SubnodesUnsorted", 2,
     [](Image& img) {
         for (const auto& b : bbt_entries(img))
             if ((b.bid & 2) && img.bytes.at(b.ib) == 2 && img.bytes.at(b.ib + 1) == 0 && img.get(b.ib + 2, 2) >= 2) {
                 std::vector<uint8_t> first(img.bytes.begin() + b.ib + 8, img.bytes.begin() + b.ib + 32);
                 std::copy(img.bytes.begin() + b.ib + 32, img.bytes.begin() + b.ib + 56, img.bytes.begin() + b.ib + 8);
                 std::copy(first.begin(), first.end(), img.bytes.begin() + b.ib + 32);
                 img.fix_block(b);
                 return "block " + hex(b.bid) + " at " + hex(b.ib) + " entry 1";
             }
         return std::string("(no SLBLOCK with two entries in the file)");
     }},
    {"FMapByteChanged", 5,
     [](Image& img) {
         const uint64_t fmap = 0x4400 + 128 * 253952ull + 1024;
         img.bytes.at(fmap) ^= 0x01;
         img.fix_page(fmap);
         return "FMap page at " + hex(fmap) + ": byte 0 is";
     }},
    {"ContentsRowDiffers", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto table = find_nbt(img, (m.parent & ~0x1Fu) | 0x0E);
         return change_text(img, table.bid_data, u"Person") ? "folder " + hex(m.parent) + " contents row "
                                                            : std::string("(name not found in the table)");
     }},
    {"WidenedRowDiffers", 6,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto table = find_nbt(img, (m.parent & ~0x1Fu) | 0x0E);
         return change_text(img, table.bid_data, u"Ren\u00e9e \u201c")
                    ? "folder " + hex(m.parent) + " contents row "
                    : std::string("(widened name not found in the table)");
     }},
    {"HierarchyRowDiffers", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto folder = find_nbt(img, m.parent);
         const auto table = find_nbt(img, (folder.parent & ~0x1Fu) | 0x0D);
         return change_text(img, table.bid_data, u"Contacts")
                    ? "hierarchy row " + hex(m.parent) + ": column 0x3001001f differs from the child's property"
                    : std::string("(name not found in the table)");
     }},
    {"BucketCountType", 1,
     [](Image& img) {
         const auto b = block_of(img, find_nbt(img, 0x61).bid_data);
         return patch(img, b, {0x01, 0x00, 0x03, 0x00, 0xFB, 0x00}, {0x01, 0x00, 0x02, 0x00, 0xFB, 0x00})
                    ? std::string("name-to-id map 0x61: bucket count has type 0x2, not PtypInteger32")
                    : std::string("(bucket count record not found)");
     }},
    {"CountStoredAsShort", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto b = block_of(img, find_nbt(img, m.parent).bid_data);
         return patch(img, b, {0x02, 0x36, 0x03, 0x00}, {0x02, 0x36, 0x02, 0x00})
                    ? "folder " + hex(m.parent) + " property 0x36020002: stored as type 0x2, expected 0x3"
                    : std::string("(content count record not found)");
     }},
    {"FillLevelOfAbsentBlock", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto b = block_of(img, m.bid_data);
         img.bytes.at(b.ib + 9) |= 0x10;
         img.fix_block(b);
         return "message " + hex(m.nid) + " heap block 0: fill level for absent block 3 is not 0";
     }},
    {"FreeCountWrong", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto b = block_of(img, m.bid_data);
         const uint64_t map = b.ib + img.get(b.ib, 2);
         img.put(map + 2, 2, img.get(map + 2, 2) + 1);
         img.fix_block(b);
         return "message " + hex(m.nid) + " heap block 0: cFree";
     }},
    {"TableIndexHidSet", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto table = find_nbt(img, (m.parent & ~0x1Fu) | 0x0E);
         const auto b = block_of(img, table.bid_data);
         img.put(heap_alloc(img, b, uint32_t(img.get(b.ib + 4, 4))) + 18, 4, 0x20);
         img.fix_block(b);
         return "contents table " + hex(table.nid) + ": TCINFO hidIndex is 0x20, not 0";
     }},
    {"AttachmentRowDiffers", 8,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto table = subnode(img, m.bid_sub, 0x671);
         return change_text(img, table.bid_data, u"data.bin") ? "message " + hex(m.nid) + " attachment row 0x8005"
                                                              : std::string("(file name not found in the table)");
     }},
    {"HasAttachFlagCleared", 8,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         return patch(img, block_of(img, m.bid_data), {0x07, 0x0E, 0x03, 0x00, 0x11}, {0x07, 0x0E, 0x03, 0x00, 0x01})
                    ? "message " + hex(m.nid) + ": MSGFLAG_HASATTACH is clear, the message has 1 attachments"
                    : std::string("(message flags record not found)");
     }},
    {"HasAttachmentsWithout", 8,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto object = subnode(img, m.bid_sub, 0x8005);
         // The attachment object becomes a subnode of another type: the message has none left.
         for (const auto& b : bbt_entries(img))
             if (b.bid == m.bid_sub) {
                 const uint8_t from[] = {0x05, 0x80, 0x00, 0x00};
                 const auto it = std::search(img.bytes.begin() + b.ib, img.bytes.begin() + b.ib + b.cb, from, from + 4);
                 if (it == img.bytes.begin() + b.ib + b.cb || object.bid_data == 0)
                     break;
                 *it = 0x1F; // 0x801F, a value subnode
                 img.fix_block(b);
                 return "message " + hex(m.nid) + ": PidTagHasAttachments is 1, the message has 0 attachments";
             }
         return std::string("(attachment subnode not found)");
     }},
    {"AttachMethodMissing", 8,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto object = subnode(img, m.bid_sub, 0x8005);
         return patch(img, block_of(img, object.bid_data), {0x05, 0x37, 0x03, 0x00}, {0x06, 0x37, 0x03, 0x00})
                    ? "message " + hex(m.nid) + " attachment 0x8005: PidTagAttachMethod is missing"
                    : std::string("(attach method record not found)");
     }},
    {"SubnodePaddingSet", 1,
     [](Image& img) {
         const auto m = of_type(img, 0x04).front();
         const auto b = block_of(img, m.bid_sub);
         img.put(b.ib + 4, 4, 0xFFFFFFFF);
         img.fix_block(b);
         return "block " + hex(b.bid) + " at " + hex(b.ib) + ": dwPadding 0xffffffff, not 0";
     }},
};

class WriterDamage : public ::testing::TestWithParam<MessagingDamage>
{
};

TEST_P(WriterDamage, IsReported)
{
    TempDir dir;
    Written written;
    const std::string path = write(dir, kContents[GetParam().content], &written);
    Image img = Image::load(path);
    ASSERT_TRUE(pstcheck::check_bytes(img.bytes).empty());
    ASSERT_EQ(img.get(513, 1), 0u) << "these cases damage unencoded heap bytes";
    const std::string expected = GetParam().apply(img);
    const auto problems = pstcheck::check_bytes(img.bytes);
    bool found = false;
    for (const auto& p : problems)
        found |= p.find(expected) != std::string::npos;
    EXPECT_TRUE(found) << "expected a line with \"" << expected << "\", got:\n" << pstcheck::join(problems);
}

// Orphan message nodes, one whose parent folder does not exist and one whose parent is no folder:
// reported by default, counted with Options::allow_orphans, their contexts checked either way.
TEST(WriterOrphans, AreReportedUnlessAllowed)
{
    TempDir dir;
    Written written;
    const Content orphans{"Orphans", [](pst::Writer& w) {
                              const auto f = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
                              EXPECT_TRUE(w.add_message(f, contact(0)).ok);
                              EXPECT_TRUE(
                                  w.add_orphan_message(contact(1), pst::Writer::OrphanParent::MissingFolder).ok);
                              EXPECT_TRUE(w.add_orphan_message(contact(2), pst::Writer::OrphanParent::NotAFolder).ok);
                              return Written{1, 3};
                          }};
    for (auto format : {pst::FileFormat::Unicode, pst::FileFormat::Ansi}) {
        const std::string path = write(dir, orphans, &written, format, pst::BlockEncoding::Permute);
        pstcheck::Summary s;
        const auto problems = pstcheck::check_file(path, {}, &s);
        ASSERT_EQ(problems.size(), 2u) << pstcheck::join(problems);
        EXPECT_NE(problems[0].find("is not a folder"), std::string::npos) << problems[0];
        EXPECT_NE(problems[1].find("nidParent 0x21 is not a folder"), std::string::npos) << problems[1];
        pstcheck::Options allow;
        allow.allow_orphans = true;
        EXPECT_TRUE(pstcheck::check_file(path, allow, &s).empty());
        EXPECT_EQ(s.orphans, 2u);
        EXPECT_EQ(s.messages, written.messages);
    }
}

// Random damage inside blocks with their CRCs repaired, so that it reaches the heap, table and
// messaging parsers instead of stopping at the CRC check. Must never crash (ASan/UBSan in CI).
TEST(WriterFuzz, RepairedBlockDamageNeverCrashes)
{
    TempDir dir;
    Written written;
    const Image original = Image::load(write(dir, kContents[2], &written)); // large values: data trees
    const auto blocks = bbt_entries(original);
    std::mt19937 rng(8122026);
    size_t reported = 0;
    for (int round = 0; round < 200; ++round) {
        Image img = original;
        const auto& b = blocks[rng() % blocks.size()];
        if (b.cb == 0)
            continue;
        for (int i = 0, n = 1 + int(rng() % 8); i < n; ++i)
            img.bytes.at(b.ib + rng() % b.cb) = uint8_t(rng());
        img.fix_block(b);
        reported += !pstcheck::check_bytes(img.bytes).empty();
    }
    EXPECT_GT(reported, 0u);
}

INSTANTIATE_TEST_SUITE_P(Writer, WriterDamage, ::testing::ValuesIn(kMessagingDamages),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
