// The --format mode of pelimoor-convert: the conversion job without a window.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/convert.h"

namespace cli {

// `args` starts with "--format". Returns the exit status.
int run_format(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const RunOptions& options);

// The --format entry of the help text.
void write_format_help(std::ostream& out);

} // namespace cli
