// The item walk: root level, sub items, dispatch, folders, sub folders, sub messages.
#include <climits>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "engine/export_handle.h"
#include "engine/scan_events.h"
#include "group_scan.h"
#include "pst/text.h"

namespace engine {

namespace {

void set_progress(export_handle_t* handle, int position)
{
    if (handle->listener != nullptr) {
        handle->listener->progress(position);
    }
}

} // namespace

void export_handle_skip(export_handle_t* handle, const char16_t* export_path, size_t export_path_size, int item_index,
                        const char* reason, const pst::Status& failed)
{
    ++handle->skipped_count;
    if (handle->listener == nullptr) {
        return;
    }
    // ".export\A\B" (with its terminator) names the folder "A\B".
    std::u16string_view path(export_path, export_path_size > 0 ? export_path_size - 1 : 0);
    const size_t separator = path.find(u'\\');
    path = separator == std::u16string_view::npos ? std::u16string_view() : path.substr(separator + 1);
    handle->listener->item_skipped(SkippedItem{std::u16string(path), item_index, reason, failed.message});
}

int export_handle_export_items(export_handle_t* handle, PstSource* file, const char16_t* export_path,
                               size_t export_path_size, Error* error)
{
    constexpr const char* kFunction = "export_handle_export_items";
    if (handle == nullptr || file == nullptr || export_path == nullptr) {
        error_set(error, kFunction, "missing handle or file");
        return -1;
    }
    if (export_handle_test_abort(handle) != 0) {
        handle->abort = 0;
        error_set(error, kFunction, "aborted");
        return -1;
    }
    if (const pst::Status walked = export_handle_export_file(handle, file, export_path, export_path_size); !walked) {
        error_set(error, kFunction,
                  "unable to walk the root folder" + (walked.message.empty() ? "" : ": " + walked.message));
        return -1;
    }
    handle->abort = 0;
    return 1;
}

pst::Status export_handle_export_file(export_handle_t* handle, PstSource* file, const char16_t* export_path,
                                      size_t export_path_size)
{
    std::unique_ptr<PstItem> root;
    if (pst::Status found = file->root_folder(&root); !found || !root) {
        return found ? pst::Status::failure("") : found;
    }
    int count = 0;
    if (pst::Status counted = root->sub_item_count(&count); !counted) {
        return counted;
    }
    if (count == 0) {
        return pst::Status::success();
    }
    return export_handle_export_sub_items(handle, root.get(), export_path, export_path_size);
}

pst::Status export_handle_export_sub_items(export_handle_t* handle, PstItem* item, const char16_t* export_path,
                                           size_t export_path_size)
{
    int count = 0;
    if (pst::Status counted = item->sub_item_count(&count); !counted) {
        return counted;
    }
    for (int i = 0; i < count; ++i) {
        if (export_handle_test_abort(handle) != 0) {
            return pst::Status::failure("aborted");
        }
        std::unique_ptr<PstItem> child;
        if (pst::Status read = item->sub_item(i, &child); !read || !child) {
            return read ? pst::Status::failure("") : read;
        }
        export_handle_export_item(handle, child.get(), i, export_path, export_path_size);
    }
    return pst::Status::success();
}

int export_handle_export_item(export_handle_t* handle, PstItem* item, int item_index, const char16_t* export_path,
                              size_t export_path_size)
{
    uint8_t type = 0;
    if (const pst::Status typed = item->type(&type); !typed) {
        export_handle_skip(handle, export_path, export_path_size, item_index, "the item's type cannot be read", typed);
        return 1;
    }
    if (type == kItemContact) {
        ++handle->contact_count;
        if (const pst::Status exported = export_handle_export_contact(handle, item, 7); !exported) {
            export_handle_skip(handle, export_path, export_path_size, item_index, "the contact's values cannot be read",
                               exported);
        }
    } else if (type == kItemFolder) {
        export_handle_export_folder(handle, item, item_index, export_path, export_path_size);
    } else if (type == kItemDistributionList && handle->groups != nullptr) {
        if (const pst::Status read = handle->groups->read_list(*item, handle->fallback_codepage); !read) {
            export_handle_skip(handle, export_path, export_path_size, item_index,
                               "the distribution list's values cannot be read", read);
        }
    }
    return 1;
}

int export_handle_export_folder(export_handle_t* handle, PstItem* folder, int folder_index, const char16_t* export_path,
                                size_t export_path_size)
{
    std::string name;
    const pst::Status name_read = folder->display_name(&name);
    const bool named = name_read.found() && !name.empty() && name[0] != '\0';
    if (!named) {
        char unnamed[12];
        const int written = std::snprintf(unnamed, sizeof unnamed, "Folder%05d", folder_index + 1);
        if (written < 0 || written > 11) {
            export_handle_skip(handle, export_path, export_path_size, folder_index, "the folder cannot be named",
                               name_read);
            return -1;
        }
        name.assign(unnamed);
    }
    std::unique_ptr<char16_t[]> target;
    size_t target_size = 0;
    if (name.size() > static_cast<size_t>(INT_MAX) - 1 ||
        export_handle_create_target_path(
            handle, export_path, export_path_size, reinterpret_cast<const uint8_t*>(name.c_str()),
            static_cast<ptrdiff_t>(name.size() + 1), &target, &target_size, nullptr) != 1) {
        export_handle_skip(handle, export_path, export_path_size, folder_index, "the folder's name cannot be read",
                           name_read);
        return -1;
    }
    if (handle->listener != nullptr) {
        handle->listener->folder_entered(std::u16string_view(target.get(), target_size - 1));
    }
    // The folder's path as its contacts will name it; the parent's again on the way out.
    const std::size_t parent_length = handle->folder.size();
    const uint32_t parent_place = handle->place;
    if (parent_length != 0) {
        handle->folder.push_back(u'\\');
    }
    pst::utf8_to_utf16(std::string_view(name.c_str()), handle->folder); // up to a stored NUL, as the path
    handle->place = contacts::kNoPlace;
    const auto leave = [&](int status) {
        handle->folder.resize(parent_length);
        handle->place = parent_place;
        return status;
    };
    if (export_handle_export_sub_folders(handle, folder, target.get(), target_size) != 1) {
        return leave(-1);
    }
    export_handle_export_sub_messages(handle, folder, target.get(), target_size);
    return leave(1);
}

int export_handle_export_sub_folders(export_handle_t* handle, PstItem* folder, const char16_t* export_path,
                                     size_t export_path_size)
{
    int count = 0;
    if (const pst::Status counted = folder->sub_folder_count(&count); !counted) {
        export_handle_skip(handle, export_path, export_path_size, 0, "the sub folders cannot be counted", counted);
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        set_progress(handle, i);
        if (export_handle_test_abort(handle) != 0) {
            return -1;
        }
        std::unique_ptr<PstItem> sub_folder;
        if (const pst::Status read = folder->sub_folder(i, &sub_folder); !read || !sub_folder) {
            export_handle_skip(handle, export_path, export_path_size, i,
                               "a sub folder cannot be read; the folder's remaining items are left out", read);
            return -1;
        }
        export_handle_export_folder(handle, sub_folder.get(), i, export_path, export_path_size);
        set_progress(handle, 0);
    }
    set_progress(handle, 0);
    return 1;
}

int export_handle_export_sub_messages(export_handle_t* handle, PstItem* folder, const char16_t* export_path,
                                      size_t export_path_size)
{
    int count = 0;
    if (const pst::Status counted = folder->sub_message_count(&count); !counted) {
        export_handle_skip(handle, export_path, export_path_size, 0, "the messages cannot be counted", counted);
        return -1;
    }
    int position = 0;
    for (int i = 0; i < count; ++i) {
        set_progress(handle, position);
        if (export_handle_test_abort(handle) != 0) {
            return -1;
        }
        std::unique_ptr<PstItem> message;
        if (const pst::Status read = folder->sub_message(i, &message); !read || !message) {
            export_handle_skip(handle, export_path, export_path_size, i,
                               "a message cannot be read; the folder's remaining messages are left out", read);
            return -1;
        }
        export_handle_export_item(handle, message.get(), i, export_path, export_path_size);
        if (position == 100) {
            position = 0;
        }
        ++position;
    }
    set_progress(handle, 0);
    return 1;
}

} // namespace engine
