#include "window_observer.h"

#include "platform/environment.h"
#include "ui/main_dialog.h"

#include <QMetaObject>
#include <QString>

namespace ui {
namespace {

QMessageBox::Icon boxIcon(engine::MessageIcon icon)
{
    switch (icon) {
    case engine::MessageIcon::Question:
        return QMessageBox::Question;
    case engine::MessageIcon::Error:
        return QMessageBox::Critical;
    case engine::MessageIcon::Information:
        break;
    }
    return QMessageBox::Information;
}

QString toQString(const std::u16string& text)
{
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

void WindowObserver::post(std::function<void()> effect)
{
    QMetaObject::invokeMethod(
        m_dialog,
        [this, epoch = m_epoch.load(), effect = std::move(effect)] {
            if (epoch == m_epoch.load())
                effect();
        },
        Qt::QueuedConnection);
}

void WindowObserver::scheduleFlushLocked()
{
    if (m_flushScheduled)
        return;
    m_flushScheduled = true;
    post([dialog = m_dialog] { dialog->scheduleScanFlush(); });
}

void WindowObserver::set_progress(int position)
{
    std::lock_guard lock(m_mutex);
    if (m_progress == position)
        return;
    m_progress = position;
    scheduleFlushLocked();
}

void WindowObserver::contact_found(const contacts::ContactRecord& record)
{
    std::lock_guard lock(m_mutex);
    m_rows.push_back(&record);
    scheduleFlushLocked();
}

std::vector<const contacts::ContactRecord*> WindowObserver::takeRows(int& progress)
{
    std::lock_guard lock(m_mutex);
    m_flushScheduled = false;
    progress = m_progress;
    std::vector<const contacts::ContactRecord*> rows;
    rows.swap(m_rows);
    return rows;
}

void WindowObserver::show_status_page(engine::StatusPage page, int contact_count)
{
    post([dialog = m_dialog, page, contact_count] { dialog->showScanPage(page, contact_count); });
}

void WindowObserver::show_message(const std::u16string& text, const std::u16string& caption, engine::MessageIcon icon)
{
    std::unique_lock lock(m_mutex);
    if (m_released)
        return;
    const std::uint64_t ticket = m_messagesAnswered;
    platform::MessageRequest request{toQString(text), toQString(caption), boxIcon(icon), QMessageBox::Ok};
    post([this, request] {
        platform::environment().showMessage(nullptr, request);
        std::lock_guard answered(m_mutex);
        ++m_messagesAnswered;
        m_answered.notify_all();
    });
    m_waiting.store(true);
    m_answered.wait(lock, [&] { return m_released || m_messagesAnswered > ticket; });
    m_waiting.store(false);
}

void WindowObserver::set_enabled(int id, bool enabled)
{
    post([dialog = m_dialog, id, enabled] { dialog->setControlEnabled(id, enabled); });
}

void WindowObserver::run_file_selection()
{
    post([dialog = m_dialog] { dialog->ChooseFile(); });
}

void WindowObserver::newEpoch()
{
    std::lock_guard lock(m_mutex);
    m_epoch.fetch_add(1);
    m_rows.clear();
    m_progress = 0;
    m_flushScheduled = false;
}

void WindowObserver::release()
{
    std::lock_guard lock(m_mutex);
    m_released = true;
    m_answered.notify_all();
}

void WindowObserver::rearm()
{
    std::lock_guard lock(m_mutex);
    m_released = false;
}

} // namespace ui
