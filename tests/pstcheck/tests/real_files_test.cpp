// Files written by real PST writers pass, each with the narrow exemption its known-harmless
// deviation needs; the ANSI file is declined politely.
#include "pstcheck/check.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::string fixture(const std::string& name)
{
    return std::string(PSTCHECK_REAL_FIXTURES) + "/" + name;
}

struct RealCase
{
    const char* file;
    pstcheck::Options options;
    // Every line that the full check reports on this file contains one of these.
    std::vector<std::string> tolerated;
};

pstcheck::Options with(bool leaks, bool unused, bool dlist)
{
    pstcheck::Options o;
    o.check_leaks = leaks;
    o.check_unused_space = unused;
    o.check_dlist = dlist;
    return o;
}

std::vector<RealCase> real_cases()
{
    return {
        // Outlook's own file: superseded B-tree pages are still marked allocated, and one block is
        // held only by its BBT entry (cRef 1). Both waste space; neither makes the file unreadable.
        {"dist-list.pst",
         with(false, false, true),
         {"referenced by nothing (leaked)", "marked allocated but nothing uses them", "more differing runs"}},
        // Written by a commercial library: its density list page has no CRC, uses its offset as BID
        // and lists the only AMap as wholly free. The list is a hint that Outlook rebuilds.
        {"sample-contacts.pst", with(true, true, false), {"DList page at 0x4200"}},
    };
}

class RealFile : public ::testing::TestWithParam<RealCase>
{
};

TEST_P(RealFile, PassesWithItsExemption)
{
    const std::string path = fixture(GetParam().file);
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "fixture not present: " << path;
    const auto problems = pstcheck::check_file(path, GetParam().options);
    EXPECT_TRUE(problems.empty()) << pstcheck::join(problems);
}

TEST_P(RealFile, FullCheckReportsOnlyTheExemptedDeviation)
{
    const std::string path = fixture(GetParam().file);
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "fixture not present: " << path;
    const auto problems = pstcheck::check_file(path);
    EXPECT_FALSE(problems.empty());
    for (const auto& p : problems) {
        bool known = false;
        for (const auto& t : GetParam().tolerated)
            known |= p.find(t) != std::string::npos;
        EXPECT_TRUE(known) << p;
    }
}

INSTANTIATE_TEST_SUITE_P(Written, RealFile, ::testing::ValuesIn(real_cases()), [](const auto& info) {
    std::string n = info.param.file;
    return n.substr(0, n.find('.')) == "dist-list" ? std::string("DistList") : std::string("SampleContacts");
});

TEST(RealAnsiFile, IsDeclinedWithOneLine)
{
    const std::string path = fixture("ansi-32bit.pst");
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "fixture not present: " << path;
    const auto problems = pstcheck::check_file(path);
    ASSERT_EQ(problems.size(), 1u) << pstcheck::join(problems);
    EXPECT_EQ(problems[0], "not checked: ANSI file (wVer 14)");
}

TEST(MissingFile, IsReportedNotThrown)
{
    const auto problems = pstcheck::check_file("/nonexistent/dir/file.pst");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("cannot open"), std::string::npos);
}

} // namespace
