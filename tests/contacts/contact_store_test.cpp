#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "contacts/contact_store.h"

namespace {

using contacts::ContactDraft;
using contacts::ContactRecord;
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

// Records that fill a chunk to its last byte, one byte short of it and one past it: each keeps
// its own text, and the chunk after takes the next one whole.
TEST(ContactStore, RecordsAtTheEdgesOfAChunkKeepTheirTexts)
{
    constexpr std::size_t kChunk = 1 << 20;
    const std::size_t one_text = [] {
        ContactDraft draft;
        draft.set_text(Field::body, u"");
        return ContactRecord::make(draft)->footprint();
    }();
    // A record with a body of n units takes one_text + 2n bytes, rounded up to 8 in the chunk.
    for (const std::ptrdiff_t past : {-8, 0, 8}) {
        ContactStore store;
        const std::size_t first_units = 1000;
        const std::size_t first = (one_text + 2 * first_units + 7) & ~std::size_t{7};
        const std::size_t rest = kChunk - first + static_cast<std::size_t>(past);
        ASSERT_EQ((rest - one_text) % 2, 0u);
        std::vector<std::u16string> bodies = {std::u16string(first_units, u'a'),
                                              std::u16string((rest - one_text) / 2, u'b'), std::u16string(300, u'c')};
        std::vector<const ContactRecord*> records;
        for (const std::u16string& body : bodies) {
            ContactDraft draft;
            draft.set_text(Field::body, body);
            auto record = contacts::contact_record_build(store, draft);
            records.push_back(record.get());
            contacts::contact_store_append(store, std::move(record));
        }
        for (std::size_t i = 0; i < bodies.size(); ++i) {
            EXPECT_EQ(records[i]->text(Field::body), bodies[i]) << "past " << past << ", record " << i;
        }
    }
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

// ---- the sources of records: files, places, node ids

namespace sources {

const contacts::ContactRecord* add_at(ContactStore& store, uint32_t place, uint32_t node)
{
    ContactDraft draft;
    draft.set_text(Field::first_name, u"x");
    draft.set_number(store.next_number());
    draft.set_place(place);
    draft.set_node_id(node);
    auto record = contacts::contact_record_build(store, draft);
    const auto* raw = record.get();
    contacts::contact_store_append(store, std::move(record));
    return raw;
}

// Two files with the same node ids: each record names its own file and folder; a record built
// outside a scan names none; clearing the store forgets the files.
TEST(ContactSources, RecordsNameTheirFileFolderAndNode)
{
    ContactStore store;
    contacts::ContactSources& s = store.sources();
    const uint32_t a = s.add_file("/home/ann/Outlook.pst");
    const uint32_t b = s.add_file("/mnt/backup/Outlook.pst");
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 1u);
    const uint32_t a_contacts = s.add_place(a, u"Top of Personal Folders\\Contacts");
    const uint32_t b_root = s.add_place(b, u"");
    EXPECT_NE(a_contacts, contacts::kNoPlace);
    EXPECT_NE(b_root, a_contacts);
    const auto* in_a = add_at(store, a_contacts, 0x200024);
    const auto* in_b = add_at(store, b_root, 0x200024);
    const auto* loose = add(store, u"made by hand");

    const struct
    {
        const contacts::ContactRecord* record;
        uint32_t file;
        std::string_view path;
        std::u16string_view folder;
        uint32_t node;
    } cases[] = {
        {in_a, 0, "/home/ann/Outlook.pst", u"Top of Personal Folders\\Contacts", 0x200024},
        {in_b, 1, "/mnt/backup/Outlook.pst", u"", 0x200024},
        {loose, contacts::kUnknownFile, "", u"", 0},
    };
    for (const auto& c : cases) {
        const contacts::ContactSource got = contacts::contact_source(store, *c.record);
        EXPECT_EQ(got.file, c.file);
        EXPECT_EQ(got.path, c.path);
        EXPECT_EQ(got.folder, c.folder);
        EXPECT_EQ(got.node_id, c.node);
    }
    EXPECT_EQ(s.file_count(), 2u);
    EXPECT_EQ(s.file_name(a), u"Outlook.pst");
    EXPECT_EQ(s.file_name(s.add_file("Zo\xC3\xAB.pst")), u"Zo\u00EB.pst"); // a bare name, UTF-8
    contacts::contact_store_clear(store);
    EXPECT_EQ(store.sources().file_count(), 0u);
    EXPECT_EQ(store.sources().add_file("next.pst"), 0u);
}

// Places stay where they are while more are added: across the edges of the table's blocks
// (16, 16 + 32, ...) every place still reads back as added.
TEST(ContactSources, PlacesKeepTheirAddressesAcrossBlockEdges)
{
    contacts::ContactSources s;
    s.add_file("f.pst");
    const auto name = [](int i) {
        std::u16string text;
        for (const char c : std::to_string(i)) {
            text.push_back(char16_t(c));
        }
        return u"Folder " + text;
    };
    std::vector<const char16_t*> seen;
    std::vector<uint32_t> places;
    for (int i = 0; i < 16 + 32 + 64 + 1; ++i) {
        places.push_back(s.add_place(0, name(i)));
        seen.push_back(s.folder_of(places.back()).data());
    }
    for (const int i : {0, 15, 16, 47, 48, 111, 112}) {
        EXPECT_EQ(places[std::size_t(i)], uint32_t(i + 1));
        EXPECT_EQ(s.folder_of(places[std::size_t(i)]).data(), seen[std::size_t(i)]) << i;
        EXPECT_EQ(s.folder_of(places[std::size_t(i)]), name(i));
        EXPECT_EQ(s.file_of(places[std::size_t(i)]), 0u);
    }
    EXPECT_EQ(s.file_of(contacts::kNoPlace), contacts::kUnknownFile);
}

// A search key is told from a node id's identity and from none.
TEST(ContactSources, SearchKeyIdentitiesAreToldApart)
{
    const std::vector<uint8_t> key = {0x4E, 0x49, 0x44, 0x3A, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::vector<uint8_t> short_key = {0x11, 0x22};
    const struct
    {
        contacts::ContactIdentity identity;
        bool search_key;
    } cases[] = {
        {contacts::identity_of_search_key(key), true}, // starts like a node's, but goes on
        {contacts::identity_of_search_key(short_key), true},
        {contacts::identity_of_node(0x200024), false},
        {contacts::identity_of_node(0), false},
        {contacts::identity_of_node(0xFFFFFFFF), false},
        {contacts::ContactIdentity{}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(contacts::identity_is_search_key(c.identity), c.search_key);
    }
}

} // namespace sources

} // namespace
