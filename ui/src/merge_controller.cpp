#include "ui/merge_controller.h"

#include <new>

namespace ui {

MergeController::MergeController(const contacts::ContactStore& store, QObject* parent) : QObject(parent), m_store(store)
{
}

MergeController::~MergeController()
{
    end();
}

void MergeController::start(Purpose purpose, merge::MergeOptions options, bool held)
{
    end();
    m_purpose = purpose;
    m_result.reset();
    m_gate.begin_run();
    if (held)
        m_gate.request_pause();
    m_worker.start([this, options = std::move(options)](WorkerThread::Epoch epoch) mutable {
        options.checkpoint = [this] { return m_gate.checkpoint(); };
        options.progress = m_worker.percent_poster(epoch, [this](int percent) { emit progress(percent); });
        std::shared_ptr<merge::StoreMerge> merged;
        try {
            merged = merge::merge_store(m_store, {}, nullptr, options);
        } catch (const std::bad_alloc&) {
            merged.reset();
        }
        m_gate.end_run();
        if (merged && merged->result.stopped)
            return; // ended: end() dropped the epoch, nothing more is said
        m_worker.post(epoch, [this, merged] {
            m_worker.finish();
            m_result = merged ? std::make_unique<merge::StoreMerge>(std::move(*merged)) : nullptr;
            emit finished();
        });
    });
}

void MergeController::end()
{
    m_worker.drop();
    if (m_worker.busy())
        m_gate.abort();
    m_worker.stop();
}

} // namespace ui
