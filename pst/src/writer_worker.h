// A thread of the writer's own that runs one kind of work on the items handed to it, in the order
// they came, a batch at a time (one hand-over per batch, not per item). The queue is bounded: the
// thread that hands over waits while it is full, so memory stays bounded when the work is slower
// than what feeds it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace pst::detail {

template <typename Item> class Worker
{
public:
    // `work` runs on the worker's thread, once per item, in order. It must not throw.
    Worker(std::size_t batch_size, std::size_t max_batches, std::function<void(Item&)> work)
        : m_batch_size(batch_size), m_max_batches(max_batches), m_work(std::move(work)), m_thread([this] { run(); })
    {
        m_batch.reserve(m_batch_size);
    }

    // Finishes every item handed over, then stops the thread.
    ~Worker()
    {
        drain();
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void push(Item&& item)
    {
        m_batch.push_back(std::move(item));
        if (m_batch.size() >= m_batch_size)
            hand_over();
    }

    // Hands over what was pushed and waits until the worker has done all of it.
    void drain()
    {
        hand_over();
        std::unique_lock lock(m_mutex);
        ++m_feeders_waiting;
        m_idle.wait(lock, [this] { return m_queue.empty() && !m_busy; });
        --m_feeders_waiting;
    }

private:
    void hand_over()
    {
        if (m_batch.empty())
            return;
        bool wake = false;
        {
            std::unique_lock lock(m_mutex);
            if (m_queue.size() >= m_max_batches) {
                ++m_feeders_waiting;
                m_idle.wait(lock, [this] { return m_queue.size() < m_max_batches; });
                --m_feeders_waiting;
            }
            m_queue.push_back(std::move(m_batch));
            wake = m_worker_waiting;
        }
        if (wake)
            m_wake.notify_one();
        m_batch = {};
        m_batch.reserve(m_batch_size);
    }

    void run()
    {
        // The condition variables are signalled only when the other side waits on them: the
        // hand-over of a batch usually costs a lock and no system call.
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_worker_waiting = true;
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            m_worker_waiting = false;
            if (m_queue.empty())
                return; // stopping, and nothing left
            std::vector<Item> batch = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
            const bool room = m_feeders_waiting > 0;
            lock.unlock();
            if (room)
                m_idle.notify_all(); // room in the queue
            for (Item& item : batch)
                m_work(item);
            batch.clear();
            lock.lock();
            m_busy = false;
            if (m_queue.empty() && m_feeders_waiting > 0)
                m_idle.notify_all();
        }
    }

    const std::size_t m_batch_size;
    const std::size_t m_max_batches;
    std::function<void(Item&)> m_work;
    std::vector<Item> m_batch; // the feeding thread's, not yet handed over
    std::mutex m_mutex;
    std::condition_variable m_wake; // items or the stop for the worker
    std::condition_variable m_idle; // room in the queue, or all done, for the feeder
    std::deque<std::vector<Item>> m_queue;
    bool m_busy = false;
    bool m_stopping = false;
    bool m_worker_waiting = false; // the worker sleeps on m_wake
    int m_feeders_waiting = 0;     // threads asleep on m_idle (for room, or for all done)
    std::thread m_thread;          // last: starts when everything above is ready
};

} // namespace pst::detail
