#include "ui/worker_thread.h"

namespace ui {

WorkerThread::Epoch WorkerThread::start(std::function<void(Epoch)> work)
{
    stop();
    const Epoch epoch = ++m_epoch;
    m_running = true;
    m_thread = std::thread([this, epoch, work = std::move(work)] {
        work(epoch);
        m_running = false;
    });
    return epoch;
}

void WorkerThread::stop()
{
    if (m_thread.joinable())
        m_thread.join();
    m_running = false;
}

} // namespace ui
