#include "engine/pause_gate.h"

namespace engine {

void PauseGate::begin_run()
{
    std::lock_guard lock(m_mutex);
    m_running = true;
    m_abort = false;
    m_pause_requested = false;
    m_parked = false;
    m_changed.notify_all();
}

void PauseGate::end_run()
{
    std::lock_guard lock(m_mutex);
    m_running = false;
    m_parked = false;
    m_changed.notify_all();
}

bool PauseGate::begin_next_run()
{
    std::lock_guard lock(m_mutex);
    if (m_abort) {
        return false;
    }
    m_running = true;
    m_parked = false;
    m_changed.notify_all();
    return true;
}

bool PauseGate::checkpoint()
{
    std::unique_lock lock(m_mutex);
    if (m_pause_requested && !m_abort) {
        m_parked = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_pause_requested || m_abort; });
        m_parked = false;
        m_changed.notify_all();
    }
    return m_abort;
}

bool PauseGate::wait_parked(std::unique_lock<std::mutex>& lock, const std::chrono::steady_clock::time_point* deadline)
{
    if (!m_running) {
        m_pause_requested = false;
        return false;
    }
    m_pause_requested = true;
    const auto settled = [this] { return m_parked || !m_running; };
    if (deadline != nullptr) {
        if (!m_changed.wait_until(lock, *deadline, settled)) {
            return false;
        }
    } else {
        m_changed.wait(lock, settled);
    }
    if (!m_parked) {
        m_pause_requested = false;
        return false;
    }
    return true;
}

bool PauseGate::pause_and_wait()
{
    std::unique_lock lock(m_mutex);
    return wait_parked(lock, nullptr);
}

bool PauseGate::pause_and_wait_for(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_mutex);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    return wait_parked(lock, &deadline);
}

void PauseGate::request_pause()
{
    std::lock_guard lock(m_mutex);
    m_pause_requested = true;
    m_changed.notify_all();
}

void PauseGate::resume()
{
    std::lock_guard lock(m_mutex);
    m_pause_requested = false;
    m_changed.notify_all();
}

void PauseGate::abort()
{
    std::lock_guard lock(m_mutex);
    m_abort = true;
    m_pause_requested = false;
    m_changed.notify_all();
}

bool PauseGate::running() const
{
    std::lock_guard lock(m_mutex);
    return m_running;
}

bool PauseGate::pause_requested() const
{
    std::lock_guard lock(m_mutex);
    return m_pause_requested;
}

bool PauseGate::parked() const
{
    std::lock_guard lock(m_mutex);
    return m_parked;
}

bool PauseGate::aborted() const
{
    std::lock_guard lock(m_mutex);
    return m_abort;
}

} // namespace engine
