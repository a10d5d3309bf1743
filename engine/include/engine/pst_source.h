// The one seam between the walk and a PST reader. Two readers sit behind it: our own (pst/,
// the default) and libpff (kept as a second reader and as the tests' oracle). Both hand the
// walk the same items in the same order: a folder's sub folders are the rows of its hierarchy
// table, its messages the rows of its contents table (each row resolved to a node whose parent
// is the folder), the root folder's sub items every node whose parent is the root, in node-id
// order. An item's type comes from its message class (none: a folder), as libpff decides it.
//
// Calling convention as the reader's: every call returns a pst::Status, done or found, absent
// (lookups: no such value or table), or failed with the reader's account of what it found
// ("block 0x2a4 at 0x6c40: its trailer says 212 bytes, the block B-tree 200"; empty when the
// reader gave none: libpff's texts are never passed on).
// Not thread-safe: a source and its items belong to one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sources.h"
#include "pst/format.h"
#include "pst/status.h"

namespace contacts {
class ContactDraft;
}

namespace engine {

enum class ReaderKind : uint8_t
{
    native, // our own reader
    libpff, // libpff 20180714
};

// "native" / "libpff"; nullopt for anything else.
std::optional<ReaderKind> reader_kind_from_name(std::string_view name);
const char* reader_kind_name(ReaderKind kind);

// Item type codes: the values libpff gives its item types (LIBPFF_ITEM_TYPE_*).
enum ItemType : uint8_t
{
    kItemUndefined = 0,
    kItemActivity = 1,
    kItemAppointment = 2,
    kItemAttachment = 3,
    kItemAttachments = 4,
    kItemCommon = 5,
    kItemConfiguration = 6,
    kItemConflictMessage = 7,
    kItemContact = 8,
    kItemDistributionList = 9,
    kItemDocument = 10,
    kItemEmail = 11,
    kItemEmailSmime = 12,
    kItemFax = 13,
    kItemFolder = 14,
    kItemMeeting = 15,
    kItemMms = 16,
    kItemNote = 17,
    kItemPostingNote = 18,
    kItemRecipients = 19,
    kItemRssFeed = 20,
    kItemSharing = 21,
    kItemSms = 22,
    kItemSubAssociatedContents = 23,
    kItemSubFolders = 24,
    kItemSubMessages = 25,
    kItemTask = 26,
    kItemTaskRequest = 27,
    kItemVoicemail = 28,
    kItemUnknown = 29,
};

// The item type of a message class (stored text, cut at its first NUL), compared without
// regard to ASCII case: "IPM.Contact" is a contact, "IPM.Contact.X" is not.
ItemType item_type_of_class(std::string_view message_class);
// Whether a folder's container class (PidTagContainerClass) is a contact folder's: "IPF.Contact"
// and its sub classes, without regard to ASCII case.
bool is_contact_folder_class(std::string_view container_class);

// Property types and property sets as the PST layer declares them.
using pst::Guid;
using pst::PropType;

// Record set 0 of an item: its properties in stored order, with their bytes.
class PropertyList
{
public:
    struct Property
    {
        uint32_t id = 0; // property id; a numeric named property by its LID
        uint16_t type = 0;
        uint32_t offset = 0; // of the bytes in the list's buffer
        uint32_t size = 0;
        int32_t name = -1; // string-named properties: index of their name
    };

    // Empties the list. A list refilled item after item allocates only to grow: clear() keeps
    // its buffers' room, up to kKeptBytes (the room of an item with a large value is released).
    void clear();
    static constexpr size_t kKeptBytes = 16 * 1024;
    // The bytes its buffers hold, used or not.
    size_t held_bytes() const;
    // Exchanges the contents (and buffers) of two lists, without copying or allocating.
    void swap(PropertyList& other) noexcept;
    friend void swap(PropertyList& a, PropertyList& b) noexcept { a.swap(b); }
    // Room for `count` properties holding `bytes` bytes in all, so that adding them allocates
    // nothing more.
    void reserve(size_t count, size_t bytes);
    // Adds a property. `named_lid`: the LID of a numeric named property; `string_name`: the
    // GUID and name of a string-named one (at most one of the two).
    void add(uint32_t stored_id, uint16_t type, const uint8_t* data, size_t size, std::optional<uint32_t> named_lid,
             const Guid* guid = nullptr, std::u16string_view string_name = {});
    // Adds a property that is not named: most of an item's, so kept short enough to inline.
    void add(uint32_t stored_id, uint16_t type, const uint8_t* data, size_t size)
    {
        push(Property{stored_id, type, append_bytes({data, size}), static_cast<uint32_t>(size), -1});
    }

    // Appends `bytes` to the list's buffer, where properties added by add_at may find their
    // values; returns the offset they start at.
    uint32_t append_bytes(std::span<const uint8_t> bytes)
    {
        const auto offset = static_cast<uint32_t>(m_size);
        if (bytes.size() > m_capacity - m_size) {
            grow(m_size + bytes.size());
        }
        if (!bytes.empty()) {
            std::memcpy(m_bytes.get() + m_size, bytes.data(), bytes.size());
        }
        m_size += bytes.size();
        return offset;
    }
    // Adds a property that is not named, whose value is the `size` bytes at `offset` of the
    // list's buffer (appended before). REQUIRES: offset + size within the bytes appended.
    void add_at(uint32_t stored_id, uint16_t type, uint32_t offset, uint32_t size)
    {
        push(Property{stored_id, type, offset, size, -1});
    }

    // The first property with `id` (of any type / of `type`), or nullptr.
    const Property* find(uint32_t id) const;
    const Property* find(uint32_t id, uint16_t type) const;
    // The first string-named property called `name` (in any property set), or nullptr.
    const Property* find_named(std::u16string_view name) const;
    // The property set of a string-named property (nullptr for other properties).
    const Guid* guid_of(const Property& p) const;

    std::span<const uint8_t> bytes(const Property& p) const
    {
        return std::span<const uint8_t>(m_bytes.get() + p.offset, p.size);
    }
    std::span<const Property> all() const { return {m_properties.data(), m_count}; }
    // A 32-bit value (PT_LONG and the like), when `id` has one of 4 bytes or more.
    std::optional<uint32_t> long_value(uint32_t id) const;

private:
    struct Name
    {
        Guid guid;
        uint32_t offset = 0; // of the name's units in m_name_units
        uint32_t size = 0;
    };
    std::u16string_view name_of(const Name& n) const
    {
        return std::u16string_view(m_name_units).substr(n.offset, n.size);
    }
    // Adds a property in the room of m_properties, inline: a list is filled with every property
    // of every item a walk reads.
    void push(const Property& p)
    {
        if (m_count == m_properties.size()) {
            make_room();
        }
        m_properties[m_count++] = p;
    }
    void make_room();
    // Room for at least `bytes` bytes of values, the ones held kept.
    void grow(size_t bytes);
    std::vector<Property> m_properties; // the first m_count are the list's; the rest is room
    std::size_t m_count = 0;
    // The values' bytes: the first m_size of m_capacity, appended one value after another (a
    // message's values a dozen appends), room that is not zero-filled before they are copied in.
    std::unique_ptr<uint8_t[]> m_bytes;
    std::size_t m_size = 0, m_capacity = 0;
    std::vector<Name> m_names;
    std::u16string m_name_units; // the names, one after another
};

// A contact's picture: the bytes of the attachment marked as the contact photo
// (PidTagAttachmentContactPhoto 0x7FFF true), with what the attachment says of their type.
struct ContactPhoto
{
    std::vector<uint8_t> bytes;
    std::string mime;      // PidTagAttachMimeTag (0x370E), as stored; may be empty
    std::string extension; // PidTagAttachExtension (0x3703) or the file name's; may be empty

    // Two empty texts are left as they are: most items have no photo, and a string's swap costs
    // more than a vector's (an item's buffers change hands twice for every item a walk makes).
    friend void swap(ContactPhoto& a, ContactPhoto& b) noexcept
    {
        a.bytes.swap(b.bytes);
        if (!a.mime.empty() || !b.mime.empty()) {
            a.mime.swap(b.mime);
        }
        if (!a.extension.empty() || !b.extension.empty()) {
            a.extension.swap(b.extension);
        }
    }
};

// Attachments larger than this are not taken as photos (a contact picture is a few KiB).
inline constexpr size_t kMaxPhotoBytes = 16u << 20;

// The columns read of a message's recipient rows (its recipient table, subnode 0x692): the
// address columns PidTagAddressType 0x3002, PidTagEmailAddress 0x3003 and PidTagSmtpAddress
// 0x39FE, and PidTagDisplayName 0x3001.
inline constexpr uint32_t kRecipientAddressTags[] = {0x3002, 0x3003, 0x39FE, 0x3001};
// Values of those columns longer than this are left out (an address is a few hundred bytes).
inline constexpr size_t kMaxRecipientValue = 64u << 10;

class RecipientRows
{
public:
    // One list per row that could be read, with the row's address columns that it has (8-bit
    // or Unicode texts as stored), in the order of kRecipientAddressTags.
    std::span<const PropertyList> rows() const { return {m_rows.data(), m_count}; }
    int unreadable = 0; // rows left out because they could not be read

    // For the readers: no rows yet (the lists of earlier rows are kept for their buffers).
    void clear()
    {
        m_count = 0;
        unreadable = 0;
    }
    // An empty list for the next row, to be kept or dropped by keep_row.
    PropertyList& next_row()
    {
        if (m_count == m_rows.size()) {
            m_rows.emplace_back();
        }
        PropertyList& row = m_rows[m_count];
        row.clear();
        return row;
    }
    // Keeps the row next_row handed out when it was read whole, or counts it as unreadable.
    void keep_row(bool readable)
    {
        if (readable) {
            ++m_count;
        } else {
            ++unreadable;
        }
    }
    std::vector<uint8_t> cell; // a cell's bytes while a reader reads it
    // Our reader: the cells of a row's address columns, each tag's 8-bit and Unicode column,
    // while it reads them (values in subnodes).
    std::vector<uint8_t> cells[2 * std::size(kRecipientAddressTags)];

private:
    std::vector<PropertyList> m_rows;
    size_t m_count = 0;
};

class PstItem
{
public:
    virtual ~PstItem() = default;

    // The item's type code (kItem...); a failure when its values cannot be read.
    virtual pst::Status type(uint8_t* out) = 0;
    // Every node whose parent is this item, in node-id order (the walk uses it on the root).
    virtual pst::Status sub_item_count(int* count) = 0;
    virtual pst::Status sub_item(int index, std::unique_ptr<PstItem>* out) = 0;
    // Rows of the hierarchy table (node id + 11); 0 without the table.
    virtual pst::Status sub_folder_count(int* count) = 0;
    virtual pst::Status sub_folder(int index, std::unique_ptr<PstItem>* out) = 0;
    // Rows of the contents table (node id + 12); 0 without the table.
    virtual pst::Status sub_message_count(int* count) = 0;
    virtual pst::Status sub_message(int index, std::unique_ptr<PstItem>* out) = 0;
    // Rows of the associated contents table (node id + 13: the folder's hidden messages, such as
    // its configuration); 0 without the table.
    virtual pst::Status sub_associated_count(int* count)
    {
        *count = 0;
        return pst::Status::success();
    }
    virtual pst::Status sub_associated(int /*index*/, std::unique_ptr<PstItem>* /*out*/)
    {
        return pst::Status::failure("the item has no associated contents");
    }
    // PidTagDisplayName as UTF-8 (8-bit names through the source's fallback code page):
    // found, absent, or a failure.
    virtual pst::Status display_name(std::string* out) = 0;
    // Record set 0. The list is the item's and stays valid while the item lives. Asked again
    // after a failure, the same failure.
    virtual pst::Status properties(const PropertyList** out) = 0;
    // Record set 0 as far as a walk over many messages needs it: the properties among `ids`
    // (which must be ids below 0x8000), and perhaps more (a reader that cannot choose gives them
    // all). A value type no reader knows fails the item as properties() does. Valid until the
    // item's next call.
    virtual pst::Status properties_of(std::span<const uint16_t> /*ids*/, const PropertyList** out)
    {
        return properties(out);
    }
    // The first attachment marked as the contact's photo whose bytes can be read (at most
    // kMaxPhotoBytes): found, or absent (none, or none that can be read).
    virtual pst::Status contact_photo(ContactPhoto* /*out*/) { return pst::Status::none(); }
    // The message's recipient rows: done (rows that cannot be read left out and counted), absent
    // when it has no recipient table, a failure when the table cannot be read. The scan never
    // asks: only what needs the addresses of a file's mail does.
    virtual pst::Status recipient_rows(RecipientRows* /*out*/) { return pst::Status::none(); }
    // The item's node id; 0 when it has none that the file keeps (an item found in free space).
    virtual uint32_t node_id() { return 0; }
    // A contact's values read ahead of the walk (read_contact_values with `fallback_codepage`):
    // true when they are swapped into `draft`, false when the caller reads them itself.
    virtual bool take_contact_draft(contacts::ContactDraft& /*draft*/, int /*fallback_codepage*/) { return false; }
};

// Where an item beyond the live folders was found.
enum class ExtraOrigin : uint8_t
{
    orphan,    // a message node whose parent folder is missing or not a folder
    recovered, // a property context left in free space (a deleted item)
};

struct SourceOptions
{
    ReaderKind reader = ReaderKind::native;
    // Code page for 8-bit texts of items that name none (see engine/text_decoding.h).
    int fallback_codepage = 1252;
    // Whether a scan also looks beyond the live folders (orphans, deleted items).
    bool recovery = true;
    // Whether offline folder files (OST, content type "SO") are read; without it they are refused
    // as not being PST files.
    bool offline = false;
    // Whether our reader reads a large folder's messages ahead of the walk on a second thread
    // (the results are the same either way; tests compare the two).
    bool read_ahead = true;
    // The address books the scan reads (contacts alone unless told; see engine/sources.h).
    Sources sources = {};
};

// The reader, code page, recovery and read-ahead chosen through the environment: PELIMOOR_READER
// (native, libpff), PELIMOOR_CODEPAGE (a number), PELIMOOR_RECOVERY and PELIMOOR_READ_AHEAD (0/off,
// 1/on). Unset variables give the defaults; a value
// that is not understood gives the defaults and a sentence for the user in *problem.
SourceOptions source_options_from_environment(std::string* problem);

// Takes "--reader NAME" / "--reader=NAME", "--codepage N" / "--codepage=N", "--sources LIST" /
// "--sources=LIST", "--min-messages N" / "--min-messages=N", "--no-recovery" and "--ost" out of
// `args` into `options`; the other arguments go to *rest in their order. False with a sentence in
// *problem for a missing or unknown value.
bool take_source_options(const std::vector<std::string>& args, std::vector<std::string>* rest, SourceOptions* options,
                         std::string* problem);

class PstSource
{
public:
    virtual ~PstSource() = default;

    // Opens `path_utf8` read-only with the chosen reader. nullptr and the failure in *why (why may
    // be null).
    static std::unique_ptr<PstSource> open(const std::string& path_utf8, const SourceOptions& options,
                                           pst::Status* why);

    virtual pst::Status root_folder(std::unique_ptr<PstItem>* out) = 0;
    const SourceOptions& options() const { return m_options; }

    // The items beyond the live folders: first the orphan message nodes in node-id order, then
    // the property contexts found in free space in file order. `visit` gets each (valid for the
    // call only) and returns false to stop; `go_on` is asked now and then during long searches
    // and returning false stops them. Done when done or stopped, absent when this reader offers
    // none, a failure when the file's trees cannot be read for it.
    virtual pst::Status for_each_extra_item(const std::function<bool(PstItem&, ExtraOrigin)>& /*visit*/,
                                            const std::function<bool()>& /*go_on*/)
    {
        return pst::Status::none();
    }

protected:
    explicit PstSource(const SourceOptions& options) : m_options(options) {}

private:
    SourceOptions m_options;
};

// The two implementations (pst_source_native.cpp, pst_source_libpff.cpp).
std::unique_ptr<PstSource> open_native_source(const std::string& path_utf8, const SourceOptions& options,
                                              pst::Status* why);
std::unique_ptr<PstSource> open_libpff_source(const std::string& path_utf8, const SourceOptions& options,
                                              pst::Status* why);

} // namespace engine
