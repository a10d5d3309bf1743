// Writing cost beside the scan, in one process: scans FILE once, then converts the store to
// every format in turn, then to the outputs for importers (vCard 3.0 and 4.0, the Google and
// Outlook CSV layouts; goal: each at most a quarter of the scan's CPU time), with each step's CPU time (steadier than
// wall time on a busy machine), wall time and the growth of the peak resident size.
//
//   convert-bench FILE.pst OUT_DIR [STEP...]
//
// STEP names the steps to run after the scan ("vcf", "csv", "vcf 3.0", "csv goog", ...; all
// when none is named), to profile one writer: perf record -g convert-bench FILE OUT "vcf 4.0".
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "contacts/contact_store.h"
#include "contacts/conversion.h"
#include "engine/scan_events.h"
#include "engine/scan_run.h"

namespace {

struct Sample
{
    double cpu;
    double wall;
    long peak_kib;
};

Sample now()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return {seconds(u.ru_utime) + seconds(u.ru_stime),
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(), u.ru_maxrss};
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: convert-bench FILE.pst OUT_DIR [STEP...]\n");
        return 2;
    }
    const std::filesystem::path out = argv[2];
    const std::vector<std::string> steps(argv + 3, argv + argc);
    const auto chosen = [&](const char* step) {
        return steps.empty() || std::find(steps.begin(), steps.end(), step) != steps.end();
    };
    contacts::ContactStore store;
    engine::ScanSession session;
    engine::ScanListener observer;
    const Sample start = now();
    if (engine::scan_run(session, argv[1], store, observer).outcome != engine::ScanOutcome::Done) {
        std::fprintf(stderr, "convert-bench: the scan failed\n");
        return 1;
    }
    const Sample scanned = now();
    const double scan_cpu = scanned.cpu - start.cpu;
    std::printf("%-8s %10s %10s %12s %14s\n", "step", "cpu s", "wall s", "cpu vs scan", "peak +MiB");
    std::printf("%-8s %10.2f %10.2f %12s %14.1f   (%lld contacts)\n", "scan", scan_cpu, scanned.wall - start.wall, "",
                (scanned.peak_kib - start.peak_kib) / 1024.0, static_cast<long long>(store.size()));
    // Outputs are removed at the end: deleting many files just before creating many more makes
    // the file system's inode allocation slower than a conversion would normally find it.
    std::vector<std::filesystem::path> folders;
    for (const auto& format : contacts::kFormats) {
        if (!chosen(format.name)) {
            continue;
        }
        const Sample before = now();
        const auto result = contacts::convert_contacts(store, format.format, out);
        const Sample after = now();
        if (!result.ok()) {
            std::fprintf(stderr, "convert-bench: %s failed: %s\n", format.name, result.reason.c_str());
            return 3;
        }
        folders.push_back(result.folder);
        std::printf("%-8s %10.2f %10.2f %11.0f%% %14.1f\n", format.name, after.cpu - before.cpu,
                    after.wall - before.wall, scan_cpu > 0 ? 100.0 * (after.cpu - before.cpu) / scan_cpu : 0.0,
                    (after.peak_kib - before.peak_kib) / 1024.0);
    }
    const struct
    {
        const char* name;
        contacts::Format format;
        contacts::OutputChoices choices;
    } importers[] = {
        {"vcf 3.0", contacts::Format::Vcf, {contacts::VcardVersion::v30, contacts::CsvLayout::pelimoor}},
        {"vcf 4.0", contacts::Format::Vcf, {contacts::VcardVersion::v40, contacts::CsvLayout::pelimoor}},
        {"csv goog", contacts::Format::Csv, {contacts::VcardVersion::v21, contacts::CsvLayout::google}},
        {"csv outl", contacts::Format::Csv, {contacts::VcardVersion::v21, contacts::CsvLayout::outlook}},
    };
    for (const auto& kind : importers) {
        if (!chosen(kind.name)) {
            continue;
        }
        contacts::ConversionOptions options;
        options.choices = kind.choices;
        const Sample before = now();
        const auto result = contacts::convert_contacts(store, kind.format, out, options);
        const Sample after = now();
        if (!result.ok()) {
            std::fprintf(stderr, "convert-bench: %s failed: %s\n", kind.name, result.reason.c_str());
            return 3;
        }
        folders.push_back(result.folder);
        const double share = scan_cpu > 0 ? (after.cpu - before.cpu) / scan_cpu : 0.0;
        std::printf("%-8s %10.2f %10.2f %11.0f%% %14.1f   (goal <= 25%%: %s)\n", kind.name, after.cpu - before.cpu,
                    after.wall - before.wall, 100.0 * share, (after.peak_kib - before.peak_kib) / 1024.0,
                    share <= 0.25 ? "ok" : "MISSED");
    }
    for (const auto& folder : folders) {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    return 0;
}
