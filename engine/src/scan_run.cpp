#include "engine/scan_run.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "contacts/contact_store.h"
#include "engine/autocomplete_cards.h"
#include "engine/export_handle.h"
#include "engine/pause_gate.h"
#include "group_scan.h"
#include "other_sources.h"
#include "pst/little_endian.h"

namespace engine {

namespace {

constexpr char16_t kExportPath[] = u".export"; // size 8 with its terminator
constexpr size_t kExportPathSize = sizeof(kExportPath) / sizeof(char16_t);

bool stopped(PauseGate* gate)
{
    return gate != nullptr && gate->aborted();
}

// An .nk2 or Stream_Autocomplete_*.dat file: its rows are the cards, whatever the sources.
ScanResult scan_autocomplete(ScanSession& session, const std::string& path_utf8, contacts::ContactStore& store,
                             ScanListener& listener, PauseGate* gate)
{
    ScanResult result;
    AutocompleteCards cards;
    const bool read = scan_autocomplete_file(path_utf8, session.options.fallback_codepage, store, listener, &cards);
    if (gate != nullptr) {
        gate->end_run();
    }
    result.groups = std::make_shared<const contacts::ContactGroups>();
    result.contacts = cards.cards;
    result.autocomplete = cards.cards;
    result.skipped = cards.damage.empty() ? 0 : 1;
    result.outcome = !read                 ? ScanOutcome::OpenFailed
                     : cards.out_of_memory ? ScanOutcome::WalkFailed
                                           : ScanOutcome::Done;
    return result;
}

} // namespace

std::string_view outcome_name(ScanOutcome outcome)
{
    switch (outcome) {
    case ScanOutcome::Done:
        return "done";
    case ScanOutcome::NotPst:
        return "not a PST file";
    case ScanOutcome::OpenFailed:
        return "could not open";
    case ScanOutcome::WalkFailed:
        return "walk failed";
    case ScanOutcome::Stopped:
        return "stopped";
    case ScanOutcome::Protected:
        return "protected file";
    }
    return "unknown";
}

HeaderCheck check_pst_header(const std::string& path_utf8, bool read_offline, std::string* why)
{
    auto refuse = [&](HeaderCheck check, std::string reason) {
        if (why != nullptr) {
            *why = std::move(reason);
        }
        return check;
    };
    // Read with the system's calls: a folder opens like a file, and only the read says what it is.
    const int fd = ::open(path_utf8.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return refuse(HeaderCheck::Unreadable, path_utf8 + ": " + std::strerror(errno));
    }
    char header[10] = {};
    size_t got = 0;
    int error = 0;
    while (got < sizeof header) {
        const ssize_t n = ::read(fd, header + got, sizeof header - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (error != 0) {
        return refuse(HeaderCheck::Unreadable, path_utf8 + ": " + std::strerror(error));
    }
    if (got < sizeof header) {
        return refuse(HeaderCheck::NoSignature,
                      "not a personal folder file: " + std::to_string(got) + " bytes are too few for a header");
    }
    if (std::memcmp(header, "!BDN", 4) != 0) {
        return refuse(HeaderCheck::NoSignature, "not a personal folder file (no !BDN signature)");
    }
    const bool pst = header[8] == 'S' && header[9] == 'M';
    const bool offline = header[8] == 'S' && header[9] == 'O';
    return pst || (offline && read_offline) ? HeaderCheck::Pst : HeaderCheck::NotPst;
}

int file_version(const std::string& path_utf8)
{
    std::ifstream in(path_utf8, std::ios::binary);
    unsigned char header[12] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (!in || in.gcount() != static_cast<std::streamsize>(sizeof header)) {
        return -1;
    }
    return pst::get16(header + 10);
}

void ScanSession::release()
{
    source.reset();
    if (export_handle != nullptr) {
        export_handle_free(&export_handle, nullptr);
    }
}

ScanSession::~ScanSession()
{
    release();
}

ScanResult scan_run(ScanSession& session, const std::string& path_utf8, contacts::ContactStore& store,
                    ScanListener& listener, PauseGate* gate)
{
    session.m_contact_count = 0;
    session.m_stopped = false;
    listener.scan_started();

    // The previous run's file and export handle, in this order. What is left over is released,
    // also when an earlier set-up step had failed.
    session.release();

    // Set-up: without an export handle there is no export path, and the file is not opened.
    ScanResult result;
    const bool have_path = export_handle_initialize(&session.export_handle, nullptr) == 1;

    // Open, after the header check on the first ten bytes and the version check on the next two.
    result.outcome = ScanOutcome::OpenFailed;
    if (!have_path) {
        result.reason = "out of memory";
    } else {
        const HeaderCheck header = check_pst_header(path_utf8, session.options.offline, &result.reason);
        if (header == HeaderCheck::NoSignature && is_autocomplete_file(path_utf8)) {
            result = scan_autocomplete(session, path_utf8, store, listener, gate);
            session.m_contact_count = result.contacts;
            return result;
        }
        if (header == HeaderCheck::NotPst) {
            result.outcome = ScanOutcome::NotPst;
        } else if (header == HeaderCheck::Pst && file_version(path_utf8) == kProtectedVersion) {
            result.outcome = ScanOutcome::Protected;
        } else if (header == HeaderCheck::Pst) {
            pst::Status why;
            session.source = PstSource::open(path_utf8, session.options, &why);
            result.reason = std::move(why.message);
        }
    }
    if (!session.source) {
        if (gate != nullptr) {
            gate->end_run();
        }
        if (stopped(gate)) {
            session.m_stopped = true;
            result.outcome = ScanOutcome::Stopped;
            result.reason.clear();
        }
        return result;
    }

    export_handle_t* handle = session.export_handle;
    handle->listener = &listener;
    handle->gate = gate;
    handle->store = &store;
    handle->contact_count = 0;
    handle->skipped_count = 0;
    handle->fallback_codepage = session.options.fallback_codepage;
    // The file among the store's sources; its folders become places as they give contacts.
    handle->source_file = store.sources().add_file(path_utf8);
    handle->folder.clear();
    handle->place = contacts::kNoPlace;
    GroupScan groups;
    handle->groups = &groups;
    // Without the contact items among the sources the walk is left out: only the other sources
    // give cards.
    const bool read_contacts = session.options.sources.has(Source::contacts);
    const int walked =
        read_contacts ? export_handle_export_items(handle, session.source.get(), kExportPath, kExportPathSize, nullptr)
                      : 1;
    handle->groups = nullptr; // the groups are those of the live folders
    result.groups = std::make_shared<const contacts::ContactGroups>(groups.resolve());
    session.m_contact_count = handle->contact_count;
    result.contacts = handle->contact_count;
    result.skipped = handle->skipped_count;
    // Beyond the live folders, once they are in the store: it never changes what the walk found.
    handle->number_of_orphan_items = 0;
    handle->number_of_recovered_items = 0;
    handle->number_of_exported_orphan_items = 0;
    handle->number_of_exported_recovered_items = 0;
    handle->place = contacts::kNoPlace; // what follows lies outside the folders
    if (walked == 1 && read_contacts && session.options.recovery && !stopped(gate)) {
        result.recovery_failed = export_handle_export_extras(handle, session.source.get()) != 1;
        result.orphans = handle->number_of_exported_orphan_items;
        result.recovered = handle->number_of_exported_recovered_items;
    }
    if (walked == 1 && session.options.sources.beyond_contacts() && !stopped(gate)) {
        read_other_sources(*session.source, handle->source_file, store, listener, gate, &result);
    }
    handle->listener = nullptr;
    handle->gate = nullptr;
    handle->store = nullptr;
    if (gate != nullptr) {
        gate->end_run(); // no checkpoint follows: a Stop from now on finds the scan finished
    }
    if (stopped(gate)) {
        session.m_stopped = true;
        result.outcome = ScanOutcome::Stopped;
    } else {
        result.outcome = walked == 1 ? ScanOutcome::Done : ScanOutcome::WalkFailed;
    }
    return result;
}

} // namespace engine
