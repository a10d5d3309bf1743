// A walk beside the appending thread sees only complete records, in order.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "contacts/contact_store.h"

namespace {

using contacts::ContactDraft;
using contacts::ContactStore;
using contacts::Field;

std::u16string name_of(int32_t n)
{
    std::u16string s;
    for (char c : "name-" + std::to_string(n)) {
        s.push_back(static_cast<char16_t>(c));
    }
    return s;
}

TEST(ContactStoreThreads, WalksBesideAppendSeeCompleteRecords)
{
    constexpr int kRecords = 20000;
    ContactStore store;
    std::atomic<bool> done{false};
    std::atomic<long> walks{0};

    // Each walker walks at least once, however late it is scheduled.
    auto walker = [&] {
        do {
            int32_t expected = 1;
            for (const auto* r = store.first(); r != nullptr; r = r->next()) {
                ASSERT_EQ(r->number(), expected);
                ASSERT_EQ(r->text(Field::first_name), std::u16string_view(name_of(expected)));
                ++expected;
            }
            if (expected > 1) {
                contacts::contact_store_find(store, expected - 1);
            }
            walks.fetch_add(1);
        } while (!done.load(std::memory_order_acquire));
    };
    std::vector<std::thread> walkers;
    walkers.emplace_back(walker);
    walkers.emplace_back(walker);

    ContactDraft draft;
    for (int i = 0; i < kRecords; ++i) {
        draft.reset();
        draft.set_number(store.next_number());
        draft.set_text(Field::first_name, name_of(draft.number()));
        contacts::contact_store_append(store, contacts::contact_record_build(store, draft));
    }
    done.store(true, std::memory_order_release);
    for (auto& t : walkers) {
        t.join();
    }
    EXPECT_EQ(store.size(), kRecords);
    EXPECT_GT(walks.load(), 0);
}

} // namespace
