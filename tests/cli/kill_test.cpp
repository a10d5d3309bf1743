// A conversion killed at any moment leaves no file under a final name: the real converter, run
// as a child process over a large generated file, killed (SIGKILL) at several points of its
// output; a run left alone leaves its files under their final names and no temporary one.
#include <fixture/fixture.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Contacts enough for a run of a good part of a second, in several 64 KiB writes per percent.
// A converter built with AddressSanitizer runs some ten times slower: a third of them take it as
// long, still with some tens of writes after the last point.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kContacts = 20000;
#else
constexpr int kContacts = 60000;
#endif
// How long the test waits for the converter to reach a point before it fails (never hangs).
constexpr auto kPatience = std::chrono::seconds(300);

using testfiles::TempDir;

// The file the test converts, written once for all tests.
const fs::path& large_file()
{
    static TempDir dir;
    static const fs::path path = [] {
        const fs::path p = dir.path() / "large.pst";
        const pst::Status written =
            fixture::write_contacts(p.string(), fixture::ContactsOptions::of(kContacts, 4, 0, 7));
        EXPECT_TRUE(written.ok) << written.message;
        return p;
    }();
    return path;
}

bool temporary_name(const fs::path& file)
{
    return file.filename().string().find(".tmp-") != std::string::npos;
}

// Every file below `dir` (names may change while it looks).
std::vector<fs::path> files_below(const fs::path& dir)
{
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            files.push_back(it->path());
        }
    }
    return files;
}

// The largest size of a file below `dir`; -1 when there is none.
std::intmax_t largest_file(const fs::path& dir)
{
    std::intmax_t largest = -1;
    for (const fs::path& file : files_below(dir)) {
        std::error_code ec;
        const auto size = fs::file_size(file, ec);
        if (!ec) {
            largest = std::max(largest, static_cast<std::intmax_t>(size));
        }
    }
    return largest;
}

// pelimoor-convert --format FORMAT --out OUT FILE, its output thrown away.
pid_t start_converter(const std::string& format, const fs::path& out)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string file = large_file().string();
    const std::string out_dir = out.string();
    std::vector<std::string> args = {PELIMOOR_CONVERT, "--format", format, "--out", out_dir, file};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, PELIMOOR_CONVERT, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0) << "cannot start " << PELIMOOR_CONVERT;
    return error == 0 ? pid : -1;
}

// Waits for the child; its wait status.
int wait_for(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

class KilledConversion : public ::testing::TestWithParam<const char*>
{
};

TEST_P(KilledConversion, LeavesNoFileUnderAFinalName)
{
    const std::string format = GetParam();
    ASSERT_FALSE(large_file().empty());
    // Left alone: one file under its final name, no temporary one.
    TempDir whole;
    const pid_t pid = start_converter(format, whole.path());
    ASSERT_GT(pid, 0);
    const int status = wait_for(pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    const std::vector<fs::path> files = files_below(whole.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename(), "contacts." + format);
    const auto size = static_cast<std::intmax_t>(fs::file_size(files[0]));

    // Killed when the output folder appears, then at a quarter, half and nine tenths of the
    // output's bytes (the last point still some hundred writes before the end).
    for (const double part : {0.0, 0.25, 0.5, 0.9}) {
        SCOPED_TRACE(format + " killed at " + std::to_string(part));
        TempDir dir;
        const pid_t child = start_converter(format, dir.path());
        ASSERT_GT(child, 0);
        const auto reached = [&] {
            return part == 0.0 ? !fs::is_empty(dir.path()) : largest_file(dir.path()) >= std::intmax_t(size * part);
        };
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        int exited = -1;
        while (!reached()) {
            int early = 0;
            if (::waitpid(child, &early, WNOHANG) == child) {
                exited = early;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (exited >= 0) {
            FAIL() << "the conversion ended (status " << exited << ") before the point was reached";
        }
        ::kill(child, SIGKILL);
        const int killed = wait_for(child);
        ASSERT_TRUE(reached()) << "the point was not reached in time";
        ASSERT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) << "it ended on its own: " << killed;
        const std::vector<fs::path> left = files_below(dir.path());
        for (const fs::path& file : left) {
            EXPECT_TRUE(temporary_name(file)) << file << " is under a final name";
        }
        if (part > 0.0) {
            EXPECT_EQ(left.size(), 1u) << "the partial output under its temporary name";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, KilledConversion, ::testing::Values("vcf", "csv"));

} // namespace
