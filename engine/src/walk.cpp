// The item walk: root level, sub items, dispatch, folders, sub folders, sub messages.
#include <climits>
#include <cstdio>
#include <new>
#include <vector>

#include "contacts/pff.h"
#include "engine/export_handle.h"
#include "engine/scan_observer.h"

namespace engine {

namespace pff = contacts::pff;

namespace {

constexpr uint32_t kTagDisplayName = 0x3001;

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
    {LIBPFF_ITEM_TYPE_ACTIVITY, "activity"}, {LIBPFF_ITEM_TYPE_APPOINTMENT, "appointment"},
    {LIBPFF_ITEM_TYPE_CONTACT, "contact"},   {LIBPFF_ITEM_TYPE_DOCUMENT, "document"},
    {LIBPFF_ITEM_TYPE_EMAIL, "email"},       {LIBPFF_ITEM_TYPE_EMAIL_SMIME, "email"},
    {LIBPFF_ITEM_TYPE_FOLDER, "folder"},     {LIBPFF_ITEM_TYPE_MEETING, "meeting"},
    {LIBPFF_ITEM_TYPE_NOTE, "note"},         {LIBPFF_ITEM_TYPE_RSS_FEED, "RSSfeed"},
    {LIBPFF_ITEM_TYPE_TASK, "task"},
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

int export_handle_export_items(export_handle_t* handle, libpff_file_t* file, const char16_t* export_path,
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

int export_handle_export_file(export_handle_t* handle, libpff_file_t* file, const char16_t* export_path,
                              size_t export_path_size, uint8_t export_format, log_handle_t* log_handle, Error* error)
{
    constexpr const char* kFunction = "export_handle_export_file";
    if (handle == nullptr || file == nullptr || export_path == nullptr) {
        return fail(error, kFunction, "missing argument");
    }
    pff::Item root;
    pff::ErrorSlot pff_error;
    if (libpff_file_get_root_folder(file, root.out(), pff_error.out()) != 1 || !root) {
        return fail(error, kFunction, "no root folder");
    }
    int count = 0;
    if (libpff_item_get_number_of_sub_items(root.get(), &count, pff_error.out()) != 1) {
        return fail(error, kFunction, "unable to count the root folder's items");
    }
    if (count == 0) {
        return root.release() ? 1 : fail(error, kFunction, "unable to release the root folder");
    }
    if (export_handle_export_sub_items(handle, root.get(), export_path, export_path_size, export_format, log_handle,
                                       error) != 1) {
        root.release();
        return fail(error, kFunction, "unable to export the root folder's items");
    }
    return root.release() ? 1 : fail(error, kFunction, "unable to release the root folder");
}

int export_handle_export_sub_items(export_handle_t* handle, libpff_item_t* item, const char16_t* export_path,
                                   size_t export_path_size, uint8_t export_format, log_handle_t* log_handle,
                                   Error* error)
{
    constexpr const char* kFunction = "export_handle_export_sub_items";
    if (handle == nullptr || item == nullptr || export_path == nullptr) {
        return fail(error, kFunction, "missing argument");
    }
    pff::ErrorSlot pff_error;
    int count = 0;
    if (libpff_item_get_number_of_sub_items(item, &count, pff_error.out()) != 1) {
        return fail(error, kFunction, "unable to count the items");
    }
    for (int i = 0; i < count; ++i) {
        if (export_handle_test_abort(handle) != 0) {
            return fail(error, kFunction, "aborted");
        }
        pff::Item child;
        if (libpff_item_get_sub_item(item, i, child.out(), pff_error.out()) != 1 || !child) {
            return fail(error, kFunction, "unable to get an item");
        }
        export_handle_export_item(handle, child.get(), i, count, export_path, export_path_size, export_format,
                                  log_handle, nullptr);
        if (!child.release()) {
            return fail(error, kFunction, "unable to release an item");
        }
    }
    return 1;
}

int export_handle_export_item(export_handle_t* handle, libpff_item_t* item, int item_index, int /*number_of_items*/,
                              const char16_t* export_path, size_t export_path_size, uint8_t export_format,
                              log_handle_t* log_handle, Error* error)
{
    if (handle == nullptr || item == nullptr || export_path == nullptr) {
        return fail(error, "export_handle_export_item", "missing argument");
    }
    pff::ErrorSlot pff_error;
    uint8_t type = 0;
    if (libpff_item_get_type(item, &type, pff_error.out()) != 1) {
        return 1; // unreadable type: the item counts as handled
    }
    if (const char* label = label_of(type)) {
        handle->last_item_kind = label;
    }
    if (type == LIBPFF_ITEM_TYPE_CONTACT) {
        ++handle->contact_count;
        export_handle_export_contact(handle, item, item_index, export_path, export_path_size, export_format, log_handle,
                                     7, nullptr);
    } else if (type == LIBPFF_ITEM_TYPE_FOLDER) {
        export_handle_export_folder(handle, item, item_index, export_path, export_path_size, export_format, log_handle,
                                    nullptr);
    }
    return 1;
}

int export_handle_export_folder(export_handle_t* handle, libpff_item_t* folder, int folder_index,
                                const char16_t* export_path, size_t export_path_size, uint8_t export_format,
                                log_handle_t* log_handle, Error* error)
{
    constexpr const char* kFunction = "export_handle_export_folder";
    if (handle == nullptr || folder == nullptr || export_path == nullptr) {
        return fail(error, kFunction, "missing argument");
    }
    size_t name_size = 0;
    const int sized = pff::item_entry_utf8_string_size(folder, kTagDisplayName, &name_size);
    if (sized == 1 && name_size > static_cast<size_t>(INT_MAX)) {
        return fail(error, kFunction, "folder name size out of bounds");
    }
    if (sized != 1) {
        name_size = 0;
    }
    if (name_size < 12) {
        name_size = 12;
    }
    std::vector<uint8_t> name;
    try {
        name.assign(name_size, 0);
    } catch (const std::bad_alloc&) {
        return fail(error, kFunction, "out of memory");
    }
    const bool named =
        pff::item_entry_utf8_string(folder, kTagDisplayName, name.data(), name.size()) == 1 && name[0] != 0;
    if (!named) {
        const int written = std::snprintf(reinterpret_cast<char*>(name.data()), 12, "Folder%05d", folder_index + 1);
        if (written < 0 || written > 11) {
            return fail(error, kFunction, "folder position too large for its name");
        }
        name_size = 12;
    }
    std::unique_ptr<char16_t[]> target;
    size_t target_size = 0;
    if (export_handle_create_target_path(handle, export_path, export_path_size, name.data(),
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

int export_handle_export_sub_folders(export_handle_t* handle, libpff_item_t* folder, const char16_t* export_path,
                                     size_t export_path_size, uint8_t export_format, log_handle_t* log_handle,
                                     Error* error)
{
    constexpr const char* kFunction = "export_handle_export_sub_folders";
    if (handle == nullptr || folder == nullptr || export_path == nullptr) {
        return fail(error, kFunction, "missing argument");
    }
    pff::ErrorSlot pff_error;
    int count = 0;
    if (libpff_folder_get_number_of_sub_folders(folder, &count, pff_error.out()) != 1) {
        return fail(error, kFunction, "unable to count the sub folders");
    }
    for (int i = 0; i < count; ++i) {
        set_progress(handle, i);
        if (export_handle_test_abort(handle) != 0) {
            return fail(error, kFunction, "aborted");
        }
        pff::Item sub_folder;
        if (libpff_folder_get_sub_folder(folder, i, sub_folder.out(), pff_error.out()) != 1 || !sub_folder) {
            return fail(error, kFunction, "unable to get a sub folder");
        }
        export_handle_export_folder(handle, sub_folder.get(), i, export_path, export_path_size, export_format,
                                    log_handle, nullptr);
        if (!sub_folder.release()) {
            return fail(error, kFunction, "unable to release a sub folder");
        }
        set_progress(handle, 0);
    }
    set_progress(handle, 0);
    return 1;
}

int export_handle_export_sub_messages(export_handle_t* handle, libpff_item_t* folder, const char16_t* export_path,
                                      size_t export_path_size, uint8_t export_format, log_handle_t* log_handle,
                                      Error* error)
{
    constexpr const char* kFunction = "export_handle_export_sub_messages";
    if (handle == nullptr || folder == nullptr || export_path == nullptr) {
        return fail(error, kFunction, "missing argument");
    }
    pff::ErrorSlot pff_error;
    int count = 0;
    if (libpff_folder_get_number_of_sub_messages(folder, &count, pff_error.out()) != 1) {
        return fail(error, kFunction, "unable to count the messages");
    }
    int position = 0;
    for (int i = 0; i < count; ++i) {
        set_progress(handle, position);
        if (export_handle_test_abort(handle) != 0) {
            return fail(error, kFunction, "aborted");
        }
        pff::Item message;
        if (libpff_folder_get_sub_message(folder, i, message.out(), pff_error.out()) != 1 || !message) {
            return fail(error, kFunction, "unable to get a message");
        }
        export_handle_export_item(handle, message.get(), i, count, export_path, export_path_size, export_format,
                                  log_handle, nullptr);
        if (!message.release()) {
            return fail(error, kFunction, "unable to release a message");
        }
        if (position == 100) {
            position = 0;
        }
        ++position;
    }
    set_progress(handle, 0);
    return 1;
}

} // namespace engine
