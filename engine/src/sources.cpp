#include "engine/sources.h"

namespace engine {

bool parse_sources(std::string_view list, Sources* out, std::string* problem)
{
    if (list == "all") {
        out->bits = static_cast<uint8_t>((1u << kSources.size()) - 1);
        return true;
    }
    Sources chosen;
    chosen.bits = 0;
    chosen.min_messages = out->min_messages;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = list.find(',', start);
        const std::string_view name = list.substr(start, comma == std::string_view::npos ? comma : comma - start);
        const SourceInfo* found = nullptr;
        for (const SourceInfo& info : kSources) {
            if (info.name == name) {
                found = &info;
            }
        }
        if (found == nullptr) {
            *problem = name.empty() ? "--sources needs a list of sources (contacts, autocomplete, recipients, "
                                      "correspondents) or all"
                                    : "unknown source '" + std::string(name) +
                                          "' (contacts, autocomplete, recipients, correspondents or all)";
            return false;
        }
        if (chosen.has(found->source)) {
            *problem = "source '" + std::string(name) + "' given twice";
            return false;
        }
        chosen.set(found->source, true);
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    *out = chosen;
    return true;
}

std::string sources_list(const Sources& sources)
{
    std::string out;
    for (const SourceInfo& info : kSources) {
        if (sources.has(info.source)) {
            out += out.empty() ? "" : ",";
            out += info.name;
        }
    }
    return out;
}

} // namespace engine
