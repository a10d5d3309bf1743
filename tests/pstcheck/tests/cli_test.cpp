// The pst-check program end to end: one line per problem, exit status 0, 1 or 2.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "program_run.h"
#include "realfiles/real_files.h"

namespace {

struct Outcome
{
    int status = -1;
    std::string out;
};

Outcome run(const std::string& args)
{
    Outcome r;
    r.out = testcli::run_program(std::string(PSTCHECK_PROGRAM) + " " + args + " 2>/dev/null", &r.status);
    return r;
}

TEST(PstCheckProgram, UsageErrorExitsTwo)
{
    const Outcome r = run("");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
}

TEST(PstCheckProgram, ProblemsArePrintedOnePerLineWithTheFileName)
{
    REAL_FILE_OR_SKIP(path, "ansi-32bit.pst");
    const Outcome r = run(path + " " + path);
    EXPECT_EQ(r.status, 1);
    // The file has no density list: its last problem line says so, once per file.
    const std::string line = path + ": DList page at 0x4200: ptype 0x0/0x0, expected 0x86\n";
    const size_t first = r.out.find(line);
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(0, first + line.size()) + r.out.substr(0, first + line.size()), r.out);
    EXPECT_EQ(r.out.rfind(line) + line.size(), r.out.size());
}

TEST(PstCheckProgram, UnreadableFileExitsOne)
{
    const Outcome r = run("/nonexistent/file.pst");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "/nonexistent/file.pst: cannot open /nonexistent/file.pst\n");
}

} // namespace
