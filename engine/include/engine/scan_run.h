// One scan of a PST file.
//
// scan_run opens the file through the chosen reader (read access), refuses files that are
// not personal folder files, walks it into the store and reports what happened through a
// ScanListener and its result. The window calls it on its scan thread; the converter and the
// tests call it directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/export_handle.h"
#include "engine/pst_source.h"
#include "engine/scan_events.h"

namespace contacts {
class ContactStore;
}

namespace engine {

class PauseGate;

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
    // Whether the last run was ended through its pause gate.
    bool stopped() const { return m_stopped; }

    // The reader and the fallback code page of the next runs (set before scan_run).
    SourceOptions options;

    // For the engine's scan run.
    std::unique_ptr<PstSource> source;
    export_handle_t* export_handle = nullptr;

private:
    friend ScanResult scan_run(ScanSession&, const std::string&, contacts::ContactStore&, ScanListener&, PauseGate*);
    void release();
    int32_t m_contact_count = 0;
    bool m_stopped = false;
};

// Outcome of the header check on the first ten bytes of a file.
enum class HeaderCheck
{
    Pst,         // "!BDN" and content type "SM" ("SO" too when offline folder files are read)
    NotPst,      // "!BDN" but another content type ("SO", "AB", ...)
    NoSignature, // no "!BDN", or fewer than ten bytes
    Unreadable,  // the file cannot be opened or read
};
// `read_offline`: an offline folder file (content type "SO") passes as a PST. `why` (optional)
// receives what was wrong when the result is NoSignature or Unreadable.
HeaderCheck check_pst_header(const std::string& path_utf8, bool read_offline = false, std::string* why = nullptr);
// wVer of a file that passed the header check (-1 when it cannot be read). Version 37 comes from
// Outlook builds that protect data with Windows Information Protection: such a file is refused as
// ScanOutcome::Protected, whatever reader is chosen.
constexpr int kProtectedVersion = 37;
int file_version(const std::string& path_utf8);

// Runs one scan of `path_utf8` into `store` (which the caller has emptied if it wants a fresh
// list; numbering continues either way). A file that opens is added to the store's sources
// (contacts/contact_sources.h), so the records of several scans into one store name their file. Reports scan_started,
// then while walking progress, contact_added, item_skipped and folder_entered, and returns how the run ended with the
// count. `gate` (optional) may park the walk at its checkpoints. The caller calls gate->begin_run() before it starts
// the scan thread (so a Stop pressed during the open finds the run going); scan_run calls gate->end_run() as soon as no
// checkpoint can follow (after the walk or a failed open). A run ended through the gate reports nothing more and
// returns Stopped. Blocks until done.
ScanResult scan_run(ScanSession& session, const std::string& path_utf8, contacts::ContactStore& store,
                    ScanListener& listener, PauseGate* gate = nullptr);

} // namespace engine
