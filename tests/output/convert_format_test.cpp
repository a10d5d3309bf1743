// pelimoor-convert --format: run() in process for every format and failure, and the real
// binary once.
#include <cli/convert.h>
#include <contacts/output_writers.h>
#include <fixture/fixture.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "converter_run.h"
#include "support.h"

namespace {

using testcli::convert;
using testcli::Converted;

class ConvertFormat : public testing::Test
{
protected:
    void SetUp() override
    {
        fixture::ContactsOptions o;
        o.contacts = 25;
        o.folders = 3;
        o.other = 4;
        ASSERT_TRUE(fixture::write_contacts(m_pst.string(), o).ok);
    }
    output_test::TempDir m_dir;
    std::filesystem::path m_pst = m_dir.path() / "in.pst";
};

TEST_F(ConvertFormat, EveryFormatWritesItsFilesIntoANewFolder)
{
    struct Case
    {
        const char* name;
        std::size_t files;
        const char* first_file;
    } cases[] = {
        {"pst", 1, "contacts.pst"}, {"vcf", 1, "contacts.vcf"}, {"csv", 1, "contacts.csv"},
        {"txt", 25, nullptr},       {"html", 25, nullptr},
    };
    for (const auto& c : cases) {
        const auto out = m_dir.path() / c.name;
        std::filesystem::create_directory(out);
        const Converted r = convert({"--format", c.name, "--out", out.string(), m_pst.string()});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::filesystem::path folder = r.out.substr(0, r.out.size() - 1);
        EXPECT_EQ(folder.parent_path(), out);
        EXPECT_EQ(folder.filename().string().rfind("Tressoly-Recovery-", 0), 0u);
        const auto files = output_test::files_in(folder);
        EXPECT_EQ(files.size(), c.files) << c.name;
        if (c.first_file && !files.empty()) {
            EXPECT_EQ(files[0].filename(), c.first_file);
        }
        EXPECT_NE(r.err.find("Converting: 25 of 25 contacts\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Saving sucessfully completed.\n"), std::string::npos);
    }
}

TEST_F(ConvertFormat, OutDefaultsToTheCurrentDirectoryAndMayFollowTheFile)
{
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.path());
    const Converted first = convert({"--format", "csv", m_pst.string()});
    std::filesystem::current_path(here);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(std::filesystem::path(first.out.substr(0, first.out.size() - 1)).parent_path(), ".");

    // The second conversion goes to the same place: a new folder beside the first (" (2)" in the
    // same minute, the next minute's name otherwise; the naming itself is a conversion test with a
    // fixed clock, so this one holds whenever the clock turns).
    const Converted second = convert({"--format", "csv", m_pst.string(), "--out", m_dir.path().string()});
    ASSERT_EQ(second.status, 0) << second.err;
    const std::filesystem::path first_folder =
        m_dir.path() / std::filesystem::path(first.out.substr(0, first.out.size() - 1)).filename();
    const std::filesystem::path second_folder = second.out.substr(0, second.out.size() - 1);
    EXPECT_EQ(second_folder.parent_path(), m_dir.path());
    EXPECT_EQ(second_folder.filename().string().rfind("Tressoly-Recovery-", 0), 0u);
    EXPECT_NE(second_folder, first_folder);
    EXPECT_EQ(output_test::files_in(first_folder).size(), 1u);
    EXPECT_EQ(output_test::files_in(second_folder).size(), 1u);
}

TEST_F(ConvertFormat, BadUsageTable)
{
    const struct
    {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--format"}, "--format needs a format"},
        {{"--format", "doc", "x.pst"}, "unknown format 'doc'"},
        {{"--format", "csv"}, "--format needs a FILE.pst"},
        {{"--format", "csv", "--out", "d"}, "--format needs a FILE.pst"},
        {{"--format", "csv", "a.pst", "--out"}, "--out needs a directory"},
        {{"--format", "csv", "--out", "a", "--out", "b", "x.pst"}, "--out given twice"},
        {{"--format", "csv", "--vcard", "3.0", "x.pst"}, "--vcard goes with --format vcf"},
        {{"--format", "vcf", "--csv", "google", "x.pst"}, "--csv goes with --format csv"},
        {{"--format", "txt", "--csv", "google", "x.pst"}, "--csv goes with --format csv"},
        {{"--format", "vcf", "--vcard", "3", "x.pst"}, "unknown vCard version '3' (2.1, 3.0 or 4.0)"},
        {{"--format", "vcf", "--vcard", "4.0", "--vcard", "3.0", "x.pst"}, "--vcard given twice"},
        {{"--format", "vcf", "x.pst", "--vcard"}, "--vcard needs a value: 2.1, 3.0 or 4.0"},
        {{"--format", "csv", "--csv", "Google", "x.pst"}, "unknown CSV layout 'Google' (pelimoor, google or outlook)"},
    };
    for (const auto& c : cases) {
        const Converted r = convert(c.args);
        EXPECT_EQ(r.status, cli::kExitUsage) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

TEST_F(ConvertFormat, ARefusedFileExitsWithOneAndWritesNothing)
{
    const auto not_pst = m_dir.path() / "not.pst";
    std::ofstream(not_pst) << "this is not a personal folder file";
    const auto out = m_dir.path() / "out";
    std::filesystem::create_directory(out);
    const Converted r = convert({"--format", "vcf", "--out", out.string(), not_pst.string()});
    EXPECT_EQ(r.status, cli::kExitScanFailed);
    EXPECT_TRUE(std::filesystem::is_empty(out));
}

TEST_F(ConvertFormat, AWriteFailureExitsWithThreeAndNamesThePath)
{
    const auto missing = m_dir.path() / "missing";
    const Converted r = convert({"--format", "html", "--out", missing.string(), m_pst.string()});
    EXPECT_EQ(r.status, cli::kExitWriteFailed);
    EXPECT_NE(r.err.find(missing.string() + ": No such file or directory"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Saving sucessfully completed."), std::string::npos);
    EXPECT_TRUE(r.out.empty());
}

// Several files, a file that is not a PST among them: one set of files holding the contacts of
// every file read (a copy of the same file included, whose node ids and search keys equal the
// first's), the refused file named, exit status 4. vCards of both modern versions keep every UID
// apart, and the first file's cards keep the UIDs a run of that file alone gives them.
TEST_F(ConvertFormat, SeveralFilesMakeOneSetOfFiles)
{
    const auto copy = m_dir.path() / "copy.pst";
    std::filesystem::copy_file(m_pst, copy);
    const auto not_pst = m_dir.path() / "notes.txt";
    std::ofstream(not_pst) << "not a personal folder file";
    const auto uids = [](const std::string& vcf) {
        std::vector<std::string> found;
        for (const std::string& line : output_test::lines_of(vcf)) {
            if (line.rfind("UID:", 0) == 0) {
                found.push_back(line);
            }
        }
        return found;
    };
    const struct
    {
        std::vector<std::string> options;
        std::size_t files;
        const char* first_file;
    } cases[] = {
        {{"pst"}, 1, "contacts.pst"},
        {{"vcf"}, 1, "contacts.vcf"},
        {{"vcf", "--vcard", "3.0"}, 1, "contacts.vcf"},
        {{"vcf", "--vcard", "4.0"}, 1, "contacts.vcf"},
        {{"csv", "--csv", "google"}, 1, "contacts.csv"},
        {{"txt"}, 50, nullptr},
        {{"html"}, 50, nullptr},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0] + (c.options.size() > 1 ? " " + c.options[2] : ""));
        const auto out = m_dir.path() / ("out" + std::to_string(n++));
        std::filesystem::create_directory(out);
        std::vector<std::string> args = {"--format"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        for (const std::string& more :
             {std::string("--out"), out.string(), m_pst.string(), not_pst.string(), copy.string()}) {
            args.push_back(more);
        }
        const Converted r = convert(args);
        ASSERT_EQ(r.status, cli::kExitSomeRefused) << r.err;
        EXPECT_NE(r.err.find("pelimoor-convert: " + not_pst.string() + ": "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Converting: 50 of 50 contacts\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Saving sucessfully completed.\n"), std::string::npos);
        const std::filesystem::path folder = r.out.substr(0, r.out.size() - 1);
        const auto files = output_test::files_in(folder);
        ASSERT_EQ(files.size(), c.files);
        if (c.first_file) {
            EXPECT_EQ(files[0].filename(), c.first_file);
        }
        if (c.options[0] == "pst") {
            const Converted back = convert({"--list", (folder / "contacts.pst").string()});
            EXPECT_EQ(std::count(back.out.begin(), back.out.end(), '\n'), 50);
        }
        if (c.options.size() == 3 && c.options[0] == "vcf") {
            const std::vector<std::string> both = uids(output_test::read_bytes(folder / "contacts.vcf"));
            ASSERT_EQ(both.size(), 50u);
            EXPECT_EQ(std::set<std::string>(both.begin(), both.end()).size(), 50u);
            const auto alone_out = out / "alone";
            std::filesystem::create_directory(alone_out);
            const Converted alone =
                convert({"--format", "vcf", "--vcard", c.options[2], "--out", alone_out.string(), m_pst.string()});
            ASSERT_EQ(alone.status, 0) << alone.err;
            const std::vector<std::string> first = uids(output_test::read_bytes(
                std::filesystem::path(alone.out.substr(0, alone.out.size() - 1)) / "contacts.vcf"));
            EXPECT_EQ(std::vector<std::string>(both.begin(), both.begin() + 25), first);
        }
    }
    // No file readable: nothing is written, exit status 1.
    const auto none = m_dir.path() / "none";
    std::filesystem::create_directory(none);
    const Converted r = convert({"--format", "csv", "--out", none.string(), not_pst.string(), not_pst.string()});
    EXPECT_EQ(r.status, cli::kExitScanFailed);
    EXPECT_TRUE(std::filesystem::is_empty(none));
    EXPECT_TRUE(r.out.empty());
}

TEST_F(ConvertFormat, RealBinaryEndToEnd)
{
    const auto out = m_dir.path() / "bin";
    std::filesystem::create_directory(out);
    int status = 0;
    const std::string printed = output_test::run_program(std::string(PELIMOOR_CONVERT) + " --format vcf --out '" +
                                                             out.string() + "' '" + m_pst.string() + "' 2>/dev/null",
                                                         &status);
    ASSERT_EQ(status, 0);
    const std::filesystem::path folder = printed.substr(0, printed.size() - 1);
    const std::string vcf = output_test::read_bytes(folder / "contacts.vcf");
    std::size_t cards = 0;
    for (std::size_t at = 0; (at = vcf.find("BEGIN: VCARD\r\n", at)) != std::string::npos; ++at) {
        ++cards;
    }
    EXPECT_EQ(cards, 25u);
    output_test::run_program(std::string(PELIMOOR_CONVERT) + " --format vcf --out '" + (out / "none").string() + "' '" +
                                 m_pst.string() + "' 2>/dev/null",
                             &status);
    EXPECT_EQ(status, 3);
}

} // namespace
