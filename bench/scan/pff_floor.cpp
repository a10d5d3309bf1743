// The libpff floor: opens a PST file with libpff and makes the libpff calls that the libpff
// reader makes for the walk (root sub items, item types, folder names, sub folders, sub
// messages) and for each contact (record set 0, every entry by index with its type, size,
// bytes and name-to-id map entry), without decoding or keeping anything. Whatever
// `pelimoor-convert --reader libpff` spends above this is ours, not libpff's.
// Prints the number of contacts met.
//
//   pff-floor FILE.pst
//   pff-floor --folders FILE.pst    each folder's name and number of messages, a tab between,
//                                   and nothing else read (where a generated file put its items)
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <libpff.h>

#include "pff.h"

namespace {

namespace pff = engine::pff;

constexpr uint32_t kTagDisplayName = 0x3001;

long g_contacts = 0;
bool g_census = false;
std::vector<uint8_t> g_scratch(64);

void touch_name(libpff_record_entry_t* entry)
{
    libpff_name_to_id_map_entry_t* name = nullptr; // owned by the record entry
    uint8_t kind = 0;
    if (libpff_record_entry_get_name_to_id_map_entry(entry, &name, nullptr) != 1 || name == nullptr ||
        libpff_name_to_id_map_entry_get_type(name, &kind, nullptr) != 1) {
        return;
    }
    if (kind == LIBPFF_NAME_TO_ID_MAP_ENTRY_TYPE_NUMERIC) {
        uint32_t lid = 0;
        libpff_name_to_id_map_entry_get_number(name, &lid, nullptr);
        return;
    }
    std::array<uint8_t, 16> guid{};
    size_t size = 0;
    if (libpff_name_to_id_map_entry_get_guid(name, guid.data(), guid.size(), nullptr) == 1 &&
        libpff_name_to_id_map_entry_get_utf8_string_size(name, &size, nullptr) == 1 && size > 0) {
        g_scratch.resize(std::max(g_scratch.size(), size));
        libpff_name_to_id_map_entry_get_utf8_string(name, g_scratch.data(), size, nullptr);
    }
}

void read_contact(libpff_item_t* item)
{
    pff::RecordSet set;
    int count = 0;
    if (libpff_item_get_record_set_by_index(item, 0, set.out(), nullptr) != 1 ||
        libpff_record_set_get_number_of_entries(set.get(), &count, nullptr) != 1) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        pff::RecordEntry entry;
        uint32_t id = 0;
        uint32_t type = 0;
        size_t size = 0;
        if (libpff_record_set_get_entry_by_index(set.get(), i, entry.out(), nullptr) != 1 ||
            libpff_record_entry_get_entry_type(entry.get(), &id, nullptr) != 1 ||
            libpff_record_entry_get_value_type(entry.get(), &type, nullptr) != 1) {
            continue;
        }
        if (libpff_record_entry_get_data_size(entry.get(), &size, nullptr) != 1) {
            size = 0;
        }
        g_scratch.resize(std::max(g_scratch.size(), size));
        if (size > 0 && libpff_record_entry_get_data(entry.get(), g_scratch.data(), size, nullptr) != 1) {
            continue;
        }
        touch_name(entry.get());
    }
}

void walk_folder(libpff_item_t* folder);

void dispatch(libpff_item_t* item)
{
    uint8_t type = 0;
    if (libpff_item_get_type(item, &type, nullptr) != 1) {
        return;
    }
    if (type == LIBPFF_ITEM_TYPE_CONTACT) {
        ++g_contacts;
        read_contact(item);
    } else if (type == LIBPFF_ITEM_TYPE_FOLDER) {
        walk_folder(item);
    }
}

// Sub folders, then sub messages, as the walk visits them.
void walk_folder(libpff_item_t* folder)
{
    size_t name_size = 0;
    std::string name;
    if (pff::item_entry_utf8_string_size(folder, kTagDisplayName, &name_size) == 1 && name_size > 0) {
        g_scratch.resize(std::max(g_scratch.size(), name_size));
        if (pff::item_entry_utf8_string(folder, kTagDisplayName, g_scratch.data(), name_size) == 1 && g_census) {
            name.assign(reinterpret_cast<const char*>(g_scratch.data()),
                        strnlen(reinterpret_cast<const char*>(g_scratch.data()), name_size));
        }
    }
    using Count = int (*)(libpff_item_t*, int*, libpff_error_t**);
    using Get = int (*)(libpff_item_t*, int, libpff_item_t**, libpff_error_t**);
    constexpr std::array<std::pair<Count, Get>, 2> kChildren = {{
        {libpff_folder_get_number_of_sub_folders, libpff_folder_get_sub_folder},
        {libpff_folder_get_number_of_sub_messages, libpff_folder_get_sub_message},
    }};
    for (const auto& [count_of, get] : kChildren) {
        int count = 0;
        if (count_of(folder, &count, nullptr) != 1) {
            continue;
        }
        if (g_census && get == libpff_folder_get_sub_message) {
            std::printf("%s\t%d\n", name.c_str(), count);
            break; // libpff's cost is in the messages (a linear search for each)
        }
        for (int i = 0; i < count; ++i) {
            pff::Item child;
            if (get(folder, i, child.out(), nullptr) != 1) {
                break;
            }
            dispatch(child.get());
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    g_census = argc == 3 && std::strcmp(argv[1], "--folders") == 0;
    if (argc != 2 && !g_census) {
        std::fprintf(stderr, "usage: pff-floor [--folders] FILE.pst\n");
        return 2;
    }
    const char* path = argv[argc - 1];
    pff::File file;
    if (libpff_file_initialize(file.out(), nullptr) != 1 ||
        libpff_file_set_ascii_codepage(file.get(), 1252, nullptr) != 1 ||
        libpff_file_open(file.get(), path, LIBPFF_OPEN_READ, nullptr) != 1) {
        std::fprintf(stderr, "pff-floor: cannot open %s\n", path);
        return 1;
    }
    pff::Item root;
    int count = 0;
    if (libpff_file_get_root_folder(file.get(), root.out(), nullptr) != 1 ||
        libpff_item_get_number_of_sub_items(root.get(), &count, nullptr) != 1) {
        std::fprintf(stderr, "pff-floor: no root folder in %s\n", path);
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        pff::Item child;
        if (libpff_item_get_sub_item(root.get(), i, child.out(), nullptr) != 1) {
            std::fprintf(stderr, "pff-floor: cannot read item %d of the root folder\n", i);
            return 1;
        }
        dispatch(child.get());
    }
    root.release();
    libpff_file_close(file.get(), nullptr);
    if (!g_census) {
        std::printf("%ld\n", g_contacts);
    }
    return 0;
}
