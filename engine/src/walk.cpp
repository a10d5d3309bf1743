// The item walk: root level, sub items, dispatch, folders, sub folders, sub messages.
#include <climits>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "engine/export_handle.h"
#include "engine/scan_observer.h"

namespace engine {

namespace {

int fail(Error* error, const char* function, const char* reason)
{
    error_set(error, function, reason);
    return -1;
}

void set_progress(export_handle_t* handle, int position)
{
    if (handle->observer != nullptr) {
        handle->observer->set_progress(position);
    }
}

// Label and action of each item type code.
struct ItemKind
{
    uint8_t type;
    const char* label;
};
constexpr ItemKind kItemKinds[] = {
    {kItemActivity, "activity"}, {kItemAppointment, "appointment"},
    {kItemContact, "contact"},   {kItemDocument, "document"},
    {kItemEmail, "email"},       {kItemEmailSmime, "email"},
    {kItemFolder, "folder"},     {kItemMeeting, "meeting"},
    {kItemNote, "note"},         {kItemRssFeed, "RSSfeed"},
    {kItemTask, "task"},
};

const char* label_of(uint8_t type)
{
    for (const auto& kind : kItemKinds) {
        if (kind.type == type) {
            return kind.label;
        }
    }
    return nullptr;
}

} // namespace

int export_handle_export_items(export_handle_t* handle, PstSource* file, const char16_t* export_path,
                               size_t export_path_size, const char16_t* /*orphans_path*/, size_t /*orphans_path_size*/,
                               const char16_t* /*recovered_path*/, size_t /*recovered_path_size*/,
                               uint8_t export_format, log_handle_t* log_handle, Error* error)
{
    constexpr const char* kFunction = "export_handle_export_items";
    if (handle == nullptr || file == nullptr) {
        return fail(error, kFunction, "missing handle or file");
    }
    if (export_handle_test_abort(handle) != 0) {
        handle->abort = 0;
        return fail(error, kFunction, "aborted");
    }
    if (export_handle_export_file(handle, file, export_path, export_path_size, export_format, log_handle, error) != 1) {
        return fail(error, kFunction, "unable to export the file");
    }
    handle->abort = 0;
    return 1;
}

int export_handle_export_file(export_handle_t* handle, PstSource* file, const char16_t* export_path,
                              size_t export_path_size, uint8_t export_format, log_handle_t* log_handle, Error* error)
{
    constexpr const char* kFunction = "export_handle_export_file";
    if (handle == nullptr || file == nullptr || export_path == nullptr) {
        return fail(error, kFunction, "missing argument");
    }
    std::unique_ptr<PstItem> root;
    if (file->root_folder(&root) != 1 || !root) {
        return fail(error, kFunction, "no root folder");
    }
    int count = 0;
    if (root->sub_item_count(&count) != 1) {
        return fail(error, kFunction, "unable to count the root folder's items");
    }
    if (count == 0) {
        return 1;
    }
    if (export_handle_export_sub_items(handle, root.get(), export_path, export_path_size, export_format, log_handle,
                                       error) != 1) {
        return fail(error, kFunction, "unable to export the root folder's items");
    }
    return 1;
}

int export_handle_export_sub_items(export_handle_t* handle, PstItem* item, const char16_t* export_path,
                                   size_t export_path_size, uint8_t export_format, log_handle_t* log_handle,
                                   Error* error)
{
    constexpr const char* kFunction = "export_handle_export_sub_items";
    if (handle == nullptr || item == nullptr || export_path == nullptr) {
        return fail(error, kFunction, "missing argument");
    }
    int count = 0;
    if (item->sub_item_count(&count) != 1) {
        return fail(error, kFunction, "unable to count the items");
    }
    for (int i = 0; i < count; ++i) {
        if (export_handle_test_abort(handle) != 0) {
            return fail(error, kFunction, "aborted");
        }
        std::unique_ptr<PstItem> child;
        if (item->sub_item(i, &child) != 1 || !child) {
            return fail(error, kFunction, "unable to get an item");
        }
        export_handle_export_item(handle, child.get(), i, count, export_path, export_path_size, export_format,
                                  log_handle, nullptr);
    }
    return 1;
}

int export_handle_export_item(export_handle_t* handle, PstItem* item, int item_index, int /*number_of_items*/,
                              const char16_t* export_path, size_t export_path_size, uint8_t export_format,
                              log_handle_t* log_handle, Error* error)
{
    if (handle == nullptr || item == nullptr || export_path == nullptr) {
        return fail(error, "export_handle_export_item", "missing argument");
    }
    uint8_t type = 0;
    if (item->type(&type) != 1) {
        return 1; // unreadable type: the item counts as handled
    }
    if (const char* label = label_of(type)) {
        handle->last_item_kind = label;
    }
    if (type == kItemContact) {
        ++handle->contact_count;
        export_handle_export_contact(handle, item, item_index, export_path, export_path_size, export_format, log_handle,
                                     7, nullptr);
    } else if (type == kItemFolder) {
        export_handle_export_folder(handle, item, item_index, export_path, export_path_size, export_format, log_handle,
                                    nullptr);
    }
    return 1;
}

int export_handle_export_folder(export_handle_t* handle, PstItem* folder, int folder_index, const char16_t* export_path,
                                size_t export_path_size, uint8_t export_format, log_handle_t* log_handle, Error* error)
{
    constexpr const char* kFunction = "export_handle_export_folder";
    if (handle == nullptr || folder == nullptr || export_path == nullptr) {
        return fail(error, kFunction, "missing argument");
    }
    std::string name;
    const bool named = folder->display_name(&name) == 1 && !name.empty() && name[0] != '\0';
    if (name.size() > static_cast<size_t>(INT_MAX) - 1) {
        return fail(error, kFunction, "folder name size out of bounds");
    }
    if (!named) {
        char unnamed[12];
        const int written = std::snprintf(unnamed, sizeof unnamed, "Folder%05d", folder_index + 1);
        if (written < 0 || written > 11) {
            return fail(error, kFunction, "folder position too large for its name");
        }
        name.assign(unnamed);
    }
    const size_t name_size = name.size() + 1;
    std::unique_ptr<char16_t[]> target;
    size_t target_size = 0;
    if (export_handle_create_target_path(handle, export_path, export_path_size,
                                         reinterpret_cast<const uint8_t*>(name.c_str()),
                                         static_cast<ptrdiff_t>(name_size), &target, &target_size, error) != 1) {
        return fail(error, kFunction, "unable to build the target path");
    }
    if (handle->observer != nullptr) {
        handle->observer->folder_entered(target.get(), target_size);
    }
    if (export_handle_export_sub_folders(handle, folder, target.get(), target_size, export_format, log_handle, error) !=
        1) {
        return fail(error, kFunction, "unable to export the sub folders");
    }
    export_handle_export_sub_messages(handle, folder, target.get(), target_size, export_format, log_handle, nullptr);
    return 1;
}

int export_handle_export_sub_folders(export_handle_t* handle, PstItem* folder, const char16_t* export_path,
                                     size_t export_path_size, uint8_t export_format, log_handle_t* log_handle,
                                     Error* error)
{
    constexpr const char* kFunction = "export_handle_export_sub_folders";
    if (handle == nullptr || folder == nullptr || export_path == nullptr) {
        return fail(error, kFunction, "missing argument");
    }
    int count = 0;
    if (folder->sub_folder_count(&count) != 1) {
        return fail(error, kFunction, "unable to count the sub folders");
    }
    for (int i = 0; i < count; ++i) {
        set_progress(handle, i);
        if (export_handle_test_abort(handle) != 0) {
            return fail(error, kFunction, "aborted");
        }
        std::unique_ptr<PstItem> sub_folder;
        if (folder->sub_folder(i, &sub_folder) != 1 || !sub_folder) {
            return fail(error, kFunction, "unable to get a sub folder");
        }
        export_handle_export_folder(handle, sub_folder.get(), i, export_path, export_path_size, export_format,
                                    log_handle, nullptr);
        set_progress(handle, 0);
    }
    set_progress(handle, 0);
    return 1;
}

int export_handle_export_sub_messages(export_handle_t* handle, PstItem* folder, const char16_t* export_path,
                                      size_t export_path_size, uint8_t export_format, log_handle_t* log_handle,
                                      Error* error)
{
    constexpr const char* kFunction = "export_handle_export_sub_messages";
    if (handle == nullptr || folder == nullptr || export_path == nullptr) {
        return fail(error, kFunction, "missing argument");
    }
    int count = 0;
    if (folder->sub_message_count(&count) != 1) {
        return fail(error, kFunction, "unable to count the messages");
    }
    int position = 0;
    for (int i = 0; i < count; ++i) {
        set_progress(handle, position);
        if (export_handle_test_abort(handle) != 0) {
            return fail(error, kFunction, "aborted");
        }
        std::unique_ptr<PstItem> message;
        if (folder->sub_message(i, &message) != 1 || !message) {
            return fail(error, kFunction, "unable to get a message");
        }
        export_handle_export_item(handle, message.get(), i, count, export_path, export_path_size, export_format,
                                  log_handle, nullptr);
        if (position == 100) {
            position = 0;
        }
        ++position;
    }
    set_progress(handle, 0);
    return 1;
}

} // namespace engine
