#include "ui/save_controller.h"

#include <QMetaObject>

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
                           std::shared_ptr<const contacts::ContactGroups> groups)
{
    end();
    const std::uint64_t epoch = ++m_epoch;
    m_running = true;
    m_gate.begin_run();
    m_thread = std::thread([this, format, destination, epoch, choices, exchangeMap = std::move(exchangeMap),
                            groups = std::move(groups), selection = std::move(selection)]() mutable {
        // Runs on the window's thread, unless the save was ended or superseded meanwhile.
        const auto post = [this, epoch](auto effect) {
            QMetaObject::invokeMethod(
                this,
                [this, epoch, effect] {
                    if (epoch == m_epoch.load())
                        effect();
                },
                Qt::QueuedConnection);
        };
        contacts::ConversionOptions options;
        options.selection = std::move(selection);
        options.choices = choices;
        options.exchange_map = std::move(exchangeMap);
        options.groups = groups.get();
        options.checkpoint = [this] { return m_gate.checkpoint(); };
        int shown = -1;
        options.progress = [&shown, &post, this](int64_t done, int64_t total) {
            const int percent = total > 0 ? int(done * 100 / total) : 100;
            if (percent != shown) {
                shown = percent;
                post([this, percent] { emit progress(percent); });
            }
        };
        const contacts::ConversionResult result = contacts::convert_contacts(m_store, format, destination, options);
        m_gate.end_run();
        m_running = false;
        post([this, outcome = result.outcome, reason = QString::fromStdString(result.reason),
              groups = result.groups_written] {
            if (m_thread.joinable())
                m_thread.join();
            m_groupsWritten = groups;
            emit finished(outcome, reason);
        });
    });
}

void SaveController::end()
{
    if (m_thread.joinable()) {
        m_gate.abort();
        m_thread.join();
    }
    m_running = false;
}

} // namespace ui
