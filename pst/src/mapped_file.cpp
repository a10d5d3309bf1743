#include "mapped_file.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/mman.h>

namespace pst::read::detail {

namespace {

// The copy in progress on this thread, if any: where a SIGBUS during it jumps to. Volatile, and
// fenced around the copy: the compiler must neither drop nor move the stores around memcpy.
thread_local sigjmp_buf* volatile t_guard = nullptr;
struct sigaction g_previous = {};

void on_sigbus(int signal, siginfo_t* info, void* context)
{
    if (sigjmp_buf* guard = t_guard) {
        t_guard = nullptr;
        siglongjmp(*guard, 1);
    }
    // Not ours: hand it to whoever handled SIGBUS before, or let it end the process as usual
    // (returning re-runs the faulting instruction under the restored action).
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction) {
            g_previous.sa_sigaction(signal, info, context);
            return;
        }
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
        return;
    }
    sigaction(SIGBUS, &g_previous, nullptr);
}

void install_handler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_sigaction = on_sigbus;
        // SA_NODEFER: the jump out of the handler leaves SIGBUS unblocked for the next guard.
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &g_previous);
    });
}

// Kept out of line and free of objects with destructors: the jump may leave it mid-copy.
[[gnu::noinline]] bool guarded_copy(uint8_t* out, const uint8_t* from, size_t n)
{
    sigjmp_buf guard;
    if (sigsetjmp(guard, 0) != 0)
        return false;
    t_guard = &guard;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(out, from, n);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_guard = nullptr;
    return true;
}

} // namespace

MappedFile::~MappedFile()
{
    if (m_base)
        munmap(const_cast<uint8_t*>(m_base), static_cast<size_t>(m_size));
}

bool MappedFile::map(int fd, uint64_t size)
{
    if (size == 0 || size > SIZE_MAX)
        return false;
    void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return false;
    install_handler();
    m_base = static_cast<const uint8_t*>(p);
    m_size = size;
    return true;
}

bool MappedFile::copy(uint64_t offset, size_t n, uint8_t* out) const
{
    if (offset > m_size || n > m_size - offset)
        return false;
    return guarded_copy(out, m_base + offset, n);
}

} // namespace pst::read::detail
