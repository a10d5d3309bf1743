// Staged files: a file is under its name only once published, whole; anything else leaves at
// most its temporary name, and nothing at all once the object is gone.
#include <staging/staged_file.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using staging::Existing;
using staging::StagedFile;

using testfiles::TempDir;

std::vector<std::string> names_in(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write(const StagedFile& file, const std::string& bytes)
{
    ASSERT_EQ(::write(file.fd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void put(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// What a staged file leaves in its folder, for each way its life ends.
TEST(StagedFile, EveryEndLeavesTheTargetWholeOrAbsent)
{
    enum class End
    {
        publish,
        close_then_publish,
        discard,
        destroy,
        close_then_destroy,
    };
    const struct
    {
        const char* what;
        End end;
        Existing existing;
        bool target_appears_meanwhile; // another file takes the name before publish()
        int error;                     // of publish()
        std::vector<std::string> left; // the folder's files afterwards
        const char* target_bytes;      // nullptr: no target
    } kCases[] = {
        {"published", End::publish, Existing::keep, false, 0, {"out.vcf"}, "whole"},
        {"closed, then published", End::close_then_publish, Existing::keep, false, 0, {"out.vcf"}, "whole"},
        {"discarded", End::discard, Existing::keep, false, 0, {}, nullptr},
        {"destroyed unpublished", End::destroy, Existing::keep, false, 0, {}, nullptr},
        {"closed, destroyed unpublished", End::close_then_destroy, Existing::keep, false, 0, {}, nullptr},
        {"a file took the name: kept", End::publish, Existing::keep, true, EEXIST, {"out.vcf"}, "theirs"},
        {"a file took the name: replaced", End::publish, Existing::replace, true, 0, {"out.vcf"}, "whole"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path target = dir.path() / "out.vcf";
        int error = -1;
        auto file = StagedFile::create(target, c.existing, &error);
        ASSERT_TRUE(file) << error;
        EXPECT_EQ(error, 0);
        EXPECT_EQ(file->target(), target);
        // Beside the target, named after it; nothing under the target's own name yet.
        const std::string temporary = file->temporary().filename().string();
        EXPECT_EQ(temporary.size(), std::string("out.vcf").size() + staging::kTemporarySuffixLength);
        EXPECT_EQ(temporary.rfind("out.vcf.tmp-", 0), 0u) << temporary;
        EXPECT_EQ(file->temporary().parent_path(), dir.path());
        EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{temporary});
        write(*file, "whole");
        if (c.target_appears_meanwhile) {
            put(target, "theirs");
        }
        switch (c.end) {
        case End::close_then_publish:
            EXPECT_EQ(file->close(), 0);
            EXPECT_EQ(file->fd(), -1);
            EXPECT_EQ(names_in(dir.path()).size(), 1u);
            [[fallthrough]];
        case End::publish:
            EXPECT_EQ(file->publish(), c.error);
            break;
        case End::discard:
            file->discard();
            break;
        case End::close_then_destroy:
            EXPECT_EQ(file->close(), 0);
            break;
        case End::destroy:
            break;
        }
        file.reset();
        EXPECT_EQ(names_in(dir.path()), c.left);
        if (c.target_bytes != nullptr) {
            EXPECT_EQ(read(target), c.target_bytes);
        }
    }
}

TEST(StagedFile, CreationFailsWithTheReasonAndMakesNothing)
{
    TempDir dir;
    int error = 0;
    EXPECT_FALSE(StagedFile::create(dir.path() / "missing" / "out.csv", Existing::keep, &error));
    EXPECT_EQ(error, ENOENT);
    put(dir.path() / "taken.csv", "theirs");
    EXPECT_FALSE(StagedFile::create(dir.path() / "taken.csv", Existing::keep, &error));
    EXPECT_EQ(error, EEXIST);
    // A link under the name counts as a file there, wherever it points.
    ASSERT_EQ(::symlink("nowhere", (dir.path() / "link.csv").c_str()), 0);
    EXPECT_FALSE(StagedFile::create(dir.path() / "link.csv", Existing::keep, &error));
    EXPECT_EQ(error, EEXIST);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"link.csv", "taken.csv"}));
    EXPECT_EQ(read(dir.path() / "taken.csv"), "theirs");
}

// A released file stays under its temporary name until published on its own; the mode is an
// ordinary file's, less the umask.
TEST(StagedFile, ReleasedFilesArePublishedLater)
{
    TempDir dir;
    int error = 0;
    const mode_t old_mask = ::umask(022);
    auto file = StagedFile::create(dir.path() / "a.txt", Existing::keep, &error);
    ::umask(old_mask);
    ASSERT_TRUE(file);
    write(*file, "text");
    struct stat st
    {
    };
    ASSERT_EQ(::fstat(file->fd(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    const fs::path temporary = file->release();
    file.reset();
    ASSERT_TRUE(fs::exists(temporary));
    EXPECT_EQ(staging::publish(temporary, dir.path() / "a.txt", Existing::keep), 0);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(read(dir.path() / "a.txt"), "text");
    // Never over a file: the temporary one stays for the caller.
    put(temporary, "second");
    EXPECT_EQ(staging::publish(temporary, dir.path() / "a.txt", Existing::keep), EEXIST);
    EXPECT_EQ(read(dir.path() / "a.txt"), "text");
    EXPECT_TRUE(fs::exists(temporary));
}

} // namespace

// write() puts every byte given, pieces of any size one after another; a closed file takes none.
TEST(StagedFile, WriteKeepsEveryByteInOrder)
{
    const std::string large(256 * 1024 + 1, 'x'); // more than one pipe or page of the kernel's
    const struct
    {
        const char* what;
        std::vector<std::string> pieces;
    } kCases[] = {
        {"nothing", {}},
        {"an empty piece", {""}},
        {"one byte", {"a"}},
        {"pieces", {"BEGIN", "", "\r\n", "END"}},
        {"a large piece between small ones", {"<", large, ">"}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        int error = 0;
        auto file = StagedFile::create(dir.path() / "out.csv", Existing::keep, &error);
        ASSERT_TRUE(file);
        std::string all;
        for (const std::string& piece : c.pieces) {
            EXPECT_EQ(file->write(piece), 0);
            all += piece;
        }
        EXPECT_EQ(file->publish(), 0);
        EXPECT_EQ(read(dir.path() / "out.csv"), all);
    }
    TempDir dir;
    int error = 0;
    auto file = StagedFile::create(dir.path() / "out.csv", Existing::keep, &error);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->close(), 0);
    EXPECT_EQ(file->write("late"), EBADF);
    EXPECT_EQ(file->write(""), 0);
    file.reset();
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{});
}
