#include "platform/files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TempTree : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "pelimoor-files-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);
    }
    static void writeFile(const fs::path& path, const std::string& content)
    {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string readFile(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path root;
};

TEST_F(TempTree, RemovesNestedDirectoriesAndNeverFollowsLinks)
{
    const fs::path scratch = root / "Attachments";
    const fs::path outside = root / "outside";
    fs::create_directories(scratch / "a" / "b" / "c");
    fs::create_directories(outside / "keep");
    writeFile(outside / "keep" / "precious.txt", "mine");
    writeFile(outside / "file.txt", "also mine");
    writeFile(scratch / "top.bin", "x");
    writeFile(scratch / "a" / "b" / "c" / "deep.txt", "y");
    fs::create_directory_symlink(outside, scratch / "a" / "link-to-dir");
    fs::create_symlink(outside / "file.txt", scratch / "link-to-file");
    fs::create_symlink(root / "nowhere", scratch / "a" / "b" / "dangling");

    EXPECT_EQ(platform::removeDirectoryTree(scratch), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(scratch)));
    EXPECT_EQ(readFile(outside / "keep" / "precious.txt"), "mine");
    EXPECT_EQ(readFile(outside / "file.txt"), "also mine");
}

TEST_F(TempTree, ScratchDirectoryThatIsALinkLosesOnlyTheLink)
{
    fs::create_directories(root / "elsewhere" / "sub");
    writeFile(root / "elsewhere" / "sub" / "f", "kept");
    fs::create_directory_symlink(root / "elsewhere", root / "Attachments");

    EXPECT_EQ(platform::removeDirectoryTree(root / "Attachments"), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "Attachments")));
    EXPECT_EQ(readFile(root / "elsewhere" / "sub" / "f"), "kept");
}

TEST_F(TempTree, MissingDirectoryGivesZero)
{
    EXPECT_EQ(platform::removeDirectoryTree(root / "Attachments"), 0);
    writeFile(root / "plain", "not a directory");
    EXPECT_EQ(platform::removeDirectoryTree(root / "plain"), 0);
    EXPECT_TRUE(fs::exists(root / "plain"));
}

TEST_F(TempTree, StopsAtTheFirstEntryThatCannotGo)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores directory permissions";
    fs::create_directories(root / "Attachments" / "locked");
    writeFile(root / "Attachments" / "locked" / "f", "z");
    fs::permissions(root / "Attachments" / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(platform::removeDirectoryTree(root / "Attachments"), 0);
    EXPECT_TRUE(fs::exists(root / "Attachments" / "locked" / "f"));
    fs::permissions(root / "Attachments" / "locked", fs::perms::owner_all);
}

TEST_F(TempTree, Utf16FileHoldsExactlyTheCodeUnits)
{
    const std::u16string text = u"<div>\u00e9\u4e2d\U0001F600</div>";
    ASSERT_TRUE(platform::writeUtf16File(root / "page.html", text));
    const std::string bytes = readFile(root / "page.html");
    ASSERT_EQ(bytes.size(), text.size() * 2);
    EXPECT_EQ(bytes.substr(0, 4), std::string("<\0d\0", 4));
    for (size_t i = 0; i < text.size(); ++i) {
        EXPECT_EQ(static_cast<unsigned char>(bytes[2 * i]), text[i] & 0xFF);
        EXPECT_EQ(static_cast<unsigned char>(bytes[2 * i + 1]), text[i] >> 8);
    }
}

TEST_F(TempTree, Utf16FileOverwritesReadOnlyFileAndTruncates)
{
    const fs::path page = root / "page.html";
    writeFile(page, std::string(100, 'q'));
    fs::permissions(page, fs::perms::owner_read | fs::perms::group_read);
    ASSERT_TRUE(platform::writeUtf16File(page, u"ab"));
    EXPECT_EQ(readFile(page), std::string("a\0b\0", 4));
}

TEST_F(TempTree, Utf16FileDoesNotWriteThroughALink)
{
    writeFile(root / "target", "untouched");
    fs::create_symlink(root / "target", root / "page.html");
    EXPECT_FALSE(platform::writeUtf16File(root / "page.html", u"x"));
    EXPECT_EQ(readFile(root / "target"), "untouched");
}

TEST_F(TempTree, Utf16FileInUnwritableDirectoryFails)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores directory permissions";
    fs::create_directory(root / "ro");
    fs::permissions(root / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(platform::writeUtf16File(root / "ro" / "page.html", u"x"));
    fs::permissions(root / "ro", fs::perms::owner_all);
}

TEST(PrivateTemp, IsAPrivateDirectoryOfTheUser)
{
    const fs::path dir = platform::privateTempDirectory();
    struct stat st
    {
    };
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, ::getuid());
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(platform::privateTempDirectory(), dir);
}

TEST(OwnPath, IsThisTestProgram)
{
    EXPECT_EQ(platform::ownExecutablePath().filename(), "platform_test");
}

} // namespace
