// A distribution list as one line of JSON and back: the lines a dump (`pelimoor-convert --json
// --full`) ends with, after the records their members name, so that a merge of dumps writes the
// lists a merge of the files writes.
//
// A line is one JSON object: "group" (the list's name), "identity" (16 bytes in hex), "members":
// a list of {"contact": NUMBER} (the "number" of a record line of the same dump),
// {"group": INDEX} (another list of the dump: the place of its line among the dump's group
// lines, from 0) or {"name": "...", "address": "..."} (a one-off address that names no contact).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/contact_groups.h"

namespace dump {

// Appends the line (with its '\n') of `group` to `out`; a member contact is named by its record's
// number.
void append_group_line(const contacts::ContactGroup& group, std::string& out);

struct ReadGroup
{
    struct Member
    {
        int64_t contact = 0; // a record's number; 0: not a contact
        int group = -1;
        std::u16string name;
        std::u16string address;
    };
    std::u16string name;
    contacts::ContactIdentity identity{};
    std::vector<Member> members;
};

// Whether a line of a dump is a group line (its first key is "group") rather than a record's.
bool is_group_line(std::string_view line);

// Reads one group line into `out`. False, with what is wrong in *error, when the line is not a
// JSON object of this form.
bool read_group_line(std::string_view line, ReadGroup& out, std::string* error);

} // namespace dump
