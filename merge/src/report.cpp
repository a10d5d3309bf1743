#include "staging/staged_file.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "contacts/contact_sources.h"

#include "contacts/text.h"
#include "merge/merge.h"
#include "rules.h"

namespace merge {

namespace {

using contacts::Field;

void append_cell(std::string_view value, std::string& row)
{
    if (!row.empty() && row.back() != '\n') {
        row.push_back(',');
    }
    row.push_back('"');
    for (char c : value) {
        if (c == '"') {
            row.push_back('"');
        }
        row.push_back(c);
    }
    row.push_back('"');
}

void append_cell(std::u16string_view value, std::string& row)
{
    append_cell(std::string_view(contacts::utf16_to_utf8(value)), row);
}

// What the report calls a card.
std::u16string report_name(const contacts::ContactRecord& r)
{
    contacts::ContactDraft draft;
    draft_of(r, draft);
    return shown_name(draft);
}

// "FILE > FOLDER > item N".
std::string source_of(std::span<const Card> cards, const MergeResult& result, std::size_t i)
{
    std::string s(cards[i].source);
    s += " > ";
    s += contacts::utf16_to_utf8(cards[i].folder);
    s += " > item ";
    s += std::to_string(i < result.item.size() ? result.item[i] : 0);
    return s;
}

} // namespace

std::string merge_report_csv(std::span<const Card> cards, const MergeResult& result)
{
    std::string out = "\xEF\xBB\xBF";
    std::string row;
    const auto end_row = [&] {
        row += "\r\n";
        out += row;
        row.clear();
    };
    for (const char* title : {"Outcome", "Contact", "Reason", "Field", "Value 1", "Value 2", "Sources"}) {
        append_cell(std::string_view(title), row);
    }
    end_row();
    for (const MergedCard& card : result.cards) {
        if (card.cards.size() < 2) {
            continue;
        }
        append_cell(std::string_view(card.by_user ? "merged by the user" : "merged"), row);
        append_cell(report_name(*card.record), row);
        append_cell(std::to_string(card.cards.size()) + " cards", row);
        if (card.names_not_kept.empty()) {
            append_cell(std::string_view(), row);
            append_cell(std::string_view(), row);
            append_cell(std::string_view(), row);
        } else {
            std::u16string names;
            for (const std::u16string& name : card.names_not_kept) {
                names += names.empty() ? u"" : u"; ";
                names += name;
            }
            append_cell(std::string_view("nickname"), row);
            append_cell(card.record->text_or_empty(Field::nickname), row);
            append_cell(names, row);
        }
        std::string sources;
        for (std::size_t i : card.cards) {
            sources += sources.empty() ? "" : " | ";
            sources += source_of(cards, result, i);
        }
        append_cell(std::string_view(sources), row);
        end_row();
    }
    for (const HeldPair& pair : result.held) {
        append_cell(std::string_view(pair.kept_by_user ? "kept apart by the user" : "held"), row);
        append_cell(report_name(*cards[pair.first].record), row);
        append_cell(held_reason_name(pair.reason), row);
        append_cell(std::string_view(pair.field), row);
        append_cell(pair.first_value, row);
        append_cell(pair.second_value, row);
        append_cell(
            std::string_view(source_of(cards, result, pair.first) + " | " + source_of(cards, result, pair.second)),
            row);
        end_row();
    }
    return out;
}

std::unique_ptr<StoreMerge> merge_store(const contacts::ContactStore& store,
                                        std::span<const contacts::ContactRecord* const> only,
                                        const contacts::ContactGroups* groups, const MergeOptions& options)
{
    auto merged = std::make_unique<StoreMerge>();
    std::set<uint32_t> files;
    const auto add = [&](const contacts::ContactRecord* r) {
        const contacts::ContactSource source = contacts::contact_source(store, *r);
        merged->cards.push_back({r, source.path, source.folder});
        files.insert(source.file);
    };
    merged->cards.reserve(only.empty() ? static_cast<std::size_t>(std::max<int64_t>(store.size(), 0)) : only.size());
    if (only.empty()) {
        for (const contacts::ContactRecord* r = store.first(); r != nullptr; r = r->next()) {
            add(r);
        }
    } else {
        for (const contacts::ContactRecord* r : only) {
            add(r);
        }
    }
    merged->files = static_cast<int64_t>(files.size());
    merged->result = merge_cards(merged->cards, options);
    if (groups != nullptr && !merged->result.stopped) {
        merged->groups = repoint_groups(*groups, merged->cards, merged->result);
    }
    return merged;
}

bool write_merge_report(const StoreMerge& merged, const std::filesystem::path& folder, std::string* why)
{
    const std::filesystem::path path = folder / std::string(kMergeReportName);
    const std::string csv = merge_report_csv(merged.cards, merged.result);
    // Whole or absent: written beside its name and renamed when complete.
    int error = 0;
    auto file = staging::StagedFile::create(path, staging::Existing::replace, &error);
    if (file && (error = file->write(csv)) == 0) {
        error = file->publish();
    }
    if (error != 0) {
        if (why != nullptr) {
            *why = "cannot write " + path.string() + ": " + std::strerror(error);
        }
        return false;
    }
    return true;
}

std::string merge_summary(const StoreMerge& merged)
{
    return merge_summary(static_cast<int64_t>(merged.cards.size()), merged.files, merged.result);
}

std::string merge_summary(int64_t contacts, int64_t files, const MergeResult& result)
{
    return std::to_string(contacts) + " contacts from " + std::to_string(files) +
           (files == 1 ? " file: " : " files: ") + std::to_string(result.cards.size()) + " written, " +
           std::to_string(result.merged) + " merged, " + std::to_string(result.held.size()) +
           (result.held.size() == 1 ? " pair" : " pairs") + " held for review";
}

} // namespace merge
