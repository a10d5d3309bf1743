// What a scan does to the window, as calls on an observer.
//
// The engine calls these on the scan thread. The window's implementation posts each effect to
// its own thread and never blocks the scan waiting for it, except where a call says so. The
// converter and the tests implement it directly.
//
// A scan that was stopped through its PauseGate (abort) makes no further call once it has seen
// the abort: no failure message, no file selection, no page.
#pragma once

#include <cstddef>
#include <string>

namespace contacts {
class ContactRecord;
}

namespace engine {

// Control and menu ids the scan run enables or disables.
enum ControlId : int
{
    kFolderTree = 1000,
    kBrowseButton = 1002,
    kScanButton = 1006,
    kConvertButton = 1007,
    kStopButton = 1008,
    kProgressBar = 1009,
    kMenuFileConvert = 32773,
};

enum class StatusPage
{
    Started,
    Done,
    Stopped,
};

enum class MessageIcon
{
    Information,
    Question,
    Error,
};

class ScanObserver
{
public:
    virtual ~ScanObserver() = default;

    // The progress bar position, 0 to 100. Called once per message and twice per sub folder:
    // an implementation should only store the value and repaint at its own pace.
    virtual void set_progress(int position) = 0;
    // A contact was read; its row goes to the top of the list. Called right before the record
    // is appended to the store (no checkpoint lies between the two); the record stays alive
    // until the store is cleared, so the window may keep the pointer.
    virtual void contact_found(const contacts::ContactRecord& record) = 0;
    // Write the status page and show it. `contact_count` is meaningful for StatusPage::Done.
    virtual void show_status_page(StatusPage page, int contact_count) = 0;
    // A message box with one OK button. Returns once the user has closed it (the scan waits).
    virtual void show_message(const std::u16string& text, const std::u16string& caption, MessageIcon icon) = 0;
    // Enable or disable a control or menu item by id.
    virtual void set_enabled(int id, bool enabled) = 0;
    // Run the file selection again (after a failed scan); the window does it on its own thread.
    virtual void run_file_selection() = 0;
    // The walk entered a folder; `target_path` is the folder's target path (".export\\Contacts",
    // UTF-16 with `size` code units including the terminator). Nothing is created under it. For
    // diagnostics and tests; the window ignores it.
    virtual void folder_entered(const char16_t* /*target_path*/, std::size_t /*size*/) {}
};

// An observer that does nothing (for callers that only want the store filled).
class NullScanObserver : public ScanObserver
{
public:
    void set_progress(int) override {}
    void contact_found(const contacts::ContactRecord&) override {}
    void show_status_page(StatusPage, int) override {}
    void show_message(const std::u16string&, const std::u16string&, MessageIcon) override {}
    void set_enabled(int, bool) override {}
    void run_file_selection() override {}
};

} // namespace engine
