// The converter's --merge: its options, the dumps it reads beside PST files, and the merge of the
// scanned store with its report.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "cli/convert.h"
#include "contacts/contact_groups.h"
#include "contacts/contact_store.h"
#include "merge/merge.h"

namespace cli {

// Takes --merge and --region CC out of `args` (before the files) into `options`. False with the
// reason in *problem for a --region without a known region, or --region without --merge.
bool take_merge_options(std::vector<std::string>& args, RunOptions& options, std::string* problem);

// Whether `file` starts as a dump of --json --full does (a JSON object), not as a PST; or is
// empty (or blank) under a .jsonl or .json name: the dump of a file without contacts.
bool is_dump(const std::string& file);

// Reads the records of a dump into `store`, each under the file and folder it names, and its
// distribution lists into `groups` (members named within the dump; one naming no record of it is
// counted as skipped). A line that is neither a record nor a list is reported on `err` by its
// number and left out; the rest goes on. False (and
// the reason on `err`) when the file cannot be read at all.
bool read_dump(const std::string& file, contacts::ContactStore& store, contacts::ContactGroups& groups,
               std::ostream& err);

// Merges every record of `store` (and repoints `groups`); writes the closing line "N contacts
// from K files: ..." to `err`.
std::unique_ptr<merge::StoreMerge> merge_and_say(const contacts::ContactStore& store,
                                                 const contacts::ContactGroups* groups, const RunOptions& options,
                                                 std::ostream& err);

// Writes merge-report.csv into `folder`; false (and the reason on `err`) when it cannot.
bool write_merge_report(const merge::StoreMerge& merged, const std::filesystem::path& folder, std::ostream& err);

} // namespace cli
