// The window's scan worker: one scan thread at a time over the window's store, its pause gate,
// and the hand-over of what the scan finds to the window's thread. A scan reads one file or
// several, one after another into the store, under one progress position and one pause gate.
#pragma once

#include <QObject>
#include <memory>
#include <string>
#include <vector>

#include "engine/pause_gate.h"
#include "engine/pst_source.h"
#include "engine/scan_run.h"
#include "ui/worker_thread.h"

namespace contacts {
class ContactRecord;
class ContactStore;
} // namespace contacts

namespace ui {

class ScanController : public QObject
{
    Q_OBJECT
public:
    // `store` must outlive the controller.
    explicit ScanController(contacts::ContactStore& store, QObject* parent = nullptr);
    // Ends the scan (end()).
    ~ScanController() override;

    // The reader and fallback code page of the scans to come.
    void setSourceOptions(const engine::SourceOptions& options) { m_session.options = options; }
    const engine::SourceOptions& sourceOptions() const { return m_session.options; }
    // The files of the last scan started (none before the first).
    const std::vector<std::string>& paths() const { return m_paths; }

    // Starts a scan of `paths` (one or more, read in their order) on a new thread (a previous one
    // is joined first). `held`: the scan parks at its first checkpoint until pause()/resume() or
    // end() decide (for tests).
    void start(const std::vector<std::string>& paths, bool held = false);

    // A file of the last scan that could not be read, and how its scan ended.
    struct RefusedFile
    {
        std::string path;
        engine::ScanOutcome outcome;
        std::string reason; // what the header check or the reader found, when it said
    };
    // Of the last scan that finished() reported; in the order of the files.
    const std::vector<RefusedFile>& refused() const { return m_refused; }
    // Whether a scan thread is working (it has not returned from the scan yet).
    bool running() const { return m_worker.running(); }
    // Whether the scan's end has not been delivered yet (window thread only): its thread is
    // joined when finished() is emitted or the scan is ended.
    bool busy() const { return m_worker.busy(); }
    // Parks the scan at a checkpoint, painting the window meanwhile. Returns false when the scan
    // has left its walk (or is not running) and so cannot be parked.
    bool pause();
    // Lets a parked scan go on.
    void resume();
    // Ends the scan for good and joins its thread; nothing it reported but not yet delivered
    // arrives afterwards (no rows, no finished()).
    void end();

    // The rows found since the last call, oldest first, and the newest progress position.
    std::vector<const contacts::ContactRecord*> takeRows(int& progress);

signals:
    // Rows or a progress position wait for takeRows(); sent once until they are taken.
    void rowsPending();
    // The scan returned; the thread is joined. Not sent for a scan ended by end(). With several
    // files, `result` is of them all: Done when at least one was read (refused() names the others),
    // its counts and groups summed up; else the outcome of the last file.
    void finished(const engine::ScanResult& result);

private:
    class Listener;

    // The scan thread's: scans every file, returns the result of them all.
    engine::ScanResult scanAll(const std::vector<std::string>& paths, std::vector<RefusedFile>& refused);

    contacts::ContactStore& m_store;
    engine::ScanSession m_session;
    std::vector<std::string> m_paths;
    std::vector<RefusedFile> m_refused; // set on the window's thread as finished() is emitted
    engine::PauseGate m_gate;
    std::unique_ptr<Listener> m_listener;
    // end() drops the scan's epoch: what it reported but not yet delivered never arrives.
    WorkerThread m_worker{this};
};

} // namespace ui

Q_DECLARE_METATYPE(engine::ScanResult)
