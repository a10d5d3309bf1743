#include "ui/save_controller.h"

#include "merge/merge.h"

namespace ui {

SaveController::SaveController(const contacts::ContactStore& store, QObject* parent) : QObject(parent), m_store(store)
{
    qRegisterMetaType<contacts::ConversionOutcome>();
}

SaveController::~SaveController()
{
    end();
}

void SaveController::start(contacts::Format format, const std::string& destination,
                           std::vector<const contacts::ContactRecord*> selection, contacts::OutputChoices choices,
                           std::function<contacts::ExchangeMap()> exchangeMap,
                           std::shared_ptr<const contacts::ContactGroups> groups, bool merge, ReviewChoices review,
                           bool held)
{
    end();
    m_gate.begin_run();
    if (held)
        m_gate.request_pause();
    m_worker.start([this, format, destination, choices, exchangeMap = std::move(exchangeMap),
                    groups = std::move(groups), selection = std::move(selection), merge,
                    review = std::move(review)](WorkerThread::Epoch epoch) mutable {
        contacts::ConversionOptions options;
        options.choices = choices;
        options.exchange_map = std::move(exchangeMap);
        options.groups = groups.get();
        std::unique_ptr<merge::StoreMerge> merged;
        if (merge) {
            merge::MergeOptions mergeOptions{merge::region_of_locale(), std::move(review.merged)};
            mergeOptions.user_kept.assign(review.kept.begin(), review.kept.end());
            // Stop parks the merge of a large store too; ended there, nothing is written.
            mergeOptions.checkpoint = [this] { return m_gate.checkpoint(); };
            merged = merge::merge_store(m_store, selection, groups.get(), mergeOptions);
            if (merged->result.stopped) {
                m_gate.end_run();
                m_worker.post(epoch, [this] {
                    m_worker.finish();
                    m_groupsWritten = 0;
                    m_mergeSummary.clear();
                    emit finished(contacts::ConversionOutcome::Stopped, QString());
                });
                return;
            }
            options.selection = merged->result.records;
            options.groups = &merged->groups;
        } else {
            options.selection = std::move(selection);
        }
        options.checkpoint = [this] { return m_gate.checkpoint(); };
        options.progress = m_worker.percent_poster(epoch, [this](int percent) { emit progress(percent); });
        contacts::ConversionResult result = contacts::convert_contacts(m_store, format, destination, options);
        QString summary;
        if (merged && result.ok()) {
            std::string why;
            if (merge::write_merge_report(*merged, result.folder, &why)) {
                summary = QString::fromStdString(merge::merge_summary(*merged));
            } else {
                result.outcome = contacts::ConversionOutcome::Failed;
                result.reason = why;
            }
        }
        m_gate.end_run();
        m_worker.post(epoch, [this, outcome = result.outcome, reason = QString::fromStdString(result.reason),
                              groups = result.groups_written, summary] {
            m_worker.finish();
            m_groupsWritten = groups;
            m_mergeSummary = summary;
            emit finished(outcome, reason);
        });
    });
}

void SaveController::end()
{
    if (m_worker.busy())
        m_gate.abort();
    m_worker.stop();
}

} // namespace ui
