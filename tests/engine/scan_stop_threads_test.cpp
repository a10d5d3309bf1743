// Stopping a scan through its pause gate, on a real file.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "contacts/contact_store.h"
#include "engine/pause_gate.h"
#include "engine/scan_run.h"
#include "realfiles/real_files.h"
#include "recording_observer.h"

namespace {

// Stop: the scan parks at a checkpoint; No lets it finish, Yes ends it with nothing more reported.
TEST(ScanStopThreads, StopParksTheScanAndYesEndsItSilently)
{
    REAL_FILE_OR_SKIP(kSample, "sample-contacts.pst");
    for (const bool confirm : {false, true}) {
        engine::PauseGate gate;
        contacts::ContactStore store;
        engine::ScanSession session;
        enginetest::ParkAtContact observer(gate, 2);
        engine::ScanResult result;
        gate.begin_run();
        std::thread scan([&] { result = engine::scan_run(session, kSample, store, observer, &gate); });
        while (!observer.reached.load()) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(gate.pause_and_wait());
        EXPECT_EQ(store.size(), 2); // parked between contacts: nothing half-done
        if (confirm) {
            gate.abort();
        } else {
            gate.resume();
        }
        scan.join();
        if (confirm) {
            EXPECT_EQ(result.outcome, engine::ScanOutcome::Stopped);
            EXPECT_TRUE(session.stopped());
            EXPECT_EQ(observer.events.back(), "contact 2 ");
            EXPECT_EQ(store.size(), 2);
        } else {
            EXPECT_EQ(result.outcome, engine::ScanOutcome::Done);
            EXPECT_EQ(result.contacts, 6);
            EXPECT_FALSE(session.stopped());
            EXPECT_EQ(store.size(), 6);
        }
        EXPECT_FALSE(gate.running());
    }
}

} // namespace
