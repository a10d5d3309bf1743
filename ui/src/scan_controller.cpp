#include "ui/scan_controller.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <chrono>
#include <mutex>

#include "engine/scan_events.h"

namespace ui {

// Scan-thread side: rows and progress are kept under a lock and handed over in batches, with
// one pending notice at a time.
class ScanController::Listener : public engine::ScanListener
{
public:
    explicit Listener(ScanController& owner) : m_owner(owner) {}

    void progress(int position) override
    {
        std::lock_guard lock(m_mutex);
        if (m_progress == position)
            return;
        m_progress = position;
        noticeLocked();
    }
    void contact_added(const contacts::ContactRecord& record) override
    {
        std::lock_guard lock(m_mutex);
        m_rows.push_back(&record);
        noticeLocked();
    }

    std::vector<const contacts::ContactRecord*> take(int& progress)
    {
        std::lock_guard lock(m_mutex);
        m_noticed = false;
        progress = m_progress;
        std::vector<const contacts::ContactRecord*> rows;
        rows.swap(m_rows);
        return rows;
    }
    void reset()
    {
        std::lock_guard lock(m_mutex);
        m_rows.clear();
        m_progress = 0;
        m_noticed = false;
    }

private:
    void noticeLocked()
    {
        if (m_noticed)
            return;
        m_noticed = true;
        ScanController* owner = &m_owner;
        QMetaObject::invokeMethod(
            owner,
            [owner, epoch = owner->m_epoch.load()] {
                if (epoch == owner->m_epoch.load())
                    emit owner->rowsPending();
            },
            Qt::QueuedConnection);
    }

    ScanController& m_owner;
    std::mutex m_mutex;
    std::vector<const contacts::ContactRecord*> m_rows;
    int m_progress = 0;
    bool m_noticed = false;
};

ScanController::ScanController(contacts::ContactStore& store, QObject* parent)
    : QObject(parent), m_store(store), m_listener(std::make_unique<Listener>(*this))
{
    qRegisterMetaType<engine::ScanResult>();
}

ScanController::~ScanController()
{
    end();
}

void ScanController::start(const std::string& path, bool held)
{
    end();
    m_path = path;
    const std::uint64_t epoch = m_epoch.load();
    m_running = true;
    m_gate.begin_run();
    if (held)
        m_gate.request_pause();
    m_thread = std::thread([this, path, epoch] {
        const engine::ScanResult result = engine::scan_run(m_session, path, m_store, *m_listener, &m_gate);
        m_running = false;
        QMetaObject::invokeMethod(
            this,
            [this, epoch, result] {
                if (epoch != m_epoch.load())
                    return;
                join();
                emit finished(result);
            },
            Qt::QueuedConnection);
    });
}

bool ScanController::pause()
{
    // The scan may still be opening its file: keep painting, take no input meanwhile.
    while (m_running.load()) {
        if (m_gate.pause_and_wait_for(std::chrono::milliseconds(20)))
            return true;
        if (!m_gate.running())
            break;
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    }
    m_gate.resume();
    return false;
}

void ScanController::resume()
{
    m_gate.resume();
}

void ScanController::end()
{
    ++m_epoch;
    if (m_thread.joinable()) {
        m_gate.abort();
        m_thread.join();
    }
    m_running = false;
    m_listener->reset();
}

void ScanController::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

std::vector<const contacts::ContactRecord*> ScanController::takeRows(int& progress)
{
    return m_listener->take(progress);
}

} // namespace ui
