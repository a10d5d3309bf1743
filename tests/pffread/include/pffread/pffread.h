// Read-back helper over libpff for tests: opens a personal folder file, walks its live folder
// hierarchy depth first and hands out property values both the way libpff converts them and as
// the raw bytes of the record entries.
//
// Usage:
//   std::string why;
//   auto file = pffread::File::open("a.pst", &why);          // nullptr and `why` on failure
//   pffread::walk(*file, [](const pffread::Item& item, const pffread::Visit& at) { ... });
//   pffread::Tree tree = pffread::read_tree(*file);          // plain data, no libpff handles
//
// Named properties: libpff 20180714 stores a named property under the 0x8000+ id that the
// file's name-to-id map gave it. A lookup by id without flags (Item::utf8, Item::entry)
// matches a numeric named property by its LID (the GUID is not compared) and everything
// else by its stored id. Entry::id is always the stored id; Entry::named tells what the map
// says about it.
//
// All libpff errors are released inside; nothing here prints. Not thread-safe: one File and
// its Items belong to one thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The same opaque handle types as <libpff.h>, which this header does not need to include.
typedef intptr_t libpff_file_t;
typedef intptr_t libpff_item_t;

namespace pffread {

using Guid = std::array<uint8_t, 16>; // on-disk byte order

// Item type codes as libpff reports them.
enum ItemType : uint8_t
{
    kActivity = 1,
    kAppointment = 2,
    kContact = 8,
    kDistributionList = 9,
    kEmail = 11,
    kFolder = 14,
    kNote = 17,
    kTask = 26,
    kUnknownType = 0xFF, // the type could not be read
};

// What the name-to-id map says about a stored id of 0x8000 and up.
struct NamedId
{
    bool numeric = true; // numeric name (LID) or string name
    Guid guid{};
    uint32_t lid = 0;
    std::string name; // string names, UTF-8
};

// One record entry (property) of an item, record set 0.
struct Entry
{
    uint32_t id = 0;   // property id as stored in the file
    uint32_t type = 0; // value type as stored (0x001F, 0x0040, ...)
    std::vector<uint8_t> data;
    std::optional<NamedId> named;                // set for ids the name-to-id map resolves
    std::optional<std::string> text;             // string types: the value as libpff converts it to UTF-8
    std::vector<std::string> texts;              // multi-value string types: each value as UTF-8
    std::optional<std::u16string> utf16() const; // PT_UNICODE: the stored UTF-16LE code units
};

// A libpff item (folder or message). Move-only; releases the libpff handle when destroyed.
class Item
{
public:
    Item() = default;
    explicit Item(libpff_item_t* handle) : m_handle(handle) {}
    Item(Item&& other) noexcept;
    Item& operator=(Item&& other) noexcept;
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;
    ~Item();

    bool valid() const { return m_handle != nullptr; }
    libpff_item_t* handle() const { return m_handle; }

    uint8_t type() const; // kUnknownType when libpff cannot tell
    uint32_t identifier() const;

    // Folder name as libpff reads it; nullopt when the folder has none.
    std::optional<std::string> folder_name() const;
    // String property `id` through libpff's converter (the extraction's path); nullopt when
    // absent or not a string. Named ids are matched by LID.
    std::optional<std::string> utf8(uint32_t id) const;
    // The plain-text body through libpff; nullopt when absent.
    std::optional<std::string> body() const;

    // Raw record entry `id` of any value type (named ids matched by LID); nullopt when absent.
    std::optional<Entry> entry(uint32_t id) const;
    // Raw record entry of a string-named property (e.g. "Keywords"); nullopt when absent.
    std::optional<Entry> entry_by_name(const std::string& name) const;
    // Every record entry of record set 0, in stored order.
    std::vector<Entry> entries() const;

    int sub_folder_count() const; // -1 when libpff fails
    Item sub_folder(int index) const;
    int sub_message_count() const;
    Item sub_message(int index) const;
    int sub_item_count() const;
    Item sub_item(int index) const;

private:
    libpff_item_t* m_handle = nullptr;
};

// An open file. Items handed out must be destroyed before the File.
class File
{
public:
    // Opens `path` read-only, 8-bit strings decoded with `ascii_codepage`. Returns nullptr and
    // sets *error (libpff's reason) on failure.
    static std::unique_ptr<File> open(const std::string& path, std::string* error, int ascii_codepage = 1252);
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    Item root_folder() const;   // invalid Item when libpff finds none
    Item message_store() const; // invalid Item when libpff finds none
    libpff_file_t* handle() const { return m_handle; }

private:
    explicit File(libpff_file_t* handle) : m_handle(handle) {}
    libpff_file_t* m_handle = nullptr;
};

// Position of a visited item: depth 0 is the root folder; `folders` names the folders from the
// root's children down to the item's folder (an unnamed folder contributes "").
struct Visit
{
    int depth = 0;
    std::vector<std::string> folders;
    bool is_folder = false;
};

// Walks the live hierarchy from the root folder: each folder is visited, then its sub folders
// (each completely), then its messages. Returns false when the root folder cannot be read or a
// child cannot be fetched (the walk stops there).
bool walk(const File& file, const std::function<void(const Item&, const Visit&)>& visit);

// Plain-data copy of the live hierarchy.
struct Message
{
    uint8_t item_type = 0;
    std::string message_class;
    std::optional<std::string> body;
    std::vector<Entry> entries;

    const Entry* find(uint32_t id) const;                         // stored id below 0x8000
    const Entry* find_named(const Guid& set, uint32_t lid) const; // numeric name in `set`
    const Entry* find_named(const Guid& set, const std::string& name) const;
};

struct Folder
{
    std::optional<std::string> name;
    std::string container_class; // 0x3613, "" when absent
    std::vector<Folder> folders;
    std::vector<Message> messages;
};

struct Tree
{
    bool ok = false; // false when the walk failed
    Folder root;

    // Every message in walk order, with the names of the folders above it.
    std::vector<std::pair<std::vector<std::string>, const Message*>> messages() const;
};

Tree read_tree(const File& file);

// GUIDs of the property sets, in on-disk byte order.
extern const Guid kPsetidAddress;
extern const Guid kPsPublicStrings;

} // namespace pffread
