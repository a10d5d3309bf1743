// The export handle and the item walk.
//
// The export handle carries the abort flag that the walk reads, plus what the walk hands its
// work to: the listener (progress, contacts, skipped items), the pause gate,
// the contact store and the extraction's reusable buffers. The walk visits the live folder
// hierarchy depth first (a folder's sub folders, each completely, then its messages), counts
// and extracts every contact item and skips every other item.
//
// Calling convention: handle first; 1 on success, -1 on failure, except where a pst::Status
// comes back (the walk of the root, one contact), which carries the reader's account of a
// failure. A walk level reports an item it cannot take to the listener (item_skipped, with the
// failed call's account) and goes on; it fails only when it cannot count
// or fetch its children, which cuts short only the folder in which it happened (the folder is
// then reported as skipped by its parent).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "contacts/contact_sources.h"
#include "engine/error.h"
#include "engine/pst_source.h"

namespace contacts {
class ContactStore;
} // namespace contacts

namespace engine {

class PauseGate;
class ScanListener;
struct ExtractionState; // the extraction's reusable reader and draft
class GroupScan;        // the distribution lists of a walk

struct export_handle_t
{
    int32_t number_of_orphan_items = 0;
    int32_t number_of_recovered_items = 0;
    int32_t number_of_exported_orphan_items = 0;
    int32_t number_of_exported_recovered_items = 0;
    int32_t abort = 0;

    // Where the walk's work goes; all optional (a walk without a store counts contacts only).
    ScanListener* listener = nullptr;
    PauseGate* gate = nullptr;
    contacts::ContactStore* store = nullptr;
    // Contacts met by the walk (counted whether or not their extraction succeeds).
    int32_t contact_count = 0;
    // Items reported as skipped.
    int64_t skipped_count = 0;
    // The extraction's buffers, made on first use and kept for the handle's life.
    std::unique_ptr<ExtractionState> extraction;
    // Code page of 8-bit texts in messages that name none.
    int fallback_codepage = 1252;
    // The distribution lists met and the contacts added, when the caller wants the groups.
    GroupScan* groups = nullptr;
    // Where the records say they came from (contacts/contact_sources.h): the file's index among
    // the store's sources, the path of the folder being walked (its names as stored, joined by
    // '\') and that folder's place, added to the store with the folder's first contact.
    uint32_t source_file = contacts::kUnknownFile;
    std::u16string folder;
    uint32_t place = contacts::kNoPlace;

    export_handle_t();
    ~export_handle_t();
};

// Creates a zeroed handle. Answers 1 and changes nothing when *handle already holds one; -1
// without a reference or when memory runs out.
int export_handle_initialize(export_handle_t** handle, Error* error);
// Releases the handle and empties *handle; 1, or -1 without a reference.
int export_handle_free(export_handle_t** handle, Error* error);

// The abort test of the walk: passes the pause gate's checkpoint first (which may park the
// thread), sets the abort flag when the gate asks the run to end, and returns the flag.
int export_handle_test_abort(export_handle_t* handle);

// Replaces, in place, every code unit of `name` (size code units) that may not appear in a file
// name by '_': 0x01-0x1F and ! " $ % & ' * + / : ; < > ? @ \ ` ~. Everything else is kept (the
// terminator, blank, #, -, ., |, letters, digits, non-ASCII). 1, or -1 without a handle or a
// name, or with a size above 2147483647.
int export_handle_sanitize_filename(export_handle_t* handle, char16_t* name, size_t name_size, Error* error);

// Builds "<parent>\<name>" as UTF-16: the parent (parent_size code units with its terminator),
// its terminator replaced by a backslash, then the UTF-8 `name` (up to its first zero byte)
// converted and sanitised, terminator included. *target_size = parent_size + the converted
// size. *target_path must be empty. On failure (missing argument, negative name size, invalid
// UTF-8, out of memory) *target_path stays empty, *target_size is 0 and -1 comes back.
int export_handle_create_target_path(export_handle_t* handle, const char16_t* parent_path, size_t parent_path_size,
                                     const uint8_t* name, ptrdiff_t name_size, std::unique_ptr<char16_t[]>* target_path,
                                     size_t* target_path_size, Error* error);

// The walk. Paths are UTF-16 with their size in code units, terminator included; nothing is
// created under them. `export_path` is the root's (".export"); a folder's is its parent's with
// "\<name>" appended. Only export_items takes an Error*: it records why the walk failed. The walk
// of the root (export_file, export_sub_items) fails with the reader's account of what it found.
int export_handle_export_items(export_handle_t* handle, PstSource* file, const char16_t* export_path,
                               size_t export_path_size, Error* error);
pst::Status export_handle_export_file(export_handle_t* handle, PstSource* file, const char16_t* export_path,
                                      size_t export_path_size);
pst::Status export_handle_export_sub_items(export_handle_t* handle, PstItem* item, const char16_t* export_path,
                                           size_t export_path_size);
int export_handle_export_item(export_handle_t* handle, PstItem* item, int item_index, const char16_t* export_path,
                              size_t export_path_size);
int export_handle_export_folder(export_handle_t* handle, PstItem* folder, int folder_index, const char16_t* export_path,
                                size_t export_path_size);
int export_handle_export_sub_folders(export_handle_t* handle, PstItem* folder, const char16_t* export_path,
                                     size_t export_path_size);
int export_handle_export_sub_messages(export_handle_t* handle, PstItem* folder, const char16_t* export_path,
                                      size_t export_path_size);

// One contact item to one record: reads its values (read_contact), names its place and node id,
// numbers it (build_contact), tells the listener, appends it to the store. Done once stored (or, without a store, once
// its values could be read); a failure with the reader's account when the item's values cannot be read at all.
// `kind_code` is 7 from the walk.
pst::Status export_handle_export_contact(export_handle_t* handle, PstItem* item, int kind_code);

// After the walk: the contacts beyond the live folders (orphans, then deleted ones found in free
// space) into the store, marked by their origin, leaving out any whose values equal a contact
// already there. Counts what it met in number_of_orphan_items / number_of_recovered_items and
// what it added in number_of_exported_orphan_items / number_of_exported_recovered_items. Stops
// at a checkpoint of the handle's gate. 1 done (also when the reader offers no such items), -1
// when the reader could not search or memory ran out (what was added stays).
int export_handle_export_extras(export_handle_t* handle, PstSource* file);

// Tells the listener that the item at `item_index` of the folder at `export_path` was skipped,
// with the engine's reason and the reader's account in `failed` (of the call on the item itself,
// or on the folder, that failed), and counts it.
void export_handle_skip(export_handle_t* handle, const char16_t* export_path, size_t export_path_size, int item_index,
                        const char* reason, const pst::Status& failed);

} // namespace engine
