// Our reader reads a large folder's messages ahead of the walk on a second thread. Whatever the
// file holds, the scan reports the same with the read-ahead as without it, and a scan paused or
// stopped in the middle of a folder ends at once.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "contacts/contact_store.h"
#include "engine/pause_gate.h"
#include "engine/scan_run.h"
#include "recording_observer.h"
#include "test_files.h"

namespace {

using enginetest::RecordingObserver;

struct Report
{
    engine::ScanOutcome outcome;
    std::vector<std::string> events, details;
};

Report scan(const std::string& path, bool read_ahead)
{
    contacts::ContactStore store;
    engine::ScanSession session;
    session.options.read_ahead = read_ahead;
    RecordingObserver observer;
    const engine::ScanOutcome outcome = engine::scan_run(session, path, store, observer).outcome;
    return {outcome, observer.events, observer.details};
}

// Three folders of 60 contacts among other items, some with photos; then copies of it with bytes
// changed at random in the part that holds the items (contacts, tables, B-tree pages) and node
// ids changed in the node B-tree, so that rows name missing nodes, property contexts do not read,
// photos break, tables end early.
TEST(ReadAheadThreads, ScansTheSameWithAndWithoutIt)
{
    testfiles::TempDir dir;
    fixture::ContactsOptions options = fixture::ContactsOptions::of(180, 3, 120, 5);
    options.photos = 6;
    const std::string intact = dir.file("intact.pst");
    ASSERT_TRUE(fixture::write_contacts(intact, options).ok);
    const std::string bytes = testfiles::read_bytes(intact);

    const Report whole = scan(intact, true);
    ASSERT_EQ(whole.outcome, engine::ScanOutcome::Done);
    EXPECT_EQ(std::count_if(whole.events.begin(), whole.events.end(),
                            [](const std::string& e) { return e.rfind("contact ", 0) == 0; }),
              180);

    // The leaf pages of the node B-tree (512-byte pages: type 0x81 twice at 496, level 0 at 491),
    // where a changed node id leaves a contents-table row naming no child.
    std::vector<size_t> node_leaves;
    for (size_t page = 0x4400; page + 512 <= bytes.size(); page += 512) {
        if (static_cast<uint8_t>(bytes[page + 496]) == 0x81 && static_cast<uint8_t>(bytes[page + 497]) == 0x81 &&
            bytes[page + 491] == 0) {
            node_leaves.push_back(page);
        }
    }
    ASSERT_FALSE(node_leaves.empty());

    std::mt19937_64 random(7);
    for (int copy = 0; copy < 32; ++copy) {
        std::string damaged = bytes;
        if (copy % 4 == 0) {
            const size_t page = node_leaves[random() % node_leaves.size()];
            const size_t entries = static_cast<uint8_t>(damaged[page + 488]);
            damaged[page + 32 * (random() % std::max<size_t>(entries, 1)) + 1] ^= 0x40;
        }
        for (int i = 0; i < 6; ++i) {
            const size_t at = 0x4400 + random() % (damaged.size() - 0x4400);
            damaged[at] = static_cast<char>(damaged[at] ^ (1 + random() % 255));
        }
        const std::string path = dir.file("damaged-" + std::to_string(copy) + ".pst");
        testfiles::write_bytes(path, damaged);
        const Report ahead = scan(path, true), direct = scan(path, false);
        EXPECT_EQ(ahead.outcome, direct.outcome) << "copy " << copy;
        EXPECT_EQ(ahead.events, direct.events) << "copy " << copy;
        EXPECT_EQ(ahead.details, direct.details) << "copy " << copy;
    }
}

// Every value of every record, for comparing whole stores.
std::vector<std::u16string> store_values(const contacts::ContactStore& store)
{
    std::vector<std::u16string> values;
    for (const contacts::ContactRecord* r = store.first(); r != nullptr; r = r->next()) {
        std::u16string v;
        for (size_t i = 0; i < contacts::kFieldCount; ++i) {
            const auto text = r->text(static_cast<contacts::Field>(i));
            v += text ? u"=" + std::u16string(*text) + u"|" : u"-|";
        }
        const contacts::PhotoView photo = r->photo();
        for (const int n : {r->kind_code(), r->number(), int{r->gender()}, static_cast<int>(r->origin()),
                            static_cast<int>(photo.type), static_cast<int>(photo.bytes.size())}) {
            v += std::u16string(1, u'#') + static_cast<char16_t>(n & 0xFFFF) + static_cast<char16_t>(n >> 16);
        }
        v.append(photo.bytes.begin(), photo.bytes.end());
        v.append(r->identity().begin(), r->identity().end());
        v += r->exchange();
        values.push_back(std::move(v));
    }
    return values;
}

// Rows pass through the ring many times over, and their buffers are handed from row to row:
// in folders of many more contacts than the ring holds, with photos (some larger than the room a
// buffer keeps) and lists among them, each record holds what the scan without the read-ahead
// finds, nothing left over from a row before it.
TEST(ReadAheadThreads, WholeRecordsTheSameThroughLongFolders)
{
    testfiles::TempDir dir;
    fixture::ContactsOptions options = fixture::ContactsOptions::of(1500, 2, 300, 11);
    options.photos = 120;
    const std::string path = dir.file("long.pst");
    ASSERT_TRUE(fixture::write_contacts(path, options).ok);
    std::vector<std::u16string> found[2];
    for (const bool read_ahead : {false, true}) {
        contacts::ContactStore store;
        engine::ScanSession session;
        session.options.read_ahead = read_ahead;
        RecordingObserver observer;
        ASSERT_EQ(engine::scan_run(session, path, store, observer).outcome, engine::ScanOutcome::Done);
        found[read_ahead] = store_values(store);
        if (read_ahead) {
            size_t large = 0; // photos larger than the room a buffer keeps
            for (const contacts::ContactRecord* r = store.first(); r != nullptr; r = r->next()) {
                large += r->photo().bytes.size() > contacts::ContactDraft::kKeptBytes ? 1 : 0;
            }
            EXPECT_GT(large, 0u);
        }
    }
    ASSERT_EQ(found[true].size(), 1500u);
    for (size_t i = 0; i < found[true].size(); ++i) {
        EXPECT_EQ(found[true][i], found[false][i]) << "record " << i;
    }
}

TEST(ReadAheadThreads, PausedOrStoppedInAFolderItEndsCleanly)
{
    testfiles::TempDir dir;
    const std::string path = dir.file("many.pst");
    ASSERT_TRUE(fixture::write_contacts(path, fixture::ContactsOptions::of(300, 2, 0, 3)).ok);
    for (const bool stop : {false, true}) {
        engine::PauseGate gate;
        contacts::ContactStore store;
        engine::ScanSession session;
        enginetest::ParkAtContact observer(gate, 10); // in the middle of the first folder
        engine::ScanResult result;
        gate.begin_run();
        std::thread run([&] { result = engine::scan_run(session, path, store, observer, &gate); });
        while (!observer.reached.load()) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(gate.pause_and_wait());
        EXPECT_EQ(store.size(), 10);
        if (stop) {
            gate.abort();
        } else {
            gate.resume();
        }
        run.join();
        EXPECT_EQ(result.outcome, stop ? engine::ScanOutcome::Stopped : engine::ScanOutcome::Done);
        EXPECT_EQ(store.size(), stop ? 10 : 300);
    }
}

} // namespace
