// Where each contact of a store came from: the file it was read from, the folder within that file
// and the item's node id.
//
// A store may hold the contacts of several files, scanned one after another. The store keeps the
// files in the order they were scanned (file 0 is the first since the store was last cleared) and
// every folder that gave a contact (a "place": a file and a folder path). A record carries only
// its place's number and its node id, eight bytes: a million records share a few hundred places,
// not a million copied paths.
//
//   for (const ContactRecord* r = store.first(); r; r = r->next()) {
//       const ContactSource s = contact_source(store, *r);
//       s.file;     // 0, 1, ... (kUnknownFile for a record built outside a scan)
//       s.path;     // "/home/ann/Outlook.pst", as the file was given to the scan
//       s.folder;   // u"Top of Personal Folders\\Contacts"
//       s.node_id;  // the item's node id in that file (two files may use the same one)
//       identity_is_search_key(r->identity()); // whether the identity is its PidTagSearchKey
//   }
//
// Threads: like the store, one thread (the scan) adds files and places while others read. A
// place is added before any record that names it is appended, so whoever has seen a record (the
// store's acquire loads) may read its place and file. Clearing goes with contact_store_clear.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "contacts/contact_record.h"

namespace contacts {

class ContactStore;

inline constexpr uint32_t kUnknownFile = 0xFFFFFFFFu;
// The place of a record built outside a scan (tests, a contact made by hand).
inline constexpr uint32_t kNoPlace = 0;

// A sequence that only grows and whose elements never move: blocks of 16, 32, 64, ... elements.
// One thread appends; another may read element i once it has seen something published after
// element i was appended.
template <class T> class StableSequence
{
public:
    // Appends `value` and returns its index.
    std::size_t push_back(T value)
    {
        const std::size_t i = m_size.load(std::memory_order_relaxed);
        const auto [block, at] = locate(i);
        if (!m_blocks[block]) {
            m_blocks[block] = std::make_unique<T[]>(kFirst << block);
        }
        m_blocks[block][at] = std::move(value);
        m_size.store(i + 1, std::memory_order_release);
        return i;
    }
    const T& operator[](std::size_t i) const
    {
        const auto [block, at] = locate(i);
        return m_blocks[block][at];
    }
    std::size_t size() const noexcept { return m_size.load(std::memory_order_acquire); }
    void clear() noexcept
    {
        for (auto& block : m_blocks) {
            block.reset();
        }
        m_size.store(0, std::memory_order_release);
    }

private:
    static constexpr std::size_t kFirst = 16;
    struct Location
    {
        std::size_t block;
        std::size_t at;
    };
    static Location locate(std::size_t i) noexcept
    {
        const std::size_t block = static_cast<std::size_t>(std::bit_width(i / kFirst + 1)) - 1;
        return {block, i - kFirst * ((std::size_t{1} << block) - 1)};
    }
    std::array<std::unique_ptr<T[]>, 48> m_blocks;
    std::atomic<std::size_t> m_size{0};
};

// The files and places of a store.
class ContactSources
{
public:
    // Adds a file (its path as given, UTF-8) and returns its index: 0, 1, ... in the order added.
    uint32_t add_file(std::string path);
    // Adds the place of folder `folder` (names below the file's root joined by '\'; empty for the
    // root and for contacts found outside the folders) in file `file`. Returns its number, never
    // kNoPlace.
    uint32_t add_place(uint32_t file, std::u16string folder);

    std::size_t file_count() const noexcept { return m_files.size(); }
    // The path of file `file` (< file_count()).
    const std::string& file_path(uint32_t file) const { return m_files[file].path; }
    // Its name (the path's last part) as UTF-16, for lists and previews.
    std::u16string_view file_name(uint32_t file) const { return m_files[file].name; }

    // The file of a place, kUnknownFile for kNoPlace.
    uint32_t file_of(uint32_t place) const noexcept;
    // The folder of a place, empty for kNoPlace.
    std::u16string_view folder_of(uint32_t place) const noexcept;

    void clear() noexcept;

private:
    struct Place
    {
        uint32_t file = kUnknownFile;
        std::u16string folder;
    };
    struct File
    {
        std::string path;
        std::u16string name;
    };
    StableSequence<File> m_files;
    StableSequence<Place> m_places; // place n is element n - 1
};

// Where one record came from.
struct ContactSource
{
    uint32_t file = kUnknownFile; // index among the store's files
    std::string_view path;        // that file's path; empty when the file is unknown
    std::u16string_view folder;   // the folder path, names joined by '\'; empty for the root, an
                                  // orphan, a deleted contact found in free space, or unknown
    uint32_t node_id = 0;         // the item's node id in its file; 0 when unknown
};
ContactSource contact_source(const ContactStore& store, const ContactRecord& record) noexcept;

// Whether an identity is the item's PidTagSearchKey (equal keys in two files: a copy of one
// item), rather than its node id (identity_of_node) or unknown (all zero).
bool identity_is_search_key(const ContactIdentity& identity) noexcept;

} // namespace contacts
