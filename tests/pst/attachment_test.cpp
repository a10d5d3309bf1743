// Attachments written by the writer, read back through our reader, libpff and readpst: values at
// the heap, block and data tree edges, several attachments on one message, every format and
// encoding, the message's has-attachments flags and the attachment table's copies.
#include "pffread/pffread.h"
#include "pst/reader.h"
#include "support.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <libpff.h>
#include <map>
#include <sstream>

using namespace pst_test;

namespace {

// Sizes of PidTagAttachDataBinary: empty, the largest heap allocation and one more, one full
// block and one more (a data tree), a photo of several blocks.
constexpr size_t kSizes[] = {0, 1, 3580, 3581, 8176, 8177, 60000};

struct FileCase
{
    const char* name;
    pst::FileFormat format;
    pst::BlockEncoding encoding;
};
constexpr FileCase kFiles[] = {
    {"unicode", pst::FileFormat::Unicode, pst::BlockEncoding::None},
    {"unicode_permute", pst::FileFormat::Unicode, pst::BlockEncoding::Permute},
    {"ansi_cyclic", pst::FileFormat::Ansi, pst::BlockEncoding::Cyclic},
};

std::u16string number(size_t n)
{
    const std::string digits = std::to_string(n);
    return std::u16string(digits.begin(), digits.end());
}

std::u16string file_name(size_t size, size_t k)
{
    return u"file-" + std::u16string(1, static_cast<char16_t>(u'a' + k)) + u"-" + number(size) + u".bin";
}

pst::Attachment attachment(size_t size, size_t k)
{
    pst::Attachment a;
    const std::u16string name = file_name(size, k);
    a.properties.push_back(
        {pst::PropertyName::tag(0x3701), {pst::PropType::Binary, pattern_bytes(size, static_cast<uint8_t>(size + k))}});
    a.properties.push_back({pst::PropertyName::tag(0x3704), {pst::PropType::Unicode, name}});
    a.properties.push_back({pst::PropertyName::tag(0x3707), {pst::PropType::Unicode, name}});
    a.properties.push_back({pst::PropertyName::tag(0x3703), {pst::PropType::Unicode, std::u16string(u".bin")}});
    a.properties.push_back(
        {pst::PropertyName::tag(0x370E), {pst::PropType::Unicode, std::u16string(u"application/octet-stream")}});
    return a;
}

pst::Message item(const std::u16string& message_class, const std::u16string& subject)
{
    pst::Message m(message_class);
    m.set_unicode(0x0037, subject);
    m.set_unicode(0x3A06, subject); // readpst skips a contact without contact properties
    return m;
}

// One message per size with one attachment, one with three; `message_class` for all.
void fill(pst::Writer& w, const std::u16string& message_class)
{
    const bool contacts = message_class == u"IPM.Contact";
    auto folder = w.add_folder(w.top_of_personal_folders(), u"Items", contacts ? u"IPF.Contact" : u"IPF.Note");
    for (size_t size : kSizes) {
        pst::Message m = item(message_class, u"size " + number(size));
        m.add_attachment(attachment(size, 0));
        ASSERT_TRUE(w.add_message(folder, m).ok);
    }
    pst::Message three = item(message_class, u"three");
    three.set_long(0x0E07, 0); // unread: the writer adds MSGFLAG_HASATTACH to the caller's flags
    for (size_t k = 0; k < 3; ++k)
        three.add_attachment(attachment(100 * (k + 1), k));
    ASSERT_TRUE(w.add_message(folder, three).ok);
    pst::Message none = item(message_class, u"none");
    ASSERT_TRUE(w.add_message(folder, none).ok);
}

struct Expected
{
    std::string subject;
    std::vector<std::pair<size_t, size_t>> attachments; // size, k
};

std::vector<Expected> expected()
{
    std::vector<Expected> out;
    for (size_t size : kSizes)
        out.push_back({"size " + std::to_string(size), {{size, 0}}});
    out.push_back({"three", {{100, 0}, {200, 1}, {300, 2}}});
    out.push_back({"none", {}});
    return out;
}

uint32_t u32(const uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string subject_of(const pst::read::PropertyContext& pc)
{
    const pst::read::PropertyRef* s = pc.find(0x0037);
    std::u16string units;
    for (size_t i = 0; s && i + 1 < s->size; i += 2)
        units += static_cast<char16_t>(s->data[i] | s->data[i + 1] << 8);
    return utf8(units);
}

// Our reader: every message's attachment table rows, their cells against the objects, the
// objects' values against what was written.
void check_with_reader(const std::string& path)
{
    std::string why;
    pst::Status opened;
    auto file = pst::read::File::open(path, &opened);
    ASSERT_TRUE(file) << opened.message;
    std::map<std::string, pst::read::Node> messages;
    pst::read::PropertyContext pc;
    ASSERT_EQ(outcome(file->for_each_node([&](const pst::read::Node& n) {
                  if ((n.nid & 0x1F) == 0x04 && outcome(pc.open(*file, n)) == 1)
                      messages[subject_of(pc)] = n;
                  return true;
              }),
                      &why),
              1)
        << why;
    for (const Expected& e : expected()) {
        SCOPED_TRACE(e.subject);
        ASSERT_TRUE(messages.count(e.subject));
        const pst::read::Node& node = messages[e.subject];
        ASSERT_EQ(outcome(pc.open(*file, node), &why), 1) << why;
        const pst::read::PropertyRef* has = pc.find(0x0E1B);
        const pst::read::PropertyRef* flags = pc.find(0x0E07);
        ASSERT_TRUE(flags);
        EXPECT_EQ((u32(flags->data) & 0x10) != 0, !e.attachments.empty());
        if (e.subject == "three") {
            EXPECT_EQ(u32(flags->data) & 1, 0u) << "the caller's unread flag stays";
        }
        EXPECT_EQ(has != nullptr && has->data[0] == 1, !e.attachments.empty());

        pst::read::Attachments attachments;
        ASSERT_EQ(outcome(attachments.open(*file, node), &why), e.attachments.empty() ? 0 : 1) << why;
        ASSERT_EQ(attachments.count(), e.attachments.size());
        for (size_t i = 0; i < attachments.count(); ++i) {
            const auto [size, k] = e.attachments[i];
            SCOPED_TRACE(i);
            EXPECT_EQ(attachments.nid(i), (0x400u + i) << 5 | 0x05);
            pst::read::PropertyContext object;
            ASSERT_EQ(outcome(attachments.open_attachment(i, &object), &why), 1) << why;
            EXPECT_EQ(object.skipped(), 0u) << object.skip_reason();
            const pst::read::PropertyRef* data = object.find(0x3701);
            ASSERT_TRUE(data);
            EXPECT_TRUE(std::vector<uint8_t>(data->data, data->data + data->size) ==
                        pattern_bytes(size, static_cast<uint8_t>(size + k)));
            const pst::read::PropertyRef* method = object.find(0x3705);
            const pst::read::PropertyRef* position = object.find(0x370B);
            const pst::read::PropertyRef* attach_size = object.find(0x0E20);
            ASSERT_TRUE(method && position && attach_size);
            EXPECT_EQ(u32(method->data), 1u);
            EXPECT_EQ(u32(position->data), 0xFFFFFFFFu);
            EXPECT_GE(u32(attach_size->data), size);
            // The row's copies equal the object's values.
            std::vector<uint8_t> cell;
            ASSERT_EQ(outcome(attachments.table().cell(i, 0x0E200003, &cell), &why), 1) << why;
            EXPECT_EQ(u32(cell.data()), u32(attach_size->data));
            ASSERT_EQ(outcome(attachments.table().cell(i, 0x3704001F, &cell), &why), 1) << why;
            const std::vector<uint8_t> name = [&] {
                std::vector<uint8_t> b;
                for (char16_t c : file_name(size, k)) {
                    b.push_back(static_cast<uint8_t>(c));
                    b.push_back(static_cast<uint8_t>(c >> 8));
                }
                return b;
            }();
            EXPECT_EQ(cell, name);
        }
        pst::read::PropertyContext none;
        EXPECT_EQ(outcome(attachments.open_attachment(attachments.count(), &none), &why), -1);
    }
}

// libpff: the same attachments with the same bytes.
void check_with_libpff(const std::string& path)
{
    std::string why;
    auto f = pffread::File::open(path, &why);
    ASSERT_TRUE(f) << why;
    std::map<std::string, std::vector<std::vector<uint8_t>>> seen;
    pffread::walk(*f, [&](const pffread::Item& item, const pffread::Visit& at) {
        if (at.is_folder)
            return;
        std::vector<std::vector<uint8_t>>& list = seen[item.utf8(0x0037).value_or("")];
        int count = -1;
        ASSERT_EQ(libpff_message_get_number_of_attachments(item.handle(), &count, nullptr), 1);
        for (int i = 0; i < count; ++i) {
            libpff_item_t* a = nullptr;
            ASSERT_EQ(libpff_message_get_attachment(item.handle(), i, &a, nullptr), 1);
            int type = 0;
            EXPECT_EQ(libpff_attachment_get_type(a, &type, nullptr), 1);
            EXPECT_EQ(type, LIBPFF_ATTACHMENT_TYPE_DATA);
            size64_t size = 0;
            std::vector<uint8_t> bytes;
            if (libpff_attachment_get_data_size(a, &size, nullptr) == 1 && size > 0) {
                bytes.resize(size);
                EXPECT_EQ(libpff_attachment_data_read_buffer(a, bytes.data(), bytes.size(), nullptr),
                          static_cast<ssize_t>(size));
            }
            list.push_back(std::move(bytes));
            libpff_item_free(&a, nullptr);
        }
    });
    for (const Expected& e : expected()) {
        SCOPED_TRACE(e.subject);
        ASSERT_TRUE(seen.count(e.subject));
        ASSERT_EQ(seen[e.subject].size(), e.attachments.size());
        for (size_t i = 0; i < e.attachments.size(); ++i) {
            const auto [size, k] = e.attachments[i];
            EXPECT_TRUE(seen[e.subject][i] == pattern_bytes(size, static_cast<uint8_t>(size + k))) << i;
        }
    }
}

class AttachmentFiles : public ::testing::TestWithParam<FileCase>
{
};

TEST_P(AttachmentFiles, ReadBackByEveryReader)
{
    TempDir dir;
    const std::string path = dir.file("attachments.pst");
    pst::WriterOptions options;
    options.format = GetParam().format;
    options.encoding = GetParam().encoding;
    options.sync_to_disk = false;
    write_pst(
        path, [](pst::Writer& w) { fill(w, u"IPM.Note"); }, options);
    EXPECT_EQ(check_problems(path), "");
    check_with_reader(path);
    check_with_libpff(path);
}

INSTANTIATE_TEST_SUITE_P(Files, AttachmentFiles, ::testing::ValuesIn(kFiles),
                         [](const auto& info) { return std::string(info.param.name); });

// An attachment of more than 1021 blocks: its data tree is an XXBLOCK.
TEST(Attachments, DataTreeOfTwoLevels)
{
    TempDir dir;
    const std::string path = dir.file("xx.pst");
    const size_t size = 1021 * 8176 + 1;
    write_pst(path, [&](pst::Writer& w) {
        auto folder = w.add_folder(w.top_of_personal_folders(), u"Items", u"IPF.Note");
        pst::Message m(u"IPM.Note");
        m.add_attachment(attachment(size, 0));
        ASSERT_TRUE(w.add_message(folder, m).ok);
    });
    EXPECT_EQ(check_problems(path), "");
    std::string why;
    pst::Status opened;
    auto file = pst::read::File::open(path, &opened);
    ASSERT_TRUE(file) << opened.message;
    pst::read::Node message;
    outcome(file->for_each_node([&](const pst::read::Node& n) {
        if ((n.nid & 0x1F) == 0x04)
            message = n;
        return true;
    }),
            &why);
    pst::read::Attachments attachments;
    ASSERT_EQ(outcome(attachments.open(*file, message), &why), 1) << why;
    ASSERT_EQ(attachments.count(), 1u);
    pst::read::PropertyContext pc;
    ASSERT_EQ(outcome(attachments.open_attachment(0, &pc), &why), 1) << why;
    const pst::read::PropertyRef* data = pc.find(0x3701);
    ASSERT_TRUE(data);
    EXPECT_TRUE(std::vector<uint8_t>(data->data, data->data + data->size) ==
                pattern_bytes(size, static_cast<uint8_t>(size)));
}

// A value that does not fit its type fails the message, not the writer.
TEST(Attachments, MalformedValueFailsTheMessage)
{
    TempDir dir;
    write_pst(dir.file("bad.pst"), [](pst::Writer& w) {
        auto folder = w.add_folder(w.top_of_personal_folders(), u"Items", u"IPF.Note");
        pst::Message m(u"IPM.Note");
        pst::Attachment a;
        a.properties.push_back({pst::PropertyName::tag(0x3701), {pst::PropType::Binary, int32_t(1)}});
        m.add_attachment(a);
        EXPECT_FALSE(w.add_message(folder, m).ok);
        EXPECT_TRUE(w.add_message(folder, pst::Message(u"IPM.Note")).ok);
    });
}

#ifdef READPST
std::map<std::string, std::string> readpst_run(const std::string& path, const std::string& out,
                                               const std::string& flags)
{
    std::filesystem::create_directories(out);
    const std::string cmd = std::string(READPST) + " -q " + flags + " -o '" + out + "' '" + path + "' > /dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(out)) {
        if (!e.is_regular_file())
            continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        files[e.path().filename().string()] = ss.str();
    }
    return files;
}

// readpst now and then reads a file differently from one run to the next (a few runs in a hundred;
// writer_formats_test.cpp): the files two runs in a row agree on.
std::map<std::string, std::string> readpst_files(const std::string& path, const std::string& out,
                                                 const std::string& flags)
{
    std::map<std::string, std::string> last = readpst_run(path, out + "/run0", flags);
    for (int again = 1; again < 5; ++again) {
        std::map<std::string, std::string> now = readpst_run(path, out + "/run" + std::to_string(again), flags);
        if (now == last)
            break;
        last = std::move(now);
    }
    return last;
}

// readpst writes the attachments of mail as files with the written bytes. Of contacts it writes
// the vCard only: readpst 0.6.76 reads a contact's attachments (its debug log shows the photo's
// data tree found) but has no PHOTO line and writes no attachment file in any mode.
TEST(Attachments, Readpst)
{
    TempDir dir;
    const std::string mail = dir.file("mail.pst");
    write_pst(mail, [](pst::Writer& w) { fill(w, u"IPM.Note"); });
    const auto files = readpst_files(mail, dir.file("mail"), "-S");
    for (const Expected& e : expected())
        for (const auto& [size, k] : e.attachments) {
            if (size == 0)
                continue; // readpst writes no file for an empty attachment
            const std::string name = utf8(file_name(size, k));
            auto it = std::find_if(files.begin(), files.end(), [&](const auto& f) {
                return f.first.size() > name.size() && f.first.ends_with("-" + name);
            });
            ASSERT_NE(it, files.end()) << name;
            const std::vector<uint8_t> want = pattern_bytes(size, static_cast<uint8_t>(size + k));
            EXPECT_TRUE(want == std::vector<uint8_t>(it->second.begin(), it->second.end())) << name;
        }

    const std::string contacts = dir.file("contacts.pst");
    write_pst(contacts, [](pst::Writer& w) { fill(w, u"IPM.Contact"); });
    const auto cards = readpst_files(contacts, dir.file("contacts"), "-t c -cv -S");
    size_t vcards = 0;
    for (const auto& [name, text] : cards) {
        EXPECT_EQ(text.find("PHOTO"), std::string::npos) << name;
        EXPECT_FALSE(name.ends_with(".bin")) << name;
        vcards += text.find("BEGIN:VCARD") != std::string::npos;
    }
    EXPECT_EQ(vcards, expected().size());
}
#endif

} // namespace
