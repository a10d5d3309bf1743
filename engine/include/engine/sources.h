// Which address books a scan reads. The contact items of the file (`contacts`, the default) are
// what the walk has always read; the others hold people nobody saved, each card marked by its
// origin and added after the contacts, source by source in the order of kSources:
//   autocomplete    the names Outlook offers while a recipient is typed (the stream of the
//                   IPM.Configuration.Autocomplete message in a folder's associated contents)
//   recipients      the recipient cache: IPM.AbchPerson items in folders whose container class
//                   starts with IPF.Contact, read as contacts
//   correspondents  the senders and recipients of the mail, one card per SMTP address the file's
//                   owner wrote to, seen in at least `min_messages` messages
// With the default (contacts alone) a scan is what it always was, byte for byte.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

enum class Source : uint8_t
{
    contacts,
    autocomplete,
    recipients,
    correspondents,
};

struct SourceInfo
{
    Source source;
    std::string_view name; // on the command line (--sources) and in settings
};
inline constexpr std::array<SourceInfo, 4> kSources = {{
    {Source::contacts, "contacts"},
    {Source::autocomplete, "autocomplete"},
    {Source::recipients, "recipients"},
    {Source::correspondents, "correspondents"},
}};

struct Sources
{
    uint8_t bits = 1u << static_cast<unsigned>(Source::contacts);
    // Correspondents: the fewest messages an address must be seen in (1 .. kMaxMinMessages).
    int min_messages = 1;

    bool has(Source s) const { return (bits >> static_cast<unsigned>(s) & 1u) != 0; }
    void set(Source s, bool on)
    {
        const auto bit = static_cast<uint8_t>(1u << static_cast<unsigned>(s));
        bits = on ? static_cast<uint8_t>(bits | bit) : static_cast<uint8_t>(bits & ~bit);
    }
    // Whether anything beyond the contact items is asked for.
    bool beyond_contacts() const { return (bits & ~1u) != 0; }
    bool operator==(const Sources&) const = default;
};

inline constexpr int kMaxMinMessages = 1000000;

// "contacts,autocomplete,recipients,correspondents" (any of them, in any order, each once) or
// "all". False with a sentence in *problem for an empty list, an unknown or repeated name.
bool parse_sources(std::string_view list, Sources* out, std::string* problem);
// The names of `sources` joined by ',' in the order of kSources ("contacts,autocomplete").
std::string sources_list(const Sources& sources);

} // namespace engine
