// The --format mode of pelimoor-convert: the conversion job without a window.
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

// Scans `file` into `store`, messages and (on a terminal) progress on `err`. Returns 1 when
// the scan succeeded. Defined beside run().
// `groups` (optional) gets the distribution lists of the file.
int scan_into(const std::string& file, contacts::ContactStore& store, std::ostream& err, const RunOptions& options,
              std::shared_ptr<const contacts::ContactGroups>* groups = nullptr);

// `args` starts with "--format". Returns the exit status.
int run_format(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const RunOptions& options);

// The --format entry of the help text.
void write_format_help(std::ostream& out);

} // namespace cli
