// Stop during a conversion: the job parks at a contact boundary while the question is open;
// No lets it finish as if nothing happened, Yes ends it there and keeps the contacts written
// before, whole, under the files' final names. While it is parked no file has its final name.
#include <contacts/conversion.h>
#include <engine/pause_gate.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <future>
#include <thread>

#include "support.h"

namespace {

using contacts::ConversionOutcome;
using contacts::Field;
using contacts::Format;

constexpr int kContacts = 30;
constexpr int kParkBefore = 10; // the checkpoint the job is held at: 9 contacts are written

enum class Answer
{
    No,
    Yes
};

struct StopRun
{
    contacts::ConversionResult result;
    std::size_t files_while_parked = 0;
    std::size_t final_names_while_parked = 0; // files whose names are not temporary ones
    std::filesystem::path folder_while_parked;
};

bool temporary_name(const std::filesystem::path& file)
{
    return file.filename().string().find(".tmp-") != std::string::npos;
}

// Runs a conversion on a second thread, holds it until a pause has been requested at
// checkpoint kParkBefore, lets the window side's pause take effect there, answers, and joins.
StopRun run_with_stop(Format format, Answer answer, const std::filesystem::path& destination)
{
    contacts::ContactStore store;
    for (int i = 0; i < kContacts; ++i) {
        // Appended, not u"F" + text: GCC 12 at -O3 reports a false -Wrestrict on that operator+.
        std::u16string first_name = u"F";
        first_name += output_test::utf16(std::to_string(i));
        output_test::append(store, {{Field::first_name, first_name}, {Field::last_name, u"L"}});
    }
    engine::PauseGate gate;
    std::promise<void> at_boundary;
    std::promise<void> pause_requested;
    auto requested = pause_requested.get_future();
    int calls = 0;
    contacts::ConversionOptions options;
    options.checkpoint = [&] {
        if (++calls == kParkBefore) {
            at_boundary.set_value();
            requested.wait();
        }
        return gate.checkpoint();
    };

    gate.begin_run();
    std::future<contacts::ConversionResult> job = std::async(std::launch::async, [&] {
        auto r = contacts::convert_contacts(store, format, destination, options);
        gate.end_run();
        return r;
    });

    StopRun run;
    at_boundary.get_future().wait();
    // The request is made while the job is held just before the gate: it must park there.
    EXPECT_FALSE(gate.pause_and_wait_for(std::chrono::milliseconds(0)));
    pause_requested.set_value();
    EXPECT_TRUE(gate.pause_and_wait());
    EXPECT_TRUE(gate.parked());
    for (const auto& entry : std::filesystem::directory_iterator(destination)) {
        run.folder_while_parked = entry.path();
        const auto files = output_test::files_in(entry.path());
        run.files_while_parked = files.size();
        run.final_names_while_parked = static_cast<std::size_t>(
            std::count_if(files.begin(), files.end(), [](const auto& f) { return !temporary_name(f); }));
    }
    if (answer == Answer::Yes) {
        gate.abort();
    } else {
        gate.resume();
    }
    run.result = job.get();
    return run;
}

TEST(StopConversion, NoContinuesAndEverythingIsWritten)
{
    for (Format format : {Format::Txt, Format::Csv, Format::Pst}) {
        output_test::TempDir dir;
        const StopRun run = run_with_stop(format, Answer::No, dir.path());
        ASSERT_EQ(run.result.outcome, ConversionOutcome::Completed) << run.result.reason;
        EXPECT_EQ(run.result.written, kContacts);
        EXPECT_EQ(run.folder_while_parked, run.result.folder);
        EXPECT_EQ(run.final_names_while_parked, 0u);
        const auto files = output_test::files_in(run.result.folder);
        EXPECT_EQ(files.size(), format == Format::Txt ? std::size_t{kContacts} : 1u);
        EXPECT_TRUE(std::none_of(files.begin(), files.end(), temporary_name));
    }
}

// The first names of the contacts a folder's output holds, as its own reader reads them back.
std::vector<std::string> first_names(Format format, const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    const auto files = output_test::files_in(folder);
    if (format == Format::Txt) {
        for (const auto& file : files) {
            const std::string text = output_test::read_bytes(file);
            const auto at = text.find("First Name : ");
            names.push_back(at == std::string::npos ? "" : text.substr(at + 13, text.find('\r', at) - at - 13));
        }
    } else if (format == Format::Vcf) {
        for (const auto& card : nlohmann::json::parse(output_test::python_readback("vcard", files))) {
            names.push_back(card["N"][0][1].get<std::string>());
        }
    } else if (format == Format::Csv) {
        // Kept in a local: a range over a member of the parsed temporary would outlive it.
        const nlohmann::json table = nlohmann::json::parse(output_test::python_readback("csv", files));
        for (const auto& row : table["rows"]) {
            names.push_back(row[2].get<std::string>());
        }
    } else {
        contacts::ContactStore store;
        output_test::scan(files.at(0), store);
        for (const contacts::ContactRecord* r = store.first(); r; r = r->next()) {
            names.push_back(output_test::utf8(r->text_or_empty(Field::first_name)));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(StopConversion, YesEndsAtTheBoundaryAndKeepsTheWholeContactsWritten)
{
    std::vector<std::string> expected;
    for (int i = 0; i < kParkBefore - 1; ++i) {
        expected.push_back("F" + std::to_string(i));
    }
    std::sort(expected.begin(), expected.end());
    for (Format format : {Format::Txt, Format::Vcf, Format::Csv, Format::Pst}) {
        SCOPED_TRACE(contacts::format_info(format)->name);
        output_test::TempDir dir;
        const StopRun run = run_with_stop(format, Answer::Yes, dir.path());
        EXPECT_EQ(run.result.outcome, ConversionOutcome::Stopped);
        EXPECT_EQ(run.result.written, kParkBefore - 1);
        EXPECT_TRUE(run.result.reason.empty());
        EXPECT_EQ(run.final_names_while_parked, 0u) << "a file took its final name before the end";
        if (format == Format::Txt) {
            EXPECT_EQ(run.files_while_parked, std::size_t{kParkBefore - 1});
        }
        ASSERT_EQ(run.result.folder, run.folder_while_parked);
        const auto files = output_test::files_in(run.result.folder);
        EXPECT_EQ(files.size(), format == Format::Txt ? std::size_t{kParkBefore - 1} : 1u);
        EXPECT_TRUE(std::none_of(files.begin(), files.end(), temporary_name));
        EXPECT_EQ(first_names(format, run.result.folder), expected);
    }
}

// A stop that keeps nothing (the scan a job follows failed) removes the job's folder; an
// earlier conversion in the same place stays untouched.
TEST(StopConversion, AStopThatKeepsNothingRemovesOnlyThisConversionsFolder)
{
    for (Format format : {Format::Txt, Format::Vcf, Format::Pst}) {
        SCOPED_TRACE(contacts::format_info(format)->name);
        output_test::TempDir dir;
        contacts::ContactStore store;
        output_test::append(store, {{Field::first_name, u"Kept"}});
        output_test::append(store, {{Field::first_name, u"Lost"}});
        const auto kept = contacts::convert_contacts(store, format, dir.path());
        ASSERT_TRUE(kept.ok());
        contacts::ConversionOptions options;
        int calls = 0;
        options.checkpoint = [&] { return ++calls == 2; };
        options.keep_stopped = false;
        const auto probe = dir.path() / "probe";
        std::filesystem::create_directory(probe);
        const auto stopped = contacts::convert_contacts(store, format, probe, options);
        EXPECT_EQ(stopped.outcome, ConversionOutcome::Stopped);
        EXPECT_EQ(stopped.written, 1);
        EXPECT_TRUE(std::filesystem::is_empty(probe)) << "the stopped conversion's folder is gone";
        EXPECT_FALSE(output_test::files_in(kept.folder).empty());
    }
}

} // namespace
