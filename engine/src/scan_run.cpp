#include "engine/scan_run.h"

#include <cstring>
#include <fstream>
#include <string>

#include "contacts/contact_store.h"
#include "engine/pause_gate.h"
#include "engine/scan_observer.h"

namespace engine {

namespace {

constexpr char16_t kExportPath[] = u".export"; // size 8 with its terminator
constexpr size_t kExportPathSize = sizeof(kExportPath) / sizeof(char16_t);
constexpr char16_t kNoPath[] = u"";
constexpr uint8_t kExportFormat = 'a';

bool stopped(PauseGate* gate)
{
    return gate != nullptr && gate->aborted();
}

void message(ScanObserver& observer, std::u16string_view text, std::u16string_view caption)
{
    observer.show_message(std::u16string(text), std::u16string(caption), MessageIcon::Information);
}

} // namespace

HeaderCheck check_pst_header(const std::string& path_utf8)
{
    std::ifstream in(path_utf8, std::ios::binary);
    if (!in) {
        return HeaderCheck::Unreadable;
    }
    char header[10] = {};
    in.read(header, sizeof header);
    if (in.bad()) {
        return HeaderCheck::Unreadable;
    }
    if (in.gcount() < static_cast<std::streamsize>(sizeof header) || std::memcmp(header, "!BDN", 4) != 0) {
        return HeaderCheck::NoSignature;
    }
    return header[8] == 'S' && header[9] == 'M' ? HeaderCheck::Pst : HeaderCheck::NotPst;
}

void ScanSession::release()
{
    source.reset();
    if (export_handle != nullptr) {
        export_handle_free(&export_handle, nullptr);
    }
    if (log_handle != nullptr) {
        log_handle_close(log_handle, nullptr);
        log_handle_free(&log_handle, nullptr);
    }
}

ScanSession::~ScanSession()
{
    release();
}

int scan_run(ScanSession& session, const std::string& path_utf8, contacts::ContactStore& store, ScanObserver& observer,
             PauseGate* gate)
{
    session.m_contact_count = 0;
    session.m_stopped = false;
    observer.set_enabled(kScanButton, false);
    observer.show_status_page(StatusPage::Started, 0);

    // The previous run's handles, in the order file, export handle, log handle. Each handle
    // left over is released, also when an earlier set-up step had failed.
    session.release();

    // Set-up: without a log or export handle there is no export path, and the walk fails.
    bool have_path = true;
    if (log_handle_initialize(&session.log_handle, nullptr) != 1) {
        have_path = false;
    } else if (log_handle_open(session.log_handle, nullptr, nullptr) != 1) {
        log_handle_free(&session.log_handle, nullptr);
        have_path = false;
    } else if (export_handle_initialize(&session.export_handle, kExportModeItems, nullptr) != 1) {
        log_handle_close(session.log_handle, nullptr);
        log_handle_free(&session.log_handle, nullptr);
        have_path = false;
    }

    // Open, after the header check on the first ten bytes.
    bool opened = false;
    if (have_path) {
        const HeaderCheck header = check_pst_header(path_utf8);
        if (header == HeaderCheck::NotPst) {
            message(observer, kMessageNotPst, kCaptionNotPst);
            session.m_invalid_file = 1;
        } else if (header == HeaderCheck::Pst) {
            std::string why;
            session.source = PstSource::open(path_utf8, session.options, &why);
            opened = session.source != nullptr;
        }
    }
    if (!opened && gate != nullptr) {
        gate->end_run();
    }
    if (!opened && stopped(gate)) {
        session.m_stopped = true;
        return 0;
    }
    if (!opened) {
        if (session.m_invalid_file != 1) {
            message(observer, kMessageOpenFailed, kCaption);
        }
        session.m_invalid_file = 0;
        observer.run_file_selection();
        return 0;
    }

    int walked = -1;
    if (have_path && session.export_handle != nullptr) {
        export_handle_t* handle = session.export_handle;
        handle->observer = &observer;
        handle->gate = gate;
        handle->store = &store;
        handle->contact_count = 0;
        handle->fallback_codepage = session.options.fallback_codepage;
        walked = export_handle_export_items(handle, session.source.get(), kExportPath, kExportPathSize, kNoPath, 1,
                                            kNoPath, 1, kExportFormat, session.log_handle, nullptr);
        session.m_contact_count = handle->contact_count;
        handle->observer = nullptr;
        handle->gate = nullptr;
        handle->store = nullptr;
    }
    if (gate != nullptr) {
        gate->end_run(); // no checkpoint follows: a Stop from now on finds the scan finished
    }
    if (stopped(gate)) {
        session.m_stopped = true;
        return 0;
    }
    if (walked != 1) {
        message(observer, kMessageScanFailed, kCaption);
        observer.run_file_selection();
        return 0;
    }
    observer.show_status_page(StatusPage::Done, session.m_contact_count);
    observer.set_progress(0);
    message(observer, kMessageCompleted, kCaption);
    for (int id : {kConvertButton, kBrowseButton, kMenuFileConvert, kFolderTree}) {
        observer.set_enabled(id, true);
    }
    return 1;
}

} // namespace engine
