#include "ui/scan_controller.h"

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <mutex>

#include "contacts/contact_groups.h"
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
        // One bar for every file: the files before this one count whole.
        const int files = m_files.load(std::memory_order_relaxed);
        position = (m_file.load(std::memory_order_relaxed) * 100 + position) / (files > 0 ? files : 1);
        std::lock_guard lock(m_mutex);
        if (m_progress == position)
            return;
        m_progress = position;
        noticeLocked();
    }
    // The scan thread's: file `index` of `count` begins.
    void setFile(int index, int count)
    {
        m_file.store(index, std::memory_order_relaxed);
        m_files.store(count, std::memory_order_relaxed);
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
    std::atomic<int> m_file{0};
    std::atomic<int> m_files{1};
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

void ScanController::start(const std::vector<std::string>& paths, bool held)
{
    end();
    m_paths = paths;
    m_refused.clear();
    m_gate.begin_run();
    if (held)
        m_gate.request_pause();
    m_worker.start([this, paths](WorkerThread::Epoch epoch) {
        m_listener->begin(epoch);
        std::vector<RefusedFile> refused;
        const engine::ScanResult result = scanAll(paths, refused);
        m_worker.post(epoch, [this, result, refused = std::move(refused)] {
            m_worker.finish();
            m_refused = refused;
            emit finished(result);
        });
    });
}

engine::ScanResult ScanController::scanAll(const std::vector<std::string>& paths, std::vector<RefusedFile>& refused)
{
    engine::ScanResult all;
    contacts::ContactGroups groups;
    bool read = false;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        // The gate's run ends with each file; the next one goes on under it unless Stop ended it.
        if (i > 0 && !m_gate.begin_next_run()) {
            all.outcome = engine::ScanOutcome::Stopped;
            return all;
        }
        m_listener->setFile(static_cast<int>(i), static_cast<int>(paths.size()));
        const engine::ScanResult one = engine::scan_run(m_session, paths[i], m_store, *m_listener, &m_gate);
        if (paths.size() == 1 || one.outcome == engine::ScanOutcome::Stopped)
            return one;
        if (one.outcome != engine::ScanOutcome::Done) {
            refused.push_back({paths[i], one.outcome, one.reason});
            all.outcome = read ? all.outcome : one.outcome;
            continue;
        }
        read = true;
        all.outcome = engine::ScanOutcome::Done;
        all.contacts += one.contacts;
        all.skipped += one.skipped;
        all.orphans += one.orphans;
        all.recovered += one.recovered;
        all.recovery_failed = all.recovery_failed || one.recovery_failed;
        if (one.groups)
            contacts::append_groups(groups, *one.groups);
    }
    all.groups = std::make_shared<const contacts::ContactGroups>(std::move(groups));
    return all;
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
