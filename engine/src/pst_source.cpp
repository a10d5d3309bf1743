#include "engine/pst_source.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "engine/text_decoding.h"
#include "pst/little_endian.h"

namespace engine {

namespace {

struct ClassRow
{
    std::string_view name;
    ItemType type;
};

// Message classes matched whole.
constexpr ClassRow kExactClasses[] = {
    {"IPM", kItemCommon},
    {"IPM.FAX", kItemFax},
    {"IPM.Note", kItemEmail},
    {"IPM.Post", kItemPostingNote},
    {"IPM.Task", kItemTask},
    {"IPM.Contact", kItemContact},
    {"IPM.Activity", kItemActivity},
    {"IPM.DistList", kItemDistributionList},
    {"IPM.Note.Fax", kItemFax},
    {"IPM.Post.RSS", kItemRssFeed},
    {"IPM.StickyNote", kItemNote},
    {"IPM.Appointment", kItemAppointment},
    {"IPM.Note.Voicemail", kItemVoicemail},
    {"IPM.Note.Mobile.SMS", kItemSms},
    {"IPM.Note.Mobile.MMS", kItemMms},
    {"IPM.Conflict.Message", kItemConflictMessage},
    {"IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}", kItemAppointment},
};

// Message classes matched by their beginning, tried in this order when no whole match is found.
constexpr ClassRow kPrefixClasses[] = {
    {"IPM.Sharing", kItemSharing},
    {"IPM.Document", kItemDocument},
    {"IPM.Note.SMIME", kItemEmailSmime},
    {"IPM.TaskRequest", kItemTaskRequest},
    {"REPORT.IPM.Note", kItemEmail},
    {"IPM.Configuration", kItemConfiguration},
    {"IPM.Schedule.Meeting", kItemMeeting},
    {"REPORT.IPM.Schedule.Meeting", kItemMeeting},
    {"IPM.Note.", kItemEmail},
};

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with_no_case(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    // Most classes are written as the table writes them: one comparison of the bytes.
    if (text.compare(0, prefix.size(), prefix) == 0) {
        return true;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (lower(text[i]) != lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<ReaderKind> reader_kind_from_name(std::string_view name)
{
    if (name == "native") {
        return ReaderKind::native;
    }
    if (name == "libpff") {
        return ReaderKind::libpff;
    }
    return std::nullopt;
}

const char* reader_kind_name(ReaderKind kind)
{
    return kind == ReaderKind::libpff ? "libpff" : "native";
}

ItemType item_type_of_class(std::string_view message_class)
{
    message_class = message_class.substr(0, message_class.find('\0'));
    for (const auto& row : kExactClasses) {
        if (message_class.size() == row.name.size() && starts_with_no_case(message_class, row.name)) {
            return row.type;
        }
    }
    for (const auto& row : kPrefixClasses) {
        if (starts_with_no_case(message_class, row.name)) {
            return row.type;
        }
    }
    return kItemUndefined;
}

bool is_contact_folder_class(std::string_view container_class)
{
    return starts_with_no_case(container_class, "IPF.Contact");
}

void PropertyList::clear()
{
    if (held_bytes() > kKeptBytes) {
        *this = PropertyList();
        return;
    }
    m_count = 0;
    m_size = 0;
    m_names.clear();
    m_name_units.clear();
}

void PropertyList::swap(PropertyList& other) noexcept
{
    m_properties.swap(other.m_properties);
    std::swap(m_count, other.m_count);
    m_bytes.swap(other.m_bytes);
    std::swap(m_size, other.m_size);
    std::swap(m_capacity, other.m_capacity);
    m_names.swap(other.m_names);
    m_name_units.swap(other.m_name_units);
}

size_t PropertyList::held_bytes() const
{
    return m_properties.capacity() * sizeof(Property) + m_capacity + m_names.capacity() * sizeof(Name) +
           m_name_units.capacity() * sizeof(char16_t);
}

void PropertyList::reserve(size_t count, size_t bytes)
{
    if (m_properties.size() < count) {
        m_properties.resize(count);
    }
    if (bytes > m_capacity) {
        grow(bytes);
    }
}

void PropertyList::grow(size_t bytes)
{
    const size_t capacity = std::max({bytes, 2 * m_capacity, size_t{256}});
    auto grown = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (m_size != 0) {
        std::memcpy(grown.get(), m_bytes.get(), m_size);
    }
    m_bytes = std::move(grown);
    m_capacity = capacity;
}

void PropertyList::make_room()
{
    m_properties.resize(std::max<size_t>(16, 2 * m_properties.size()));
}

void PropertyList::add(uint32_t stored_id, uint16_t type, const uint8_t* data, size_t size,
                       std::optional<uint32_t> named_lid, const Guid* guid, std::u16string_view string_name)
{
    Property p;
    p.id = named_lid ? *named_lid : stored_id;
    p.type = type;
    p.offset = append_bytes({data, size});
    p.size = static_cast<uint32_t>(size);
    if (guid != nullptr) {
        p.name = static_cast<int32_t>(m_names.size());
        m_names.push_back(
            {*guid, static_cast<uint32_t>(m_name_units.size()), static_cast<uint32_t>(string_name.size())});
        m_name_units.append(string_name);
    }
    push(p);
}

const PropertyList::Property* PropertyList::find(uint32_t id) const
{
    for (const auto& p : all()) {
        if (p.id == id) {
            return &p;
        }
    }
    return nullptr;
}

const PropertyList::Property* PropertyList::find(uint32_t id, uint16_t type) const
{
    for (const auto& p : all()) {
        if (p.id == id && p.type == type) {
            return &p;
        }
    }
    return nullptr;
}

const PropertyList::Property* PropertyList::find_named(std::u16string_view name) const
{
    for (const auto& p : all()) {
        if (p.name >= 0 && name_of(m_names[static_cast<size_t>(p.name)]) == name) {
            return &p;
        }
    }
    return nullptr;
}

const Guid* PropertyList::guid_of(const Property& p) const
{
    return p.name >= 0 ? &m_names[static_cast<size_t>(p.name)].guid : nullptr;
}

std::optional<uint32_t> PropertyList::long_value(uint32_t id) const
{
    const Property* p = find(id, type_code(PropType::Long));
    if (p == nullptr || p->size < 4) {
        return std::nullopt;
    }
    const auto b = bytes(*p);
    return pst::get32(b.data());
}

namespace {

bool set_reader(std::string_view value, SourceOptions* options, std::string* problem)
{
    const auto kind = reader_kind_from_name(value);
    if (!kind) {
        *problem = "unknown reader '" + std::string(value) + "' (native or libpff)";
        return false;
    }
    options->reader = *kind;
    return true;
}

bool set_codepage(std::string_view value, SourceOptions* options, std::string* problem)
{
    int codepage = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), codepage);
    if (ec != std::errc() || end != value.data() + value.size() || !codepage_supported(codepage)) {
        *problem = "unsupported code page '" + std::string(value) + "' (874, 932, 936, 949, 950, 1250-1258 or 65001)";
        return false;
    }
    options->fallback_codepage = codepage;
    return true;
}

bool set_sources(std::string_view value, SourceOptions* options, std::string* problem)
{
    return parse_sources(value, &options->sources, problem);
}

bool set_min_messages(std::string_view value, SourceOptions* options, std::string* problem)
{
    int n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n < 1 || n > kMaxMinMessages) {
        *problem = "bad value for --min-messages: '" + std::string(value) + "' (a whole number from 1 to " +
                   std::to_string(kMaxMinMessages) + ")";
        return false;
    }
    options->sources.min_messages = n;
    return true;
}

} // namespace

SourceOptions source_options_from_environment(std::string* problem)
{
    SourceOptions options;
    std::string why;
    if (const char* reader = std::getenv("PELIMOOR_READER");
        reader != nullptr && *reader != '\0' && !set_reader(reader, &options, &why)) {
        *problem = "PELIMOOR_READER: " + why;
    }
    if (const char* codepage = std::getenv("PELIMOOR_CODEPAGE");
        codepage != nullptr && *codepage != '\0' && !set_codepage(codepage, &options, &why)) {
        *problem = "PELIMOOR_CODEPAGE: " + why;
    }
    // Switches: 0/off or 1/on.
    const struct
    {
        const char* name;
        bool SourceOptions::*flag;
    } kSwitches[] = {{"PELIMOOR_RECOVERY", &SourceOptions::recovery},
                     {"PELIMOOR_READ_AHEAD", &SourceOptions::read_ahead}};
    for (const auto& s : kSwitches) {
        if (const char* set = std::getenv(s.name); set != nullptr && *set != '\0') {
            const std::string_view value = set;
            if (value == "0" || value == "off") {
                options.*s.flag = false;
            } else if (value != "1" && value != "on") {
                *problem = std::string(s.name) + ": \"" + std::string(value) + "\" is not one of 0, 1, off, on";
            }
        }
    }
    return options;
}

bool take_source_options(const std::vector<std::string>& args, std::vector<std::string>* rest, SourceOptions* options,
                         std::string* problem)
{
    struct Flag
    {
        std::string_view name;
        bool (*set)(std::string_view, SourceOptions*, std::string*);
    };
    constexpr Flag kFlags[] = {{"--reader", &set_reader},
                               {"--codepage", &set_codepage},
                               {"--sources", &set_sources},
                               {"--min-messages", &set_min_messages}};
    rest->clear();
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--no-recovery") {
            options->recovery = false;
            continue;
        }
        if (arg == "--ost") {
            options->offline = true;
            continue;
        }
        const Flag* flag = nullptr;
        std::optional<std::string_view> value;
        for (const auto& f : kFlags) {
            if (arg == f.name) {
                flag = &f;
                if (i + 1 < args.size()) {
                    value = args[++i];
                }
            } else if (arg.size() > f.name.size() && arg.substr(0, f.name.size()) == f.name &&
                       arg[f.name.size()] == '=') {
                flag = &f;
                value = arg.substr(f.name.size() + 1);
            }
        }
        if (flag == nullptr) {
            rest->push_back(args[i]);
            continue;
        }
        if (!value) {
            *problem = std::string(flag->name) + " needs a value";
            return false;
        }
        if (!flag->set(*value, options, problem)) {
            return false;
        }
    }
    return true;
}

std::unique_ptr<PstSource> PstSource::open(const std::string& path_utf8, const SourceOptions& options, pst::Status* why)
{
    return options.reader == ReaderKind::libpff ? open_libpff_source(path_utf8, options, why)
                                                : open_native_source(path_utf8, options, why);
}

} // namespace engine
