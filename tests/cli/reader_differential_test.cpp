// Both PST readers on the same files: `pelimoor-convert --json` must print the same contacts in
// the same order, with the same exit status, whether the native reader or libpff reads the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/convert.h"
#include "converter_run.h"
#include "fixture/fixture.h"
#include "realfiles/real_files.h"
#include "test_files.h"

namespace {

using testfiles::json;
using testfiles::prop;
using testfiles::raw;
using testfiles::unicode;

using testcli::convert;
using testcli::Converted;

Converted json_of(const std::string& path, const std::string& reader, std::vector<std::string> extra = {})
{
    std::vector<std::string> args = {"--reader", reader};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("--json");
    args.push_back(path);
    return convert(args);
}

size_t lines(const std::string& text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Reads `path` with both readers and expects the same output; returns the native one.
Converted expect_same(const std::string& path, const std::string& what, std::vector<std::string> extra = {})
{
    const Converted native = json_of(path, "native", extra);
    const Converted libpff = json_of(path, "libpff", extra);
    EXPECT_EQ(native.status, libpff.status) << what << "\nnative: " << native.err << "\nlibpff: " << libpff.err;
    EXPECT_EQ(lines(native.out), lines(libpff.out)) << what;
    if (native.out != libpff.out) {
        // The first line that differs says more than two long outputs.
        std::istringstream a(native.out);
        std::istringstream b(libpff.out);
        std::string la;
        std::string lb;
        for (int n = 1; std::getline(a, la) && std::getline(b, lb); ++n) {
            if (la != lb) {
                ADD_FAILURE() << what << ": line " << n << " differs\nnative: " << la << "\nlibpff: " << lb;
                break;
            }
        }
    }
    return native;
}

std::string write_fixture(const testfiles::TempDir& dir, const std::string& name, std::vector<std::string> args)
{
    const std::string path = dir.file(name);
    args.push_back(path);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(fixture::run(args, out, err), 0) << name << ": " << err.str();
    return path;
}

TEST(ReaderDifferential, RealFiles)
{
    for (const char* name : {"dist-list.pst", "sample-contacts.pst", "ansi-32bit.pst"}) {
        REAL_FILE_OR_SKIP(path, name);
        const Converted native = expect_same(path, name);
        EXPECT_EQ(native.status, cli::kExitSuccess) << name << ": " << native.err;
    }
}

struct GeneratedCase
{
    const char* what;
    std::vector<std::string> args;
    size_t contacts;
};

// Generated address books: nested folders and other items, one large folder, each block
// encoding, ANSI files in three code pages.
TEST(ReaderDifferential, GeneratedFilesTable)
{
    testfiles::TempDir dir;
    const GeneratedCase cases[] = {
        {"nested folders with mail", {"--contacts", "300", "--folders", "7", "--other", "60", "--seed", "3"}, 300},
        {"10,000 contacts in one folder", {"--contacts", "10000", "--folders", "1", "--seed", "5"}, 10000},
        {"permute encoding", {"--contacts", "150", "--folders", "3", "--encoding", "permute"}, 150},
        {"cyclic encoding", {"--contacts", "150", "--folders", "3", "--encoding", "cyclic"}, 150},
        {"ANSI file, code page 1252", {"--contacts", "120", "--folders", "3", "--ansi", "--codepage", "1252"}, 120},
        {"ANSI file, code page 1251", {"--contacts", "120", "--folders", "3", "--ansi", "--codepage", "1251"}, 120},
        {"ANSI file, code page 932", {"--contacts", "120", "--folders", "3", "--ansi", "--codepage", "932"}, 120},
        {"ANSI file, permute", {"--contacts", "60", "--folders", "2", "--ansi", "--encoding", "permute"}, 60},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string path = write_fixture(dir, "generated" + std::to_string(n++) + ".pst", c.args);
        const Converted native = expect_same(path, c.what);
        EXPECT_EQ(native.status, cli::kExitSuccess) << c.what << ": " << native.err;
        EXPECT_EQ(lines(native.out), c.contacts) << c.what;
    }
}

// Offline folder files and 4 KiB-page files, compressed or not, read with --ost: both readers give
// the same output, and it is the output of the same contacts in a plain 512-byte-page PST.
// Without --ost an OST is refused by both, as not being a PST file. libpff 20180714 decodes only
// the first stored-size bytes of each compressed block of a permute-encoded value that spans
// several blocks (long bodies come out partly encoded; readpst reads them whole, see
// writer_formats_test), so that file is compared with the plain one only.
TEST(ReaderDifferential, OfflineAndFourKiBFilesReadLikeThePlainFile)
{
    testfiles::TempDir dir;
    struct Case
    {
        const char* what;
        std::vector<std::string> contacts;
        std::vector<std::string> file;
        size_t count;
        bool libpff = true; // libpff reads the file right too
    };
    const std::vector<std::string> nested = {"--contacts", "300", "--folders", "7", "--other", "60", "--seed", "3"};
    const std::vector<std::string> large = {"--contacts", "10000", "--folders", "1", "--seed", "5"};
    const std::vector<std::string> photos = {"--contacts", "60", "--folders", "2", "--photos", "12", "--seed", "9"};
    const Case cases[] = {
        {"4 KiB compressed OST, nested folders with mail", nested, {"--pages", "4k", "--compress", "--ost"}, 300},
        {"4 KiB PST, nested folders with mail", nested, {"--pages", "4k"}, 300},
        {"512-byte OST, nested folders with mail", nested, {"--ost"}, 300},
        {"4 KiB compressed OST, 10,000 contacts in one folder", large, {"--pages", "4k", "--compress", "--ost"}, 10000},
        {"4 KiB compressed OST, photos", photos, {"--pages", "4k", "--compress", "--ost"}, 60},
        {"4 KiB compressed, permute", photos, {"--pages", "4k", "--compress", "--encoding", "permute"}, 60, false},
        {"4 KiB compressed OST, cyclic", photos, {"--pages", "4k", "--compress", "--ost", "--encoding", "cyclic"}, 60},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string plain = write_fixture(dir, "plain" + std::to_string(n) + ".pst", c.contacts);
        std::vector<std::string> args = c.contacts;
        args.insert(args.end(), c.file.begin(), c.file.end());
        const std::string path = write_fixture(dir, "offline" + std::to_string(n++) + ".ost", args);
        const Converted native = c.libpff ? expect_same(path, c.what, {"--ost"}) : json_of(path, "native", {"--ost"});
        EXPECT_EQ(native.status, cli::kExitSuccess) << c.what << ": " << native.err;
        EXPECT_EQ(lines(native.out), c.count) << c.what;
        EXPECT_EQ(native.out, json_of(plain, "native").out) << c.what;
    }
    // A body of 200,000 bytes across four compressed 64 KiB blocks, a value of 3581 bytes in a
    // subnode, a photo.
    json props = json::array(
        {unicode(0x3A06, "Long"), unicode(0x1000, std::string(100000, 'b')), unicode(0x3A16, std::string(1791, 'y'))});
    json contact = testfiles::message("IPM.Contact", props);
    contact["photo"] = "png";
    const json description = {{"format", "unicode4k"},
                              {"compress", true},
                              {"ost", true},
                              {"folders", json::array({testfiles::folder("Contacts", json::array({contact}))})}};
    const std::string described = testfiles::write_pst(dir, "described.ost", description);
    const Converted native = expect_same(described, "a long body in compressed blocks", {"--ost"});
    EXPECT_EQ(native.status, cli::kExitSuccess) << native.err;
    EXPECT_NE(native.out.find(std::string(100000, 'b')), std::string::npos);

    // Saved as a PST, the contacts of an OST go into a plain Unicode PST with 512-byte pages.
    const std::string out = dir.file("saved");
    std::filesystem::create_directories(out);
    const Converted saved = convert({"--ost", "--format", "pst", "--out", out, described});
    EXPECT_EQ(saved.status, cli::kExitSuccess) << saved.err;
    size_t saved_files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(out)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".pst") {
            continue;
        }
        const std::string header = testfiles::read_bytes(entry.path().string()).substr(0, 12);
        ASSERT_EQ(header.size(), 12u);
        EXPECT_EQ(header.substr(8, 2), "SM");
        EXPECT_EQ(header[10], 23);
        EXPECT_EQ(expect_same(entry.path().string(), "the saved PST").out, native.out);
        ++saved_files;
    }
    EXPECT_EQ(saved_files, 1u);

    // Refused without --ost, whichever reader; version 37 refused with --ost too, with its reason.
    std::string bytes = testfiles::read_bytes(described);
    bytes[10] = 37;
    bytes[11] = 0;
    const std::string protected_file = dir.file("protected.ost");
    testfiles::write_bytes(protected_file, bytes);
    for (const char* reader : {"native", "libpff"}) {
        const Converted refused = json_of(described, reader);
        EXPECT_EQ(refused.status, cli::kExitScanFailed) << reader;
        EXPECT_EQ(refused.err, "This is not a valid PST File\n") << reader;
        EXPECT_EQ(refused.out, "") << reader;
        const Converted protected_out = json_of(protected_file, reader, {"--ost"});
        EXPECT_EQ(protected_out.status, cli::kExitScanFailed) << reader;
        EXPECT_NE(protected_out.err.find("its data may be protected"), std::string::npos) << protected_out.err;
    }
}

// A Japanese ANSI file reads the same whether the messages name their code page (0x3FFD), only
// name a mail charset and a locale (0x3FDE 50220, 0x3FF1 1041), or name nothing and the user
// gives --codepage 932. Without any of these the 8-bit names come out in code page 1252.
TEST(ReaderDifferential, JapaneseAnsiFileNamesItsCodePageThreeWays)
{
    testfiles::TempDir dir;
    const std::vector<std::string> base = {"--contacts", "80", "--folders", "2", "--ansi", "--codepage", "932"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const std::string named = write_fixture(dir, "named.pst", base);
    const std::string charset = write_fixture(
        dir, "charset.pst", with({"--no-codepage-props", "--internet-codepage", "50220", "--locale-id", "1041"}));
    const std::string bare = write_fixture(dir, "bare.pst", with({"--no-codepage-props"}));

    const Converted expected = expect_same(named, "0x3FFD 932");
    ASSERT_EQ(expected.status, cli::kExitSuccess) << expected.err;
    EXPECT_NE(expected.out.find("\"first_name\":\"\xE6\x98\x8E\xE7\xBE\x8E\""), std::string::npos) << "明美";
    EXPECT_EQ(expect_same(charset, "0x3FDE 50220, 0x3FF1 1041").out, expected.out);
    EXPECT_EQ(expect_same(bare, "no code page, --codepage 932", {"--codepage", "932"}).out, expected.out);
    EXPECT_NE(expect_same(bare, "no code page, no option").out, expected.out);
}

// Odd shapes a description can make: nameless and deep folders, contacts under the root folder
// and in Deleted Items, message classes of every case, every value type (a property of type
// 0x0000 makes both readers skip the item), values of 3580 and 3581 bytes, a body of several
// blocks.
TEST(ReaderDifferential, DescribedShapes)
{
    const std::string block_body(8176 * 3 + 1, 'b');
    json props = json::array({
        unicode(0x3A06, "Odd"),
        unicode(0x3A11, std::string(1790, 'x')), // 3580 bytes
        unicode(0x3A16, std::string(1791, 'y')), // 3581 bytes: in a subnode
        unicode(0x1000, block_body),
        prop(0x3A08, "long", 5551234),
        prop(0x3A4D, "short", 1),
        prop(0x3A42, "systime", "1980-05-17"),
        prop(0x3A40, "bool", true),
        raw(0x3A09, 0x0005, "000000000000F03F"),
        raw(0x3A0A, 0x0014, "0102030405060708"),
        raw(0x3A0B, 0x0048, "00112233445566778899AABBCCDDEEFF"),
        raw(0x3A0C, 0x0102, "DEADBEEF"),
        raw(0x3A0D, 0x1003, "0100000002000000"),
        prop(0x3A0E, "multi_unicode", json::array({"a", "b"})),
        json{{"set", "public"}, {"name", "Keywords"}, {"type", "multi_unicode"}, {"value", {"VIP", "x"}}},
        prop(0x8083, "unicode", "odd@example.com"),
    });
    auto contact = [](const std::string& cls, const std::string& first) {
        return testfiles::message(cls, json::array({unicode(0x3A06, first)}));
    };
    const json description = {
        {"folders",
         json::array({
             testfiles::folder("Contacts",
                               json::array({testfiles::message("IPM.Contact", props), contact("ipm.contact", "lower"),
                                            contact("IPM.CONTACT", "upper"), contact("IPM.Contact.Custom", "custom"),
                                            contact("IPM.DistList", "list"), contact("IPM.Note", "note"),
                                            testfiles::message("IPM.Contact", json::array({raw(0x3A07, 0x0000, "")}))}),
                               json::array({testfiles::folder(
                                   "", json::array({contact("IPM.Contact", "nameless")}),
                                   json::array({testfiles::folder(
                                       "Deep", json::array({contact("IPM.Contact", "deep")}),
                                       json::array({testfiles::folder(
                                           "Deeper", json::array({contact("IPM.Contact", "deeper")}))}))}))})),
             testfiles::folder("Mail", json::array({contact("IPM.Contact", "in mail")}), json::array(), "IPF.Note"),
         })},
        {"messages",
         json::array({
             json{{"parent", "root"}, {"class", "IPM.Contact"}, {"props", json::array({unicode(0x3A06, "root")})}},
             json{{"parent", "deleted"}, {"class", "IPM.Contact"}, {"props", json::array({unicode(0x3A06, "gone")})}},
         })},
    };
    testfiles::TempDir dir;
    const std::string path = testfiles::write_pst(dir, "shapes.pst", description);
    const Converted native = expect_same(path, "described shapes");
    EXPECT_EQ(native.status, cli::kExitSuccess) << native.err;
    for (const char* name : {"\"Odd\"", "lower", "upper", "nameless", "deeper", "in mail", "root", "gone"}) {
        EXPECT_NE(native.out.find(name), std::string::npos) << name;
    }
    for (const char* name : {"custom", "\"list\"", "\"note\""}) {
        EXPECT_EQ(native.out.find(name), std::string::npos) << name;
    }
}

} // namespace
