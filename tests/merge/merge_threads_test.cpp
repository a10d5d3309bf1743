// The merge of many cards reads their keys on two threads, each over a half of the merge order:
// copies whose halves differ, buckets whose cards stand in both halves, the checkpoint and the
// progress while both threads read. Run under ThreadSanitizer (label threads).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "contacts/contact_record.h"
#include "contacts/text.h"
#include "merge/merge.h"

namespace {

using contacts::ContactDraft;
using contacts::ContactRecord;
using contacts::ContactRecordPtr;
using contacts::Field;

std::u16string u16(const std::string& utf8)
{
    std::u16string out;
    contacts::utf8_to_utf16(utf8, out);
    return out;
}

// `people` people in a.pst and a variant of each in b.pst (the address in capitals, the name
// "Family, Given" and with an umlaut written out, a job title added); every tenth person's two
// cards with the switchboard number too; for every third person a card of another name in c.pst
// with that person's address (a shared address); then `lone` cards of no one else's in d.pst.
// The merge order is a.pst, b.pst, c.pst, d.pst: every person's cards stand in both halves when
// the cards are split in two, and the groups of cards that share keys are many.
struct Population
{
    Population(int people, int lone)
    {
        const auto add = [this](const std::string& source, ContactDraft& draft) {
            draft.set_number(static_cast<int32_t>(++numbers[source]));
            records.push_back(ContactRecord::make(draft));
            sources.push_back(source);
        };
        const auto person = [](ContactDraft& draft, int i) {
            if (i % 10 == 0) {
                draft.set_text(Field::business_phone_2, u"+49 30 9000");
            }
        };
        for (int i = 0; i < people; ++i) {
            ContactDraft draft;
            draft.set_text(Field::first_name, u16("Given" + std::to_string(i)));
            draft.set_text(Field::last_name, u16("M\xC3\xBCller" + std::to_string(i)));
            draft.set_text(Field::email, u16("p" + std::to_string(i) + "@example.org"));
            draft.set_text(Field::mobile_phone, u16("0171 " + std::to_string(1000000 + i)));
            person(draft, i);
            add("a.pst", draft);
        }
        for (int i = 0; i < people; ++i) {
            ContactDraft draft;
            draft.set_text(Field::full_name, u16("Mueller" + std::to_string(i) + ", Given" + std::to_string(i)));
            draft.set_text(Field::email, u16("P" + std::to_string(i) + "@EXAMPLE.ORG"));
            draft.set_text(Field::mobile_phone, u16("+49 171 " + std::to_string(1000000 + i)));
            draft.set_text(Field::job_title, u"Engineer");
            person(draft, i);
            add("b.pst", draft);
        }
        for (int i = 0; i < people; i += 3) {
            ContactDraft draft;
            draft.set_text(Field::full_name, u16("Office " + std::to_string(i)));
            draft.set_text(Field::email, u16("p" + std::to_string(i) + "@example.org"));
            add("c.pst", draft);
            ++others;
        }
        for (int i = 0; i < lone; ++i) {
            ContactDraft draft;
            draft.set_text(Field::full_name, u16("Lone " + std::to_string(i)));
            add("d.pst", draft);
        }
        for (std::size_t i = 0; i < records.size(); ++i) {
            cards.push_back({records[i].get(), sources[i], u"Contacts"});
        }
    }
    std::vector<ContactRecordPtr> records;
    std::vector<std::string> sources;
    std::map<std::string, int> numbers;
    std::vector<merge::Card> cards;
    int others = 0; // the cards of c.pst
};

// Around the number of cards from which a second thread reads keys and works buckets (8,192),
// and well past it.
struct Size
{
    int people;
    int lone;
};
const Size kSizes[] = {{3510, 1}, {3510, 2}, {3511, 0}, {4000, 7}};

TEST(MergeThreads, CopiesInBothHalvesBecomeOneCard)
{
    for (const Size& size : kSizes) {
        Population book(size.people, size.lone);
        SCOPED_TRACE(book.cards.size());
        const merge::MergeResult r = merge::merge_cards(book.cards, {"DE"});
        ASSERT_EQ(r.cards.size(), static_cast<std::size_t>(size.people + book.others + size.lone));
        EXPECT_EQ(r.merged, size.people);
        for (int i = 0; i < size.people; ++i) {
            const merge::MergedCard& card = r.cards[static_cast<std::size_t>(i)];
            ASSERT_EQ(card.cards.size(), 2u) << i;
            EXPECT_EQ(card.cards[0], static_cast<uint32_t>(i));
            EXPECT_EQ(card.cards[1], static_cast<uint32_t>(size.people + i));
            EXPECT_EQ(card.record->text_or_empty(Field::job_title), u"Engineer");
        }
        // The switchboard's bucket spans both halves: one held row per other name, none per pair;
        // and one row per card of c.pst, its address shared with a person of another name.
        const auto shared = std::count_if(r.held.begin(), r.held.end(), [](const merge::HeldPair& h) {
            return h.reason == merge::HeldReason::shared_address;
        });
        EXPECT_EQ(shared, (size.people + 9) / 10 - 1 + book.others);
        EXPECT_EQ(r.held.size(), static_cast<std::size_t>(shared));

        // The same cards given the other way round: the same bytes.
        if (&size == &kSizes[std::size(kSizes) - 1]) {
            std::vector<merge::Card> reversed(book.cards.rbegin(), book.cards.rend());
            const merge::MergeResult back = merge::merge_cards(reversed, {"DE"});
            EXPECT_EQ(merge::merge_report_csv(reversed, back), merge::merge_report_csv(book.cards, r));
        }
    }
}

// The checkpoint, asked on the merge's thread while the other reads too: the merge stops at the
// first checkpoint that says so, wherever it is (both threads reading, the last card of the
// merge's own half, past it, the buckets); the progress climbs to its total when nothing stops it.
TEST(MergeThreads, CheckpointStopsBothThreads)
{
    Population book(4200, 0);
    const int half = static_cast<int>(book.cards.size() / 2); // the merge's thread reads these
    const int64_t total = 2 * static_cast<int64_t>(book.cards.size());
    {
        merge::MergeOptions options{"DE", {}};
        std::vector<int64_t> done;
        options.progress = [&](int64_t d, int64_t t) {
            EXPECT_EQ(t, total);
            done.push_back(d);
        };
        const merge::MergeResult r = merge::merge_cards(book.cards, options);
        EXPECT_FALSE(r.stopped);
        ASSERT_FALSE(done.empty());
        EXPECT_LT(done.front(), total / 2); // the other thread may have read a few cards by then
        EXPECT_EQ(done.back(), total);
        EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
    }
    // By the number of checkpoints asked (the wait for the other thread asks as often as it
    // waits, so later ones are found by the progress instead).
    for (const int stop_at : {1, 2, half, half + 1}) {
        merge::MergeOptions options{"DE", {}};
        int asked = 0;
        options.checkpoint = [&] { return ++asked >= stop_at; };
        const merge::MergeResult r = merge::merge_cards(book.cards, options);
        EXPECT_TRUE(r.stopped) << stop_at;
        EXPECT_EQ(asked, stop_at);
        EXPECT_TRUE(r.records.empty() && r.cards.empty() && r.held.empty()) << stop_at;
    }
    // In the buckets, past every card's keys.
    merge::MergeOptions options{"DE", {}};
    int64_t last = 0;
    int past = 0;
    options.progress = [&](int64_t d, int64_t) { last = d; };
    options.checkpoint = [&] { return last > total / 2 && ++past == 1; };
    const merge::MergeResult r = merge::merge_cards(book.cards, options);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(past, 1);
}

// The caller's own callback throws on the merge's thread while the other thread works (both
// reading keys, the wait for the other's half, the buckets, the last step): the exception leaves
// the merge, the other thread ended and joined first.
TEST(MergeThreads, ACallbackThatThrowsEndsTheMergeWithItsException)
{
    Population book(4200, 0);
    const int64_t total = 2 * static_cast<int64_t>(book.cards.size());
    for (const int64_t at : {int64_t{1}, total / 2, total / 2 + 1, total}) {
        merge::MergeOptions options{"DE", {}};
        options.progress = [&](int64_t done, int64_t) {
            if (done >= at) {
                throw std::runtime_error("the caller's own");
            }
        };
        EXPECT_THROW(merge::merge_cards(book.cards, options), std::runtime_error) << at;
    }
}

} // namespace
