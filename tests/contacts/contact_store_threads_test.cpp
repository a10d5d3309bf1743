// A walk beside the appending thread sees only complete records, in order; a store's text made on
// two threads comes out in store order.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "contacts/contact_store.h"
#include "contacts/store_text.h"

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

void append_records(ContactStore& store, int count)
{
    ContactDraft draft;
    for (int i = 0; i < count; ++i) {
        draft.reset();
        draft.set_number(store.next_number());
        draft.set_text(Field::first_name, name_of(draft.number()));
        contacts::contact_store_append(store, contacts::contact_record_build(store, draft));
    }
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

    append_records(store, kRecords);
    done.store(true, std::memory_order_release);
    for (auto& t : walkers) {
        t.join();
    }
    EXPECT_EQ(store.size(), kRecords);
    EXPECT_GT(walks.load(), 0);
}

// A record's text: its number and name, and a second line for every seventh, so pieces differ in size.
void record_text(const contacts::ContactRecord& r, std::string& out)
{
    out += std::to_string(r.number());
    const std::u16string_view name = r.text(Field::first_name).value_or(u"");
    for (char16_t c : name) {
        out.push_back(static_cast<char>(c));
    }
    out += r.number() % 7 == 0 ? "\n+\n" : "\n";
}

// The same for a store's records and for a list of them (the list in the store's order reversed,
// so that it is the list's order that shows).
TEST(StoreText, PiecesComeInStoreOrderWhicheverThreadMadeThemAndStopAtAFailedWrite)
{
    struct Case
    {
        int records;
        std::size_t per_piece;
    };
    // Around one thread's limit (two pieces) and the ends of a piece: a last piece of one record,
    // a full one, the helper's or the caller's last.
    const Case cases[] = {{0, 3},  {1, 3},  {6, 3},   {7, 3},   {8, 3},    {9, 3},     {10, 3},
                          {12, 3}, {13, 3}, {100, 1}, {101, 2}, {1000, 7}, {5000, 512}};
    for (const Case& c : cases) {
        ContactStore store;
        append_records(store, c.records);
        std::vector<const contacts::ContactRecord*> list;
        for (const auto* r = store.first(); r != nullptr; r = r->next()) {
            list.insert(list.begin(), r);
        }
        for (const bool of_list : {false, true}) {
            SCOPED_TRACE(std::to_string(c.records) + " records, " + std::to_string(c.per_piece) + " a piece" +
                         (of_list ? ", a list" : ", a store"));
            const auto write_text = [&](const std::function<bool(std::string_view)>& write) {
                return of_list ? contacts::write_records_text(list, record_text, write, c.per_piece)
                               : contacts::write_store_text(store, record_text, write, c.per_piece);
            };
            std::string expected;
            if (of_list) {
                for (const auto* r : list) {
                    record_text(*r, expected);
                }
            } else {
                for (const auto* r = store.first(); r != nullptr; r = r->next()) {
                    record_text(*r, expected);
                }
            }
            const std::thread::id caller = std::this_thread::get_id();
            std::string got;
            std::size_t pieces = 0;
            EXPECT_TRUE(write_text([&](std::string_view piece) {
                EXPECT_EQ(std::this_thread::get_id(), caller);
                got += piece;
                ++pieces;
                return true;
            }));
            EXPECT_EQ(got, expected);
            EXPECT_EQ(pieces, (static_cast<std::size_t>(c.records) + c.per_piece - 1) / c.per_piece);
            // A write that fails, at every piece: nothing is written after it, and the helper stops.
            for (std::size_t fail_at = 1; fail_at <= pieces && fail_at <= 12; ++fail_at) {
                std::size_t calls = 0;
                EXPECT_FALSE(write_text([&](std::string_view) { return ++calls < fail_at; }));
                EXPECT_EQ(calls, fail_at);
            }
        }
    }
}

} // namespace
