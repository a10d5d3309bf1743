#pragma once
// One thread beside the caller's for a share of a merge step's work. The share asks halting()
// to end early. The thread is joined on every path: finish() joins it and throws again what the
// share threw; the destructor joins it too (halting), so an exception on the caller's side never
// leaves it running. When the system gives no thread, start() says so and the caller works the
// share itself.
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

namespace merge::detail {

class HelperThread
{
public:
    HelperThread() = default;
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;
    ~HelperThread() { join(true); }

    // Runs `share()` on a new thread; false, and nothing started, when no thread can be made.
    template <typename Share> bool start(Share share)
    {
        try {
            m_thread = std::thread([this, share = std::move(share)]() mutable {
                try {
                    share();
                } catch (...) {
                    m_error = std::current_exception();
                }
                m_over.store(true, std::memory_order_release);
            });
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    bool started() const { return m_thread.joinable(); }
    bool halting() const { return m_halt.load(std::memory_order_relaxed); }
    bool over() const { return m_over.load(std::memory_order_acquire); }

    // Waits for the share, told to end first when `halt`, and throws what it threw.
    void finish(bool halt)
    {
        join(halt);
        if (m_error) {
            std::rethrow_exception(std::exchange(m_error, nullptr));
        }
    }

private:
    void join(bool halt)
    {
        if (m_thread.joinable()) {
            m_halt.store(halt, std::memory_order_relaxed);
            m_thread.join();
        }
    }

    std::thread m_thread;
    std::atomic<bool> m_halt{false};
    std::atomic<bool> m_over{false};
    std::exception_ptr m_error; // written by the thread before it ends, read after the join
};

} // namespace merge::detail
