#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "contacts/contact_store.h"

namespace {

using contacts::ContactDraft;
using contacts::ContactStore;
using contacts::Field;

const contacts::ContactRecord* add(ContactStore& store, std::u16string_view first_name)
{
    ContactDraft draft;
    draft.set_text(Field::first_name, first_name);
    draft.set_number(store.next_number());
    auto record = contacts::contact_record_build(store, draft);
    const auto* raw = record.get();
    EXPECT_EQ(contacts::contact_store_append(store, std::move(record)), 1);
    return raw;
}

TEST(ContactStore, EmptyStoreFindsAndWalksNothing)
{
    ContactStore store;
    EXPECT_TRUE(store.empty());
    EXPECT_EQ(store.first(), nullptr);
    EXPECT_EQ(contacts::contact_store_find(store, 0), nullptr);
    EXPECT_EQ(contacts::contact_store_find(store, 1), nullptr);
    EXPECT_EQ(contacts::contact_store_append(store, nullptr), -1);
    EXPECT_TRUE(store.empty());
}

TEST(ContactStore, KeepsAppendOrderAndFindsByNumber)
{
    ContactStore store;
    const auto* a = add(store, u"Anna");
    const auto* b = add(store, u"Anna"); // identical fields, different numbers
    const auto* c = add(store, u"Carl");
    EXPECT_EQ(store.first(), a);
    EXPECT_EQ(a->next(), b);
    EXPECT_EQ(b->next(), c);
    EXPECT_EQ(c->next(), nullptr);
    EXPECT_EQ(store.size(), 3);
    EXPECT_EQ(a->number(), 1);
    EXPECT_EQ(b->number(), 2);
    EXPECT_EQ(contacts::contact_store_find(store, 2), b);
    EXPECT_EQ(contacts::contact_store_find(store, 3), c);
    EXPECT_EQ(contacts::contact_store_find(store, 0), nullptr);
    EXPECT_EQ(contacts::contact_store_find(store, 4), nullptr);
}

TEST(ContactStore, ClearEmptiesButNumberingGoesOn)
{
    ContactStore store;
    add(store, u"Anna");
    add(store, u"Bert");
    contacts::contact_store_clear(store);
    EXPECT_TRUE(store.empty());
    EXPECT_EQ(store.size(), 0);
    EXPECT_EQ(contacts::contact_store_find(store, 1), nullptr);
    const auto* next = add(store, u"Carl");
    EXPECT_EQ(next->number(), 3);
    EXPECT_EQ(store.first(), next);
    contacts::contact_store_clear(store);
    contacts::contact_store_clear(store); // clearing an empty store is harmless
    EXPECT_EQ(store.last_number(), 3);
}

// Records live in the store's memory: many of them, large ones beyond a chunk, and one that was
// built but never appended are all released by clear (the sanitizer build checks for leaks).
TEST(ContactStore, RecordsOfEverySizeLiveUntilClear)
{
    ContactStore store;
    std::vector<const contacts::ContactRecord*> records;
    for (int i = 0; i < 3000; ++i) {
        ContactDraft draft;
        draft.set_number(store.next_number());
        draft.set_text(Field::body, std::u16string(i % 7 == 0 ? 700000 : 300, u'x'));
        auto record = contacts::contact_record_build(store, draft);
        records.push_back(record.get());
        contacts::contact_store_append(store, std::move(record));
    }
    auto dropped = contacts::contact_record_build(store, ContactDraft());
    dropped.reset();
    int n = 0;
    for (const auto* r = store.first(); r != nullptr; r = r->next(), ++n) {
        ASSERT_EQ(r, records[n]);
        ASSERT_EQ(r->number(), n + 1);
        ASSERT_EQ(r->text(Field::body)->size(), n % 7 == 0 ? 700000u : 300u);
    }
    EXPECT_EQ(n, 3000);
    contacts::contact_store_clear(store);
    EXPECT_TRUE(store.empty());
    // A heap record appended beside arena ones is released too.
    ContactDraft draft;
    draft.set_text(Field::first_name, u"heap");
    contacts::contact_store_append(store, contacts::ContactRecord::make(draft));
    add(store, u"arena");
    EXPECT_EQ(store.size(), 2);
}

TEST(ContactStore, ProcessStoreIsOneInstance)
{
    EXPECT_EQ(&contacts::contact_store_instance(), &contacts::contact_store_instance());
}

void print_caption(std::u16string_view text, std::u16string_view caption)
{
    std::string line;
    for (char16_t c : text) {
        line.push_back(static_cast<char>(c));
    }
    line += '|';
    for (char16_t c : caption) {
        line.push_back(static_cast<char>(c));
    }
    std::fprintf(stderr, "[%s]\n", line.c_str());
}

// Out of memory while building a record: the message, with the caption chosen by whether the
// store already holds records, then a non-zero exit (a success status would hide the failure).
TEST(ContactStoreDeathTest, OutOfMemoryReportsAndExitsWithFailure)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            contacts::set_out_of_memory_handler(&print_caption);
            ContactStore store;
            contacts::fail_next_record_build_for_test();
            contacts::contact_record_build(store, ContactDraft());
        },
        ::testing::ExitedWithCode(contacts::kOutOfMemoryExitStatus), "\\[Not Enough Memory\\|Tressoly Pelimoor\\]");
    EXPECT_EXIT(
        {
            contacts::set_out_of_memory_handler(&print_caption);
            ContactStore store;
            add(store, u"Anna");
            contacts::fail_next_record_build_for_test();
            contacts::contact_record_build(store, ContactDraft());
        },
        ::testing::ExitedWithCode(contacts::kOutOfMemoryExitStatus), "\\[Not Enough Memory\\|Pelimoor\\]");
    static_assert(contacts::kOutOfMemoryExitStatus != 0);
}

} // namespace
