#include "dump/group_json.h"

#include "json_values.h"

namespace dump {

using nlohmann::json;

void append_group_line(const contacts::ContactGroup& group, std::string& out)
{
    std::string line = "{";
    append_key("group", line);
    append_text(group.name, line);
    append_key("identity", line);
    line += '"';
    append_hex(group.identity, line);
    line += '"';
    append_key("members", line);
    line += '[';
    for (std::size_t i = 0; i < group.members.size(); ++i) {
        const contacts::GroupMember& m = group.members[i];
        line += i == 0 ? "{" : ",{";
        if (m.contact != nullptr) {
            append_key("contact", line);
            line += std::to_string(m.contact->number());
        } else if (m.group >= 0) {
            append_key("group", line);
            line += std::to_string(m.group);
        } else {
            append_key("name", line);
            append_text(m.name, line);
            append_key("address", line);
            append_text(m.address, line);
        }
        line += '}';
    }
    line += "]}\n";
    out += line;
}

bool is_group_line(std::string_view line)
{
    const std::size_t open = line.find_first_not_of(" \t\r");
    if (open == std::string_view::npos || line[open] != '{') {
        return false;
    }
    const std::size_t key = line.find_first_not_of(" \t\r", open + 1);
    return key != std::string_view::npos && line.substr(key).starts_with("\"group\"");
}

bool read_group_line(std::string_view line, ReadGroup& out, std::string* error)
{
    json object;
    if (!read_object(line, object, error)) {
        return false;
    }
    out = {};
    bool named = false;
    for (const auto& [key, value] : object.items()) {
        if (key == "group") {
            if (!read_text(value, out.name)) {
                return fail(error, "\"group\" is not a text");
            }
            named = true;
        } else if (key == "identity") {
            std::vector<uint8_t> id;
            if (!value.is_string() || !read_hex(value.get_ref<const std::string&>(), id) || id.size() != 16) {
                return fail(error, "\"identity\" is not 16 bytes in hex");
            }
            std::copy(id.begin(), id.end(), out.identity.begin());
        } else if (key == "members") {
            if (!value.is_array()) {
                return fail(error, "\"members\" is not a list");
            }
            for (const json& m : value) {
                ReadGroup::Member member;
                const bool contact = m.is_object() && m.size() == 1 && m.contains("contact") &&
                                     m["contact"].is_number_integer() && m["contact"].get<int64_t>() > 0 &&
                                     m["contact"].get<int64_t>() <= INT32_MAX;
                const bool group = m.is_object() && m.size() == 1 && m.contains("group") &&
                                   m["group"].is_number_integer() && m["group"].get<int64_t>() >= 0 &&
                                   m["group"].get<int64_t>() <= INT32_MAX;
                const bool one_off = m.is_object() && m.size() == 2 && m.contains("name") &&
                                     read_text(m["name"], member.name) && m.contains("address") &&
                                     read_text(m["address"], member.address);
                if (contact) {
                    member.contact = m["contact"].get<int64_t>();
                } else if (group) {
                    member.group = static_cast<int>(m["group"].get<int64_t>());
                } else if (!one_off) {
                    return fail(error, "\"members\" holds an entry that is not {contact}, {group} or {name, address}");
                }
                out.members.push_back(std::move(member));
            }
        } else {
            return fail(error, "\"" + key + "\" is no field of a group");
        }
    }
    if (!named) {
        return fail(error, "\"group\" is missing");
    }
    return true;
}

} // namespace dump
