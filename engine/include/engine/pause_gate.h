// Cooperative pause and stop for a worker (the scan, a conversion).
//
// The worker calls checkpoint() wherever it may safely stop: between items, holding no libpff
// item of a pending child, no store link and no list state. The controlling thread (the
// window's) asks for a pause, waits until the worker is parked there or has finished, and then
// either resumes it or aborts it.
//
//   worker:   gate.begin_run(); ... if (gate.checkpoint()) return; ... gate.end_run();
//   window:   if (gate.pause_and_wait()) { ask the user; yes ? gate.abort() : gate.resume(); }
//
// Thread-safe. No Qt.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace engine {

class PauseGate
{
public:
    PauseGate() = default;
    PauseGate(const PauseGate&) = delete;
    PauseGate& operator=(const PauseGate&) = delete;

    // Worker side. Marks the start of a run: clears a previous abort and any pause request.
    void begin_run();
    // Marks the end of a run (normal or aborted); wakes a pause_and_wait() caller.
    void end_run();
    // Begins the run of the next part of one job (the next file of a scan of several), after
    // end_run() ended the part before: unlike begin_run() it keeps an abort, and returns false
    // (starting nothing) when the job was aborted.
    bool begin_next_run();
    // Parks here while a pause is requested. Returns true when the run must end (abort()
    // was called, now or earlier), false to go on.
    bool checkpoint();

    // Controller side. Requests a pause and blocks until the worker is parked at a checkpoint
    // (returns true) or is not running (returns false; the request is withdrawn).
    bool pause_and_wait();
    // The same with a time limit; returns false also when the worker has not parked in time
    // (the request then stays pending: call resume() to withdraw it).
    bool pause_and_wait_for(std::chrono::milliseconds limit);
    // Requests a pause without waiting: the worker parks at its next checkpoint.
    void request_pause();
    // Releases a parked worker (or withdraws a pending request); it goes on where it was.
    void resume();
    // Asks the run to end and releases a parked worker; its next checkpoint() returns true.
    void abort();

    bool running() const;
    bool pause_requested() const;
    bool parked() const;
    bool aborted() const;

private:
    bool wait_parked(std::unique_lock<std::mutex>& lock, const std::chrono::steady_clock::time_point* deadline);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_running = false;
    bool m_pause_requested = false;
    bool m_parked = false;
    bool m_abort = false;
};

} // namespace engine
