// Test helper: a program run as a child process through the shell (the real converter, pst-check,
// readpst), its standard output kept for the test to read.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace testcli {

// Runs `command` through the shell; returns its standard output and sets *status to its exit
// status (-1 when it could not run or was ended by a signal).
inline std::string run_program(const std::string& command, int* status)
{
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    std::array<char, 65536> buf;
    for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), p)) > 0;) {
        out.append(buf.data(), n);
    }
    const int rc = ::pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

} // namespace testcli
