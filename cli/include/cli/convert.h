// pelimoor-convert: the scan and the outputs without a window.
//
//   pelimoor-convert --list FILE.pst...  one tab-separated line per contact
//   pelimoor-convert --json FILE.pst...  one JSON object per line per contact
//   pelimoor-convert --format pst|vcf|csv|txt|html [--out DIR] FILE.pst...
//                                        the conversion into a new output folder in DIR
//   pelimoor-convert --upload URL [--user U] [--update] [--insecure] FILE.pst...
//                                        every contact into an address book on a CardDAV server
//   pelimoor-convert --help
//   Options anywhere before FILE.pst: --reader native|libpff, --codepage N, --verbose
//
// Several files are scanned one after another into one store, and the outputs hold every file's
// contacts; with one file every output is what it was before several could be given.
//
// Exit status: 0 success, 1 the file (every file) was refused or could not be scanned, 2 bad
// usage, 3 the output could not be written (the reason on the error stream), 4 some of several
// files were refused and the contacts of the others were written, 5 some cards of an upload were
// refused or not sent, 6 the upload's server could not be used.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "engine/pst_source.h"

namespace cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitScanFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitWriteFailed = 3;
inline constexpr int kExitSomeRefused = 4;
// --upload: some cards were refused by the server or not sent (stopped); upload-report.csv says which.
inline constexpr int kExitUploadIncomplete = 5;
// --upload: the server could not be used (not reached, certificate, password, no address book) and
// no card reached it.
inline constexpr int kExitServerFailed = 6;

struct RunOptions
{
    // Write a progress line (rewritten in place) to `err` while scanning: for terminals.
    bool show_progress = false;
    // List each skipped item on `err` (`--verbose`), not only the count per reason.
    bool verbose = false;
    // The PST reader and the fallback code page of 8-bit texts; `--reader` and `--codepage`
    // on the command line override them.
    engine::SourceOptions source;
    // `--merge`: duplicate cards made one (merge/merge.h) before any output, and inputs that are
    // dumps of `--json --full` read beside PST files. `--region CC` (else the locale's) reads
    // national phone numbers.
    bool merge = false;
    std::string region;
};

// Runs the converter with `args` (without the program name). Results go to `out` (UTF-8),
// messages to `err`. Returns the exit status. Reentrant: each call scans into its own store.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const RunOptions& options = {});

} // namespace cli
