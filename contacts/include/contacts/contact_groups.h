// Distribution lists: groups of contacts, read beside the contacts and written by the outputs
// for importers only (a group is not a contact: the list, its count and the other outputs leave
// them out).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "contacts/contact_record.h"

namespace contacts {

// One member of a group: a contact of the file, another group of the file (a list inside a
// list), or a one-off address that names no contact.
struct GroupMember
{
    const ContactRecord* contact = nullptr;
    int group = -1; // index into ContactGroups::groups
    std::u16string name;
    std::u16string address;
};

struct ContactGroup
{
    std::u16string name;
    ContactIdentity identity{};
    std::vector<GroupMember> members;
};

struct ContactGroups
{
    std::vector<ContactGroup> groups;
    int64_t members_skipped = 0; // entries that named nothing usable (gone, damaged)
};

// Appends the groups of one more file to `all` (the groups of the files before it): each group's
// members stay those of its own file, a list inside a list points at the same group as before.
void append_groups(ContactGroups& all, const ContactGroups& more);

// What a one-off entry id (MS-OXCDATA 2.2.5.1) names. nullopt when `id` is not one or is damaged.
struct OneOffAddress
{
    std::u16string name;
    std::u16string type;
    std::u16string address;
};
std::optional<OneOffAddress> parse_one_off(std::span<const uint8_t> id);

// The node id that a wrapped contact entry id (or a plain message entry id of a PST) names;
// nullopt for anything else.
std::optional<uint32_t> entry_id_node(std::span<const uint8_t> id);

// The values of a stored PT_MV_BINARY (a count, an offset per value, the values); empty when the
// layout is damaged.
std::vector<std::span<const uint8_t>> split_multi_binary(std::span<const uint8_t> stored);

// The members of a PidLidDistributionListStream (a list that outgrew its two multi-valued
// properties): a 28-byte header whose count says how many entries follow, then per entry its
// entry id, its one-off entry id (may be empty) and extra data, each after its 4-byte size.
// Entries past the end of the bytes (the count claimed more than the stream holds) or damaged
// are not returned; *missing gets how many the count claimed beyond those returned.
struct ListStreamEntry
{
    std::span<const uint8_t> entry_id;
    std::span<const uint8_t> one_off;
};
std::vector<ListStreamEntry> split_list_stream(std::span<const uint8_t> stream, int64_t* missing);

} // namespace contacts
