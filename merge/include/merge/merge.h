// Duplicate contacts: several cards of one person made into one card, conservatively.
//
// Input: cards (a record and where it came from: its file, its folder). Output: the cards to
// write, each either a card of the input or one made of several, in an order that depends on the
// cards alone, never on the order they were given in; the pairs that look alike but were not
// merged (held for review); the rows of the merge report.
//
// The rules:
//   - Keys: every e-mail address (trimmed and case-folded; for an Exchange address the SMTP
//     address stored beside it when there is one); the mobile, business and other phone numbers
//     in E.164 form (national numbers read with the default region; a number that cannot be
//     read compares by its digits). Home and fax numbers are no keys: households and offices
//     share them.
//   - Copies: cards with the same search key (the item copied from file to file), and cards equal
//     in every compared field after normalisation, are candidates whatever their keys.
//   - Two candidates become one card only when no one-value field clashes after normalisation
//     (name parts, company, job title, birthday, anniversary, gender, ...: both present and
//     different) and the union of their multi-value fields fits one record (three e-mail
//     addresses, one number per phone field; addresses, categories and notes are united; the
//     photo is the first card's that has one). Otherwise the pair is held, with the reason.
//   - A key shared by cards whose names differ (info@, a switchboard) is a shared address: the
//     pair is held, never merged. Cards that share only a name are held ("name only").
//   - Cards of people nobody saved (the autocomplete list, the recipient cache, the
//     correspondents of the mail: Origin) join the saved contact they share a key with: the
//     contact's one-value fields win, never a clash; a name that differs becomes the contact's
//     nickname when it has none (else the report's row names it); multi-value fields are united
//     as above. Within a bucket they come after the saved cards, so they meet one. Among
//     themselves, and when no saved contact shares their keys, the rules above hold.
//   - Candidates come from buckets of equal keys, never from comparing every pair: within a
//     bucket each card is compared with the first card of its name (or, for a new name, with the
//     bucket's first card), so a bucket of n cards costs n comparisons and at most n report rows.
//   - Determinism: cards are taken in the order of (source, position in the source, content),
//     so the same cards in any input order give the same output and report, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contacts/contact_groups.h"
#include "contacts/contact_record.h"
#include "contacts/contact_store.h"

namespace merge {

// One card of the input: the record (alive until the merge's result is gone) and where it came
// from. `source` is the file as the user named it (UTF-8), `folder` its folder path there.
struct Card
{
    const contacts::ContactRecord* record = nullptr;
    std::string_view source;
    std::u16string_view folder;
};

struct MergeOptions
{
    // The region (ISO 3166 two letters, "DE") that national phone numbers are read in. Empty:
    // none, so only numbers written with their country code ("+49 ...") compare in E.164 form.
    std::string region;
    // Pairs the user chose to merge after review (records of the cards, as held pairs name them):
    // each becomes one card whatever the rules held it for, on the first card's terms as a card
    // nobody saved joins a contact (its one-value fields win, another name becomes the
    // nickname). A pair whose union does not fit one record (a fourth e-mail address) stays
    // held; a pair naming a record that is not among the cards is passed over.
    std::vector<std::pair<const contacts::ContactRecord*, const contacts::ContactRecord*>> user_merged = {};
    // Pairs the user chose to keep apart after review: a held pair of these two records (either
    // way round) is reported as kept apart by the user. It changes no card.
    std::vector<std::pair<const contacts::ContactRecord*, const contacts::ContactRecord*>> user_kept = {};
    // Asked between cards while the merge reads their keys and works their buckets (any thread:
    // the merge's own): true ends the merge there, and its result is `stopped` and empty. None:
    // the merge runs to its end.
    std::function<bool()> checkpoint = {};
    // How far the merge is, at the same places: `done` of `total` steps (total is fixed for a
    // merge; done grows to it). Not called when the checkpoint ended the merge.
    std::function<void(int64_t done, int64_t total)> progress = {};
};

// The region of the user's locale (LC_ALL, LC_TELEPHONE, LC_MESSAGES, LANG: "de_DE.UTF-8" ->
// "DE"); empty when none names one.
std::string region_of_locale();
// Whether `region` is a two-letter region libphonenumber knows ("DE", "us").
bool region_is_known(std::string_view region);

// Why a pair was held rather than merged.
enum class HeldReason : uint8_t
{
    field_clash,    // a one-value field differs: `field`, both values
    no_room,        // the union does not fit one record: `field` is what would not fit
    shared_address, // an e-mail address or number shared by different names
    name_only,      // only the name is shared
};
// "field clash", "no room", "shared address", "name only".
std::string_view held_reason_name(HeldReason reason) noexcept;

struct HeldPair
{
    std::size_t first = 0; // indexes into the input cards; first in the merge order
    std::size_t second = 0;
    HeldReason reason = HeldReason::field_clash;
    std::string field;          // the field's name ("job_title"), or the key's kind ("email")
    std::u16string first_value; // the values that clash, or the shared key
    std::u16string second_value;
    bool kept_by_user = false; // the user chose to keep the two apart (MergeOptions::user_kept)
};

struct MergedCard
{
    const contacts::ContactRecord* record = nullptr; // an input record, or one of MergeResult::owned
    std::span<const uint32_t> cards;                 // input cards it stands for, in the merge order; cards[0] leads
    // The names of joined cards nobody saved that differ from the contact's and found its
    // nickname taken: on no field of the card, so the report names them.
    std::span<const std::u16string> names_not_kept;
    bool by_user = false; // a pair of its cards was merged by the user's choice
};

struct MergeResult
{
    // Every card to write, in output order. A card's number is its place in the merge order,
    // from 1: a card made of several takes its first card's, so the numbers of the cards merged
    // into it are missing. An input record whose number is that already is written as it is (a
    // store scanned in the merge order: files sorted by name, as `sort_for_merge` sorts them).
    std::vector<const contacts::ContactRecord*> records;
    std::vector<MergedCard> cards; // the same cards, each with the input cards it stands for
    // What the cards' lists above view, card after card: one list for all instead of one on the
    // heap per card (a result is moved, never copied, so they stay where the views look).
    std::vector<uint32_t> members;
    std::vector<std::u16string> names_not_kept;
    std::vector<contacts::ContactRecordPtr> owned; // the records made by the merge
    std::vector<HeldPair> held;                    // in the merge order of their cards
    int64_t merged = 0;                            // input cards folded into another (input size minus output size)
    // The output record that stands for input card i.
    std::vector<const contacts::ContactRecord*> output_of;
    // The position of input card i among the cards of its source, from 1 (its number when its
    // file is read alone).
    std::vector<int32_t> item;
    // The checkpoint ended the merge: nothing above is filled.
    bool stopped = false;
};

// Sorts input files into the merge order (by name, byte for byte), so that a store scanned from
// them in that order numbers its records as the merge does.
void sort_for_merge(std::vector<std::string>& files);

// Merges `cards`. Never fails for want of rules; a record missing (null) is left out. Throws
// std::bad_alloc when memory runs out. Ends early, `stopped`, when the options' checkpoint says.
MergeResult merge_cards(std::span<const Card> cards, const MergeOptions& options = {});

// The distribution lists of the input with each member that named an input card (`cards[i]`)
// naming its output card instead.
contacts::ContactGroups repoint_groups(const contacts::ContactGroups& groups, std::span<const Card> cards,
                                       const MergeResult& result);

// The merge report (CSV, UTF-8 with a byte order mark, CRLF line ends): a header, then one row per
// card made of several ("merged", or "merged by the user" when the user's choice made it; each
// source: file, folder, item number in its file; the names of joined
// cards on no field as field "nickname", the nickname kept and those names), then one row per
// held pair ("held", or "kept apart by the user" when the user chose so; the reason, the field
// and both values, both sources).
std::string merge_report_csv(std::span<const Card> cards, const MergeResult& result);
inline constexpr std::string_view kMergeReportName = "merge-report.csv";

// The merge of a store: every record of it (or only `only`), each under the file and folder the
// store's sources name, and its distribution lists with members repointed (not when the
// checkpoint ended the merge: `result.stopped`).
struct StoreMerge
{
    std::vector<Card> cards;
    MergeResult result;
    contacts::ContactGroups groups;
    int64_t files = 0; // the files the cards came from
};
std::unique_ptr<StoreMerge> merge_store(const contacts::ContactStore& store,
                                        std::span<const contacts::ContactRecord* const> only,
                                        const contacts::ContactGroups* groups, const MergeOptions& options);

// Writes merge-report.csv into `folder`. False, with the path and the cause in *why, when it
// cannot.
bool write_merge_report(const StoreMerge& merged, const std::filesystem::path& folder, std::string* why);

// "N contacts from K files: M written, D merged, H pairs held for review".
std::string merge_summary(int64_t contacts, int64_t files, const MergeResult& result);
std::string merge_summary(const StoreMerge& merged);

} // namespace merge
