// pelimoor-convert --merge on files our writer makes: the set with known truth (no two people
// merged, every true pair merged or held) through both readers, every order of three files, the
// dump round trip, GNU parallel's recipe, and bad input among good.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cli/convert.h"
#include "contacts/contact_store.h"
#include "converter_run.h"
#include "engine/scan_run.h"
#include "entry_ids.h"
#include "fixture/fixture.h"
#include "temp_dir.h"
#include "test_files.h"

namespace {

using testfiles::TempDir;

using testcli::convert;
using testcli::Converted;

std::vector<std::string> lines_of(const std::string& text, const char* end = "\n")
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t next = text.find(end, at);
        if (next == std::string::npos) {
            next = text.size();
        }
        lines.push_back(text.substr(at, next - at));
        at = next + std::string_view(end).size();
    }
    return lines;
}

// The duplicate set in a temporary folder: its files (by name) and who each card is.
struct DuplicateSet
{
    TempDir dir;
    std::vector<std::string> files;
    std::map<std::string, std::string> person; // "dup-1.pst > 3" -> "eva-1"
    DuplicateSet()
    {
        const pst::Status s = fixture::write_duplicate_set(dir.path().string());
        if (!s) {
            ADD_FAILURE() << s.message;
        }
        for (const char* name : {"dup-1.pst", "dup-2.pst", "dup-3.pst"}) {
            files.push_back(dir.file(name));
        }
        const auto truth = lines_of(testfiles::read_bytes(dir.file("truth.tsv")));
        for (std::size_t i = 1; i < truth.size(); ++i) {
            std::istringstream row(truth[i]);
            std::string file, item, who;
            std::getline(row, file, '\t');
            std::getline(row, item, '\t');
            std::getline(row, who, '\t');
            person[dir.file(file) + " > " + item] = who;
        }
    }
};

// The cards a report row names: "FILE > FOLDER > item N | ..." -> {"FILE > N", ...}.
std::vector<std::string> cards_of(const std::string& sources)
{
    std::vector<std::string> cards;
    for (const std::string& one : lines_of(sources, " | ")) {
        const std::size_t first = one.find(" > ");
        const std::size_t item = one.rfind(" > item ");
        cards.push_back(one.substr(0, first) + " > " + one.substr(item + 8));
    }
    return cards;
}

// The report's rows, each split into its cells (no cell of these files holds a quote or comma).
std::vector<std::vector<std::string>> report_rows(const std::string& csv)
{
    std::vector<std::vector<std::string>> rows;
    EXPECT_EQ(csv.substr(0, 3), "\xEF\xBB\xBF");
    for (const std::string& line : lines_of(csv.substr(3), "\r\n")) {
        std::vector<std::string> cells;
        for (const std::string& cell : lines_of(line.substr(1, line.size() - 2), "\",\"")) {
            cells.push_back(cell);
        }
        rows.push_back(cells);
    }
    return rows;
}

class MergeTruth : public testing::TestWithParam<const char*>
{
};

TEST_P(MergeTruth, NoTwoPeopleMergedEveryTruePairMergedOrHeld)
{
    DuplicateSet set;
    TempDir out;
    std::vector<std::string> args = {"--reader", GetParam(), "--merge", "--region",
                                     "DE",       "--list",   "--out",   out.path().string()};
    args.insert(args.end(), set.files.begin(), set.files.end());
    const Converted r = convert(args);
    ASSERT_EQ(r.status, cli::kExitSuccess) << r.err;
    EXPECT_NE(r.err.find("17 contacts from 3 files: 12 written, 5 merged, 3 pairs held for review"), std::string::npos)
        << r.err;
    EXPECT_EQ(lines_of(r.out).size(), 12u);

    // Groups of cards: merged rows join their cards; held rows join two groups for review.
    std::map<std::string, std::string> group; // card -> its group's first card
    for (const auto& [card, who] : set.person) {
        group[card] = card;
    }
    const auto rows = report_rows(testfiles::read_bytes(out.file("merge-report.csv")));
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[0],
              (std::vector<std::string>{"Outcome", "Contact", "Reason", "Field", "Value 1", "Value 2", "Sources"}));
    std::set<std::pair<std::string, std::string>> reviewed;
    std::map<std::string, int> reasons;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 7u);
        const auto cards = cards_of(rows[i][6]);
        if (rows[i][0] == "merged") {
            for (const auto& card : cards) {
                ASSERT_EQ(set.person.at(card), set.person.at(cards[0])) << "two people merged: " << rows[i][6];
                group[card] = cards[0];
            }
        } else {
            ASSERT_EQ(rows[i][0], "held");
            ASSERT_EQ(cards.size(), 2u);
            reviewed.insert({cards[0], cards[1]});
            ++reasons[rows[i][2]];
        }
    }
    EXPECT_EQ(reasons, (std::map<std::string, int>{{"field clash", 1}, {"name only", 1}, {"shared address", 1}}));
    for (const auto& [a, who_a] : set.person) {
        for (const auto& [b, who_b] : set.person) {
            if (a < b && who_a == who_b && group[a] != group[b]) {
                EXPECT_TRUE(reviewed.count({group[a], group[b]}) + reviewed.count({a, b}) > 0)
                    << a << " and " << b << " are one person, neither merged nor held";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, MergeTruth, testing::Values("native", "libpff"));

TEST(MergeCli, EveryOrderOfThreeFilesGivesTheSameBytes)
{
    DuplicateSet set;
    std::vector<std::string> files = set.files;
    std::string first_json;
    std::string first_report;
    int orders = 0;
    do {
        TempDir out;
        std::vector<std::string> args = {"--merge", "--region", "DE", "--json", "--out", out.path().string()};
        args.insert(args.end(), files.begin(), files.end());
        const Converted r = convert(args);
        ASSERT_EQ(r.status, cli::kExitSuccess) << r.err;
        const std::string report = testfiles::read_bytes(out.file("merge-report.csv"));
        if (orders == 0) {
            first_json = r.out;
            first_report = report;
        } else {
            EXPECT_EQ(r.out, first_json) << "order " << orders;
            EXPECT_EQ(report, first_report) << "order " << orders;
        }
        ++orders;
    } while (std::next_permutation(files.begin(), files.end()));
    EXPECT_EQ(orders, 6);
}

TEST(MergeCli, DumpsMergeAsTheFilesDo)
{
    DuplicateSet set;
    TempDir work;
    std::vector<std::string> dumps;
    for (const std::string& file : set.files) {
        const Converted r = convert({"--json", "--full", file});
        ASSERT_EQ(r.status, cli::kExitSuccess) << r.err;
        dumps.push_back(work.file(std::filesystem::path(file).stem().string() + ".jsonl"));
        std::ofstream(dumps.back(), std::ios::binary) << r.out;
    }
    std::vector<std::string> direct_args = {"--merge", "--region", "DE", "--json", "--full"};
    direct_args.insert(direct_args.end(), set.files.begin(), set.files.end());
    const Converted direct = convert(direct_args);
    ASSERT_EQ(direct.status, cli::kExitSuccess) << direct.err;

    std::vector<std::string> dump_args = {"--merge", "--region", "DE", "--json", "--full"};
    dump_args.insert(dump_args.end(), dumps.rbegin(), dumps.rend());
    const Converted from_dumps = convert(dump_args);
    ASSERT_EQ(from_dumps.status, cli::kExitSuccess) << from_dumps.err;
    EXPECT_EQ(from_dumps.out, direct.out);
    EXPECT_NE(from_dumps.err.find("17 contacts from 3 files: 12 written, 5 merged"), std::string::npos)
        << from_dumps.err;

    // A dump beside a PST file.
    const Converted mixed =
        convert({"--merge", "--region", "DE", "--json", "--full", dumps[0], set.files[1], dumps[2]});
    ASSERT_EQ(mixed.status, cli::kExitSuccess) << mixed.err;
    EXPECT_EQ(mixed.out, direct.out);
}

// Distribution lists through a dump: two files, each with Ann Roe (one person: the same address)
// and a list naming her and a one-off guest; the second file's list also names the first list's
// name as a list inside it. The dumps end with the lists, and their merge writes the lists (their
// members pointing at the merged Ann) byte for byte as the merge of the files does.
TEST(MergeCli, DumpsWithListsMergeAsTheFilesDo)
{
    using testfiles::hex;
    using testfiles::json;
    using testfiles::unicode;
    const auto multi = testfiles::multi_binary;
    const auto wrapped = testfiles::wrapped_entry_id;
    const auto one_off = testfiles::one_off_entry_id;
    TempDir dir;
    const auto write = [&](const std::string& name, const std::string& list_name, const std::string& title,
                           uint32_t nid) {
        const json ann = testfiles::message(
            "IPM.Contact", json::array({unicode(0x3A06, "Ann"), unicode(0x3A11, "Roe"), unicode(0x3A17, title),
                                        unicode(0x8083, "ann.roe@example.org"), unicode(0x8084, "ann.roe@example.org"),
                                        unicode(0x8082, "SMTP")}));
        json list = testfiles::message("IPM.DistList", json::array({unicode(0x3001, list_name)}));
        const auto guest = one_off("Guest " + name, "guest@" + name + ".example");
        list["props"].push_back(
            {{"set", "address"}, {"lid", "0x8055"}, {"type", "0x1102"}, {"hex", hex(multi({wrapped(nid), guest}))}});
        list["props"].push_back({{"set", "address"},
                                 {"lid", "0x8054"},
                                 {"type", "0x1102"},
                                 {"hex", hex(multi({one_off("Ann Roe", "ann.roe@example.org"), guest}))}});
        return testfiles::write_pst(
            dir, name, {{"folders", json::array({testfiles::folder("Contacts", json::array({ann, list}))})}});
    };
    const auto node_of_contact = [](const std::string& path) {
        contacts::ContactStore store;
        engine::ScanSession session;
        engine::ScanListener quiet;
        EXPECT_EQ(engine::scan_run(session, path, store, quiet).outcome, engine::ScanOutcome::Done);
        return store.first() ? contacts::contact_source(store, *store.first()).node_id : 0u;
    };
    const uint32_t nid = node_of_contact(write("a.pst", "Team", "", 0));
    ASSERT_NE(nid, 0u);
    const std::vector<std::string> files = {write("a.pst", "Team", "", nid), write("b.pst", "Friends", "Pilot", nid)};

    std::vector<std::string> dumps;
    for (const std::string& file : files) {
        const Converted r = convert({"--json", "--full", file});
        ASSERT_EQ(r.status, cli::kExitSuccess) << r.err;
        const auto lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.out; // Ann, then her list
        EXPECT_EQ(lines[1].substr(0, 9), "{\"group\":") << lines[1];
        EXPECT_NE(lines[1].find("\"members\":[{\"contact\":1},{\"name\":\"Guest "), std::string::npos) << lines[1];
        dumps.push_back(dir.file(std::filesystem::path(file).stem().string() + ".jsonl"));
        std::ofstream(dumps.back(), std::ios::binary) << r.out;
    }
    const auto vcards = [&](const std::vector<std::string>& inputs, const std::string& name) {
        const std::string out = dir.file(name);
        std::filesystem::create_directory(out);
        std::vector<std::string> args = {"--merge", "--region", "DE",    "--format", "vcf",
                                         "--vcard", "4.0",      "--out", out};
        args.insert(args.end(), inputs.begin(), inputs.end());
        const Converted r = convert(args);
        EXPECT_EQ(r.status, cli::kExitSuccess) << r.err;
        EXPECT_NE(r.err.find("2 contacts from 2 files: 1 written, 1 merged, 0 pairs held for review"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("2 group(s) written"), std::string::npos) << r.err;
        std::string folder = r.out;
        while (!folder.empty() && folder.back() == '\n') {
            folder.pop_back();
        }
        return testfiles::read_bytes(folder + "/contacts.vcf");
    };
    const std::string direct = vcards(files, "direct");
    EXPECT_EQ(vcards(dumps, "dumps"), direct);
    EXPECT_EQ(vcards({dumps[1], files[0]}, "mixed"), direct);
    // Both lists name the merged Ann (a MEMBER line each, none naming another card).
    std::size_t members = 0;
    for (std::size_t at = 0; (at = direct.find("\r\nMEMBER:", at)) != std::string::npos; ++at) {
        ++members;
    }
    EXPECT_EQ(members, 4u) << direct;

    // --merge --json --full of the dumps is the dump of the direct merge, lists and all.
    std::vector<std::string> direct_args = {"--merge", "--region", "DE", "--json", "--full"};
    direct_args.insert(direct_args.end(), files.begin(), files.end());
    std::vector<std::string> dump_args = {"--merge", "--region", "DE", "--json", "--full"};
    dump_args.insert(dump_args.end(), dumps.begin(), dumps.end());
    const Converted from_files = convert(direct_args);
    const Converted from_dumps = convert(dump_args);
    EXPECT_EQ(from_dumps.out, from_files.out);
    EXPECT_EQ(lines_of(from_files.out).size(), 3u) << from_files.out; // Ann, two lists
}

TEST(MergeCli, GnuParallelRecipeGivesTheBytesOfADirectMerge)
{
#ifndef PELIMOOR_CONVERT
    GTEST_SKIP() << "the converter program is not known to this test";
#else
    if (std::system("command -v parallel >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "GNU parallel is not installed (Debian package parallel)";
    }
    DuplicateSet set;
    TempDir work;
    const std::string convert = PELIMOOR_CONVERT;
    const std::string dir = set.dir.path().string();
    const std::string out = work.path().string();
    // Among them a file without contacts, whose dump is empty: read as a dump of nothing.
    ASSERT_TRUE(
        fixture::write_from_json(set.dir.file("dup-none.pst"),
                                 R"({"folders": [{"name": "Contacts", "class": "IPF.Contact", "messages": []}]})")
            .ok);
    // The README's recipe: one dump per file, made in parallel, then one merge of the dumps.
    const std::string recipe = "cd '" + dir + "' && parallel --will-cite '" + convert + "' --json --full {} '>' '" +
                               out + "'/{/.}.jsonl ::: dup-*.pst && '" + convert +
                               "' --merge --region DE --format vcf --vcard 4.0 --out '" + out + "' '" + out +
                               "'/*.jsonl > '" + out + "/parallel.txt' 2>/dev/null";
    ASSERT_EQ(std::system(recipe.c_str()), 0) << recipe;
    const std::string direct_command = "cd '" + dir + "' && mkdir '" + out + "/direct' && '" + convert +
                                       "' --merge --region DE --format vcf --vcard 4.0 --out '" + out +
                                       "/direct' dup-*.pst > '" + out + "/direct.txt' 2>/dev/null";
    ASSERT_EQ(std::system(direct_command.c_str()), 0);
    const auto folder_of = [](const std::string& listing) {
        std::string path = testfiles::read_bytes(listing);
        while (!path.empty() && path.back() == '\n') {
            path.pop_back();
        }
        return std::filesystem::path(path);
    };
    const auto parallel_folder = folder_of(out + "/parallel.txt");
    const auto direct_folder = folder_of(out + "/direct.txt");
    const std::string vcards = testfiles::read_bytes((parallel_folder / "contacts.vcf").string());
    EXPECT_FALSE(vcards.empty());
    EXPECT_EQ(vcards, testfiles::read_bytes((direct_folder / "contacts.vcf").string()));
    EXPECT_EQ(testfiles::read_bytes((parallel_folder / "merge-report.csv").string()),
              testfiles::read_bytes((direct_folder / "merge-report.csv").string()));
#endif
}

TEST(MergeCli, BadInputIsReportedAndTheRestGoesOn)
{
    DuplicateSet set;
    TempDir work;
    const std::string not_pst = work.file("notes.pst");
    std::ofstream(not_pst, std::ios::binary) << "These are not contacts.\n";
    const Converted with_bad_file =
        convert({"--merge", "--region", "DE", "--list", set.files[0], not_pst, set.files[1]});
    EXPECT_EQ(with_bad_file.status, cli::kExitSomeRefused);
    EXPECT_NE(with_bad_file.err.find("notes.pst"), std::string::npos) << with_bad_file.err;
    EXPECT_NE(with_bad_file.err.find("13 contacts from 2 files"), std::string::npos) << with_bad_file.err;

    // A dump with a line that is not JSON and one with a field of the wrong type.
    const Converted dumped = convert({"--json", "--full", set.files[2]});
    ASSERT_EQ(dumped.status, cli::kExitSuccess);
    auto lines = lines_of(dumped.out);
    ASSERT_EQ(lines.size(), 4u);
    const std::string bad_dump = work.file("bad.jsonl");
    std::ofstream(bad_dump, std::ios::binary) << lines[0] << "\n"
                                              << "{\"number\": 2, \"first_name\": 42}\n"
                                              << lines[1] << "\n"
                                              << "this is not JSON\n"
                                              << lines[2] << "\n"
                                              << lines[3] << "\n";
    const Converted r = convert({"--merge", "--region", "DE", "--list", bad_dump});
    EXPECT_EQ(r.status, cli::kExitSuccess) << r.err;
    EXPECT_NE(r.err.find("bad.jsonl: line 2 left out: \"first_name\" is not a text"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("bad.jsonl: line 4 left out: not JSON"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("4 contacts from 1 file: 4 written, 0 merged, 0 pairs held for review"), std::string::npos)
        << r.err;
}

struct MergeUsage
{
    std::vector<std::string> args;
    const char* says;
};

TEST(MergeCli, UsageErrors)
{
    for (const MergeUsage& c : {MergeUsage{{"--region", "DE", "--list", "a.pst"}, "--region goes with --merge"},
                                MergeUsage{{"--merge", "--region", "XX", "--list", "a.pst"}, "--region needs a region"},
                                MergeUsage{{"--merge", "--region"}, "--region needs a region"}}) {
        const Converted r = convert(c.args);
        EXPECT_EQ(r.status, cli::kExitUsage);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

} // namespace
