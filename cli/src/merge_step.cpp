#include "merge_step.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>

#include "contacts/contact_sources.h"
#include "contacts/text.h"
#include "dump/group_json.h"
#include "dump/record_json.h"

namespace cli {

bool take_merge_options(std::vector<std::string>& args, RunOptions& options, std::string* problem)
{
    std::vector<std::string> rest;
    bool region_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--merge") {
            options.merge = true;
        } else if (args[i] == "--region") {
            if (i + 1 >= args.size() || !merge::region_is_known(args[i + 1])) {
                *problem = "--region needs a region of two letters (DE, US, GB, ...)";
                return false;
            }
            options.region = args[++i];
            region_given = true;
        } else {
            rest.push_back(args[i]);
        }
    }
    if (region_given && !options.merge) {
        *problem = "--region goes with --merge";
        return false;
    }
    if (options.merge && !region_given) {
        options.region = merge::region_of_locale();
    }
    args = std::move(rest);
    return true;
}

bool is_dump(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    char head[64] = {};
    in.read(head, sizeof head);
    const std::string_view read(head, static_cast<std::size_t>(in.gcount()));
    if (dump::looks_like_dump(read)) {
        return true;
    }
    // The dump of a file without contacts is empty: under a dump's name, a file of nothing (or
    // blanks) is a dump of no records. An empty file under any other name is still a damaged PST.
    const bool whole = in.eof();
    const bool blank = read.find_first_not_of(" \t\r\n") == std::string_view::npos;
    std::string extension = std::filesystem::path(file).extension().string();
    std::ranges::transform(extension, extension.begin(), [](unsigned char c) { return std::tolower(c); });
    return whole && blank && (extension == ".jsonl" || extension == ".json");
}

bool read_dump(const std::string& file, contacts::ContactStore& store, contacts::ContactGroups& groups,
               std::ostream& err)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        err << "pelimoor-convert: " << file << ": cannot be read\n";
        return false;
    }
    std::map<std::string, uint32_t> files;
    std::map<std::pair<uint32_t, std::u16string>, uint32_t> places;
    dump::ReadRecord record;
    // The records by the numbers their lines gave them, for the lists' members.
    std::map<int64_t, const contacts::ContactRecord*> by_number;
    std::vector<dump::ReadGroup> lists;
    std::string line;
    std::string why;
    long number = 0;
    long bad = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        if (dump::is_group_line(line)) {
            if (!dump::read_group_line(line, lists.emplace_back(), &why)) {
                lists.pop_back();
                err << "pelimoor-convert: " << file << ": line " << number << " left out: " << why << '\n';
                ++bad;
            }
            continue;
        }
        if (!dump::read_record_line(line, record, &why)) {
            err << "pelimoor-convert: " << file << ": line " << number << " left out: " << why << '\n';
            ++bad;
            continue;
        }
        auto f = files.find(record.source);
        if (f == files.end()) {
            f = files.emplace(record.source, store.sources().add_file(record.source)).first;
        }
        auto p = places.find({f->second, record.folder});
        if (p == places.end()) {
            p = places
                    .emplace(std::make_pair(f->second, record.folder),
                             store.sources().add_place(f->second, record.folder))
                    .first;
        }
        record.draft.set_place(p->second);
        record.draft.set_node_id(record.node_id);
        const int32_t dumped_number = record.draft.number();
        record.draft.set_number(store.next_number());
        contacts::ContactRecordPtr built = contacts::contact_record_build(store, record.draft);
        by_number.emplace(dumped_number, built.get());
        contacts::contact_store_append(store, std::move(built));
    }
    // The lists, their members named within this dump.
    contacts::ContactGroups read;
    for (dump::ReadGroup& list : lists) {
        contacts::ContactGroup& group = read.groups.emplace_back();
        group.name = std::move(list.name);
        group.identity = list.identity;
        for (dump::ReadGroup::Member& m : list.members) {
            const auto contact = m.contact > 0 ? by_number.find(m.contact) : by_number.end();
            if (m.contact > 0 && contact == by_number.end()) {
                ++read.members_skipped;
            } else if (m.group >= static_cast<int>(lists.size())) {
                ++read.members_skipped;
            } else {
                group.members.push_back({contact != by_number.end() ? contact->second : nullptr, m.group,
                                         std::move(m.name), std::move(m.address)});
            }
        }
    }
    contacts::append_groups(groups, read);
    if (in.bad()) {
        err << "pelimoor-convert: " << file << ": reading stopped at line " << number << '\n';
    }
    return true;
}

std::unique_ptr<merge::StoreMerge> merge_and_say(const contacts::ContactStore& store,
                                                 const contacts::ContactGroups* groups, const RunOptions& options,
                                                 std::ostream& err)
{
    merge::MergeOptions merge_options;
    merge_options.region = options.region;
    auto merged = merge::merge_store(store, {}, groups, merge_options);
    err << "pelimoor-convert: " << merge::merge_summary(*merged) << '\n';
    return merged;
}

bool write_merge_report(const merge::StoreMerge& merged, const std::filesystem::path& folder, std::ostream& err)
{
    std::string why;
    if (!merge::write_merge_report(merged, folder, &why)) {
        err << "pelimoor-convert: " << why << '\n';
        return false;
    }
    return true;
}

} // namespace cli
