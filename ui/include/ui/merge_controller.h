// The window's merge worker: the merge of every card of the store (merge/merge.h) for the list
// ("Merge duplicates") or for the review of held pairs ("Possible duplicates"), one thread at a
// time, with its progress and Stop. A store of 100,000 cards from several files takes seconds to
// merge: the window stays live meanwhile.
//
// A merge that is ended leaves nothing behind: no progress or finished() arrives after end(), and
// the merge it ended is never handed over.
#pragma once

#include <QObject>
#include <memory>

#include "engine/pause_gate.h"
#include "merge/merge.h"
#include "ui/worker_thread.h"

namespace contacts {
class ContactStore;
} // namespace contacts

namespace ui {

class MergeController : public QObject
{
    Q_OBJECT
public:
    // What the merge is for: the window acts on its result accordingly.
    enum class Purpose
    {
        list,   // the list's merged cards, the user's merged pairs followed
        review, // the pairs the rules alone hold, for "Possible duplicates"
    };

    // `store` must outlive the controller and must not be cleared while a merge runs.
    explicit MergeController(const contacts::ContactStore& store, QObject* parent = nullptr);
    // Ends the merge (end()).
    ~MergeController() override;

    // Merges every card of the store on a new thread (a previous merge is ended first) with
    // `options`' region and user choices; the checkpoint and the progress are the controller's.
    // `held`: the merge parks at its first checkpoint until end() (for tests).
    void start(Purpose purpose, merge::MergeOptions options, bool held = false);
    // The purpose of the last merge started.
    Purpose purpose() const { return m_purpose; }
    // Whether the merge thread is working (any thread).
    bool running() const { return m_worker.running(); }
    // Whether the merge's end has not been delivered yet (window thread only).
    bool busy() const { return m_worker.busy(); }
    // Ends the merge for good and joins its thread; nothing it reported but not yet delivered
    // arrives afterwards.
    void end();
    // The merge finished() announced, once; null when memory ran out during it.
    std::unique_ptr<merge::StoreMerge> take() { return std::move(m_result); }

signals:
    // Percent done, sent when it changes.
    void progress(int percent);
    // The merge returned and its thread is joined; take() hands it over. Not sent for a merge
    // ended by end() or superseded by start().
    void finished();

private:
    const contacts::ContactStore& m_store;
    engine::PauseGate m_gate;
    Purpose m_purpose = Purpose::list;
    std::unique_ptr<merge::StoreMerge> m_result; // window thread only
    WorkerThread m_worker{this};
};

} // namespace ui
