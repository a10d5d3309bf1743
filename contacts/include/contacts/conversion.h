// The conversion job: every contact of the store into one output format, in a new folder.
//
// Called from the window's save thread and by pelimoor-convert. The job itself has no Qt and
// touches no window: it reports progress and pauses through the callbacks of its options.
//
//   window, save thread:
//     gate.begin_run();
//     ConversionOptions o;
//     o.checkpoint = [&] { return gate.checkpoint(); };    // parks while Stop asks
//     o.progress = [&](int64_t done, int64_t total) { post progress to the window };
//     ConversionResult r = convert_contacts(store, Format::Csv, destination, o);
//     gate.end_run();
//     Completed -> "Saving sucessfully completed."; Failed -> r.reason; Stopped -> nothing
//
// The output's files are whole or absent: each is written under a temporary name beside its own
// and takes its name when the job ends (OutputFiles::commit), so a job that is killed leaves no
// file under a final name.
//
// The store must not be cleared while the job runs. Records appended during the job (a scan
// filling the store) are not converted: the job takes the store's size when it starts.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/contact_groups.h"
#include "contacts/contact_store.h"
#include "contacts/messages.h"
#include "contacts/output_writers.h"

namespace contacts {

enum class ConversionOutcome
{
    Completed, // every contact written; `folder` holds the output
    Stopped,   // the checkpoint asked to end: `folder` holds the `written` contacts before it, in
               // whole files (cards, rows) under their final names (none with keep_stopped false)
    Failed,    // `reason` says what and where; this conversion's files were removed (when they
               // cannot be, `reason` says where they are)
};

struct ConversionResult
{
    ConversionOutcome outcome = ConversionOutcome::Failed;
    std::filesystem::path folder; // the output folder (gone again unless Completed or Stopped keeping)
    std::string reason;           // UTF-8, for Failed: names the path and the cause
    int64_t written = 0;          // contacts written before the end
    // EX addresses that the outputs for importers wrote without an SMTP address (none known).
    int64_t exchange_left_out = 0;
    int64_t groups_written = 0; // distribution lists written (outputs for importers only)
    bool ok() const { return outcome == ConversionOutcome::Completed; }
};

struct ConversionOptions
{
    // Called before each contact (and once before the first). Returns true to end the job
    // there. May block (the pause while Stop asks). Empty: never stops.
    std::function<bool()> checkpoint;
    // What a job that the checkpoint ends leaves: the contacts written before it (true: Stop in
    // the window, after which the job writes nothing more), or nothing (a job that follows a
    // scan which failed).
    bool keep_stopped = true;
    // Called after each contact with the contacts written and the total. Empty: no reports.
    std::function<void(int64_t done, int64_t total)> progress;
    // Local time that names the output folder. Empty: the current local time.
    std::function<std::tm()> clock;
    // Where the files go, given the output folder. Empty: real files in the folder. Tests
    // substitute failing sinks.
    std::function<std::unique_ptr<OutputFiles>(const std::filesystem::path& folder)> files;
    // When not empty: only these records of the store, in this order (the window's "Convert
    // selected..."); they must stay alive until the job ends.
    std::vector<const ContactRecord*> selection;
    // The vCard version and CSV layout (the defaults write the files of old).
    OutputChoices choices;
    // Builds the map of Exchange DNs to SMTP addresses from the source file's messages. Called at
    // most once, on the job's thread, and only when the output writes SMTP addresses for EX ones
    // and a contact of the job has an EX address without one. Empty: no map.
    std::function<ExchangeMap()> exchange_map;
    // The distribution lists of the scanned file (may be null): the outputs for importers write
    // them after the contacts. They must outlive the job.
    const ContactGroups* groups = nullptr;
    // When set, the job follows a store that a scan is still filling, instead of taking its size
    // when it starts: having written every record linked so far, it calls `follow`, which waits
    // until more are linked or the scan has ended, and returns false once it has ended. The job
    // then writes what was linked last, asks the checkpoint once more (true: the scan failed,
    // the job ends Stopped, keeping what keep_stopped says) and completes. `progress` reports the store's size so far
    // as the total. Not with `selection`.
    std::function<bool()> follow;
};

// "Tressoly-Recovery-<year>-<month>-<day> <hour>-<minute>" of `local`, without leading zeros.
std::string output_folder_name(const std::tm& local);

// Creates a new output folder in `destination` named after `local`; when that name exists,
// tries " (2)", " (3)" ... after it. Returns the folder, or an empty path and a failure in *why
// (naming the path and the reason) when `destination` is missing, not a directory or not writable.
std::filesystem::path create_output_folder(const std::filesystem::path& destination, const std::tm& local,
                                           pst::Status* why);

// Whether a contact of `selection` (empty: of the whole store) has an EX address whose SMTP
// address the contact itself lacks: only then is the map of ConversionOptions::exchange_map built.
bool needs_exchange_map(const ContactStore& store, const std::vector<const ContactRecord*>& selection);

// Converts every contact of `store` (or the selection of `options`) to `format` in a new output
// folder in `destination`.
// Blocks until done. See ConversionOutcome for what is left on disk.
ConversionResult convert_contacts(const ContactStore& store, Format format, const std::filesystem::path& destination,
                                  const ConversionOptions& options = {});

} // namespace contacts
