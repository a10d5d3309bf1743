#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/pause_gate.h"

namespace {

using engine::PauseGate;
using namespace std::chrono_literals;

// A worker that passes checkpoints until told to end; counts its steps.
struct Worker
{
    PauseGate& gate;
    std::atomic<long> steps{0};
    std::atomic<bool> ended_by_abort{false};
    std::thread thread;

    explicit Worker(PauseGate& g) : gate(g)
    {
        gate.begin_run();
        thread = std::thread([this] {
            while (!gate.checkpoint()) {
                steps.fetch_add(1);
                std::this_thread::yield();
            }
            ended_by_abort = true;
            gate.end_run();
        });
    }
};

TEST(PauseGateThreads, PauseParksResumeGoesOnAbortEnds)
{
    PauseGate gate;
    Worker w(gate);
    ASSERT_TRUE(gate.pause_and_wait());
    EXPECT_TRUE(gate.parked());
    const long parked_at = w.steps.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(w.steps.load(), parked_at); // parked means no progress

    gate.resume();
    while (w.steps.load() < parked_at + 10) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(gate.pause_and_wait());
    gate.abort();
    w.thread.join();
    EXPECT_TRUE(w.ended_by_abort);
    EXPECT_TRUE(gate.aborted());
    EXPECT_FALSE(gate.running());
}

TEST(PauseGateThreads, PauseOfAFinishedRunReturnsAtOnce)
{
    PauseGate gate;
    EXPECT_FALSE(gate.pause_and_wait()); // nothing running
    gate.begin_run();
    std::thread t([&] { gate.end_run(); });
    t.join();
    EXPECT_FALSE(gate.pause_and_wait());
    EXPECT_FALSE(gate.checkpoint()); // the request was withdrawn: a later checkpoint does not park
}

TEST(PauseGateThreads, TimedPauseGivesUpWhileTheWorkerIsBusy)
{
    PauseGate gate;
    gate.begin_run();
    std::atomic<bool> release{false};
    std::thread busy([&] {
        while (!release.load()) {
            std::this_thread::sleep_for(1ms); // a long step without checkpoint
        }
        gate.checkpoint();
        gate.end_run();
    });
    EXPECT_FALSE(gate.pause_and_wait_for(20ms));
    gate.resume(); // withdraw the pending request
    release = true;
    busy.join();
    EXPECT_FALSE(gate.parked());
}

TEST(PauseGateThreads, AbortBeforeTheFirstCheckpointEndsTheRun)
{
    PauseGate gate;
    gate.begin_run();
    gate.abort();
    std::thread t([&] { EXPECT_TRUE(gate.checkpoint()); });
    t.join();
    gate.begin_run(); // a new run starts clean
    EXPECT_FALSE(gate.checkpoint());
}

// A job in parts (the files of one scan): the next part begins under the same gate unless the
// job was aborted, before or between the parts; begin_run, a new job, forgets an abort.
TEST(PauseGateThreads, NextPartOfAJobKeepsAnAbort)
{
    const struct
    {
        bool abort_in_part;
        bool abort_between;
        bool next_begins;
    } cases[] = {{false, false, true}, {true, false, false}, {false, true, false}};
    for (const auto& c : cases) {
        PauseGate gate;
        gate.begin_run();
        if (c.abort_in_part)
            gate.abort();
        gate.end_run();
        if (c.abort_between)
            gate.abort();
        EXPECT_EQ(gate.begin_next_run(), c.next_begins);
        EXPECT_EQ(gate.running(), c.next_begins);
        EXPECT_EQ(gate.aborted(), !c.next_begins);
        if (c.next_begins) {
            // A Stop in the second part parks it as in the first.
            std::thread part([&gate] {
                while (!gate.checkpoint())
                    std::this_thread::yield();
                gate.end_run();
            });
            EXPECT_TRUE(gate.pause_and_wait_for(10s));
            gate.abort();
            part.join();
            EXPECT_FALSE(gate.begin_next_run());
        }
        gate.begin_run();
        EXPECT_FALSE(gate.aborted());
    }
}

} // namespace
