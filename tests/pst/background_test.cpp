// The writer's background threads: the same bytes as the writer on the caller's thread, for every
// file kind and block encoding and for every kind of content, and failures that still surface
// (sink, size limit, malformed value, a writer abandoned with messages in flight) without a hang
// or a file left behind. Texts that a message views give the bytes of texts it holds.
#include "pstcheck/check.h"
#include "support.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace pst_test;

namespace {

pst::Recipient recipient(int i)
{
    pst::Recipient r;
    r.properties.push_back({pst::PropertyName::tag(0x0C15), {pst::PropType::Long, int32_t{1 + i % 3}}});
    r.properties.push_back(
        {pst::PropertyName::tag(0x3001), {pst::PropType::Unicode, u"Person " + pattern_text(i, u'a')}});
    r.properties.push_back({pst::PropertyName::tag(0x3003), {pst::PropType::String8, std::string("p@example.org")}});
    return r;
}

// Message `i` of the mix: every kind of value, recipients and attachments on some, values large
// enough for a data tree or a subnode on others, and an unread one now and then.
pst::Message mixed_message(int i)
{
    pst::Message m(i % 7 == 0 ? u"IPM.Note" : u"IPM.Contact");
    m.set_unicode(0x3001, u"Message " + pattern_text(static_cast<size_t>(i % 40), u'A'));
    m.set_named_unicode(pst::kPsetidAddress, 0x8005, pattern_text(static_cast<size_t>(i % 13), u'k'));
    m.set_named_long(pst::kPsetidCommon, 0x8500 + static_cast<uint32_t>(i % 5), i);
    m.set_string_named(pst::kPsPublicStrings, u"Keywords",
                       {pst::PropType::MultiUnicode, std::vector<std::u16string>{u"one", pattern_text(3)}});
    // A string name first seen late in the file (a new entry of the name map mid-stream).
    if (i > 150)
        m.set_string_named(pst::kPsPublicStrings, u"Late " + pattern_text(static_cast<size_t>(i % 3 + 1)),
                           {pst::PropType::Long, int32_t{i}});
    m.set_systime(0x3A41, 130000000000000000ull + static_cast<uint64_t>(i));
    m.set_bool(0x0057, i % 2 == 0);
    if (i % 3 == 0)
        m.set_string8(0x3A06, std::string("Bj\xF6rn ") + std::to_string(i));
    if (i % 11 == 0)
        m.set_binary(0x1013, pattern_bytes(static_cast<size_t>(9000 + 97 * i), static_cast<uint8_t>(i)));
    if (i % 17 == 0)
        m.set_long(0x0E07, 0); // unread
    for (int r = 0; r < i % 4; ++r)
        m.add_recipient(recipient(i + r));
    if (i % 5 == 0)
        pst::add_contact_picture(m, pattern_bytes(static_cast<size_t>(200 + (i % 3) * 10000), 7), u".jpg",
                                 u"image/jpeg");
    return m;
}

// The same calls into writers with and without background threads; `deleted_and_orphan` adds
// the test features' deleted and orphan messages in the middle (no longer a clean file).
void fill(pst::Writer& w, bool deleted_and_orphan)
{
    const pst::FolderId contacts = w.add_folder(w.top_of_personal_folders(), u"Contacts", u"IPF.Contact");
    pst::FolderId later = 0;
    for (int i = 0; i < 240; ++i) {
        if (i == 90) // a folder added between messages, and messages into a folder of the root
            later = w.add_folder(contacts, u"Later", u"IPF.Contact");
        const pst::FolderId target = i < 90 ? contacts : i % 2 ? later : w.root_folder();
        pst::Message m = mixed_message(i);
        const pst::Status st = i % 2 ? w.add_message(target, std::move(m)) : w.add_message(target, m);
        ASSERT_TRUE(st.ok) << i << ": " << st.message;
        if (deleted_and_orphan && i == 120) {
            ASSERT_TRUE(w.add_deleted_message(mixed_message(1000), pst::Writer::DeletedIndex::Superseded).ok);
        }
        if (deleted_and_orphan && i == 121) {
            ASSERT_TRUE(w.add_orphan_message(mixed_message(1001), pst::Writer::OrphanParent::MissingFolder).ok);
        }
    }
}

std::vector<uint8_t> write_bytes(pst::WriterOptions options)
{
    options.deterministic = true;
    std::vector<uint8_t> out;
    auto w = pst::Writer::create(std::make_unique<pst::MemorySink>(&out), options);
    fill(*w, true);
    const pst::Status st = w->finish();
    EXPECT_TRUE(st.ok) << st.message;
    return out;
}

struct Kind
{
    const char* name;
    pst::FileFormat format;
    pst::BlockEncoding encoding;
    bool compress;
};

TEST(PstBackground, SameBytesAsTheWriterOnTheCallersThread)
{
    const Kind kinds[] = {
        {"unicode", pst::FileFormat::Unicode, pst::BlockEncoding::None, false},
        {"unicode permute", pst::FileFormat::Unicode, pst::BlockEncoding::Permute, false},
        {"ansi cyclic", pst::FileFormat::Ansi, pst::BlockEncoding::Cyclic, false},
        {"4k", pst::FileFormat::Unicode4k, pst::BlockEncoding::None, false},
        {"4k compressed (stays on the caller's thread)", pst::FileFormat::Unicode4k, pst::BlockEncoding::Permute, true},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        pst::WriterOptions options;
        options.format = k.format;
        options.encoding = k.encoding;
        options.compress = k.compress;
        const std::vector<uint8_t> plain = write_bytes(options);
        options.background = true;
        const std::vector<uint8_t> background = write_bytes(options);
        ASSERT_GT(plain.size(), 100000u);
        EXPECT_TRUE(plain == background) << "sizes " << plain.size() << " and " << background.size();
    }
}

// A sink that accepts `limit` bytes and then fails like a full disk.
class FullDisk : public pst::Sink
{
public:
    explicit FullDisk(uint64_t limit) : m_limit(limit) {}
    pst::Status write_at(uint64_t, const void*, size_t size) override
    {
        if (m_written + size > m_limit)
            return pst::Status::failure("No space left on device");
        m_written += size;
        return pst::Status::success();
    }
    pst::Status flush() override { return pst::Status::success(); }

private:
    uint64_t m_limit;
    uint64_t m_written = 0;
};

pst::WriterOptions in_background()
{
    pst::WriterOptions options;
    options.background = true;
    return options;
}

// Each failure of a background thread surfaces at a later add_message or at finish(), with its
// reason; after it the writer takes nothing more.
TEST(PstBackground, FailuresOfTheThreadsAreReportedLater)
{
    struct Case
    {
        const char* name;
        uint64_t sink_limit;
        uint64_t size_limit;
        bool malformed;
        const char* reason;
    };
    const Case cases[] = {
        {"full disk", 200000, pst::kMaxFileSize, false, "No space left on device"},
        {"size limit", UINT64_MAX, 0x4400 + 2 * 253952, false, "The PST file would exceed the size limit"},
        {"malformed value", UINT64_MAX, pst::kMaxFileSize, true, "A property value does not match its type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pst::WriterOptions options = in_background();
        options.size_limit = c.size_limit;
        auto w = pst::Writer::create(std::make_unique<FullDisk>(c.sink_limit), options);
        const pst::FolderId folder = w->add_folder(w->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
        pst::Status st;
        for (int i = 0; st.ok && i < 2000; ++i) {
            pst::Message m = mixed_message(i);
            if (c.malformed && i == 30)
                m.set({pst::PropertyName::tag(0x0037)}, {pst::PropType::Unicode, int32_t{5}});
            st = w->add_message(folder, std::move(m));
        }
        if (st.ok)
            st = w->finish();
        else
            EXPECT_FALSE(w->finish().ok);
        ASSERT_FALSE(st.ok);
        EXPECT_EQ(st.message.substr(0, std::string(c.reason).size()), c.reason);
        EXPECT_FALSE(w->add_message(folder, mixed_message(0)).ok);
        EXPECT_EQ(w->add_folder(folder, u"More", u"IPF.Note"), 0u);
    }
}

// A writer destroyed with messages still queued, or failing at the size limit, leaves only the
// old target; a complete one replaces it with a sound file.
TEST(PstBackground, AbandonedOrFailedWritersLeaveNothingBehind)
{
    TempDir dir;
    const std::string path = dir.file("out.pst");
    {
        std::ofstream(path) << "previous content";
    }
    for (const uint64_t limit : {pst::kMaxFileSize, uint64_t{0x4400 + 253952}}) {
        pst::WriterOptions options = in_background();
        options.size_limit = limit;
        pst::Status st;
        auto w = pst::Writer::create(path, options, &st);
        ASSERT_TRUE(w) << st.message;
        const pst::FolderId folder = w->add_folder(w->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
        for (int i = 0; i < 500 && st.ok; ++i)
            st = w->add_message(folder, mixed_message(i));
        if (limit != pst::kMaxFileSize) {
            EXPECT_FALSE(st.ok && w->finish().ok);
        }
        w.reset(); // destroyed without finish(), or after a failed one
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.pst"});
        EXPECT_EQ(read_file(path).size(), 16u) << "the old file is untouched";
    }
    write_pst(
        path, [](pst::Writer& w) { fill(w, false); }, in_background());
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.pst"});
    EXPECT_EQ(check_problems(path), "");
}

// Texts given as views (Message::set_unicode_view) are written exactly as the same texts held
// by the message, whatever their length (inline in the heap, or in a subnode of their own) or
// their code units (an empty view without a pointer, lone surrogates, the last code point).
TEST(PstTextView, SameBytesAsTheSameTextsHeld)
{
    const std::u16string texts[] = {
        u"",
        u"A",
        std::u16string(1, u'\xD800') + u"x" + std::u16string(1, u'\xDFFF'),
        u"\U0010FFFF\uFFFF\u007F",
        pattern_text(300),
        pattern_text(5000), // larger than a heap allocation: a subnode
    };
    const auto write = [&](bool views) {
        std::vector<uint8_t> out;
        pst::WriterOptions options;
        options.deterministic = true;
        options.background = views; // views through the threads as well
        auto w = pst::Writer::create(std::make_unique<pst::MemorySink>(&out), options);
        const pst::FolderId folder = w->add_folder(w->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
        for (size_t i = 0; i < std::size(texts); ++i) {
            pst::Message m(u"IPM.Contact");
            if (views) {
                m.set_unicode_view(0x3001, texts[i]);
                m.set_named_unicode_view(pst::kPsetidAddress, 0x8005, texts[(i + 1) % std::size(texts)]);
                m.set_unicode_view(0x3A06, std::u16string_view()); // no pointer at all
            } else {
                m.set_unicode(0x3001, texts[i]);
                m.set_named_unicode(pst::kPsetidAddress, 0x8005, texts[(i + 1) % std::size(texts)]);
                m.set_unicode(0x3A06, u"");
            }
            EXPECT_TRUE(w->add_message(folder, std::move(m)).ok);
        }
        EXPECT_TRUE(w->finish().ok);
        return out;
    };
    const std::vector<uint8_t> held = write(false);
    const std::vector<uint8_t> viewed = write(true);
    EXPECT_TRUE(held == viewed) << "sizes " << held.size() << " and " << viewed.size();
    EXPECT_EQ(pstcheck::join(pstcheck::check_bytes(viewed)), "");
}

} // namespace
