// The controllers' worker thread: which posts reach the owner's thread, and how a run is ended.
#include "ui/worker_thread.h"

#include <QCoreApplication>
#include <QTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using ui::WorkerThread;

namespace {

// What happens between a run's post and the owner's next turn of its event loop.
enum class Between
{
    nothing,
    drop,
    restart,
    ownerGone,
};

struct PostCase
{
    const char* name;
    Between between;
    bool delivered;
};

constexpr PostCase kPostCases[] = {
    {"the run's own epoch", Between::nothing, true},
    {"dropped", Between::drop, false},
    {"a new run started", Between::restart, false},
    {"the owner destroyed", Between::ownerGone, false},
};

} // namespace

class WorkerTest : public QObject
{
    Q_OBJECT
private slots:
    void postsReachTheOwnerOnlyInTheirEpoch()
    {
        for (const PostCase& c : kPostCases) {
            auto owner = std::make_unique<QObject>();
            WorkerThread worker(owner.get());
            int delivered = 0;
            const WorkerThread::Epoch epoch =
                worker.start([&](WorkerThread::Epoch e) { worker.post(e, [&] { ++delivered; }); });
            worker.stop();
            QVERIFY2(worker.current(epoch), c.name);
            switch (c.between) {
            case Between::nothing:
                break;
            case Between::drop:
                worker.drop();
                break;
            case Between::restart:
                QVERIFY2(worker.start([](WorkerThread::Epoch) {}) != epoch, c.name);
                worker.stop();
                break;
            case Between::ownerGone:
                owner.reset();
                break;
            }
            QCoreApplication::sendPostedEvents();
            QVERIFY2(delivered == (c.delivered ? 1 : 0), c.name);
        }
    }

    // A run that polls current() returns once its epoch is dropped; stop() then joins it.
    void dropEndsARunThatPolls()
    {
        QObject owner;
        WorkerThread worker(&owner);
        std::atomic<bool> sawDrop{false};
        worker.start([&](WorkerThread::Epoch e) {
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (worker.current(e) && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::yield();
            sawDrop = !worker.current(e);
        });
        QVERIFY(worker.running());
        QVERIFY(worker.busy());
        worker.drop();
        worker.stop();
        QVERIFY(sawDrop.load());
        QVERIFY(!worker.running());
        QVERIFY(!worker.busy());
    }

    // The run's last post joins its thread on the owner's side; the work has returned by then.
    void lastPostJoinsTheThread()
    {
        QObject owner;
        WorkerThread worker(&owner);
        bool wasRunning = true;
        worker.start([&](WorkerThread::Epoch e) {
            worker.post(e, [&] {
                worker.finish();
                wasRunning = worker.running();
            });
        });
        QTRY_VERIFY_WITH_TIMEOUT(!worker.busy(), 10000);
        QVERIFY(!wasRunning);
    }
};

QTEST_GUILESS_MAIN(WorkerTest)
#include "worker_test.moc"
