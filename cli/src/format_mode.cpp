#include "format_mode.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <ostream>
#include <thread>

#include "contacts/contact_store.h"
#include "contacts/conversion.h"
#include "contacts/text.h"
#include "engine/exchange_map.h"
#include "merge/merge.h"
#include "merge_step.h"
#include "progress_line.h"
#include "scan_inputs.h"

namespace cli {

namespace {

int usage(std::ostream& err, const std::string& what)
{
    err << "pelimoor-convert: " << what << "\nTry 'pelimoor-convert --help'.\n";
    return kExitUsage;
}

struct FormatArguments
{
    const contacts::FormatInfo* format = nullptr;
    std::string out = ".";
    std::vector<std::string> files;
    contacts::OutputChoices choices;
};

// "--vcard VERSION" (with --format vcf) or "--csv LAYOUT" (with --format csv) at args[i]; the
// value goes into `parsed`. Returns 0 or the usage error's status.
int parse_choice(const std::vector<std::string>& args, std::size_t& i, FormatArguments& parsed, bool& seen,
                 std::ostream& err)
{
    const bool vcard = args[i] == "--vcard";
    const contacts::Format wanted = vcard ? contacts::Format::Vcf : contacts::Format::Csv;
    const std::string choices = vcard ? "2.1, 3.0 or 4.0" : "pelimoor, google or outlook";
    if (parsed.format->format != wanted) {
        return usage(err, args[i] + (vcard ? " goes with --format vcf" : " goes with --format csv"));
    }
    if (seen) {
        return usage(err, args[i] + " given twice");
    }
    if (i + 1 == args.size()) {
        return usage(err, args[i] + " needs a value: " + choices);
    }
    const std::string& value = args[++i];
    if (vcard) {
        const auto* version = contacts::vcard_version_by_name(value);
        if (!version) {
            return usage(err, "unknown vCard version '" + value + "' (" + choices + ")");
        }
        parsed.choices.vcard = version->choice;
    } else {
        const auto* layout = contacts::csv_layout_by_name(value);
        if (!layout) {
            return usage(err, "unknown CSV layout '" + value + "' (" + choices + ")");
        }
        parsed.choices.csv = layout->choice;
    }
    seen = true;
    return 0;
}

// "--format NAME [--vcard V | --csv L] [--out DIR] FILE.pst...", the options before, between or after the files.
// Returns 0 or the usage error's status.
int parse(const std::vector<std::string>& args, FormatArguments& parsed, std::ostream& err)
{
    if (args.size() < 2) {
        return usage(err, "--format needs a format: pst, vcf, csv, txt or html");
    }
    parsed.format = contacts::format_by_name(args[1]);
    if (!parsed.format) {
        return usage(err, "unknown format '" + args[1] + "' (pst, vcf, csv, txt or html)");
    }
    bool have_out = false;
    bool have_choice = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--vcard" || args[i] == "--csv") {
            if (const int status = parse_choice(args, i, parsed, have_choice, err); status != 0) {
                return status;
            }
        } else if (args[i] == "--out") {
            if (have_out || i + 1 == args.size()) {
                return usage(err, have_out ? "--out given twice" : "--out needs a directory");
            }
            parsed.out = args[++i];
            have_out = true;
        } else {
            parsed.files.push_back(args[i]);
        }
    }
    if (parsed.files.empty()) {
        return usage(err, "--format needs a FILE.pst");
    }
    return 0;
}

// The scan of a conversion that runs beside it (on its own thread): how it ended, and a wait for
// the conversion that has written every contact found so far.
class ScanFeed
{
public:
    void end(bool ok)
    {
        {
            std::lock_guard lock(m_mutex);
            m_ok = ok;
            m_ended.store(true, std::memory_order_release);
        }
        m_changed.notify_all();
    }
    bool ended() const { return m_ended.load(std::memory_order_acquire); }
    // After ended(): whether the scan succeeded.
    bool ok() const
    {
        std::lock_guard lock(m_mutex);
        return m_ok;
    }

    // Waits until `store` holds more than `done` records or the scan has ended; false when it
    // has ended. A short sleep between looks (the scan is not asked to signal every contact):
    // the conversion mostly finds records waiting.
    bool wait_for_more(const contacts::ContactStore& store, int64_t done)
    {
        std::unique_lock lock(m_mutex);
        while (!ended()) {
            if (store.size() > done) {
                return true;
            }
            m_changed.wait_for(lock, std::chrono::milliseconds(2));
        }
        return false;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<bool> m_ended{false};
    bool m_ok = false;
};

} // namespace

int run_format(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const RunOptions& options)
{
    FormatArguments parsed;
    if (const int status = parse(args, parsed, err); status != 0) {
        return status;
    }
    contacts::ContactStore store;
    ScannedInputs scanned; // set by the scan, read once it has ended
    ProgressLine progress(err, options.show_progress, "Converting", "contacts");
    contacts::ConversionOptions job;
    job.choices = parsed.choices;
    // Outputs that need nothing of the whole file (its lists, its Exchange addresses) are written
    // while the scan runs, on the other processor; the rest once the scan is done.
    // Merged cards are known only once every file is read.
    const bool beside_scan = !contacts::writes_for_importers(parsed.format->format, parsed.choices) && !options.merge;
    if (options.merge) {
        merge::sort_for_merge(parsed.files);
    }
    std::unique_ptr<merge::StoreMerge> merged;
    ScanFeed feed;
    std::exception_ptr scan_error; // what the scan thread threw, thrown again here
    std::thread scan;
    int64_t written = 0; // by the job so far
    if (beside_scan) {
        scan = std::thread([&] {
            try {
                scanned = scan_inputs(parsed.files, store, err, options);
                feed.end(!scanned.read.empty());
            } catch (...) {
                scan_error = std::current_exception();
                feed.end(false);
            }
        });
        job.follow = [&] { return feed.wait_for_more(store, written); };
        job.checkpoint = [&] { return feed.ended() && !feed.ok(); }; // the scan failed: nothing is kept
        job.keep_stopped = false;
        // Progress once the scan is done and its lines are written; before, the total is not known.
        job.progress = [&](int64_t done, int64_t total) {
            written = done;
            if (feed.ended()) {
                progress.report(done, total);
            }
        };
    } else {
        scanned = scan_inputs(parsed.files, store, err, options);
        if (scanned.read.empty()) {
            return kExitScanFailed;
        }
        job.progress = [&](int64_t done, int64_t total) { progress.report(done, total); };
        job.groups = scanned.groups.get();
        if (options.merge) {
            merged = merge_and_say(store, scanned.groups.get(), options, err);
            job.selection = merged->result.records;
            job.groups = &merged->groups;
        }
    }
    int64_t unreadable_mail = 0; // messages and recipient rows the map could not read
    job.exchange_map = [&] { return engine::exchange_address_map(scanned.read, options.source, &unreadable_mail); };
    const contacts::ConversionResult result = contacts::convert_contacts(store, parsed.format->format, parsed.out, job);
    if (scan.joinable()) {
        scan.join(); // after a failed write too: the scan's messages come first
        if (scan_error) {
            std::rethrow_exception(scan_error);
        }
        if (!feed.ok()) {
            return kExitScanFailed;
        }
        if (result.ok()) {
            progress.finish(result.written);
        }
    }
    if (!result.ok()) {
        err << "pelimoor-convert: writing failed: " << result.reason << '\n';
        return kExitWriteFailed;
    }
    if (merged && !write_merge_report(*merged, result.folder, err)) {
        return kExitWriteFailed;
    }
    if (contacts::writes_for_importers(parsed.format->format, parsed.choices)) {
        err << "pelimoor-convert: " << result.groups_written << " group(s) written";
        if (scanned.groups && scanned.groups->members_skipped > 0) {
            err << "; " << scanned.groups->members_skipped << " list member(s) that name nothing usable left out";
        }
        err << '\n';
    }
    if (result.exchange_left_out > 0) {
        err << "pelimoor-convert: " << result.exchange_left_out
            << " Exchange (EX) address(es) without an SMTP address in the file: left out of the e-mail fields, "
               "their DNs kept in the notes\n";
    }
    if (unreadable_mail > 0) {
        err << "pelimoor-convert: " << unreadable_mail
            << " message(s) or recipient row(s) could not be read for the Exchange addresses: left out\n";
    }
    // The folder on standard output, for scripts; the window's completion text on standard error.
    out << result.folder.string() << '\n';
    err << contacts::utf16_to_utf8(contacts::kSaveCompletedText) << '\n';
    out.flush();
    return out ? scan_status(scanned) : kExitWriteFailed;
}

void write_format_help(std::ostream& out)
{
    out << "  --format pst|vcf|csv|txt|html [--out DIR] FILE.pst...\n"
           "      converts every contact into a new folder \"Tressoly-Recovery-<year>-<month>-<day>\n"
           "      <hour>-<minute>\" in DIR (default: the current directory); \" (2)\", \" (3)\" ... when\n"
           "      that exists. pst: contacts.pst, vcf: contacts.vcf (vCard 2.1), csv: contacts.csv,\n"
           "      txt and html: one file per contact; the contacts of several FILEs go into one such\n"
           "      set, each file's distribution lists naming contacts of that file only. Prints the\n"
           "      folder's path; progress on standard error\n"
           "  --vcard 2.1|3.0|4.0 (with --format vcf)\n"
           "      the vCard version. 2.1 (the default) for Outlook and older phones; 3.0 for Apple\n"
           "      Contacts, iCloud, Google Contacts, Android and Nextcloud, which drop or refuse 2.1;\n"
           "      4.0 (RFC 6350) for Thunderbird. 3.0 and 4.0 are UTF-8 with a UID per contact\n"
           "  --csv pelimoor|google|outlook (with --format csv)\n"
           "      the CSV columns. pelimoor (the default): Pelimoor's 59 labels, for spreadsheets;\n"
           "      google: the header of a Google Contacts export, for Google Contacts' import;\n"
           "      outlook: the 92 columns of an Outlook export (in English), for Outlook, Outlook.com\n"
           "      and Evolution's import. All three are UTF-8 with a byte-order mark\n";
}

} // namespace cli
