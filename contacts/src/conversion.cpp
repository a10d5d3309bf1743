// The conversion job: a new output folder, one writer, every contact of the store.
#include "contacts/conversion.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/stat.h>

namespace contacts {

namespace {

constexpr int kMaxFolderAttempts = 10000;

std::tm local_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

// Ends a conversion that keeps nothing: the writer goes first (it closes its files and removes
// its temporary file), then everything this conversion made.
ConversionResult abandon(ConversionResult result, std::unique_ptr<ContactWriter>& writer,
                         std::unique_ptr<OutputFiles>& files)
{
    writer.reset();
    files.reset();
    std::error_code ec;
    std::filesystem::remove_all(result.folder, ec);
    if (ec && result.outcome == ConversionOutcome::Failed) {
        result.reason +=
            "; the partial output in " + result.folder.string() + " could not be removed (" + ec.message() + ")";
    }
    return result;
}

ConversionResult failed(const std::filesystem::path& folder, std::string reason, int64_t written)
{
    return {ConversionOutcome::Failed, folder, std::move(reason), written};
}

} // namespace

std::string output_folder_name(const std::tm& local)
{
    return "Tressoly-Recovery-" + std::to_string(local.tm_year + 1900) + '-' + std::to_string(local.tm_mon + 1) + '-' +
           std::to_string(local.tm_mday) + ' ' + std::to_string(local.tm_hour) + '-' + std::to_string(local.tm_min);
}

std::filesystem::path create_output_folder(const std::filesystem::path& destination, const std::tm& local,
                                           pst::Status* why)
{
    struct stat st
    {
    };
    if (::stat(destination.c_str(), &st) != 0) {
        *why = pst::Status::failure(destination.string() + ": " + std::strerror(errno));
        return {};
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = pst::Status::failure(destination.string() + ": " + std::strerror(ENOTDIR));
        return {};
    }
    const std::string base = output_folder_name(local);
    for (int attempt = 1; attempt <= kMaxFolderAttempts; ++attempt) {
        const std::filesystem::path folder =
            destination / (attempt == 1 ? base : base + " (" + std::to_string(attempt) + ")");
        // mkdir either makes a new folder or fails: an existing one is never written into.
        if (::mkdir(folder.c_str(), 0755) == 0) {
            return folder;
        }
        if (errno != EEXIST) {
            *why = pst::Status::failure(folder.string() + ": " + std::strerror(errno));
            return {};
        }
    }
    *why = pst::Status::failure((destination / base).string() + ": too many output folders of this name");
    return {};
}

bool needs_exchange_map(const ContactStore& store, const std::vector<const ContactRecord*>& selection)
{
    const auto needs = [](const ContactRecord& r) {
        if (r.exchange().empty()) {
            return false;
        }
        return contact_emails(r, nullptr).left_out > 0;
    };
    if (!selection.empty()) {
        return std::any_of(selection.begin(), selection.end(), [&](const ContactRecord* r) { return needs(*r); });
    }
    for (const ContactRecord* r = store.first(); r; r = r->next()) {
        if (needs(*r)) {
            return true;
        }
    }
    return false;
}

ConversionResult convert_contacts(const ContactStore& store, Format format, const std::filesystem::path& destination,
                                  const ConversionOptions& options)
{
    pst::Status why;
    const std::filesystem::path folder =
        create_output_folder(destination, options.clock ? options.clock() : local_now(), &why);
    if (folder.empty()) {
        return failed({}, why.message, 0);
    }

    std::unique_ptr<OutputFiles> files;
    std::unique_ptr<ContactWriter> writer;
    int64_t written = 0;
    try {
        files = options.files ? options.files(folder) : std::make_unique<DirectoryOutput>(folder);
        pst::Status status;
        // The DN-to-SMTP map, built once and only when a contact of this job needs it.
        ExchangeMap exchange;
        if (options.exchange_map && writes_for_importers(format, options.choices) &&
            needs_exchange_map(store, options.selection)) {
            exchange = options.exchange_map();
        }
        writer = make_contact_writer(format, *files, &status, options.choices, &exchange, options.groups);
        if (!writer) {
            return abandon(failed(folder, status.message, 0), writer, files);
        }
        const bool selected = !options.selection.empty();
        // A job that follows a scan takes every record linked until the scan ends; any other the
        // count when it starts (records a scan appends meanwhile are not converted).
        const bool following = options.follow && !selected;
        const int64_t total = selected ? static_cast<int64_t>(options.selection.size()) : store.size();
        bool scan_ended = false;
        // The record after `r` (nullptr: the first one); called after `written` counted `r`.
        const auto next = [&](const ContactRecord* r) -> const ContactRecord* {
            if (selected) {
                return written < total ? options.selection[static_cast<size_t>(written)] : nullptr;
            }
            if (!following) {
                return written < total ? (r ? r->next() : store.first()) : nullptr;
            }
            // At the end of the chain: wait until the scan links more or ends, then one more look
            // (records linked just before its end).
            for (;;) {
                const ContactRecord* n = r ? r->next() : store.first();
                if (n || scan_ended) {
                    return n;
                }
                scan_ended = !options.follow();
            }
        };
        ConversionOutcome outcome = ConversionOutcome::Completed;
        for (const ContactRecord* record = next(nullptr); record; record = next(record)) {
            if (options.checkpoint && options.checkpoint()) {
                outcome = ConversionOutcome::Stopped;
                break;
            }
            if (status = writer->add(*record); !status) {
                return abandon(failed(folder, status.message, written), writer, files);
            }
            ++written;
            if (options.progress) {
                options.progress(written, following ? store.size() : total);
            }
        }
        // A scan that failed at its end stops the job too.
        if (outcome == ConversionOutcome::Completed && following && options.checkpoint && options.checkpoint()) {
            outcome = ConversionOutcome::Stopped;
        }
        if (outcome == ConversionOutcome::Stopped && !options.keep_stopped) {
            return abandon({ConversionOutcome::Stopped, folder, {}, written}, writer, files);
        }
        // The files end after the last whole contact and take their names only now.
        if (status = writer->finish(); !status) {
            return abandon(failed(folder, status.message, written), writer, files);
        }
        if (status = files->commit(); !status) {
            return abandon(failed(folder, status.message, written), writer, files);
        }
        if (outcome == ConversionOutcome::Stopped) {
            ConversionResult stopped{ConversionOutcome::Stopped, folder, {}, written};
            stopped.exchange_left_out = writer->exchange_left_out();
            stopped.groups_written = writer->groups_written();
            return stopped;
        }
    } catch (const std::bad_alloc&) {
        return abandon(failed(folder, folder.string() + ": not enough memory", written), writer, files);
    } catch (const std::exception& e) {
        return abandon(failed(folder, folder.string() + ": " + e.what(), written), writer, files);
    }
    ConversionResult done{ConversionOutcome::Completed, folder, {}, written};
    done.exchange_left_out = writer->exchange_left_out();
    done.groups_written = writer->groups_written();
    return done;
}

} // namespace contacts
