#include "progress_line.h"

#include <utility>

namespace cli {

ProgressLine::ProgressLine(std::ostream& err, bool terminal, std::string verb, std::string things)
    : m_err(err), m_terminal(terminal), m_verb(std::move(verb)), m_things(std::move(things))
{
}

void ProgressLine::report(int64_t done, int64_t total)
{
    m_last_done = done == total ? done : -1;
    if (m_terminal) {
        const auto now = std::chrono::steady_clock::now();
        if (done == total || now - m_last >= std::chrono::milliseconds(100)) {
            m_last = now;
            m_err << '\r' << m_verb << ": " << done << " of " << total << ' ' << m_things << (done == total ? "\n" : "")
                  << std::flush;
        }
        return;
    }
    const int step = total > 0 ? static_cast<int>(done * 10 / total) : 10;
    if (step > m_step) {
        m_step = step;
        m_err << m_verb << ": " << done << " of " << total << ' ' << m_things << '\n';
    }
}

void ProgressLine::finish(int64_t total)
{
    if (total > 0 && m_last_done != total) {
        report(total, total);
    }
}

} // namespace cli
