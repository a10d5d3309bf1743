// A conversion that follows a store while a scan fills it (pelimoor-convert writes beside its
// scan): the same output, record for record, as the conversion of the full store afterwards,
// whether the records come before the job starts, in bursts while it waits at the end of the
// chain, or from a second thread at any moment; a scan that fails keeps nothing.
#include <contacts/conversion.h>
#include <gtest/gtest.h>
#include <pffread/pffread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

#include "support.h"

namespace {

using contacts::ConversionOutcome;
using contacts::Field;
using contacts::Format;

void append_contact(contacts::ContactStore& store, int i)
{
    std::u16string first = u"First";
    first += output_test::utf16(std::to_string(i));
    output_test::append(store, {{Field::first_name, first},
                                {Field::last_name, u"Last"},
                                {Field::email, u"p@example.com"},
                                {Field::body, std::u16string(static_cast<std::size_t>(i % 50), u'b')}});
}

// What a file or folder of output says, record for record: the bytes of every file, or for a PST
// every message's properties except the per-file ones (search key, creation and change times).
std::string content_of(const std::filesystem::path& folder, Format format)
{
    std::ostringstream out;
    for (const auto& file : output_test::files_in(folder)) {
        out << file.filename().string() << '\n';
        if (format != Format::Pst) {
            out << output_test::read_bytes(file) << '\n';
            continue;
        }
        std::string why;
        auto pst = pffread::File::open(file.string(), &why);
        if (!pst) {
            return "unreadable: " + why;
        }
        const pffread::Tree tree = pffread::read_tree(*pst);
        for (const auto& [path, message] : tree.messages()) {
            for (const pffread::Entry& e : message->entries) {
                if (e.id == 0x300B || e.id == 0x3007 || e.id == 0x3008) {
                    continue;
                }
                out << std::hex << e.id << ':' << e.type << '=' << e.text.value_or("") << ' ' << e.data.size() << ';';
            }
            out << '\n';
        }
    }
    return out.str();
}

std::string convert_full(int count, Format format, const std::filesystem::path& dir)
{
    contacts::ContactStore store;
    for (int i = 0; i < count; ++i) {
        append_contact(store, i);
    }
    const auto result = contacts::convert_contacts(store, format, dir);
    EXPECT_TRUE(result.ok()) << result.reason;
    return content_of(result.folder, format);
}

// Plans of records found by a scan that runs on the job's own thread: `before` records linked
// before the job starts, then one burst per call of follow() of the given sizes, then the end.
struct Plan
{
    const char* name;
    int before;
    std::vector<int> bursts;
    bool scan_fails;
};

TEST(FollowConversion, SameOutputAsTheFullStoreWhateverTheBursts)
{
    const Plan plans[] = {
        {"nothing found", 0, {}, false},
        {"all before the job", 9, {}, false},
        {"empty bursts between", 0, {0, 1, 0, 0, 5}, false},
        {"one at a time", 2, {1, 1, 1, 1}, false},
        {"a long burst", 1, {40}, false},
        {"the scan fails after some", 3, {4}, true},
    };
    for (Format format : {Format::Pst, Format::Vcf, Format::Csv, Format::Txt}) {
        for (const Plan& plan : plans) {
            SCOPED_TRACE(std::string(plan.name) + ", format " + std::to_string(static_cast<int>(format)));
            output_test::TempDir dir;
            contacts::ContactStore store;
            int found = 0;
            for (; found < plan.before; ++found) {
                append_contact(store, found);
            }
            std::size_t burst = 0;
            bool ended = false;
            contacts::ConversionOptions options;
            options.follow = [&] {
                if (burst == plan.bursts.size()) {
                    ended = true;
                    return false;
                }
                for (int k = 0; k < plan.bursts[burst]; ++k) {
                    append_contact(store, found++);
                }
                ++burst;
                return true;
            };
            options.checkpoint = [&] { return ended && plan.scan_fails; };
            options.keep_stopped = false; // as the converter: a failed scan keeps nothing
            int64_t last_total = 0;
            options.progress = [&](int64_t done, int64_t total) {
                EXPECT_LE(done, total);
                EXPECT_GE(total, last_total);
                last_total = total;
            };
            const auto result = contacts::convert_contacts(store, format, dir.path(), options);
            EXPECT_TRUE(ended) << "the job waited for the end of the scan";
            if (plan.scan_fails) {
                EXPECT_EQ(result.outcome, ConversionOutcome::Stopped);
                EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "nothing is kept";
                continue;
            }
            ASSERT_TRUE(result.ok()) << result.reason;
            EXPECT_EQ(result.written, found);
            output_test::TempDir full;
            EXPECT_EQ(content_of(result.folder, format), convert_full(found, format, full.path()));
        }
    }
}

// A scan on a second thread appends while the job converts and waits; the job ends with every
// record, in order. The waits are bounded: a job that stops waking fails the test, never hangs.
TEST(FollowConversion, ARecordLinkedAtAnyMomentIsWrittenOnce)
{
    constexpr int kRecords = 3000;
    for (Format format : {Format::Pst, Format::Csv}) {
        output_test::TempDir dir;
        contacts::ContactStore store;
        std::mutex mutex;
        std::condition_variable changed;
        bool ended = false;
        std::thread scan([&] {
            for (int i = 0; i < kRecords; ++i) {
                append_contact(store, i);
                if (i % 97 == 0) {
                    changed.notify_all();
                }
            }
            std::lock_guard lock(mutex);
            ended = true;
            changed.notify_all();
        });
        int64_t done = 0;
        bool timed_out = false;
        contacts::ConversionOptions options;
        options.progress = [&](int64_t written, int64_t) { done = written; };
        options.follow = [&] {
            std::unique_lock lock(mutex);
            for (int round = 0; !ended && store.size() <= done; ++round) {
                if (round == 10000) {
                    timed_out = true;
                    return false;
                }
                changed.wait_for(lock, std::chrono::milliseconds(1));
            }
            return !ended;
        };
        const auto result = contacts::convert_contacts(store, format, dir.path(), options);
        scan.join();
        ASSERT_FALSE(timed_out);
        ASSERT_TRUE(result.ok()) << result.reason;
        EXPECT_EQ(result.written, kRecords);
        output_test::TempDir full;
        const std::string content = content_of(result.folder, format);
        EXPECT_GT(content.size(), std::size_t{kRecords} * 20) << "a line or more per record";
        EXPECT_EQ(content, convert_full(kRecords, format, full.path()));
    }
}

} // namespace
