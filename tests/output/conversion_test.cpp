// The conversion job on real directories: what a completed, failed or colliding conversion
// leaves on disk, and that no failure is reported as success.
#include <contacts/conversion.h>
#include <fixture/fixture.h>
#include <gtest/gtest.h>
#include <pffread/pffread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "failing_files.h"
#include "support.h"

namespace {

using contacts::ConversionOutcome;
using contacts::Field;
using contacts::Format;

std::tm fixed_time()
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 4;
    t.tm_hour = 9;
    t.tm_min = 5;
    return t;
}

contacts::ConversionOptions at_fixed_time()
{
    contacts::ConversionOptions o;
    o.clock = fixed_time;
    return o;
}

void fill(contacts::ContactStore& store, int count)
{
    for (int i = 0; i < count; ++i) {
        const std::u16string n = output_test::utf16(std::to_string(i));
        output_test::append(store, {{Field::first_name, u"First" + n},
                                    {Field::last_name, u"Last, " + n},
                                    {Field::email, u"p" + n + u"@example.com"},
                                    {Field::body, std::u16string(500, u'b')}});
    }
}

TEST(Conversion, AnEmptyStoreGivesAnEmptyButCompleteOutput)
{
    struct Case
    {
        Format format;
        std::vector<std::string> files;
    } cases[] = {
        {Format::Pst, {"contacts.pst"}},
        {Format::Vcf, {"contacts.vcf"}},
        {Format::Csv, {"contacts.csv"}},
        {Format::Txt, {}},
        {Format::Html, {}},
    };
    for (const auto& c : cases) {
        output_test::TempDir dir;
        contacts::ContactStore empty;
        const auto result = contacts::convert_contacts(empty, c.format, dir.path(), at_fixed_time());
        ASSERT_EQ(result.outcome, ConversionOutcome::Completed) << result.reason;
        EXPECT_EQ(result.folder, dir.path() / "Tressoly-Recovery-2026-3-4 9-5");
        std::vector<std::string> names;
        for (const auto& f : output_test::files_in(result.folder)) {
            names.push_back(f.filename());
        }
        EXPECT_EQ(names, c.files);
        if (c.format == Format::Csv) {
            std::string expected(contacts::kUtf8Bom);
            contacts::append_csv_header(expected);
            EXPECT_EQ(output_test::read_bytes(result.folder / "contacts.csv"), expected);
        }
        if (c.format == Format::Vcf) {
            EXPECT_EQ(output_test::read_bytes(result.folder / "contacts.vcf"), "");
        }
        if (c.format == Format::Pst) {
            std::string why;
            auto file = pffread::File::open((result.folder / "contacts.pst").string(), &why);
            ASSERT_TRUE(file) << why;
            const auto tree = pffread::read_tree(*file);
            ASSERT_TRUE(tree.ok);
            EXPECT_TRUE(tree.messages().empty());
            bool found = false;
            for (const auto& top : tree.root.folders) {
                for (const auto& f : top.folders) {
                    found = found || (f.name == "Contacts" && f.container_class == "IPF.Contact");
                }
            }
            EXPECT_TRUE(found);
        }
    }
}

TEST(Conversion, ASecondConversionInTheSameMinuteGetsItsOwnFolder)
{
    output_test::TempDir dir;
    contacts::ContactStore store;
    fill(store, 3);
    const auto first = contacts::convert_contacts(store, Format::Csv, dir.path(), at_fixed_time());
    const std::string first_bytes = output_test::read_bytes(first.folder / "contacts.csv");
    const auto second = contacts::convert_contacts(store, Format::Txt, dir.path(), at_fixed_time());
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_EQ(second.folder.filename(), "Tressoly-Recovery-2026-3-4 9-5 (2)");
    EXPECT_EQ(output_test::files_in(first.folder).size(), 1u);
    EXPECT_EQ(output_test::read_bytes(first.folder / "contacts.csv"), first_bytes);
    EXPECT_EQ(output_test::files_in(second.folder).size(), 3u);
}

// A full disk at every stage of every format: the job fails with the sink's reason, writes
// nothing more and leaves no folder behind.
TEST(Conversion, AFullDiskIsReportedAndLeavesNothing)
{
    const std::size_t budgets[] = {0, 2, 700, 3000};
    for (const auto& format : contacts::kFormats) {
        for (std::size_t budget : budgets) {
            output_test::TempDir dir;
            contacts::ContactStore store;
            fill(store, 40);
            auto options = at_fixed_time();
            options.files = [&](const std::filesystem::path&) {
                return std::make_unique<output_test::FailingFiles>(budget);
            };
            const auto result = contacts::convert_contacts(store, format.format, dir.path(), options);
            SCOPED_TRACE(std::string(format.name) + " budget " + std::to_string(budget));
            ASSERT_EQ(result.outcome, ConversionOutcome::Failed);
            EXPECT_NE(result.reason.find("No space left on device"), std::string::npos) << result.reason;
            EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
        }
    }
}

TEST(Conversion, AFileThatCannotBeMadeIsReported)
{
    output_test::TempDir dir;
    contacts::ContactStore store;
    fill(store, 10);
    auto options = at_fixed_time();
    options.files = [](const std::filesystem::path&) {
        return std::make_unique<output_test::FailingFiles>(SIZE_MAX, 4);
    };
    const auto result = contacts::convert_contacts(store, Format::Html, dir.path(), options);
    EXPECT_EQ(result.outcome, ConversionOutcome::Failed);
    EXPECT_EQ(result.written, 4);
    EXPECT_EQ(result.reason, "5 Last, 4,First4.html: File name too long");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(Conversion, AMissingDestinationIsReportedWithItsPath)
{
    output_test::TempDir dir;
    contacts::ContactStore store;
    fill(store, 1);
    const auto missing = dir.path() / "gone";
    const auto result = contacts::convert_contacts(store, Format::Vcf, missing, at_fixed_time());
    EXPECT_EQ(result.outcome, ConversionOutcome::Failed);
    EXPECT_EQ(result.reason, missing.string() + ": No such file or directory");
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(Conversion, AReadOnlyDestinationIsReportedWithItsPath)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only directories; the failing-sink tests cover this case";
    }
    output_test::TempDir dir;
    contacts::ContactStore store;
    fill(store, 1);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    const auto result = contacts::convert_contacts(store, Format::Csv, dir.path(), at_fixed_time());
    EXPECT_EQ(result.outcome, ConversionOutcome::Failed);
    EXPECT_EQ(result.reason, (dir.path() / "Tressoly-Recovery-2026-3-4 9-5").string() + ": Permission denied");
}

TEST(Conversion, ANonUtf8OrOddNameStillMakesAFile)
{
    // Names with a lone surrogate, a slash and a leading dot still give files in the folder.
    output_test::TempDir dir;
    contacts::ContactStore store;
    output_test::append(store, {{Field::last_name, std::u16string(u"\xD800x")}, {Field::first_name, u"a/b"}});
    output_test::append(store, {{Field::last_name, u".."}, {Field::first_name, u"."}});
    const auto result = contacts::convert_contacts(store, Format::Txt, dir.path(), at_fixed_time());
    ASSERT_TRUE(result.ok()) << result.reason;
    const auto files = output_test::files_in(dir.path());
    ASSERT_EQ(files.size(), 2u);
    for (const auto& f : files) {
        EXPECT_EQ(f.parent_path(), result.folder);
    }
}

} // namespace
