// One scan of a PST file: the engine side of the window's scan run.
//
// scan_run opens the file through the chosen reader (read access), refuses files that are
// not personal folder files, walks it into the store and reports everything the window shows
// through the observer, in the window's order. The window calls it on its scan thread; the
// converter and the tests call it directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/export_handle.h"
#include "engine/log_handle.h"
#include "engine/pst_source.h"

namespace contacts {
class ContactStore;
}

namespace engine {

class PauseGate;
class ScanObserver;

// Texts of the scan's message boxes.
inline constexpr std::u16string_view kCaption = u"Tressoly Pelimoor";
inline constexpr std::u16string_view kCaptionNotPst = u"Tressoly Pelimoor "; // with its trailing blank
inline constexpr std::u16string_view kMessageNotPst = u"This is not a valid PST File";
inline constexpr std::u16string_view kMessageOpenFailed =
    u"Please check file use in another proess or File is highly corrupted! Please select another file OR "
    u"contact support team..";
inline constexpr std::u16string_view kMessageScanFailed =
    u"Scanning process failed! Please select another file OR contact support team..";
inline constexpr std::u16string_view kMessageCompleted =
    u"Pelimoor Analysis Completed! Now click on Convert button to Export PST Contacts..";

// What a scan keeps from one run to the next (the window keeps one for the process). The
// handles of a run stay open until the next run starts (or the session is destroyed).
class ScanSession
{
public:
    ScanSession() = default;
    ~ScanSession(); // releases the handles of the last run
    ScanSession(const ScanSession&) = delete;
    ScanSession& operator=(const ScanSession&) = delete;

    int32_t contact_count() const { return m_contact_count; }
    int invalid_file_flag() const { return m_invalid_file; }
    // Whether the last run was ended through its pause gate.
    bool stopped() const { return m_stopped; }

    // The reader and the fallback code page of the next runs (set before scan_run).
    SourceOptions options;

    // For the engine's scan run.
    std::unique_ptr<PstSource> source;
    export_handle_t* export_handle = nullptr;
    log_handle_t* log_handle = nullptr;

private:
    friend int scan_run(ScanSession&, const std::string&, contacts::ContactStore&, ScanObserver&, PauseGate*);
    void release();
    int32_t m_contact_count = 0;
    int m_invalid_file = 0;
    bool m_stopped = false;
};

// Outcome of the header check on the first ten bytes of a file.
enum class HeaderCheck
{
    Pst,         // "!BDN" and content type "SM"
    NotPst,      // "!BDN" but another content type ("SO", "AB", ...)
    NoSignature, // no "!BDN", or fewer than ten bytes
    Unreadable,  // the file cannot be opened or read
};
HeaderCheck check_pst_header(const std::string& path_utf8);

// Runs one scan of `path_utf8` into `store` (which the caller has emptied if it wants a fresh
// list; numbering continues either way). Calls on `observer`, in order: disable Scan, the
// started page, ... then on success the done page with the count, progress 0, the completion
// message (waits for it), and enables Convert, Browse, File > Convert and the tree.
// On failure: one message ("This is not a valid PST File", the open failure text or the scan
// failure text) and run_file_selection().
// `gate` (optional) may park the walk at its abort tests. The caller calls gate->begin_run()
// before it starts the scan thread (so a Stop pressed during the open finds the run going);
// scan_run calls gate->end_run() as soon as no checkpoint can follow (after the walk or a
// failed open), before its closing observer calls. A run ended through the gate makes no
// further observer call and returns 0 (session.stopped() is then true).
// Returns 1 when the walk succeeded, 0 otherwise (failed or stopped). Blocks until done.
int scan_run(ScanSession& session, const std::string& path_utf8, contacts::ContactStore& store, ScanObserver& observer,
             PauseGate* gate = nullptr);

} // namespace engine
