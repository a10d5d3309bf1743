// The --upload mode of pelimoor-convert: the cards of the scan straight into an address book on a
// CardDAV server.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/convert.h"

namespace cli {

// `args` starts with "--upload". Returns the exit status.
int run_upload(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const RunOptions& options);

// The --upload entry of the help text.
void write_upload_help(std::ostream& out);

} // namespace cli
