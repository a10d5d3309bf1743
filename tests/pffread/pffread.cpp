#include "pffread/pffread.h"

#include <libpff.h>

#include <utility>

namespace pffread {

const Guid kPsetidAddress = {0x04, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const Guid kPsPublicStrings = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

namespace {

constexpr uint32_t kTypeString8 = 0x001E;
constexpr uint32_t kTypeUnicode = 0x001F;
constexpr uint32_t kTypeMultiString8 = 0x101E;
constexpr uint32_t kTypeMultiUnicode = 0x101F;
constexpr uint32_t kTagMessageClass = 0x001A;
constexpr uint32_t kTagContainerClass = 0x3613;

// A libpff error out-parameter that is released on every path.
class Error
{
public:
    Error() = default;
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    ~Error() { libpff_error_free(&m_error); }
    libpff_error_t** out()
    {
        libpff_error_free(&m_error);
        return &m_error;
    }
    std::string text() const
    {
        if (m_error == nullptr)
            return "unknown libpff error";
        char buffer[1024] = {};
        if (libpff_error_sprint(m_error, buffer, sizeof buffer) < 0)
            return "unknown libpff error";
        return buffer;
    }

private:
    libpff_error_t* m_error = nullptr;
};

// Owns a record set or record entry handle.
struct RecordSet
{
    libpff_record_set_t* handle = nullptr;
    ~RecordSet()
    {
        Error e;
        libpff_record_set_free(&handle, e.out());
    }
};

struct RecordEntry
{
    libpff_record_entry_t* handle = nullptr;
    ~RecordEntry()
    {
        Error e;
        libpff_record_entry_free(&handle, e.out());
    }
};

// Reads a UTF-8 string through a size/value getter pair of libpff; nullopt unless both
// answer 1.
template <typename SizeFn, typename ValueFn> std::optional<std::string> read_utf8(SizeFn size_fn, ValueFn value_fn)
{
    Error e;
    size_t size = 0;
    if (size_fn(&size, e.out()) != 1)
        return std::nullopt;
    if (size == 0)
        return std::string();
    std::string buffer(size, '\0');
    if (value_fn(reinterpret_cast<uint8_t*>(buffer.data()), size, e.out()) != 1)
        return std::nullopt;
    buffer.resize(buffer.find('\0') == std::string::npos ? size : buffer.find('\0'));
    return buffer;
}

std::optional<NamedId> named_id(libpff_record_entry_t* entry)
{
    Error e;
    libpff_name_to_id_map_entry_t* map_entry = nullptr; // owned by the record entry
    if (libpff_record_entry_get_name_to_id_map_entry(entry, &map_entry, e.out()) != 1 || map_entry == nullptr)
        return std::nullopt;
    NamedId named;
    uint8_t kind = 0;
    if (libpff_name_to_id_map_entry_get_type(map_entry, &kind, e.out()) != 1)
        return std::nullopt;
    libpff_name_to_id_map_entry_get_guid(map_entry, named.guid.data(), named.guid.size(), e.out());
    if (kind == LIBPFF_NAME_TO_ID_MAP_ENTRY_TYPE_NUMERIC) {
        libpff_name_to_id_map_entry_get_number(map_entry, &named.lid, e.out());
    } else {
        named.numeric = false;
        named.name = read_utf8(
                         [&](size_t* s, libpff_error_t** err) {
                             return libpff_name_to_id_map_entry_get_utf8_string_size(map_entry, s, err);
                         },
                         [&](uint8_t* b, size_t s, libpff_error_t** err) {
                             return libpff_name_to_id_map_entry_get_utf8_string(map_entry, b, s, err);
                         })
                         .value_or("");
    }
    return named;
}

void append_utf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE bytes to UTF-8; unpaired surrogates become U+FFFD.
std::string utf8_of_utf16le(const uint8_t* data, size_t size)
{
    std::string out;
    for (size_t i = 0; i + 1 < size; i += 2) {
        char32_t cp = data[i] | (data[i + 1] << 8);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < size) {
            const char32_t low = data[i + 2] | (data[i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = 0xFFFD;
        append_utf8(out, cp);
    }
    return out;
}

uint32_t le32(const std::vector<uint8_t>& data, size_t at)
{
    return data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) | (static_cast<uint32_t>(data[at + 3]) << 24);
}

// Multi-valued strings from their stored bytes: a count, one offset per value, the values.
// libpff 20180714 reports no values for variable-size multi-values (also in files Outlook
// wrote), so they are decoded here. 8-bit values are handed out as stored.
std::vector<std::string> multi_texts(const std::vector<uint8_t>& data, bool unicode)
{
    std::vector<std::string> texts;
    if (data.size() < 4)
        return texts;
    const uint64_t count = le32(data, 0);
    if (count == 0 || 4 + 4 * count > data.size())
        return texts;
    for (uint64_t i = 0; i < count; ++i) {
        const size_t begin = le32(data, 4 + 4 * i);
        const size_t end = i + 1 < count ? le32(data, 4 + 4 * (i + 1)) : data.size();
        if (begin > end || end > data.size())
            return {};
        if (unicode)
            texts.push_back(utf8_of_utf16le(data.data() + begin, end - begin));
        else
            texts.emplace_back(data.begin() + begin, data.begin() + end);
    }
    return texts;
}

Entry to_entry(libpff_record_entry_t* handle)
{
    Entry entry;
    Error e;
    libpff_record_entry_get_entry_type(handle, &entry.id, e.out());
    libpff_record_entry_get_value_type(handle, &entry.type, e.out());
    size_t size = 0;
    if (libpff_record_entry_get_data_size(handle, &size, e.out()) == 1 && size > 0) {
        entry.data.resize(size);
        if (libpff_record_entry_get_data(handle, entry.data.data(), size, e.out()) != 1)
            entry.data.clear();
    }
    if (entry.id >= 0x8000)
        entry.named = named_id(handle);
    if (entry.type == kTypeString8 || entry.type == kTypeUnicode) {
        entry.text = read_utf8(
            [&](size_t* s, libpff_error_t** err) {
                return libpff_record_entry_get_data_as_utf8_string_size(handle, s, err);
            },
            [&](uint8_t* b, size_t s, libpff_error_t** err) {
                return libpff_record_entry_get_data_as_utf8_string(handle, b, s, err);
            });
        if (!entry.text && entry.data.empty())
            entry.text = std::string();
    } else if (entry.type == kTypeMultiString8 || entry.type == kTypeMultiUnicode) {
        entry.texts = multi_texts(entry.data, entry.type == kTypeMultiUnicode);
    }
    return entry;
}

// Looks up one entry of record set 0 with `lookup` (by type or by name).
template <typename Lookup> std::optional<Entry> find_entry(libpff_item_t* item, Lookup lookup)
{
    if (item == nullptr)
        return std::nullopt;
    Error e;
    RecordSet set;
    if (libpff_item_get_record_set_by_index(item, 0, &set.handle, e.out()) != 1)
        return std::nullopt;
    RecordEntry entry;
    if (lookup(set.handle, &entry.handle, e.out()) != 1)
        return std::nullopt;
    return to_entry(entry.handle);
}

// Counts or fetches children through one of libpff's count/get function pairs.
template <typename CountFn> int child_count(libpff_item_t* item, CountFn count_fn)
{
    if (item == nullptr)
        return -1;
    Error e;
    int count = 0;
    return count_fn(item, &count, e.out()) == 1 ? count : -1;
}

template <typename GetFn> Item child(libpff_item_t* item, int index, GetFn get_fn)
{
    if (item == nullptr)
        return Item();
    Error e;
    libpff_item_t* sub = nullptr;
    if (get_fn(item, index, &sub, e.out()) != 1)
        return Item();
    return Item(sub);
}

} // namespace

std::optional<std::u16string> Entry::utf16() const
{
    if (type != kTypeUnicode)
        return std::nullopt;
    std::u16string units(data.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    // Stored values may or may not carry a terminator.
    while (!units.empty() && units.back() == u'\0')
        units.pop_back();
    return units;
}

Item::Item(Item&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}

Item& Item::operator=(Item&& other) noexcept
{
    if (this != &other) {
        Error e;
        libpff_item_free(&m_handle, e.out());
        m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
}

Item::~Item()
{
    Error e;
    libpff_item_free(&m_handle, e.out());
}

uint8_t Item::type() const
{
    Error e;
    uint8_t type = 0;
    if (m_handle == nullptr || libpff_item_get_type(m_handle, &type, e.out()) != 1)
        return kUnknownType;
    return type;
}

uint32_t Item::identifier() const
{
    Error e;
    uint32_t id = 0;
    if (m_handle != nullptr)
        libpff_item_get_identifier(m_handle, &id, e.out());
    return id;
}

std::optional<std::string> Item::folder_name() const
{
    if (m_handle == nullptr)
        return std::nullopt;
    return read_utf8(
        [&](size_t* s, libpff_error_t** err) { return libpff_folder_get_utf8_name_size(m_handle, s, err); },
        [&](uint8_t* b, size_t s, libpff_error_t** err) { return libpff_folder_get_utf8_name(m_handle, b, s, err); });
}

std::optional<std::string> Item::utf8(uint32_t id) const
{
    if (m_handle == nullptr)
        return std::nullopt;
    return read_utf8(
        [&](size_t* s, libpff_error_t** err) {
            return libpff_message_get_entry_value_utf8_string_size(m_handle, id, s, err);
        },
        [&](uint8_t* b, size_t s, libpff_error_t** err) {
            return libpff_message_get_entry_value_utf8_string(m_handle, id, b, s, err);
        });
}

std::optional<std::string> Item::body() const
{
    if (m_handle == nullptr)
        return std::nullopt;
    return read_utf8(
        [&](size_t* s, libpff_error_t** err) { return libpff_message_get_plain_text_body_size(m_handle, s, err); },
        [&](uint8_t* b, size_t s, libpff_error_t** err) {
            return libpff_message_get_plain_text_body(m_handle, b, s, err);
        });
}

std::optional<Entry> Item::entry(uint32_t id) const
{
    return find_entry(m_handle, [id](libpff_record_set_t* set, libpff_record_entry_t** out, libpff_error_t** err) {
        return libpff_record_set_get_entry_by_type(set, id, 0, out, LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE, err);
    });
}

std::optional<Entry> Item::entry_by_name(const std::string& name) const
{
    return find_entry(m_handle, [&name](libpff_record_set_t* set, libpff_record_entry_t** out, libpff_error_t** err) {
        return libpff_record_set_get_entry_by_utf8_name(set, reinterpret_cast<const uint8_t*>(name.data()), name.size(),
                                                        0, out, LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE, err);
    });
}

std::vector<Entry> Item::entries() const
{
    std::vector<Entry> result;
    if (m_handle == nullptr)
        return result;
    Error e;
    int sets = 0;
    if (libpff_item_get_number_of_record_sets(m_handle, &sets, e.out()) != 1 || sets < 1)
        return result;
    RecordSet set;
    if (libpff_item_get_record_set_by_index(m_handle, 0, &set.handle, e.out()) != 1)
        return result;
    int count = 0;
    if (libpff_record_set_get_number_of_entries(set.handle, &count, e.out()) != 1)
        return result;
    for (int i = 0; i < count; ++i) {
        RecordEntry entry;
        if (libpff_record_set_get_entry_by_index(set.handle, i, &entry.handle, e.out()) == 1)
            result.push_back(to_entry(entry.handle));
    }
    return result;
}

int Item::sub_folder_count() const
{
    return child_count(m_handle, libpff_folder_get_number_of_sub_folders);
}
Item Item::sub_folder(int index) const
{
    return child(m_handle, index, libpff_folder_get_sub_folder);
}
int Item::sub_message_count() const
{
    return child_count(m_handle, libpff_folder_get_number_of_sub_messages);
}
Item Item::sub_message(int index) const
{
    return child(m_handle, index, libpff_folder_get_sub_message);
}
int Item::sub_item_count() const
{
    return child_count(m_handle, libpff_item_get_number_of_sub_items);
}
Item Item::sub_item(int index) const
{
    return child(m_handle, index, libpff_item_get_sub_item);
}

std::unique_ptr<File> File::open(const std::string& path, std::string* error, int ascii_codepage)
{
    Error e;
    libpff_file_t* handle = nullptr;
    if (libpff_file_initialize(&handle, e.out()) != 1) {
        if (error)
            *error = e.text();
        return nullptr;
    }
    std::unique_ptr<File> file(new File(handle));
    if (libpff_file_set_ascii_codepage(handle, ascii_codepage, e.out()) != 1 ||
        libpff_file_open(handle, path.c_str(), LIBPFF_OPEN_READ, e.out()) != 1) {
        if (error)
            *error = e.text();
        Error ignored;
        libpff_file_free(&file->m_handle, ignored.out());
        return nullptr;
    }
    return file;
}

File::~File()
{
    if (m_handle == nullptr)
        return;
    Error e;
    libpff_file_close(m_handle, e.out());
    libpff_file_free(&m_handle, e.out());
}

Item File::root_folder() const
{
    Error e;
    libpff_item_t* item = nullptr;
    if (libpff_file_get_root_folder(m_handle, &item, e.out()) != 1)
        return Item();
    return Item(item);
}

Item File::message_store() const
{
    Error e;
    libpff_item_t* item = nullptr;
    if (libpff_file_get_message_store(m_handle, &item, e.out()) != 1)
        return Item();
    return Item(item);
}

namespace {

bool walk_folder(const Item& folder, Visit& at, const std::function<void(const Item&, const Visit&)>& visit)
{
    at.is_folder = true;
    visit(folder, at);
    const int folders = folder.sub_folder_count();
    const int messages = folder.sub_message_count();
    if (folders < 0 || messages < 0)
        return false;
    for (int i = 0; i < folders; ++i) {
        Item sub = folder.sub_folder(i);
        if (!sub.valid())
            return false;
        at.folders.push_back(sub.folder_name().value_or(""));
        ++at.depth;
        const bool ok = walk_folder(sub, at, visit);
        --at.depth;
        at.folders.pop_back();
        if (!ok)
            return false;
    }
    for (int i = 0; i < messages; ++i) {
        Item message = folder.sub_message(i);
        if (!message.valid())
            return false;
        ++at.depth;
        at.is_folder = false;
        visit(message, at);
        --at.depth;
    }
    return true;
}

Message to_message(const Item& item)
{
    Message message;
    message.item_type = item.type();
    message.entries = item.entries();
    message.body = item.body();
    if (const Entry* cls = message.find(kTagMessageClass); cls && cls->text)
        message.message_class = *cls->text;
    return message;
}

bool read_folder(const Item& item, Folder& folder)
{
    folder.name = item.folder_name();
    if (auto cls = item.entry(kTagContainerClass); cls && cls->text)
        folder.container_class = *cls->text;
    const int folders = item.sub_folder_count();
    const int messages = item.sub_message_count();
    if (folders < 0 || messages < 0)
        return false;
    for (int i = 0; i < folders; ++i) {
        Item sub = item.sub_folder(i);
        if (!sub.valid())
            return false;
        folder.folders.emplace_back();
        if (!read_folder(sub, folder.folders.back()))
            return false;
    }
    for (int i = 0; i < messages; ++i) {
        Item message = item.sub_message(i);
        if (!message.valid())
            return false;
        folder.messages.push_back(to_message(message));
    }
    return true;
}

void collect(const Folder& folder, std::vector<std::string>& path,
             std::vector<std::pair<std::vector<std::string>, const Message*>>& out)
{
    for (const Folder& sub : folder.folders) {
        path.push_back(sub.name.value_or(""));
        collect(sub, path, out);
        path.pop_back();
    }
    for (const Message& message : folder.messages)
        out.emplace_back(path, &message);
}

template <typename Match> const Entry* find_if(const std::vector<Entry>& entries, Match match)
{
    for (const Entry& entry : entries)
        if (match(entry))
            return &entry;
    return nullptr;
}

} // namespace

bool walk(const File& file, const std::function<void(const Item&, const Visit&)>& visit)
{
    Item root = file.root_folder();
    if (!root.valid())
        return false;
    Visit at;
    return walk_folder(root, at, visit);
}

const Entry* Message::find(uint32_t id) const
{
    return find_if(entries, [id](const Entry& e) { return e.id == id; });
}

const Entry* Message::find_named(const Guid& set, uint32_t lid) const
{
    return find_if(entries, [&](const Entry& e) {
        return e.named && e.named->numeric && e.named->guid == set && e.named->lid == lid;
    });
}

const Entry* Message::find_named(const Guid& set, const std::string& name) const
{
    return find_if(entries, [&](const Entry& e) {
        return e.named && !e.named->numeric && e.named->guid == set && e.named->name == name;
    });
}

std::vector<std::pair<std::vector<std::string>, const Message*>> Tree::messages() const
{
    std::vector<std::pair<std::vector<std::string>, const Message*>> out;
    std::vector<std::string> path;
    collect(root, path, out);
    return out;
}

Tree read_tree(const File& file)
{
    Tree tree;
    Item root = file.root_folder();
    if (!root.valid())
        return tree;
    tree.ok = read_folder(root, tree.root);
    return tree;
}

} // namespace pffread
