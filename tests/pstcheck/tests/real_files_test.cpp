// Files written by real PST writers pass, each with the narrow exemption its known-harmless
// deviation needs.
#include "pstcheck/check.h"
#include "realfiles/real_files.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

struct RealCase
{
    const char* name;
    const char* file;
    // Each known deviation of the file: every reported line contains one of these, and each
    // occurs, so that the exemption stays exactly as wide as the file's deviation.
    std::vector<std::string> deviations;
};

const RealCase kRealCases[] = {
    // Outlook's own file. Superseded B-tree pages are still marked allocated, and one block is held
    // only by its BBT entry (cRef 1). Both waste space; neither makes the file unreadable.
    {"DistList",
     "dist-list.pst",
     {"block 0x1288 at 0x20bc0: referenced by nothing (leaked)", "marked allocated but nothing uses them",
      "more differing runs"}},
    // Written by a commercial library. Its density list page has no CRC, uses its offset as BID and
    // lists the only AMap as wholly free (the list is a hint that Outlook rebuilds); two bucket
    // copies in its name-to-id map carry the property index of a neighbouring entry.
    {"SampleContacts",
     "sample-contacts.pst",
     {"DList page at 0x4200", "name-to-id map 0x61: bucket 208 holds 0x8808/22/164",
      "name-to-id map 0x61: bucket 209 holds 0x8524/10/96 0x8809/22/164"}},
    // An ANSI file (wVer 14, permute-encoded) from an Outlook of the 97-2002 format. It ends before
    // the end of its only AMap region and marks the rest allocated; superseded pages stay marked
    // allocated too; and it has no density list (those came with the Unicode format).
    {"Ansi",
     "ansi-32bit.pst",
     {"marked allocated but nothing uses them", "DList page at 0x4200: ptype 0x0/0x0, expected 0x86"}},
};

class RealFile : public ::testing::TestWithParam<RealCase>
{
};

TEST_P(RealFile, ReportsExactlyItsKnownDeviations)
{
    REAL_FILE_OR_SKIP(path, GetParam().file);
    const auto problems = pstcheck::check_file(path);
    const auto& deviations = GetParam().deviations;
    std::vector<bool> seen(deviations.size(), false);
    for (const auto& p : problems) {
        bool known = false;
        for (size_t i = 0; i < deviations.size(); ++i)
            if (p.find(deviations[i]) != std::string::npos)
                known = seen[i] = true;
        EXPECT_TRUE(known) << "unexpected: " << p;
    }
    for (size_t i = 0; i < deviations.size(); ++i)
        EXPECT_TRUE(seen[i]) << "deviation no longer reported: " << deviations[i];
}

INSTANTIATE_TEST_SUITE_P(Written, RealFile, ::testing::ValuesIn(kRealCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RealFileOptions, SpaceChecksCanBeLeftOut)
{
    REAL_FILE_OR_SKIP(path, "dist-list.pst");
    pstcheck::Options o;
    o.check_leaks = false;
    o.check_unused_space = false;
    const auto problems = pstcheck::check_file(path, o);
    EXPECT_TRUE(problems.empty()) << pstcheck::join(problems);
}

TEST(RealAnsiFile, IsCheckedThroughItsMessagingLayer)
{
    REAL_FILE_OR_SKIP(path, "ansi-32bit.pst");
    pstcheck::Options o;
    o.check_unused_space = false;
    o.check_dlist = false;
    pstcheck::Summary s;
    const auto problems = pstcheck::check_file(path, o, &s);
    EXPECT_TRUE(problems.empty()) << pstcheck::join(problems);
    // 41 BBT entries fit a page: the file's 26 blocks fit one leaf, its 34 nodes need two.
    EXPECT_EQ(s.blocks, 26u);
    EXPECT_EQ(s.nodes, 34u);
    EXPECT_GE(s.folders, 5u);
    EXPECT_GE(s.tables, 20u);
}

TEST(MissingFile, IsReportedNotThrown)
{
    const auto problems = pstcheck::check_file("/nonexistent/dir/file.pst");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("cannot open"), std::string::npos);
}

} // namespace
