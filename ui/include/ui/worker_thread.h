// One worker thread of a window controller (the scan, the save, the list fill) and the way what
// it reports reaches the window's thread.
//
// The rules, the same for every controller:
// - start() runs the work on a new thread and opens a new epoch; the work is handed its epoch.
//   It joins the previous run's thread first, whose work must have been made to return.
// - post() queues an effect on the owner's thread (the window's). It runs there only while the
//   epoch it carries is still the current one: a later start() or a drop() discards it, and it
//   never runs once the owner is destroyed.
// - drop() ends the current epoch without a new run: nothing the run posted and was not yet
//   delivered arrives, and current() turns false, which a run may poll to return early.
// - stop() joins the thread; whoever calls it has made the work return first (ended its pause
//   gate, dropped its epoch). finish() joins a thread that has returned, from the run's last post.
// - running(): the work has not returned yet (any thread). busy(): the thread has not been
//   joined yet (owner's thread only).
// All members but post(), current() and running() belong to the owner's thread.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>

namespace ui {

class WorkerThread
{
public:
    using Epoch = std::uint64_t;

    // Posts are delivered on `owner`'s thread and dropped once it is destroyed.
    explicit WorkerThread(QObject* owner) : m_owner(owner) {}
    // Joins a thread still there; its owner has made the work return first.
    ~WorkerThread() { stop(); }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Joins the previous thread, then runs `work(epoch)` on a new one; returns the new epoch.
    Epoch start(std::function<void(Epoch)> work);
    // Ends the current epoch (see above).
    void drop() { ++m_epoch; }
    // Joins the thread, if any, and leaves the state "not running".
    void stop();
    // Joins the thread of a run that has returned (or is returning); for the run's last post.
    void finish() { stop(); }

    bool current(Epoch epoch) const { return epoch == m_epoch.load(); }
    // The current epoch: that of the last run started, unless dropped since.
    Epoch epoch() const { return m_epoch.load(); }
    bool running() const { return m_running.load(); }
    bool busy() const { return m_thread.joinable(); }

    // Runs `effect` on the owner's thread if `epoch` is still current then.
    template <typename Effect> void post(Epoch epoch, Effect effect) const
    {
        QMetaObject::invokeMethod(
            m_owner,
            [this, epoch, effect = std::move(effect)]() mutable {
                if (current(epoch))
                    effect();
            },
            Qt::QueuedConnection);
    }

    // A progress callback for the run of `epoch` (called on its thread): (done, total) becomes a
    // percentage (100 when total is 0), and `show(percent)` is posted only when it changes.
    template <typename Show>
    std::function<void(std::int64_t, std::int64_t)> percent_poster(Epoch epoch, Show show) const
    {
        return [this, epoch, show = std::move(show), shown = -1](std::int64_t done, std::int64_t total) mutable {
            const int percent = total > 0 ? int(done * 100 / total) : 100;
            if (percent != shown) {
                shown = percent;
                post(epoch, [show, percent] { show(percent); });
            }
        };
    }

private:
    QObject* m_owner;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<Epoch> m_epoch{0};
};

} // namespace ui
