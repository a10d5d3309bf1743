// The scan's observer on the window side: every effect is posted to the window's thread.
// Rows and the progress position are coalesced, one pending hand-over at a time.
#pragma once

#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "engine/scan_observer.h"

namespace ui {

class CPelimoorDlg;

class WindowObserver : public engine::ScanObserver
{
public:
    explicit WindowObserver(CPelimoorDlg* dialog) : m_dialog(dialog) {}

    // Scan thread.
    void set_progress(int position) override;
    void contact_found(const contacts::ContactRecord& record) override;
    void show_status_page(engine::StatusPage page, int contact_count) override;
    void show_message(const std::u16string& text, const std::u16string& caption, engine::MessageIcon icon) override;
    void set_enabled(int id, bool enabled) override;
    void run_file_selection() override;
    // Posts `effect` to the window's thread; it runs there unless the epoch changed since.
    void post(std::function<void()> effect);

    // Window thread.
    // The rows found since the last call, oldest first, and the newest progress position.
    std::vector<const contacts::ContactRecord*> takeRows(int& progress);
    // Drops everything posted so far (rows, pages, enables): a new epoch begins.
    void newEpoch();
    std::uint64_t epoch() const { return m_epoch.load(); }
    // Lets message waits return at once from now on (the window is going away or joining).
    void release();
    // Message waits block again (a new scan starts).
    void rearm();
    // Whether the scan thread is blocked waiting for the window.
    bool waitingOnWindow() const { return m_waiting.load(); }

private:
    void scheduleFlushLocked();

    CPelimoorDlg* m_dialog;
    std::atomic<std::uint64_t> m_epoch{0};
    std::atomic<bool> m_waiting{false};

    std::mutex m_mutex;
    std::condition_variable m_answered;
    bool m_released = false;
    std::uint64_t m_messagesAnswered = 0;
    std::vector<const contacts::ContactRecord*> m_rows;
    int m_progress = 0;
    bool m_flushScheduled = false;
};

} // namespace ui
