// The converter's progress on standard error: "<Verb>: 1234 of 5000 <things>", rewritten in place
// on a terminal (at most ten times a second, and always at the end); elsewhere a line at every
// tenth of the way.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace cli {

class ProgressLine
{
public:
    ProgressLine(std::ostream& err, bool terminal, std::string verb, std::string things);

    void report(int64_t done, int64_t total);
    // The last line, once the total is known, unless report() wrote it already.
    void finish(int64_t total);

private:
    std::ostream& m_err;
    bool m_terminal;
    std::string m_verb;
    std::string m_things;
    int m_step = 0;
    int64_t m_last_done = -1; // the total of the last report that wrote "N of N"
    std::chrono::steady_clock::time_point m_last{};
};

} // namespace cli
