// Our own reader behind the seam. Items are nodes of the node B-tree; the root folder, a node's
// children and a folder's tables come from the reader's messaging layer (pst/messaging.h).
#include "pst/format.h"
#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <unordered_map>

#include "contacts/text.h"
#include "engine/contact_extraction.h"
#include "engine/pst_source.h"
#include "engine/text_decoding.h"
#include "open_source.h"
#include "pst/messaging.h"
#include "pst/reader.h"
#include "pst/recovery.h"
#include "recipient_rows.h"

namespace engine {

namespace {

namespace read = pst::read;

constexpr uint16_t kTagMessageClass = 0x001A;

// Value types a property context may hold. libpff refuses a whole item with a property of
// any other type (0x0000 PT_UNSPECIFIED, 0x0001 PT_NULL, ...); so does this reader, so that
// both count the same contacts.
constexpr uint16_t kKnownValueTypes[] = {
    0x0002, 0x0003, 0x0004, 0x0005, 0x0006, 0x0007, 0x000A, 0x000B, 0x000D, 0x0014,
    0x001E, 0x001F, 0x0040, 0x0048, 0x00FB, 0x00FD, 0x00FE, 0x0102, 0x1002, 0x1003,
    0x1004, 0x1005, 0x1006, 0x1007, 0x1014, 0x101E, 0x101F, 0x1040, 0x1048, 0x1102,
};

std::string hex16(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string hex32(uint32_t value)
{
    char text[12];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

// Why an item has no type: its message class is a value of another type.
constexpr const char* kClassNotText = "its message class is neither an 8-bit nor a Unicode text";

// The node a table row of folder `folder` names: it must be a child of the folder. Success, or
// the reader's failure, or why the node is not taken.
pst::Status child_node(read::File& file, uint32_t folder, uint32_t nid, read::Node* out)
{
    pst::Status found = read::find_child(file, folder, nid, out);
    if (found.absent) {
        return pst::Status::failure("its table names node " + hex32(nid) + ", which is not one of its children");
    }
    return found;
}

// The account of an item that could not be made.
constexpr const char* kNoMemory = "there was no memory for the item";

// Hands out a newly made item; a failure when there was no memory for it.
pst::Status made(std::unique_ptr<PstItem>* out, PstItem* item)
{
    out->reset(item);
    return item != nullptr ? pst::Status::success() : pst::Status::failure(kNoMemory);
}

// kKnownValueTypes as one bit per type below 0x1200 (every one of them is).
constexpr size_t kTypeBitsEnd = 0x1200;
constexpr std::array<uint64_t, kTypeBitsEnd / 64> kKnownTypeBits = [] {
    std::array<uint64_t, kTypeBitsEnd / 64> bits{};
    for (const uint16_t type : kKnownValueTypes) {
        bits[type / 64] |= uint64_t{1} << (type % 64);
    }
    return bits;
}();

bool known_value_type(uint16_t type)
{
    return type < kTypeBitsEnd && (kKnownTypeBits[type / 64] >> (type % 64) & 1) != 0;
}

// A stored text that is ASCII in practice (a class name, a MIME tag, an extension): 8-bit bytes
// as they are, Unicode as UTF-8; nothing for a value of another type.
std::optional<std::string> ascii_text(uint16_t type, std::span<const uint8_t> bytes)
{
    if (type == type_code(PropType::String8)) {
        return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    if (type == type_code(PropType::Unicode)) {
        std::u16string units(bytes.size() / 2, u'\0');
        units.resize(contacts::utf16le_to_utf16(bytes.data(), bytes.size(), units.data()));
        return contacts::utf16_to_utf8(units);
    }
    return std::nullopt;
}

// The item type that a stored message class names; -1 when the class is no text. Every item's
// class is looked at, so nothing is allocated: a Unicode class is compared as its first
// kClassUnits units, each non-ASCII unit as one non-ASCII byte. The class names matched are
// ASCII and shorter than that, so the result is the one of its whole text as UTF-8.
constexpr size_t kClassUnits = 128;
int type_of_class(uint16_t type, std::span<const uint8_t> bytes)
{
    if (type == type_code(PropType::String8)) {
        return item_type_of_class(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    if (type != type_code(PropType::Unicode)) {
        return -1;
    }
    std::array<char, kClassUnits> text;
    const size_t n = std::min(bytes.size() / 2, text.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned unit = bytes[2 * i] | unsigned{bytes[2 * i + 1]} << 8;
        text[i] = unit < 0x80 ? static_cast<char>(unit) : '\x80';
    }
    return item_type_of_class(std::string_view(text.data(), n));
}

// The item type that a property list's message class names (none: a folder); -1 when the class
// has a type no text has.
int type_of_properties(const PropertyList& list)
{
    const PropertyList::Property* cls = list.find(kTagMessageClass);
    return cls == nullptr ? kItemFolder : type_of_class(cls->type, list.bytes(*cls));
}

// Whether the walk reads more of an item of `type` than its type.
bool walk_opens(int type)
{
    return type == kItemContact || type == kItemDistributionList || type == kItemFolder;
}

// The item type that the message class in row `row` of a contents table names; -1 when the row
// gives none that can be used (no class column, an empty cell, a row that cannot be read): then
// the item's own property context decides, as for every item the walk opens.
int row_type(read::Table& table, size_t row, std::vector<uint8_t>& cell)
{
    for (const uint32_t tag : {uint32_t{kTagMessageClass} << 16 | type_code(PropType::Unicode),
                               uint32_t{kTagMessageClass} << 16 | type_code(PropType::String8)}) {
        const pst::Status found = table.cell(row, tag, &cell);
        if (!found) {
            return -1;
        }
        if (!found.absent) {
            return type_of_class(static_cast<uint16_t>(tag & 0xFFFF), cell);
        }
    }
    return -1;
}

// A text value of an attachment as UTF-8 (8-bit texts are ASCII in practice: MIME tags and
// extensions); empty when absent or of another type.
std::string attachment_text(const read::PropertyContext& pc, uint16_t id)
{
    const read::PropertyRef* p = pc.find(id);
    if (p == nullptr || p->data == nullptr) {
        return {};
    }
    return ascii_text(p->type, std::span<const uint8_t>(p->data, p->size)).value_or(std::string());
}

// Whether an attachment is marked as the contact's photo and holds bytes within the bound;
// then *out gets them.
bool photo_of_attachment(const read::PropertyContext& pc, ContactPhoto* out)
{
    const read::PropertyRef* flag = pc.find(pst::tag::kAttachmentContactPhoto);
    if (flag == nullptr || flag->type != type_code(PropType::Boolean) || flag->size == 0 || flag->data[0] == 0) {
        return false;
    }
    const read::PropertyRef* data = pc.find(pst::tag::kAttachDataBinary);
    if (data == nullptr || data->type != type_code(PropType::Binary) || data->size == 0 ||
        data->size > kMaxPhotoBytes) {
        return false;
    }
    out->bytes.assign(data->data, data->data + data->size);
    out->mime = attachment_text(pc, pst::tag::kAttachMimeTag);
    out->extension = attachment_text(pc, pst::tag::kAttachExtension);
    for (const uint16_t name : {pst::tag::kAttachLongFilename, pst::tag::kAttachFilename}) {
        if (out->extension.empty()) {
            const std::string file_name = attachment_text(pc, name);
            const size_t dot = file_name.rfind('.');
            if (dot != std::string::npos) {
                out->extension = file_name.substr(dot);
            }
        }
    }
    return true;
}

// An item known only by its property list: a property context found in free space. It has no
// children and no attachments (its subnodes are not known).
class ListItem : public PstItem
{
public:
    PropertyList& list() { return m_list; }

    pst::Status type(uint8_t* out) override
    {
        const int type = type_of_properties(m_list);
        if (type < 0) {
            return pst::Status::failure(kClassNotText);
        }
        *out = static_cast<uint8_t>(type);
        return pst::Status::success();
    }
    pst::Status sub_item_count(int* count) override { return none(count); }
    pst::Status sub_item(int, std::unique_ptr<PstItem>*) override { return no_child(); }
    pst::Status sub_folder_count(int* count) override { return none(count); }
    pst::Status sub_folder(int, std::unique_ptr<PstItem>*) override { return no_child(); }
    pst::Status sub_message_count(int* count) override { return none(count); }
    pst::Status sub_message(int, std::unique_ptr<PstItem>*) override { return no_child(); }
    pst::Status display_name(std::string*) override { return pst::Status::none(); }
    pst::Status properties(const PropertyList** out) override
    {
        *out = &m_list;
        return pst::Status::success();
    }

private:
    static pst::Status none(int* count)
    {
        *count = 0;
        return pst::Status::success();
    }
    static pst::Status no_child() { return pst::Status::failure("an item found in free space has no children"); }
    PropertyList m_list;
};

class NativeSource;
struct RowAhead;

// What a walk found for one row of a folder's contents table: the row's node (a child of the
// folder) and the type its message class names (-1: none). Kept for the walk that follows.
struct RowFound
{
    uint64_t bid_data = 0, bid_sub = 0;
    uint32_t nid = 0;
    int32_t row_type = kUnset;
    static constexpr int32_t kUnset = INT32_MIN; // the row was not found (or not reached)
};
using RowsFound = std::vector<RowFound>;

// The buffers of an item's values: its properties, its contact photo and its contact's values.
// They are handed on, never freed: from an item that ends to the next item the source makes,
// and between the walk and the read-ahead's ring (a row read ahead comes with its buffers, and
// the walk hands others back in their place). Their memory is allocated once per buffer and
// reused, on whichever thread, instead of being allocated on one thread for every item and
// freed on the other.
struct ItemBuffers
{
    PropertyList list;
    ContactPhoto photo;
    std::unique_ptr<contacts::ContactDraft> draft; // allocated on first use

    // Member by member: an item's buffers change hands twice for every item the walk makes.
    friend void swap(ItemBuffers& a, ItemBuffers& b) noexcept
    {
        swap(a.list, b.list);
        swap(a.photo, b.photo);
        a.draft.swap(b.draft);
    }
};

class NativeItem : public PstItem
{
public:
    // Takes the buffers the source's last item handed back.
    NativeItem(NativeSource& source, const read::Node& node, bool folder);
    ~NativeItem() override; // hands its buffers back to the source
    NativeItem(const NativeItem&) = delete;
    NativeItem& operator=(const NativeItem&) = delete;

    pst::Status type(uint8_t* out) override;
    pst::Status sub_item_count(int* count) override;
    pst::Status sub_item(int index, std::unique_ptr<PstItem>* out) override;
    pst::Status sub_folder_count(int* count) override
    {
        return table_rows(m_sub_folders, read::FolderTable::Hierarchy, count);
    }
    pst::Status sub_folder(int index, std::unique_ptr<PstItem>* out) override
    {
        return table_child(m_sub_folders, index, true, out);
    }
    pst::Status sub_message_count(int* count) override
    {
        return table_rows(m_sub_messages, read::FolderTable::Contents, count);
    }
    pst::Status sub_message(int index, std::unique_ptr<PstItem>* out) override
    {
        return table_child(m_sub_messages, index, false, out);
    }
    pst::Status sub_associated_count(int* count) override
    {
        return table_rows(m_sub_associated, read::FolderTable::Associated, count);
    }
    pst::Status sub_associated(int index, std::unique_ptr<PstItem>* out) override
    {
        return table_child(m_sub_associated, index, false, out);
    }
    pst::Status display_name(std::string* out) override;
    pst::Status properties(const PropertyList** out) override;
    pst::Status properties_of(std::span<const uint16_t> ids, const PropertyList** out) override;
    pst::Status contact_photo(ContactPhoto* out) override;
    pst::Status recipient_rows(RecipientRows* out) override;
    uint32_t node_id() override { return m_node.nid; }
    bool take_contact_draft(contacts::ContactDraft& draft, int fallback_codepage) override;

private:
    // A folder's hierarchy or contents table, made when first asked for (most items are messages,
    // which never are).
    struct ChildTable
    {
        bool read = false;
        bool present = false;
        std::unique_ptr<read::Table> table;
    };
    pst::Status table_rows(ChildTable& t, read::FolderTable which, int* count);
    pst::Status table_child(ChildTable& t, int index, bool folder, std::unique_ptr<PstItem>* out);
    pst::Status make_child(uint32_t nid, bool folder, std::unique_ptr<PstItem>* out);
    // Whether at least half of the first `rows` rows of a contents table name contacts.
    bool first_rows_mostly_contacts(read::Table& table, size_t rows);
    // A message item from what the read-ahead found for its row.
    pst::Status child_from(RowAhead& row, std::unique_ptr<PstItem>* out);
    // Whether this folder's container class is a contact folder's (IPF.Contact...), or it has none.
    bool may_hold_contacts();
    std::vector<uint8_t> m_row_cell; // a contents-table cell while it is read

    NativeSource& m_source;
    read::Node m_node;
    int m_type = -1; // determined on first use
    // The type its contents-table row's message class names, when that row gave one (-1 not).
    int m_row_type = -1;
    // The read-ahead of this folder's contents table (0: none).
    uint64_t m_ahead_job = 0;
    // The rows of this folder's contents table as an earlier walk found them (the walk of the
    // mail after the walk of the contacts), or where this walk keeps them for a later one.
    std::shared_ptr<RowsFound> m_rows_found, m_rows_kept;
    void keep_row(size_t row, const read::Node& node, int row_type);
    // The contact photo the read-ahead looked for (in m_values.photo): -1 not looked for, else
    // contact_photo's result.
    int m_photo_found = -1;
    bool m_drafted = false;    // m_values.draft holds the contact's values, read ahead
    bool m_read = false;       // m_values.list holds the properties
    pst::Status m_read_status; // of the first read of the properties
    ItemBuffers m_values;
    ChildTable m_sub_folders;
    ChildTable m_sub_messages;
    ChildTable m_sub_associated;
    bool m_children_read = false;
    std::vector<read::Node> m_children;
};

// The first rows of a folder of which at least half must name contacts for the read-ahead to start.
constexpr size_t kReadAheadSample = 256;

// What the walk's own calls for one row of a contents table find, found ahead by the read-ahead:
// the child node (make_child), the row's type, the properties of an item the walk opens, and a
// contact's photo, each with the reader's account of a failure in the same words.
struct RowAhead
{
    pst::Status child; // make_child's result
    read::Node node;
    int row_type = -1;
    // Absent when not read (the walk does not open such an item), else read_properties' result.
    pst::Status properties = pst::Status::none();
    int photo = -1; // -1 not looked for, 0 none, 1 found
    // Whether values.draft holds the contact's values (read_contact_values), read with the
    // source's fallback code page. A drafted contact's row keeps nothing else: its properties
    // and photo were read into the thread's own buffers, and the walk does not need them.
    bool drafted = false;
    ItemBuffers values; // the properties and the photo, or the contact's values, as read
};

// What the walk's calls find for row `row` of folder `folder`'s contents table, found through
// `reader` into `out`; a contact's values too when `drafts` is given, its properties then read
// into `scratch`.
void fill_row(NativeSource& reader, read::Table& table, uint32_t folder, size_t row, RowAhead& out,
              std::vector<uint8_t>& cell, ContactReader* drafts, ItemBuffers* scratch, int fallback_codepage);

// Reads a folder's contents ahead of the walk on a thread of its own, through a reader of its
// own (a reader is not shared between threads): while the walk builds one contact, the next
// ones are found, read and their properties decoded. Each row is claimed once, by the thread or
// by the walk: the walk never waits for a row nobody has started, it reads that one itself (so a
// thread kept from running costs nothing); while the thread reads the row the walk needs, the
// walk reads the next rows nobody has started, and waits only when there are none. At most
// kAhead rows wait in the ring. The walk takes rows in order; any other use (a row out of
// order, a nested folder's table) ends the job and the walk reads for itself, with the same
// results.
class ReadAhead
{
public:
    static constexpr size_t kAhead = 256;
    // The rows still waiting in the ring when the thread, asleep on a full ring, is woken. Each
    // sleep is a context switch: the thread sleeps once for every kAhead - kResumeRows rows the
    // walk takes while it is ahead, and is woken early enough to be running again before the
    // walk has taken the rest.
    static constexpr size_t kResumeRows = kAhead / 4;
    // The rows after the one it needs that the walk reads itself while the thread reads that one.
    static constexpr size_t kWalkAhead = 32;
    static constexpr size_t kDraftLead = 16; // rows ahead of the walk from which the thread drafts contacts
    ReadAhead(std::string path, const SourceOptions& options) : m_path(std::move(path)), m_options(options) {}
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Starts reading the `rows` rows of the contents table of folder `folder`; the job's number,
    // 0 when there is none (the thread cannot start).
    uint64_t start(uint32_t folder, size_t rows);
    enum class Take
    {
        taken, // *out points at the row, which is the walk's until its next take
        yours, // the row was not started: the walk reads it (the job goes on)
        ended, // the job has ended (or `row` was not the next row, which ends it)
    };
    // `read_row` reads a row as the thread would, with the walk's reader: while the thread is
    // reading the row the walk needs, the walk reads rows after it that nobody has started.
    Take take(uint64_t job, size_t row, RowAhead** out, const std::function<void(size_t, RowAhead&)>& read_row);
    void stop(uint64_t job);

private:
    // A job and a row count in one word, so that no count of an ended job passes for the next's.
    static uint64_t tag(uint64_t job, size_t n) { return job << 32 | n; }

    void run();
    void read_rows(uint64_t job, uint32_t folder, size_t rows);
    // Wakes the other side, asleep or about to sleep on a change it is waiting for.
    void wake();

    const std::string m_path;
    const SourceOptions m_options;
    std::unique_ptr<NativeSource> m_reader; // the thread's own; opened there on first use
    bool m_reader_failed = false;           // the thread or its reader cannot be had

    // The job and the thread's life change under the mutex; rows are claimed, filled and taken
    // through the atomics, and either side sleeps only when it must (the thread: the ring is full;
    // the walk: the thread is reading the row it needs), the other waking it then.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread;
    std::atomic<bool> m_quit{false};
    uint64_t m_next = 0;
    std::atomic<uint64_t> m_job{0}; // the job running, 0 for none
    uint32_t m_folder = 0;
    size_t m_rows = 0;
    std::atomic<uint64_t> m_claimed{0}; // tag(job, the next row nobody has claimed)
    std::atomic<size_t> m_consumed{0};  // rows the walk is done with
    std::atomic<bool> m_walk_waits{false}, m_thread_waits{false};
    // tag(job, the rows up to the last one the thread filled). The thread fills the rows it claims
    // in order, so a row the walk did not claim itself is ready once this passes it.
    std::atomic<uint64_t> m_filled{0};
    std::atomic<uint64_t> m_wanted{0};  // tag(job, the row the waiting walk wants filled first)
    std::atomic<size_t> m_resume_at{0}; // the rows the walk takes before the sleeping thread goes on
    std::array<RowAhead, kAhead> m_ring;
    // Rows the walk read itself ahead of the one it takes (the walk's alone), by row % kWalkAhead.
    std::array<RowAhead, kWalkAhead> m_walk_rows;
    std::array<size_t, kWalkAhead> m_walk_row_of{};
    // The row the walk took last. A row is swapped in, not moved: the ring's slot gets this one's
    // buffers back for a later row.
    RowAhead m_taken;
    std::vector<uint8_t> m_cell; // the thread's contents-table cell while it is read
    ContactReader m_contact_reader;
    ItemBuffers m_scratch; // the properties and photo of the contact the thread drafts
};

class NativeSource : public PstSource
{
public:
    explicit NativeSource(const SourceOptions& options) : PstSource(options)
    {
        m_selection.set_expected_types(kKnownValueTypes);
    }

    bool open(const std::string& path, pst::Status* why)
    {
        m_path = path;
        m_file = read::File::open(path, why);
        if (!m_file) {
            return false;
        }
        // Without a readable name-to-id map the named properties keep their stored ids.
        m_names_ok = m_names.open(*m_file).found();
        return true;
    }

    pst::Status root_folder(std::unique_ptr<PstItem>* out) override
    {
        read::Node root;
        if (pst::Status found = read::find_root_folder(*m_file, &root); !found.found()) {
            return found ? pst::Status::failure("the file has no root folder") : found;
        }
        // A root folder whose own values cannot be read means the block B-tree is unusable:
        // the walk would find nothing and call it done.
        auto item = std::unique_ptr<NativeItem>(new (std::nothrow) NativeItem(*this, root, true));
        if (!item) {
            return pst::Status::failure(kNoMemory);
        }
        const PropertyList* properties = nullptr;
        if (pst::Status read = item->properties(&properties); !read) {
            return read;
        }
        *out = std::move(item);
        return pst::Status::success();
    }

    read::File& file() { return *m_file; }
    // The table every item's recipients are read through, one item at a time.
    read::Table& recipient_table() { return m_recipients; }

    // The buffers the last item that ended handed back, for the next item (walk thread only).
    ItemBuffers& spare_buffers() { return m_spare; }

    // When the sources ask for both the contact items and the people in the mail, the mail's
    // walk goes over the contents tables the contacts' walk went over: the first walk keeps
    // each row's node and type, and the second takes them instead of looking every node up in
    // the node B-tree and reading every message class again. A folder's contents table opened
    // for the first time gets a list to keep its rows in (nullptr when none is kept); opened
    // again, it takes the list kept for it (nullptr when there is none). Once a list is taken
    // nothing more is kept: the walk that keeps them has ended.
    std::shared_ptr<RowsFound> rows_found(uint32_t folder)
    {
        const auto kept = m_rows_kept.find(folder);
        if (kept != m_rows_kept.end()) {
            std::shared_ptr<RowsFound> found = std::move(kept->second);
            m_rows_kept.erase(kept);
            m_keeping_rows = false;
            return found;
        }
        return nullptr;
    }
    std::shared_ptr<RowsFound> rows_to_keep(uint32_t folder, size_t rows)
    {
        const Sources& sources = options().sources;
        if (!m_keeping_rows || !sources.has(Source::contacts) || !sources.has(Source::correspondents)) {
            return nullptr;
        }
        try {
            auto kept = std::make_shared<RowsFound>(rows);
            m_rows_kept[folder] = kept;
            return kept;
        } catch (const std::bad_alloc&) {
            return nullptr; // the later walk finds the rows itself
        }
    }

    // The read-ahead of this source (made on first use); nullptr when its options want none (the
    // read-ahead's own reader among them).
    ReadAhead* read_ahead()
    {
        if (!m_ahead && options().read_ahead) {
            SourceOptions own = options();
            own.read_ahead = false;
            m_ahead = std::make_unique<ReadAhead>(m_path, own);
        }
        return m_ahead.get();
    }

    // Reads the property context of `node` into `list`, named ids resolved through the map.
    pst::Status read_properties(const read::Node& node, PropertyList& list)
    {
        list.clear();
        if (pst::Status opened = m_pc.open(*m_file, node); !opened) {
            return opened;
        }
        return copy_properties(m_pc, list);
    }

    // As read_properties, of the properties among `ids` only: the context keeps those, and of
    // the others only the ones of a value type no reader knows, which fail the read as they
    // fail read_properties.
    pst::Status read_properties_of(const read::Node& node, std::span<const uint16_t> ids, PropertyList& list)
    {
        list.clear();
        m_selection.set_ids(ids);
        if (pst::Status opened = m_pc.open_selected(*m_file, node, m_selection); !opened) {
            return opened;
        }
        return copy_properties(m_pc, list, true);
    }

    // The attachment marked as the contact photo of `message`: found, or absent (an attachment
    // that cannot be read is passed over: the contact is read without a photo then).
    pst::Status contact_photo(const read::Node& message, ContactPhoto* out)
    {
        if (message.bid_sub == 0 || !m_attachments.open(*m_file, message).found()) {
            return pst::Status::none();
        }
        for (size_t i = 0; i < m_attachments.count(); ++i) {
            if (m_attachments.open_attachment(i, &m_attachment) && photo_of_attachment(m_attachment, out)) {
                return pst::Status::success();
            }
        }
        return pst::Status::none();
    }

    pst::Status for_each_extra_item(const std::function<bool(PstItem&, ExtraOrigin)>& visit,
                                    const std::function<bool()>& go_on) override
    {
        // Orphans: the nodes first (reading items while the node B-tree is being walked would
        // interleave the two), then each as an item.
        std::vector<read::Node> orphans;
        if (pst::Status walked = read::for_each_orphan_message(*m_file,
                                                               [&](const read::Node& n) {
                                                                   orphans.push_back(n);
                                                                   return orphans.size() % 4096 != 0 || go_on();
                                                               });
            !walked) {
            return walked;
        }
        for (const read::Node& node : orphans) {
            NativeItem item(*this, node, false);
            if (!visit(item, ExtraOrigin::orphan)) {
                return pst::Status::success();
            }
        }
        if (!go_on()) {
            return pst::Status::success();
        }
        // Deleted items: property contexts left in free space.
        read::Recovery recovery(*m_file);
        read::RecoveryOptions options;
        options.progress = [&go_on](const read::RecoveryProgress&) { return go_on(); };
        read::RecoveryResult found;
        if (pst::Status scanned = recovery.scan(options, &found); !scanned) {
            return scanned;
        }
        if (found.end == read::RecoveryEnd::Cancelled) {
            return pst::Status::success();
        }
        ListItem item;
        for (const read::RecoveredItem& r : found.items) {
            item.list().clear();
            // A deleted item that no longer reads whole was overwritten: it is not one to find.
            if (!recovery.open(r, &m_pc) || !copy_properties(m_pc, item.list())) {
                continue;
            }
            if (!visit(item, ExtraOrigin::recovered)) {
                return pst::Status::success();
            }
        }
        return pst::Status::success();
    }

private:
    // The properties of an open context into `list` (those of the ids m_selection has when
    // `selected`), named ids resolved through the map. A failure (and an empty list) for a value
    // type libpff refuses, among any of the context's properties.
    pst::Status copy_properties(const read::PropertyContext& pc, PropertyList& list, bool selected = false)
    {
        const std::span<const read::PropertyRef> all = pc.all();
        // Every property: the heap's bytes copied at once, and the values among them named by
        // their place there; the values read from subnodes copied one by one, after them.
        const std::span<const uint8_t> heap = !selected ? pc.heap_bytes() : std::span<const uint8_t>();
        const uintptr_t heap_at = reinterpret_cast<uintptr_t>(heap.data());
        list.reserve(all.size(), heap.size());
        const uint32_t heap_offset = list.append_bytes(heap);
        for (const read::PropertyRef& p : all) {
            if (!known_value_type(p.type)) {
                list.clear();
                return pst::Status::failure("property " + hex16(p.id) + " has the value type " + hex16(p.type) +
                                            ", which no reader knows");
            }
            if (selected && !m_selection.has_id(p.id)) {
                continue;
            }
            const read::NamedId* named = p.id >= 0x8000 && m_names_ok ? m_names.find(p.id) : nullptr;
            if (named != nullptr && !named->numeric) {
                list.add(p.id, p.type, p.data, p.size, std::nullopt, &named->guid, named->name);
                continue;
            }
            // A numeric named property is kept by its LID, as the named add keeps it.
            const uint32_t id = named == nullptr ? p.id : named->lid;
            const uintptr_t at = reinterpret_cast<uintptr_t>(p.data) - heap_at; // past the heap when below it
            if (at < heap.size() && p.size <= heap.size() - at) {
                list.add_at(id, p.type, heap_offset + static_cast<uint32_t>(at), static_cast<uint32_t>(p.size));
            } else {
                list.add(id, p.type, p.data, p.size);
            }
        }
        return pst::Status::success();
    }

    std::string m_path;
    std::unique_ptr<read::File> m_file;
    // The properties a read of some properties keeps (each property of a message is looked up
    // by one bit: a search of the ids took a tenth of the mail's walk).
    read::PropertySelection m_selection;
    std::unique_ptr<ReadAhead> m_ahead;
    read::NameMap m_names;
    bool m_names_ok = false;
    read::PropertyContext m_pc; // shared by every item: properties are copied out at once
    read::Attachments m_attachments;
    read::PropertyContext m_attachment;
    read::Table m_recipients;
    ItemBuffers m_spare;
    std::unordered_map<uint32_t, std::shared_ptr<RowsFound>> m_rows_kept; // by folder
    bool m_keeping_rows = true;
};

NativeItem::NativeItem(NativeSource& source, const read::Node& node, bool folder) : m_source(source), m_node(node)
{
    if (folder) {
        m_type = kItemFolder;
    }
    swap(m_values, source.spare_buffers());
}

NativeItem::~NativeItem()
{
    if (m_ahead_job != 0) {
        m_source.read_ahead()->stop(m_ahead_job);
    }
    swap(m_values, m_source.spare_buffers());
}

pst::Status NativeItem::properties(const PropertyList** out)
{
    if (!m_read) {
        m_read = true;
        m_read_status = m_source.read_properties(m_node, m_values.list);
    }
    if (!m_read_status) {
        return m_read_status;
    }
    *out = &m_values.list;
    return pst::Status::success();
}

pst::Status NativeItem::properties_of(std::span<const uint16_t> ids, const PropertyList** out)
{
    if (m_read) {
        return properties(out);
    }
    if (pst::Status read = m_source.read_properties_of(m_node, ids, m_values.list); !read) {
        return read;
    }
    *out = &m_values.list;
    return pst::Status::success();
}

pst::Status NativeItem::type(uint8_t* out)
{
    // The walk only looks further into contacts, distribution lists and folders: any other item
    // is known by its contents-table row alone, and its property context is never opened.
    if (m_type < 0 && m_row_type >= 0 && !walk_opens(m_row_type)) {
        m_type = m_row_type;
    }
    if (m_type < 0) {
        const PropertyList* list = nullptr;
        if (pst::Status read = properties(&list); !read) {
            return read;
        }
        m_type = type_of_properties(*list);
        if (m_type < 0) {
            return pst::Status::failure(kClassNotText);
        }
    }
    *out = static_cast<uint8_t>(m_type);
    return pst::Status::success();
}

bool NativeItem::take_contact_draft(contacts::ContactDraft& draft, int fallback_codepage)
{
    if (!m_drafted || fallback_codepage != m_source.options().fallback_codepage) {
        return false;
    }
    draft.swap(*m_values.draft); // the caller's draft takes the place of this one's buffers
    m_drafted = false;
    return true;
}

pst::Status NativeItem::contact_photo(ContactPhoto* out)
{
    if (m_photo_found >= 0) {
        const bool found = m_photo_found == 1;
        m_photo_found = -1;
        if (!found) {
            return pst::Status::none();
        }
        *out = m_values.photo; // a copy: the buffers stay for the next items
        return pst::Status::success();
    }
    // A photo that cannot be read leaves the contact without one; it is not a failure of the item.
    return m_source.contact_photo(m_node, out);
}

pst::Status NativeItem::recipient_rows(RecipientRows* out)
{
    return read_recipient_rows(m_source.file(), m_node, m_source.recipient_table(), out);
}

pst::Status NativeItem::display_name(std::string* out)
{
    const PropertyList* list = nullptr;
    if (pst::Status read = properties(&list); !read) {
        return read;
    }
    const PropertyList::Property* name = list->find(pst::tag::kDisplayName);
    if (name == nullptr) {
        return pst::Status::none();
    }
    std::u16string units;
    if (!property_text(*list, *name, m_source.options().fallback_codepage, units)) {
        return pst::Status::failure("its display name is neither an 8-bit nor a Unicode text");
    }
    *out = contacts::utf16_to_utf8(units);
    return pst::Status::success();
}

pst::Status NativeItem::sub_item_count(int* count)
{
    if (!m_children_read) {
        if (pst::Status listed = read::children_of(m_source.file(), m_node.nid, &m_children); !listed) {
            return listed;
        }
        m_children_read = true;
    }
    *count = static_cast<int>(m_children.size());
    return pst::Status::success();
}

pst::Status NativeItem::sub_item(int index, std::unique_ptr<PstItem>* out)
{
    int count = 0;
    if (pst::Status counted = sub_item_count(&count); !counted) {
        return counted;
    }
    if (index < 0 || index >= count) {
        return pst::Status::failure("sub item " + std::to_string(index) + " is past the item's " +
                                    std::to_string(count));
    }
    return made(out, new (std::nothrow) NativeItem(m_source, m_children[static_cast<size_t>(index)], false));
}

pst::Status NativeItem::table_rows(ChildTable& t, read::FolderTable which, int* count)
{
    if (!t.read) {
        t.table = std::make_unique<read::Table>();
        pst::Status found = read::open_folder_table(m_source.file(), m_node.nid, which, t.table.get());
        if (!found) {
            return found;
        }
        t.present = found.found();
        t.read = true;
        if (which == read::FolderTable::Contents && t.present) {
            m_rows_found = m_source.rows_found(m_node.nid);
            if (!m_rows_found) {
                m_rows_kept = m_source.rows_to_keep(m_node.nid, t.table->row_count());
            }
        }
        // Folders of a few messages are not worth a thread's hand-over, nor folders of other items
        // (mail, calendars, ...), which the walk passes over by their rows alone, nor contact
        // folders whose first rows are mostly lists or forms (the rows' classes say so at once).
        constexpr size_t kReadAheadRows = 32;
        if (which == read::FolderTable::Contents && t.present && t.table->row_count() >= kReadAheadRows &&
            may_hold_contacts() &&
            first_rows_mostly_contacts(*t.table, std::min(t.table->row_count(), kReadAheadSample))) {
            if (ReadAhead* ahead = m_source.read_ahead()) {
                m_ahead_job = ahead->start(m_node.nid, t.table->row_count());
            }
        }
    }
    const size_t rows = t.present ? t.table->row_count() : 0;
    if (rows > static_cast<size_t>(INT32_MAX)) {
        return pst::Status::failure("its table has " + std::to_string(rows) + " rows, more than can be counted");
    }
    *count = static_cast<int>(rows);
    return pst::Status::success();
}

pst::Status NativeItem::table_child(ChildTable& t, int index, bool folder, std::unique_ptr<PstItem>* out)
{
    if (!t.read || !t.present || index < 0 || static_cast<size_t>(index) >= t.table->row_count()) {
        return pst::Status::failure("row " + std::to_string(index) + " is past its table");
    }
    const size_t row = static_cast<size_t>(index);
    if (&t == &m_sub_messages && m_rows_found && row < m_rows_found->size()) {
        const RowFound& found = (*m_rows_found)[row];
        if (found.row_type != RowFound::kUnset && found.nid == t.table->row_id(row)) {
            read::Node node;
            node.nid = found.nid;
            node.bid_data = found.bid_data;
            node.bid_sub = found.bid_sub;
            node.parent = m_node.nid;
            auto item = std::unique_ptr<NativeItem>(new (std::nothrow) NativeItem(m_source, node, false));
            if (!item) {
                return pst::Status::failure(kNoMemory);
            }
            item->m_row_type = found.row_type;
            *out = std::move(item);
            return pst::Status::success();
        }
    }
    if (&t == &m_sub_messages && m_ahead_job != 0) {
        RowAhead* ahead = nullptr;
        const auto read_row = [&](size_t other, RowAhead& out) {
            fill_row(m_source, *t.table, m_node.nid, other, out, m_row_cell, nullptr, nullptr, 0);
        };
        switch (m_source.read_ahead()->take(m_ahead_job, row, &ahead, read_row)) {
        case ReadAhead::Take::taken:
            if (ahead->child) {
                keep_row(row, ahead->node, ahead->row_type);
            }
            return child_from(*ahead, out);
        case ReadAhead::Take::ended:
            m_ahead_job = 0;
            break;
        case ReadAhead::Take::yours:
            break;
        }
    }
    if (pst::Status child = make_child(t.table->row_id(row), folder, out); !child) {
        return child;
    }
    if (&t == &m_sub_messages) {
        NativeItem& child = static_cast<NativeItem&>(**out);
        child.m_row_type = row_type(*t.table, row, m_row_cell);
        keep_row(row, child.m_node, child.m_row_type);
    }
    return pst::Status::success();
}

void NativeItem::keep_row(size_t row, const read::Node& node, int row_type)
{
    if (m_rows_kept && row < m_rows_kept->size()) {
        (*m_rows_kept)[row] = {node.bid_data, node.bid_sub, node.nid, row_type};
    }
}

bool NativeItem::first_rows_mostly_contacts(read::Table& table, size_t rows)
{
    size_t contacts = 0;
    for (size_t row = 0; row < rows; ++row) {
        contacts += row_type(table, row, m_row_cell) == kItemContact ? 1 : 0;
    }
    return 2 * contacts >= rows;
}

bool NativeItem::may_hold_contacts()
{
    constexpr uint16_t kTagContainerClass = 0x3613;
    const PropertyList* list = nullptr;
    if (!properties(&list)) {
        return true;
    }
    const PropertyList::Property* p = list->find(kTagContainerClass);
    const std::optional<std::string> text = p != nullptr ? ascii_text(p->type, list->bytes(*p)) : std::nullopt;
    return !text || is_contact_folder_class(*text);
}

pst::Status NativeItem::child_from(RowAhead& row, std::unique_ptr<PstItem>* out)
{
    if (!row.child) {
        return std::move(row.child);
    }
    auto item = std::unique_ptr<NativeItem>(new (std::nothrow) NativeItem(m_source, row.node, false));
    if (!item) {
        return pst::Status::failure(kNoMemory);
    }
    item->m_row_type = row.row_type;
    swap(item->m_values, row.values); // the row keeps the item's buffers for a later row
    if (!row.properties.absent) {     // read, or found unreadable
        item->m_read = true;
        item->m_read_status = std::move(row.properties);
    }
    item->m_photo_found = row.photo;
    if (row.drafted) { // only a contact is drafted
        item->m_type = kItemContact;
        item->m_drafted = true;
    }
    *out = std::move(item);
    return pst::Status::success();
}

// A table row names a child: it must be a node whose parent is this item.
pst::Status NativeItem::make_child(uint32_t nid, bool folder, std::unique_ptr<PstItem>* out)
{
    read::Node node;
    if (pst::Status found = child_node(m_source.file(), m_node.nid, nid, &node); !found) {
        return found;
    }
    return made(out, new (std::nothrow) NativeItem(m_source, node, folder));
}

ReadAhead::~ReadAhead()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

uint64_t ReadAhead::start(uint32_t folder, size_t rows)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_reader_failed || rows > UINT32_MAX) {
        return 0;
    }
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread(&ReadAhead::run, this);
        } catch (const std::system_error&) {
            m_reader_failed = true;
            return 0;
        }
    }
    m_next = m_next % 0xFFFFFFFFu + 1; // 1 to 2^32 - 1: a job fits a tag's upper half, and 0 is none
    const uint64_t job = m_next;
    m_folder = folder;
    m_rows = rows;
    m_consumed = 0;
    m_walk_row_of.fill(SIZE_MAX);
    m_claimed = tag(job, 0);
    m_filled = tag(job, 0);
    m_job = job;
    lock.unlock();
    m_changed.notify_all();
    return job;
}

void ReadAhead::stop(uint64_t job)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_job != job) {
            return;
        }
        m_job = 0;
        m_claimed = 0;
    }
    m_changed.notify_all();
}

ReadAhead::Take ReadAhead::take(uint64_t job, size_t row, RowAhead** out,
                                const std::function<void(size_t, RowAhead&)>& read_row)
{
    if (m_job != job || row != m_consumed) {
        stop(job);
        return Take::ended;
    }
    const uint64_t done = tag(job, row + 1);
    Take result = Take::taken;
    RowAhead* from = &m_ring[row % kAhead];
    if (m_walk_row_of[row % kWalkAhead] == row) {
        from = &m_walk_rows[row % kWalkAhead];
        m_walk_row_of[row % kWalkAhead] = SIZE_MAX;
    } else if (m_filled < done) {
        uint64_t unclaimed = tag(job, row);
        if (m_claimed.compare_exchange_strong(unclaimed, tag(job, row + 1))) {
            result = Take::yours;
        }
        // The thread is reading it: rather than wait, read the next rows nobody has started, as
        // long as the thread is still at it (a thread slower than the walk then leaves every
        // other row to the walk).
        while (result == Take::taken && m_filled < done) {
            uint64_t claimed = m_claimed;
            const size_t next = static_cast<size_t>(claimed & 0xFFFFFFFFu);
            if (claimed >> 32 != job || next >= m_rows || next - row >= kWalkAhead) {
                break;
            }
            if (m_claimed.compare_exchange_weak(claimed, claimed + 1)) {
                read_row(next, m_walk_rows[next % kWalkAhead]);
                m_walk_row_of[next % kWalkAhead] = next;
            }
        }
        if (result == Take::taken && m_filled < done) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wanted = done;
            m_walk_waits = true;
            m_changed.wait(lock, [&] { return m_job != job || m_filled >= m_wanted; });
            m_walk_waits = false;
            if (m_filled < done) {
                lock.unlock();
                stop(job);
                return Take::ended;
            }
        }
    }
    if (result == Take::taken) {
        std::swap(m_taken, *from);
        *out = &m_taken;
    }
    m_consumed = row + 1;
    if (m_thread_waits && row + 1 >= m_resume_at) {
        wake();
    }
    return result;
}

void ReadAhead::wake()
{
    // Through the mutex, so that a side about to sleep either sees the change or is asleep and
    // woken; the notice itself outside it, so that the side woken does not wait for the mutex.
    m_mutex.lock();
    m_mutex.unlock();
    m_changed.notify_all();
}

void ReadAhead::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    uint64_t last = 0;
    for (;;) {
        m_changed.wait(lock, [&] { return m_quit || (m_job != 0 && m_job != last); });
        if (m_quit) {
            return;
        }
        const uint64_t job = last = m_job;
        const uint32_t folder = m_folder;
        const size_t rows = m_rows;
        lock.unlock();
        read_rows(job, folder, rows);
        lock.lock();
    }
}

void ReadAhead::read_rows(uint64_t job, uint32_t folder, size_t rows)
{
    // The same table the walk counted, read by this thread's reader.
    if (!m_reader) {
        auto reader = std::make_unique<NativeSource>(m_options);
        pst::Status why;
        if (!reader->open(m_path, &why)) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_reader_failed = true;
            return;
        }
        m_reader = std::move(reader);
    }
    read::Table table;
    if (!read::open_folder_table(m_reader->file(), folder, read::FolderTable::Contents, &table).found() ||
        table.row_count() != rows) {
        return; // the walk reads every row itself
    }
    for (;;) {
        uint64_t claimed = m_claimed;
        const size_t row = static_cast<size_t>(claimed & 0xFFFFFFFFu);
        if (m_quit || claimed >> 32 != job || row >= rows) {
            return;
        }
        if (row - m_consumed >= kAhead) {
            // The ring is full: sleep until the walk has taken all but kResumeRows of it.
            std::unique_lock<std::mutex> lock(m_mutex);
            m_resume_at = row - kResumeRows;
            m_thread_waits = true;
            m_changed.wait(lock, [&] { return m_quit || m_job != job || m_consumed >= m_resume_at; });
            m_thread_waits = false;
            continue;
        }
        if (!m_claimed.compare_exchange_weak(claimed, claimed + 1)) {
            continue; // the walk took it, or the job ended
        }
        // The slot's last row has been taken; the walk reads this one only once it is counted.
        // The thread also reads a contact's values when it is well ahead of the walk, and leaves
        // them to the walk when the walk is close behind: the two threads share the work by
        // themselves, whichever side a file's contacts make the heavier.
        fill_row(*m_reader, table, folder, row, m_ring[row % kAhead], m_cell,
                 row - m_consumed >= kDraftLead ? &m_contact_reader : nullptr, &m_scratch, m_options.fallback_codepage);
        m_filled = tag(job, row + 1);
        if (m_walk_waits && m_filled >= m_wanted) {
            wake();
        }
    }
}

void fill_row(NativeSource& reader, read::Table& table, uint32_t folder, size_t row, RowAhead& out,
              std::vector<uint8_t>& cell, ContactReader* drafts, ItemBuffers* scratch, int fallback_codepage)
{
    out.properties = pst::Status::none();
    out.photo = -1;
    out.drafted = false;
    out.child = child_node(reader.file(), folder, table.row_id(row), &out.node);
    if (!out.child) {
        return;
    }
    out.row_type = row_type(table, row, cell);
    if (out.row_type >= 0 && !walk_opens(out.row_type)) {
        return;
    }
    // An item that may be drafted is read into the scratch buffers, which the row takes only
    // when the walk needs them (the item is no contact, or cannot be drafted).
    const bool may_draft = drafts != nullptr && scratch != nullptr;
    ItemBuffers& read = may_draft ? *scratch : out.values;
    const auto hand_over = [&] {
        if (may_draft) {
            swap(out.values.list, scratch->list);
            swap(out.values.photo, scratch->photo);
        }
    };
    out.properties = reader.read_properties(out.node, read.list);
    if (!out.properties || type_of_properties(read.list) != kItemContact) {
        hand_over();
        return;
    }
    if (read.photo.bytes.capacity() > PropertyList::kKeptBytes) {
        read.photo = ContactPhoto(); // a large photo's room is not kept for the next items
    }
    out.photo = reader.contact_photo(out.node, &read.photo).found() ? 1 : 0;
    if (!may_draft) {
        return;
    }
    if (!out.values.draft) {
        out.values.draft.reset(new (std::nothrow) contacts::ContactDraft());
    }
    if (!out.values.draft) {
        hand_over(); // the walk drafts it
        return;
    }
    read_contact_values(read.list, out.node.nid, out.photo == 1 ? &read.photo : nullptr, *drafts, *out.values.draft,
                        fallback_codepage);
    out.drafted = true;
    // The walk reads the properties or the photo again if it ever asks for them.
    out.properties = pst::Status::none();
    out.photo = -1;
    out.values.list = PropertyList();
    out.values.photo = ContactPhoto();
}

} // namespace

std::unique_ptr<PstSource> open_native_source(const std::string& path_utf8, const SourceOptions& options,
                                              pst::Status* why)
{
    return open_source<NativeSource>(path_utf8, options, why);
}

} // namespace engine
