// Failures are reported with a reason and leave nothing behind: missing directory, no
// permission, a full disk (a sink that fails after N bytes), the size limit, misuse.
#include "pstcheck/check.h"
#include "support.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pst_test;

namespace {

// A sink that accepts `limit` bytes and then fails like a full disk (or with `reason`).
class FailingSink : public pst::Sink
{
public:
    FailingSink(uint64_t limit, std::string reason, bool fail_flush = false)
        : m_limit(limit), m_reason(std::move(reason)), m_fail_flush(fail_flush)
    {
    }
    pst::Status write_at(uint64_t, const void*, size_t size) override
    {
        if (m_written + size > m_limit)
            return pst::Status::failure(m_reason);
        m_written += size;
        return pst::Status::success();
    }
    pst::Status flush() override { return m_fail_flush ? pst::Status::failure(m_reason) : pst::Status::success(); }

private:
    uint64_t m_limit;
    uint64_t m_written = 0;
    std::string m_reason;
    bool m_fail_flush;
};

pst::Message small_contact(int i)
{
    pst::Message m(u"IPM.Contact");
    m.set_unicode(0x3001, u"Contact " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)));
    m.set_binary(0x3A0C, pattern_bytes(1000, static_cast<uint8_t>(i)));
    return m;
}

// Runs a writer of 200 contacts into `sink`; returns the first failure.
pst::Status write_into(std::unique_ptr<pst::Sink> sink)
{
    auto w = pst::Writer::create(std::move(sink), pst::WriterOptions{});
    auto folder = w->add_folder(w->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
    for (int i = 0; i < 200; ++i) {
        pst::Status st = w->add_message(folder, small_contact(i));
        if (!st)
            return st;
    }
    return w->finish();
}

} // namespace

// The sink fails at different points: while messages stream out, while the B-trees and maps
// are written, on the header, on the final flush. Every failure comes back with its reason.
TEST(PstFailure, FailingSinkIsReportedWherever)
{
    std::vector<uint8_t> full;
    {
        auto w = pst::Writer::create(std::make_unique<pst::MemorySink>(&full), pst::WriterOptions{});
        auto folder = w->add_folder(w->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
        for (int i = 0; i < 200; ++i)
            ASSERT_TRUE(w->add_message(folder, small_contact(i)).ok);
        ASSERT_TRUE(w->finish().ok);
    }
    const uint64_t limits[] = {0, 1, 100, 8192, 100000, full.size() / 2, full.size() - 0x4200, full.size() - 1};
    for (uint64_t limit : limits) {
        pst::Status st = write_into(std::make_unique<FailingSink>(limit, "No space left on device"));
        EXPECT_FALSE(st.ok) << limit;
        EXPECT_EQ(st.message, "No space left on device") << limit;
    }
    pst::Status st = write_into(std::make_unique<FailingSink>(UINT64_MAX, "Permission denied", true));
    EXPECT_FALSE(st.ok);
    EXPECT_EQ(st.message, "Permission denied");
    EXPECT_TRUE(write_into(std::make_unique<FailingSink>(UINT64_MAX, "")).ok);
}

TEST(PstFailure, WriterRefusesMoreWorkAfterAFailure)
{
    auto w = pst::Writer::create(std::make_unique<FailingSink>(50000, "No space left on device"), {});
    auto folder = w->add_folder(w->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
    pst::Status st;
    int i = 0;
    while (st.ok && i < 5000)
        st = w->add_message(folder, small_contact(i++));
    ASSERT_FALSE(st.ok);
    EXPECT_FALSE(w->add_message(folder, small_contact(0)).ok);
    EXPECT_EQ(w->add_folder(folder, u"More", u"IPF.Note"), 0u);
    st = w->finish();
    EXPECT_FALSE(st.ok);
    EXPECT_EQ(st.message, "No space left on device");
}

TEST(PstFailure, MissingDirectory)
{
    TempDir dir;
    std::string path = dir.file("no/such/dir/out.pst");
    pst::Status st;
    auto w = pst::Writer::create(path, pst::WriterOptions{}, &st);
    EXPECT_FALSE(w);
    EXPECT_FALSE(st.ok);
    EXPECT_EQ(st.message, "No such file or directory: " + path);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(PstFailure, ReadOnlyDirectory)
{
    TempDir dir;
    std::string ro = dir.file("ro");
    std::filesystem::create_directory(ro);
    ::chmod(ro.c_str(), 0555);
    if (::access(ro.c_str(), W_OK) == 0)
        GTEST_SKIP() << "running with rights that ignore directory permissions (root); the failing sink "
                        "covers the no-permission path";
    pst::Status st;
    auto w = pst::Writer::create(ro + "/out.pst", pst::WriterOptions{}, &st);
    EXPECT_FALSE(w);
    EXPECT_EQ(st.message, "Permission denied: " + ro + "/out.pst");
    EXPECT_TRUE(std::filesystem::is_empty(ro));
}

// Nothing is left beside the target when a writer is abandoned or fails, and an existing
// target is replaced only by a complete file.
TEST(PstFailure, NoTemporaryFileIsLeftBehind)
{
    TempDir dir;
    std::string path = dir.file("out.pst");
    {
        std::ofstream(path) << "previous content";
    }
    {
        pst::Status st;
        auto w = pst::Writer::create(path, pst::WriterOptions{}, &st);
        ASSERT_TRUE(w) << st.message;
        auto folder = w->add_folder(w->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
        ASSERT_TRUE(w->add_message(folder, small_contact(1)).ok);
        EXPECT_EQ(dir.entries().size(), 2u) << "the temporary file is beside the target";
        // Destroyed without finish().
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.pst"});
    EXPECT_EQ(read_file(path).size(), 16u) << "the old file is untouched";

    pst::WriterOptions small;
    small.size_limit = 0x4400 + 253952;
    pst::Status st;
    auto w = pst::Writer::create(path, small, &st);
    ASSERT_TRUE(w);
    auto folder = w->add_folder(w->top_of_personal_folders(), u"Big", u"IPF.Note");
    pst::Message big(u"IPM.Note");
    big.set_binary(0x1013, pattern_bytes(300000, 1));
    st = w->add_message(folder, big);
    EXPECT_FALSE(st.ok);
    EXPECT_EQ(st.message, "The PST file would exceed the size limit");
    EXPECT_FALSE(w->finish().ok);
    w.reset();
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.pst"});
    EXPECT_EQ(read_file(path).size(), 16u);

    write_pst(path, [](pst::Writer&) {});
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.pst"});
    EXPECT_EQ(check_problems(path), "");
}

TEST(PstFailure, MisuseIsRefused)
{
    std::vector<uint8_t> out;
    auto w = pst::Writer::create(std::make_unique<pst::MemorySink>(&out), pst::WriterOptions{});
    EXPECT_FALSE(w->add_message(12345, small_contact(0)).ok) << "unknown folder";
    EXPECT_EQ(w->add_folder(12345, u"x", u""), 0u);
    pst::Message wrong(u"IPM.Note");
    wrong.set({pst::PropertyName::tag(0x0037)}, {pst::PropType::Unicode, int32_t{5}});
    EXPECT_FALSE(w->add_message(w->top_of_personal_folders(), wrong).ok) << "value of the wrong alternative";
    EXPECT_TRUE(w->add_message(w->top_of_personal_folders(), small_contact(0)).ok) << "the writer goes on";
    EXPECT_TRUE(w->finish().ok);
    EXPECT_EQ(pstcheck::join(pstcheck::check_bytes(out)), "");
    EXPECT_FALSE(w->finish().ok);
    EXPECT_FALSE(w->add_message(w->top_of_personal_folders(), small_contact(0)).ok);
    EXPECT_EQ(w->add_folder(w->top_of_personal_folders(), u"late", u""), 0u);
}
