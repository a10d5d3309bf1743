#include "format_mode.h"

#include <chrono>
#include <ostream>

#include "contacts/contact_store.h"
#include "contacts/conversion.h"
#include "contacts/text.h"

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
    std::string file;
};

// "--format NAME [--out DIR] FILE.pst", --out before or after the file. Returns 0 or the
// usage error's status.
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
    bool have_file = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--out") {
            if (have_out || i + 1 == args.size()) {
                return usage(err, have_out ? "--out given twice" : "--out needs a directory");
            }
            parsed.out = args[++i];
            have_out = true;
        } else if (!have_file) {
            parsed.file = args[i];
            have_file = true;
        } else {
            return usage(err, "--format takes exactly one FILE.pst");
        }
    }
    if (!have_file) {
        return usage(err, "--format takes exactly one FILE.pst");
    }
    return 0;
}

// "Converting: 1234 of 5000 contacts", rewritten in place on a terminal; elsewhere a line at
// every tenth of the way.
class ConversionProgress
{
public:
    ConversionProgress(std::ostream& err, bool terminal) : m_err(err), m_terminal(terminal) {}

    void report(int64_t done, int64_t total)
    {
        if (m_terminal) {
            const auto now = std::chrono::steady_clock::now();
            if (done == total || now - m_last >= std::chrono::milliseconds(100)) {
                m_last = now;
                m_err << "\rConverting: " << done << " of " << total << " contacts" << (done == total ? "\n" : "")
                      << std::flush;
            }
            return;
        }
        const int step = total > 0 ? static_cast<int>(done * 10 / total) : 10;
        if (step > m_step) {
            m_step = step;
            m_err << "Converting: " << done << " of " << total << " contacts\n";
        }
    }

private:
    std::ostream& m_err;
    bool m_terminal;
    int m_step = 0;
    std::chrono::steady_clock::time_point m_last{};
};

} // namespace

int run_format(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const RunOptions& options)
{
    FormatArguments parsed;
    if (const int status = parse(args, parsed, err); status != 0) {
        return status;
    }
    contacts::ContactStore store;
    if (scan_into(parsed.file, store, err, options) != 1) {
        return kExitScanFailed;
    }
    ConversionProgress progress(err, options.show_progress);
    contacts::ConversionOptions job;
    job.progress = [&](int64_t done, int64_t total) { progress.report(done, total); };
    const contacts::ConversionResult result = contacts::convert_contacts(store, parsed.format->format, parsed.out, job);
    if (!result.ok()) {
        err << "pelimoor-convert: writing failed: " << result.reason << '\n';
        return kExitWriteFailed;
    }
    // The folder on standard output, for scripts; the window's completion text on standard error.
    out << result.folder.string() << '\n';
    err << contacts::utf16_to_utf8(contacts::kSaveCompletedText) << '\n';
    out.flush();
    return out ? kExitSuccess : kExitWriteFailed;
}

void write_format_help(std::ostream& out)
{
    out << "  --format pst|vcf|csv|txt|html [--out DIR] FILE.pst\n"
           "      converts every contact into a new folder \"Tressoly-Recovery-<year>-<month>-<day>\n"
           "      <hour>-<minute>\" in DIR (default: the current directory); \" (2)\", \" (3)\" ... when\n"
           "      that exists. pst: contacts.pst, vcf: contacts.vcf (vCard 2.1), csv: contacts.csv,\n"
           "      txt and html: one file per contact. Prints the folder's path; progress on\n"
           "      standard error\n";
}

} // namespace cli
