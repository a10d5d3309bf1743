// The window's conversion worker: one save thread at a time, its pause gate and its progress.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "contacts/conversion.h"
#include "engine/pause_gate.h"
#include "ui/duplicates_view.h"
#include "ui/worker_thread.h"

namespace ui {

class SaveController : public QObject
{
    Q_OBJECT
public:
    // `store` must outlive the controller and must not be cleared while a save runs.
    explicit SaveController(const contacts::ContactStore& store, QObject* parent = nullptr);
    // Ends the save (end()).
    ~SaveController() override;

    // Converts every contact of the store (or only `selection`, when not empty) to `format` in a
    // new folder under `destination`.
    // `choices`: the vCard version and CSV layout; `exchangeMap` (may be empty) builds the SMTP
    // addresses of Exchange DNs from the scanned file, on the save's thread, when needed.
    // `merge`: the cards of one person are made one first (merge/merge.h, phone numbers read in
    // the locale's region) and merge-report.csv goes into the output folder; `review`: the pairs
    // the user chose to merge ("Possible duplicates"), merged too, and those the user kept apart,
    // which the report says so of. `held`: the save parks at its first checkpoint until Stop
    // (pause(), then resume() or end()) decides; for tests.
    void start(contacts::Format format, const std::string& destination,
               std::vector<const contacts::ContactRecord*> selection = {}, contacts::OutputChoices choices = {},
               std::function<contacts::ExchangeMap()> exchangeMap = {},
               std::shared_ptr<const contacts::ContactGroups> groups = {}, bool merge = false,
               ReviewChoices review = {}, bool held = false);
    // Groups the last save that finished wrote (window thread, after finished()).
    int64_t groupsWritten() const { return m_groupsWritten; }
    // The merge's closing line of the last save that finished ("N contacts from K files: M
    // written, D merged, H pairs held for review"); empty without a merge (window thread).
    const QString& mergeSummary() const { return m_mergeSummary; }
    bool running() const { return m_worker.running(); }
    // Whether the save's end has not been delivered yet (window thread only).
    bool busy() const { return m_worker.busy(); }
    // Parks the save at a checkpoint; false when it has finished (or is not running).
    bool pause() { return m_gate.pause_and_wait(); }
    void resume() { m_gate.resume(); }
    // Ends the save for good (it writes nothing more; the contacts written stay, in whole files
    // under their names) and joins the thread; finished() still follows, with the outcome
    // Stopped (unless the save had completed first).
    void end();

signals:
    // Percent done, sent when it changes.
    void progress(int percent);
    // The save returned; the thread is joined. Not sent for a save superseded by a new start().
    void finished(contacts::ConversionOutcome outcome, const QString& reason);

private:
    const contacts::ContactStore& m_store;
    engine::PauseGate m_gate;
    int64_t m_groupsWritten = 0; // window thread only
    QString m_mergeSummary;      // window thread only
    // Its epoch ends only with the next start(): a save that was ended still reports it.
    WorkerThread m_worker{this};
};

} // namespace ui
