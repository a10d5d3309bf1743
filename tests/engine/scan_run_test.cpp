// The scan run on real files written by other software, and on copies with damaged headers.
#include <gtest/gtest.h>

#include <algorithm>

#include "contacts/contact_store.h"
#include "engine/scan_run.h"
#include "realfiles/real_files.h"
#include "recording_observer.h"

namespace {

using enginetest::RecordingObserver;
using enginetest::TempDir;

const std::string kSample = realfiles::path("sample-contacts.pst");
const std::string kDistList = realfiles::path("dist-list.pst");
const std::string kAnsi = realfiles::path("ansi-32bit.pst");

using engine::ScanOutcome;

std::vector<std::string> without_contacts(const std::vector<std::string>& events)
{
    std::vector<std::string> out;
    std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                 [](const std::string& e) { return e.rfind("contact ", 0) != 0; });
    return out;
}

class ScanRunReal : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* name : {"sample-contacts.pst", "dist-list.pst", "ansi-32bit.pst"}) {
            REAL_FILE_OR_SKIP(path, name);
        }
    }
};

struct RealFileCase
{
    std::string path;
    int contacts;
};

TEST_F(ScanRunReal, FindsTheContactsOfEachRealFile)
{
    const RealFileCase cases[] = {{kSample, 6}, {kDistList, 1}, {kAnsi, 0}};
    for (const auto& c : cases) {
        contacts::ContactStore store;
        engine::ScanSession session;
        RecordingObserver observer;
        const engine::ScanResult result = engine::scan_run(session, c.path, store, observer);
        EXPECT_EQ(result.outcome, ScanOutcome::Done) << c.path;
        EXPECT_EQ(result.contacts, c.contacts);
        EXPECT_EQ(result.skipped, 0);
        EXPECT_EQ(session.contact_count(), c.contacts);
        EXPECT_EQ(store.size(), c.contacts);
        EXPECT_EQ(without_contacts(observer.events), std::vector<std::string>{"started"}) << c.path;
        EXPECT_EQ(observer.positions.back(), 0);
    }
}

TEST_F(ScanRunReal, SampleContactsReadBackWithTheirFields)
{
    contacts::ContactStore store;
    engine::ScanSession session;
    RecordingObserver observer;
    ASSERT_EQ(engine::scan_run(session, kSample, store, observer).outcome, ScanOutcome::Done);
    const contacts::ContactRecord* margaret = nullptr;
    for (auto* r = store.first(); r != nullptr; r = r->next()) {
        if (r->text(contacts::Field::first_name) == std::u16string_view(u"Margaret")) {
            margaret = r;
        }
        EXPECT_EQ(r->text(contacts::Field::group_name), std::u16string_view(u"All"));
        EXPECT_EQ(r->kind_code(), 7);
    }
    ASSERT_NE(margaret, nullptr);
    EXPECT_EQ(margaret->text(contacts::Field::last_name), std::u16string_view(u"Tolle"));
    EXPECT_EQ(margaret->text(contacts::Field::full_name), std::u16string_view(u"Tolle, Margaret J."));
    EXPECT_EQ(margaret->text(contacts::Field::index_key), std::u16string_view(u"M"));
    EXPECT_EQ(margaret->text(contacts::Field::mileage), margaret->text(contacts::Field::mobile_phone));
    // Rows come before appends: the observer saw every record, in store order.
    int n = 0;
    for (auto* r = store.first(); r != nullptr; r = r->next()) {
        ASSERT_LT(n, static_cast<int>(observer.first_names.size()));
        EXPECT_EQ(observer.first_names[n++], enginetest::utf8(r->text_or_empty(contacts::Field::first_name)));
    }
}

TEST_F(ScanRunReal, SecondScanRestartsTheCountAndContinuesNumbering)
{
    contacts::ContactStore store;
    engine::ScanSession session;
    RecordingObserver first;
    ASSERT_EQ(engine::scan_run(session, kSample, store, first).outcome, ScanOutcome::Done);
    contacts::contact_store_clear(store);
    RecordingObserver second;
    ASSERT_EQ(engine::scan_run(session, kDistList, store, second).outcome, ScanOutcome::Done);
    EXPECT_EQ(session.contact_count(), 1);
    ASSERT_NE(store.first(), nullptr);
    EXPECT_EQ(store.first()->number(), 7);
    EXPECT_EQ(contacts::contact_store_find(store, 7), store.first());
    EXPECT_EQ(contacts::contact_store_find(store, 1), nullptr);
}

// A copy of the sample file with some bytes changed or cut.
std::string damaged_copy(const TempDir& dir, const std::string& name, size_t at, const std::string& bytes,
                         size_t keep = std::string::npos)
{
    std::string data = enginetest::read_bytes(kSample);
    data.replace(at, bytes.size(), bytes);
    data = data.substr(0, keep);
    const std::string path = dir.file(name);
    enginetest::write_bytes(path, data);
    return path;
}

struct HeaderCase
{
    const char* what;
    size_t at;
    std::string bytes;
    size_t keep;
    ScanOutcome outcome;
};

TEST_F(ScanRunReal, HeaderCheckTable)
{
    TempDir dir;
    const HeaderCase cases[] = {
        {"offline folder file", 8, "SO", std::string::npos, ScanOutcome::NotPst},
        {"personal address book", 8, "AB", std::string::npos, ScanOutcome::NotPst},
        {"no signature", 0, "!BDX", std::string::npos, ScanOutcome::OpenFailed},
        {"truncated header", 0, "", 9, ScanOutcome::OpenFailed},
        {"empty file", 0, "", 0, ScanOutcome::OpenFailed},
        {"valid header, body cut off", 0, "", 600, ScanOutcome::WalkFailed},
    };
    for (const auto& c : cases) {
        const std::string path = damaged_copy(dir, std::string(c.what) + ".pst", c.at, c.bytes, c.keep);
        contacts::ContactStore store;
        engine::ScanSession session;
        RecordingObserver observer;
        EXPECT_EQ(engine::scan_run(session, path, store, observer).outcome, c.outcome) << c.what;
        EXPECT_EQ(observer.events, std::vector<std::string>{"started"}) << c.what;
        EXPECT_TRUE(store.empty());
    }
    engine::ScanSession session;
    contacts::ContactStore store;
    RecordingObserver missing;
    EXPECT_EQ(engine::scan_run(session, dir.file("no-such-file.pst"), store, missing).outcome, ScanOutcome::OpenFailed);
    RecordingObserver directory;
    EXPECT_EQ(engine::scan_run(session, dir.path().string(), store, directory).outcome, ScanOutcome::OpenFailed);
}

TEST_F(ScanRunReal, HeaderCheckReadsTheFirstTenBytes)
{
    TempDir dir;
    EXPECT_EQ(engine::check_pst_header(kSample), engine::HeaderCheck::Pst);
    EXPECT_EQ(engine::check_pst_header(damaged_copy(dir, "so.pst", 8, "SO")), engine::HeaderCheck::NotPst);
    EXPECT_EQ(engine::check_pst_header(damaged_copy(dir, "short.pst", 0, "", 9)), engine::HeaderCheck::NoSignature);
    EXPECT_EQ(engine::check_pst_header(dir.file("absent.pst")), engine::HeaderCheck::Unreadable);
}

// A refusal does not stick to the session: a later failed open is an open failure again.
TEST_F(ScanRunReal, RefusedFileThenFailedOpenGivesEachOutcome)
{
    TempDir dir;
    const std::string ost = damaged_copy(dir, "a.ost", 8, "SO");
    const std::string junk = damaged_copy(dir, "junk.pst", 0, "JUNK");
    engine::ScanSession session;
    contacts::ContactStore store;
    const std::pair<std::string, ScanOutcome> steps[] = {
        {ost, ScanOutcome::NotPst}, {junk, ScanOutcome::OpenFailed}, {ost, ScanOutcome::NotPst},
        {ost, ScanOutcome::NotPst}, {junk, ScanOutcome::OpenFailed}, {kSample, ScanOutcome::Done}};
    for (const auto& [path, outcome] : steps) {
        RecordingObserver observer;
        EXPECT_EQ(engine::scan_run(session, path, store, observer).outcome, outcome) << path;
    }
}

} // namespace
