// The dependency's floor: opens a PST file with libpff and makes the libpff calls that the scan
// makes (walk, folder names, every value of every contact) without decoding or keeping
// anything. Prints the number of contacts met.
//
//   pff-floor FILE.pst
#include <cstdio>
#include <vector>

#include <libpff.h>

#include "contacts/contact_record.h"
#include "engine/contact_extraction.h"
#include "pff.h"

namespace {

namespace pff = engine::pff;

long g_contacts = 0;
std::vector<uint8_t> g_scratch(24);

void read_contact(libpff_item_t* item)
{
    pff::RecordSet set;
    if (libpff_item_get_record_set_by_index(item, 0, set.out(), nullptr) != 1) {
        return;
    }
    struct Slot
    {
        pff::RecordEntry entry;
        uint32_t type = 0;
        size_t size = 0;
        uint32_t tag = 0;
    };
    std::vector<Slot> slots(engine::kReadOrder.size() + 1);
    size_t largest = 24;
    for (size_t i = 0; i < slots.size(); ++i) {
        Slot& s = slots[i];
        s.tag = i < engine::kReadOrder.size() ? contacts::field_info(engine::kReadOrder[i]).tag : 0x1000;
        if (libpff_record_set_get_entry_by_type(set.get(), s.tag, 0, s.entry.out(),
                                                LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE, nullptr) != 1) {
            s.entry.release();
            continue;
        }
        libpff_record_entry_get_value_type(s.entry.get(), &s.type, nullptr);
        if (s.type == engine::kTypeUnicode) {
            libpff_record_entry_get_data_size(s.entry.get(), &s.size, nullptr);
        } else if (s.type == engine::kTypeString8) {
            if (s.tag == 0x1000) {
                libpff_message_get_plain_text_body_size(item, &s.size, nullptr);
            } else {
                libpff_message_get_entry_value_utf8_string_size(item, s.tag, &s.size, nullptr);
            }
        }
        largest = std::max(largest, s.size);
    }
    if (largest > g_scratch.size()) {
        g_scratch.resize(largest);
    }
    for (Slot& s : slots) {
        if (!s.entry) {
            continue;
        }
        if (s.type == engine::kTypeUnicode && s.size > 0) {
            libpff_record_entry_get_data(s.entry.get(), g_scratch.data(), s.size, nullptr);
        } else if (s.type == engine::kTypeString8 && s.tag == 0x1000) {
            libpff_message_get_plain_text_body(item, g_scratch.data(), largest, nullptr);
        } else if (s.type == engine::kTypeString8) {
            libpff_message_get_entry_value_utf8_string(item, s.tag, g_scratch.data(), largest, nullptr);
        } else if (s.type == engine::kTypeSysTime && (s.tag == 0x3A42 || s.tag == 0x3A41)) {
            pff::RecordEntry local;
            const uint32_t local_tag = s.tag == 0x3A42 ? engine::kTagBirthdayLocal : engine::kTagAnniversaryLocal;
            uint64_t filetime = 0;
            if (libpff_record_set_get_entry_by_type(set.get(), local_tag, engine::kTypeSysTime, local.out(), 0, nullptr) ==
                1) {
                libpff_record_entry_get_data_as_filetime(local.get(), &filetime, nullptr);
            } else {
                libpff_record_entry_get_data_as_filetime(s.entry.get(), &filetime, nullptr);
            }
        }
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

void walk_folder(libpff_item_t* folder)
{
    size_t name_size = 0;
    if (pff::item_entry_utf8_string_size(folder, 0x3001, &name_size) == 1 && name_size > 0) {
        std::vector<uint8_t> name(std::max<size_t>(name_size, 12));
        pff::item_entry_utf8_string(folder, 0x3001, name.data(), name.size());
    }
    int count = 0;
    if (libpff_folder_get_number_of_sub_folders(folder, &count, nullptr) == 1) {
        for (int i = 0; i < count; ++i) {
            pff::Item sub;
            if (libpff_folder_get_sub_folder(folder, i, sub.out(), nullptr) != 1) {
                return;
            }
            walk_folder(sub.get());
        }
    }
    if (libpff_folder_get_number_of_sub_messages(folder, &count, nullptr) == 1) {
        for (int i = 0; i < count; ++i) {
            pff::Item message;
            if (libpff_folder_get_sub_message(folder, i, message.out(), nullptr) != 1) {
                return;
            }
            dispatch(message.get());
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pff-floor FILE.pst\n");
        return 2;
    }
    pff::File file;
    if (libpff_file_initialize(file.out(), nullptr) != 1 ||
        libpff_file_set_ascii_codepage(file.get(), 1252, nullptr) != 1 ||
        libpff_file_open(file.get(), argv[1], LIBPFF_OPEN_READ, nullptr) != 1) {
        std::fprintf(stderr, "pff-floor: cannot open %s\n", argv[1]);
        return 1;
    }
    pff::Item root;
    int count = 0;
    if (libpff_file_get_root_folder(file.get(), root.out(), nullptr) != 1 ||
        libpff_item_get_number_of_sub_items(root.get(), &count, nullptr) != 1) {
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        pff::Item child;
        if (libpff_item_get_sub_item(root.get(), i, child.out(), nullptr) != 1) {
            return 1;
        }
        dispatch(child.get());
    }
    root.release();
    libpff_file_close(file.get(), nullptr);
    std::printf("%ld\n", g_contacts);
    return 0;
}
