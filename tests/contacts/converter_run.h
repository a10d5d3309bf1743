// Test helper: pelimoor-convert's run() in this process, with what it writes to standard output
// and standard error kept for the test to read.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/convert.h"

namespace testcli {

struct Converted
{
    int status = -1; // the exit status
    std::string out, err;
};

inline Converted convert(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    Converted r;
    r.status = cli::run(args, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
}

} // namespace testcli
