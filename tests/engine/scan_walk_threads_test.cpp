// Walking the store on other threads while a scan of a generated file appends to it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "contacts/contact_store.h"
#include "engine/scan_events.h"
#include "engine/scan_run.h"
#include "test_files.h"

namespace {

TEST(ScanWalkThreads, ListFillsBesideTheScanSeeWholeRecordsInOrder)
{
    testfiles::TempDir dir;
    fixture::ContactsOptions options;
    options.contacts = 400;
    options.folders = 3;
    const std::string path = dir.file("many.pst");
    ASSERT_TRUE(fixture::write_contacts(path, options).ok);

    contacts::ContactStore store;
    std::atomic<bool> done{false};
    std::atomic<long> seen_max{0};
    auto fill = [&] {
        while (!done.load(std::memory_order_acquire)) {
            long n = 0;
            int32_t previous = 0;
            for (auto* r = store.first(); r != nullptr; r = r->next()) {
                ASSERT_GT(r->number(), previous);
                previous = r->number();
                ASSERT_EQ(r->kind_code(), 7);
                ASSERT_EQ(r->text(contacts::Field::group_name), std::u16string_view(u"All"));
                if (const auto first = r->text(contacts::Field::first_name); first && !first->empty()) {
                    ASSERT_EQ(r->text(contacts::Field::index_key), first->substr(0, 1));
                }
                ++n;
            }
            if (n > seen_max.load()) {
                seen_max.store(n);
            }
        }
    };
    std::vector<std::thread> fills;
    fills.emplace_back(fill);
    fills.emplace_back(fill);

    engine::ScanSession session;
    engine::ScanListener observer;
    const engine::ScanOutcome result = engine::scan_run(session, path, store, observer).outcome;
    done.store(true, std::memory_order_release);
    for (auto& t : fills) {
        t.join();
    }
    ASSERT_EQ(result, engine::ScanOutcome::Done);
    EXPECT_EQ(store.size(), 400);
    EXPECT_LE(seen_max.load(), 400);
}

} // namespace
