// The scan of the converter's input files: one or more PST (or OST) files, read one after
// another into one store, each message on standard error naming its file when there are several.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "cli/convert.h"

namespace contacts {
class ContactStore;
struct ContactGroups;
} // namespace contacts

namespace cli {

struct ScannedInputs
{
    std::vector<std::string> read; // the files scanned, in the order given
    int refused = 0;               // files that could not be read (each named on standard error)
    // The distribution lists of every file read, each file's members resolved within that file.
    std::shared_ptr<const contacts::ContactGroups> groups;
};

// Scans `files` in their order into `store`, messages and (on a terminal) progress on `err`. A
// file that cannot be read is reported with its reason and the others go on. With one file the
// messages are those of old: they name no file.
ScannedInputs scan_inputs(const std::vector<std::string>& files, contacts::ContactStore& store, std::ostream& err,
                          const RunOptions& options);

// The exit status of a run whose outputs were written: kExitSuccess when every file was read,
// kExitSomeRefused when some were refused, kExitScanFailed when none could be read.
int scan_status(const ScannedInputs& scanned);

} // namespace cli
