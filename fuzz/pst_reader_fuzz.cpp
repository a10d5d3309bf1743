// libFuzzer target: each input is a file image, read by the PST reader the way a scan reads it,
// then scanned by the engine with the native reader (items, contact extraction, text decoding).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "contacts/contact_store.h"
#include "engine/scan_events.h"
#include "engine/scan_run.h"
#include "exercise.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

// The scan opens a path: the input goes into one in-memory file, named through /proc.
struct Input
{
    int fd = memfd_create("pst-fuzz-input", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
};

void scan(const uint8_t* data, size_t size)
{
    static const Input input;
    if (input.fd < 0 || ftruncate(input.fd, 0) != 0 ||
        (size > 0 && pwrite(input.fd, data, size, 0) != static_cast<ssize_t>(size))) {
        std::abort();
    }
    contacts::ContactStore store;
    engine::ScanSession session;
    session.options.offline = true; // offline folder files are read as a scan with --ost reads them
    // Every source: the associated contents, the recipient cache and the mail's people too.
    for (const engine::SourceInfo& info : engine::kSources) {
        session.options.sources.set(info.source, true);
    }
    engine::ScanListener observer;
    engine::scan_run(session, input.path, store, observer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzpst::exercise(std::vector<uint8_t>(data, data + size));
    scan(data, size);
    return 0;
}

namespace {

constexpr size_t kWindow = 32; // bytes changed in place at a time
constexpr int kTries = 8;      // looks for a window that is not all zero (free space)

bool all_zero(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

// A file is found through offsets, so most mutations work in place: a short window, preferably
// on bytes in use, is mutated by libFuzzer and put back at the same length; every offset in the
// file stays valid. One in sixteen goes to libFuzzer whole (cuts, inserts, ...).
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned seed)
{
    std::minstd_rand rng(seed);
    if (size < kWindow || rng() % 16 == 0) {
        return LLVMFuzzerMutate(data, size, max_size);
    }
    const size_t len = 1 + rng() % kWindow;
    size_t at = rng() % (size - len + 1);
    for (int i = 1; i < kTries && all_zero(data + at, len); ++i) {
        at = rng() % (size - len + 1);
    }
    uint8_t window[kWindow];
    std::memcpy(window, data + at, len);
    const size_t n = LLVMFuzzerMutate(window, len, len);
    std::memcpy(data + at, window, n);
    return size;
}
