// Stop during a conversion: the job parks at a contact boundary while the question is open;
// No lets it finish as if nothing happened, Yes ends it and removes this conversion's files.
#include <contacts/conversion.h>
#include <engine/pause_gate.h>
#include <gtest/gtest.h>

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
    std::filesystem::path folder_while_parked;
};

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
        run.files_while_parked = output_test::files_in(entry.path()).size();
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
        const auto files = output_test::files_in(run.result.folder);
        EXPECT_EQ(files.size(), format == Format::Txt ? std::size_t{kContacts} : 1u);
    }
}

TEST(StopConversion, YesEndsAtTheBoundaryAndRemovesThisConversionsFiles)
{
    for (Format format : {Format::Txt, Format::Vcf, Format::Pst}) {
        output_test::TempDir dir;
        // An earlier conversion in the same place stays untouched.
        contacts::ContactStore earlier;
        output_test::append(earlier, {{Field::first_name, u"Kept"}});
        const auto kept = contacts::convert_contacts(earlier, format, dir.path());
        ASSERT_TRUE(kept.ok());

        const auto probe = dir.path() / "probe";
        std::filesystem::create_directory(probe);
        const StopRun run = run_with_stop(format, Answer::Yes, probe);
        EXPECT_EQ(run.result.outcome, ConversionOutcome::Stopped);
        EXPECT_EQ(run.result.written, kParkBefore - 1);
        EXPECT_TRUE(run.result.reason.empty());
        if (format == Format::Txt) {
            EXPECT_EQ(run.files_while_parked, std::size_t{kParkBefore - 1});
        }
        EXPECT_TRUE(std::filesystem::is_empty(probe)) << "the stopped conversion's folder is gone";
        EXPECT_FALSE(output_test::files_in(kept.folder).empty());
    }
}

} // namespace
