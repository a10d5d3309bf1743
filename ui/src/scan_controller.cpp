#include "ui/scan_controller.h"

#include <QCoreApplication>
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

    // Notices of the scan thread carry the epoch of its run.
    void begin(WorkerThread::Epoch epoch)
    {
        std::lock_guard lock(m_mutex);
        m_epoch = epoch;
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
        owner->m_worker.post(m_epoch, [owner] { emit owner->rowsPending(); });
    }

    ScanController& m_owner;
    std::mutex m_mutex;
    std::vector<const contacts::ContactRecord*> m_rows;
    int m_progress = 0;
    bool m_noticed = false;
    WorkerThread::Epoch m_epoch = 0;
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
    m_gate.begin_run();
    if (held)
        m_gate.request_pause();
    m_worker.start([this, path](WorkerThread::Epoch epoch) {
        m_listener->begin(epoch);
        const engine::ScanResult result = engine::scan_run(m_session, path, m_store, *m_listener, &m_gate);
        m_worker.post(epoch, [this, result] {
            m_worker.finish();
            emit finished(result);
        });
    });
}

bool ScanController::pause()
{
    // The scan may still be opening its file: keep painting, take no input meanwhile.
    while (m_worker.running()) {
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
    m_worker.drop();
    if (m_worker.busy())
        m_gate.abort();
    m_worker.stop();
    m_listener->reset();
}

std::vector<const contacts::ContactRecord*> ScanController::takeRows(int& progress)
{
    return m_listener->take(progress);
}

} // namespace ui
