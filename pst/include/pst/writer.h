// Writer of personal folder files (PST, 512-byte pages): Unicode (wVer 23) by default, ANSI
// (wVer 14, the 32-bit format of older Outlook versions) on request, with or without block
// encoding.
//
// Usage:
//   pst::Status st;
//   auto w = pst::Writer::create("out.pst", pst::WriterOptions{}, &st);   // nullptr on failure
//   pst::FolderId f = w->add_folder(w->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
//   pst::Message m(u"IPM.Contact");
//   m.set_unicode(0x3A06, u"Anna");                                     // PidTagGivenName
//   m.set_named_unicode(pst::kPsetidAddress, 0x8005, u"Doe, Anna");     // PidLidFileUnder
//   st = w->add_message(f, m);
//   st = w->finish();                                                   // renames the temp file
//
// The writer streams message nodes to a temporary file beside the target as they are added;
// memory is bounded by the folders' tables and the node/block indexes, not by the message
// data. finish() writes the tables, B-trees, allocation maps and the header, then renames the
// temporary file onto the target. On any failure the temporary file is removed and the
// target is left untouched. A Writer that is destroyed without finish() removes what it wrote.
//
// Not thread-safe: one thread drives one writer.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "pst/format.h"
#include "pst/status.h"

namespace pst {

// Where a property lives: a plain property id (below 0x8000), or a named property identified
// by a property set and either a numeric name (LID) or a string name. Named properties get
// their 0x8000+ id from the file's name-to-id map when the file is written.
struct PropertyName
{
    enum class Kind : uint8_t
    {
        Id,
        NumericName,
        StringName
    };
    Kind kind = Kind::Id;
    uint16_t id = 0;     // Kind::Id
    Guid guid{};         // named kinds
    uint32_t lid = 0;    // Kind::NumericName
    std::u16string name; // Kind::StringName

    static PropertyName tag(uint16_t id);
    static PropertyName numeric(const Guid& set, uint32_t lid);
    static PropertyName string(const Guid& set, std::u16string name);
};

// UTF-16 text that a value views instead of holding (a distinct type, so that a string literal
// still makes a std::u16string).
struct TextView
{
    std::u16string_view text;
    auto operator<=>(const TextView&) const = default; // by the characters, as the text would compare
    bool operator==(const TextView&) const = default;
};

// A value of a property type (PropType, pst/format.h). String8 holds the bytes in the message's
// code page (no terminator); SysTime holds a FILETIME (100 ns ticks since 1601-01-01 UTC).
//
// Which alternative goes with which type:
//   Short, Long       int32_t (Short keeps the low 16 bits)
//   Boolean           bool
//   SysTime           uint64_t
//   String8           std::string
//   Unicode           std::u16string, or TextView: text the writer reads where it is (see
//                     Message::set_unicode_view)
//   Binary            std::vector<uint8_t>
//   MultiLong         std::vector<int32_t>
//   MultiUnicode      std::vector<std::u16string>
//   any other code    std::vector<uint8_t>: the value's stored bytes, written as given. Types of
//                     1 to 4 bytes (0x0002, 0x0003, 0x0004, 0x000A, 0x000B) are stored inline,
//                     8-byte types (0x0005, 0x0006, 0x0007, 0x0014, 0x0040) in the heap, and every
//                     other code (0x0000, 0x0001, 0x0048, multi-valued, unknown) as variable-size data.
// A value whose alternative does not fit its type is skipped by the writer (add_message fails).
struct PropertyValue
{
    PropType type = PropType::Long;
    std::variant<int32_t, bool, uint64_t, std::string, std::u16string, std::vector<uint8_t>, std::vector<int32_t>,
                 std::vector<std::u16string>, TextView>
        value;

    // A value of any type code given as its stored bytes (see above).
    static PropertyValue raw(uint16_t type_code, std::vector<uint8_t> bytes)
    {
        return {static_cast<PropType>(type_code), std::move(bytes)};
    }
};

struct Property
{
    PropertyName name;
    PropertyValue value;
};

// One recipient row of a message: its properties (PidTagRecipientType 0x0C15, PidTagDisplayName
// 0x3001, PidTagAddressType 0x3002, PidTagEmailAddress 0x3003, ...). Plain property ids only.
struct Recipient
{
    std::vector<Property> properties;
};

// One attachment of a message: the properties of its attachment object, plain ids or named.
// Usually PidTagAttachMethod 0x3705 (1, by value: the default), PidTagAttachDataBinary 0x3701
// (the bytes; any size, large ones go to a data tree), PidTagAttachFilename 0x3704 and
// PidTagAttachLongFilename 0x3707, PidTagAttachExtension 0x3703, PidTagAttachMimeTag 0x370E,
// PidTagDisplayName 0x3001; on a contact's photo PidTagAttachmentContactPhoto 0x7FFF = true.
//
// The writer adds PidTagAttachMethod 1 and PidTagRenderingPosition 0x370B = -1 unless given;
// PidTagAttachSize 0x0E20 is always the writer's: the bytes of the attachment object's stored
// data. Embedded messages (PtypObject) are not written.
struct Attachment
{
    std::vector<Property> properties;
};

// One message of any class. Later sets of the same name replace earlier ones.
//
// The writer adds what every message needs unless the message sets it: PidTagMessageClass
// (from the constructor), PidTagMessageFlags 1 (read), PidTagMessageStatus 0, creation and
// modification times (WriterOptions::creation_time), a 16-byte PidTagSearchKey, and the code
// page properties when String8 values are present. PidTagMessageSize (0x0E08) is always the
// writer's own: the size of the message's stored data.
class Message
{
public:
    explicit Message(std::u16string message_class);

    void set(PropertyName name, PropertyValue value);
    // Room for `count` properties, for a caller that knows about how many it sets.
    void reserve(std::size_t count);

    // Code page of the message's String8 values (PidTagMessageCodepage, PidTagInternetCodepage);
    // written only when the message has String8 values. Default 1252. The writer also uses it
    // to widen String8 values into the Unicode columns of the folder's contents table.
    void set_codepage(uint32_t codepage) { m_codepage = codepage; }
    uint32_t codepage() const { return m_codepage; }
    // false: the writer adds neither PidTagMessageCodepage nor PidTagInternetCodepage, so the
    // file names the code page only through what the message sets itself (for example
    // PidTagInternetCodepage 50220 and PidTagMessageLocaleId 1041), or not at all.
    void set_codepage_properties(bool write) { m_codepage_properties = write; }
    bool codepage_properties() const { return m_codepage_properties; }

    // Adds a row to the message's recipient table (which exists, possibly empty, on every message).
    void add_recipient(Recipient r) { m_recipients.push_back(std::move(r)); }
    const std::vector<Recipient>& recipients() const { return m_recipients; }

    // Adds an attachment: a row of the message's attachment table and an attachment object.
    // A message with attachments gets PidTagHasAttachments 0x0E1B = true and MSGFLAG_HASATTACH
    // (0x10) in PidTagMessageFlags; a message without leaves both as it sets them.
    void add_attachment(Attachment a) { m_attachments.push_back(std::move(a)); }
    const std::vector<Attachment>& attachments() const { return m_attachments; }

    // Shorthands for plain property ids.
    void set_unicode(uint16_t id, std::u16string v);
    // A text the message does not copy: the writer reads it where it is, so it must stay alive
    // and unchanged until add_message returns, or with WriterOptions::background until finish()
    // returns (for example the text of a record that lives as long as the whole conversion).
    void set_unicode_view(uint16_t id, std::u16string_view v);
    void set_string8(uint16_t id, std::string bytes);
    void set_short(uint16_t id, int16_t v);
    void set_long(uint16_t id, int32_t v);
    void set_bool(uint16_t id, bool v);
    void set_systime(uint16_t id, uint64_t filetime);
    void set_binary(uint16_t id, std::vector<uint8_t> v);

    // Shorthands for numeric named properties.
    void set_named_unicode(const Guid& set, uint32_t lid, std::u16string v);
    void set_named_unicode_view(const Guid& set, uint32_t lid, std::u16string_view v); // as set_unicode_view
    void set_named_long(const Guid& set, uint32_t lid, int32_t v);
    void set_named_bool(const Guid& set, uint32_t lid, bool v);
    void set_named_binary(const Guid& set, uint32_t lid, std::vector<uint8_t> v);
    void set_named_systime(const Guid& set, uint32_t lid, uint64_t filetime);
    // A string-named property (for example PS_PUBLIC_STRINGS "Keywords").
    void set_string_named(const Guid& set, std::u16string name, PropertyValue v);
    // Any type code with its stored bytes (see PropertyValue).
    void set_raw(uint16_t id, uint16_t type_code, std::vector<uint8_t> bytes);

    const std::u16string& message_class() const { return m_class; }
    const std::vector<Property>& properties() const { return m_props; }

private:
    std::u16string m_class;
    std::vector<Property> m_props;
    // One word per property, the same index as m_props: the kind and the id or LID with a hash
    // of the set and name. Equal names have equal keys; equal keys are confirmed by comparison.
    std::vector<uint64_t> m_keys;
    // Open-addressing index of m_keys (index + 1, 0 = empty; a power of two in size, at most half
    // full), so that set() finds an earlier value of a name without looking at every property.
    std::vector<uint32_t> m_slots;
    void index_slots(std::size_t capacity);
    std::vector<Recipient> m_recipients;
    std::vector<Attachment> m_attachments;
    uint32_t m_codepage = 1252;
    bool m_codepage_properties = true;
};

// Adds `bytes` as the contact's picture (MS-OXOCNTC 2.2.1.8): an attachment by value whose data
// is PidTagAttachDataBinary 0x3701 (the first property), named "ContactPicture<extension>"
// (PidTagDisplayName, PidTagAttachFilename 0x3704, PidTagAttachLongFilename 0x3707), with
// PidTagAttachExtension 0x3703 `extension` (".jpg"), PidTagAttachMimeTag 0x370E `mime_type`
// ("image/jpeg"), PidTagAttachmentHidden 0x7FFE and PidTagAttachmentContactPhoto 0x7FFF true,
// PidTagRenderingPosition 0x370B -1; and sets PidLidHasPicture (PSETID_Address 0x8015) true on
// the contact.
void add_contact_picture(Message& contact, std::vector<uint8_t> bytes, std::u16string_view extension,
                         std::u16string_view mime_type);

// Destination of the file's bytes. The file-path writer uses a file; tests substitute a sink
// that fails after N bytes to prove that a full disk is reported.
// The writer writes every byte range once or more (the header last) and then calls flush().
class Sink
{
public:
    virtual ~Sink() = default;
    virtual Status write_at(uint64_t offset, const void* data, size_t size) = 0;
    virtual Status flush() = 0;
};

// A sink that keeps the file in memory (tests, small files). `out` must outlive the sink.
class MemorySink : public Sink
{
public:
    explicit MemorySink(std::vector<uint8_t>* out) : m_out(out) {}
    Status write_at(uint64_t offset, const void* data, size_t size) override;
    Status flush() override { return Status::success(); }

private:
    std::vector<uint8_t>* m_out;
};

struct WriterOptions
{
    std::u16string store_name = u"Personal Folders"; // PidTagDisplayName of the message store
    // Fixed record key and creation time make the output reproducible (same input, same bytes).
    bool deterministic = false;
    uint64_t creation_time = 0; // FILETIME used for folders and messages without their own; 0 = now
    // The file may not grow beyond this many bytes (whole regions of 253,952 bytes after the
    // first 0x4400); values above the format's own limit (kMaxAnsiFileSize, kMaxFileSize) are
    // taken as that limit. Reaching the format's limit fails the writer with "The PST file would
    // exceed 2 GB" (ANSI) or "... exceed 50 GB"; a lower limit with "... exceed the size limit".
    uint64_t size_limit = kMaxFileSize;
    // Writer::create(path): flush the file to the disk (fsync) before renaming it onto the
    // target, so that a crash never leaves a truncated file under the target's name. Turn off
    // for scratch files, where the wait for the disk is not worth it.
    bool sync_to_disk = true;
    FileFormat format = FileFormat::Unicode;      // Unicode (wVer 23), ANSI (wVer 14) or 4 KiB pages (wVer 36)
    BlockEncoding encoding = BlockEncoding::None; // how data blocks are stored (bCryptMethod)
    // Unicode4k only: data blocks that zlib makes smaller are stored as zlib streams.
    bool compress = false;
    // Content type "SO" (an offline folder file) instead of "SM".
    bool offline = false;
    // Messages are built and written on two threads of the writer's own while the caller prepares
    // the next ones; the file's bytes are the same either way. add_message then checks only the
    // folder and takes the message: whatever fails later (a value that does not fit its type, a
    // full folder, the size limit, the sink) fails the writer, and a later add_message or
    // finish() reports it. Not with `compress`, whose block sizes are known only once built
    // (the writer then works on the caller's thread).
    bool background = false;
};

using FolderId = uint32_t; // node id of a folder

class Writer
{
public:
    // Opens a writer whose result goes to `path` (through "<path>.tmp-XXXXXX" beside it).
    // Returns nullptr and sets *status when the temporary file cannot be created
    // (missing directory, no permission, ...).
    static std::unique_ptr<Writer> create(const std::string& path, const WriterOptions& options, Status* status);
    // Writes into `sink` instead of a file; finish() then leaves the bytes in the sink.
    static std::unique_ptr<Writer> create(std::unique_ptr<Sink> sink, const WriterOptions& options);

    virtual ~Writer() = default;

    // "Top of Personal Folders" (the IPM subtree): the usual parent of user folders.
    virtual FolderId top_of_personal_folders() const = 0;
    // The root folder (the parent of the IPM subtree); user folders may go here too.
    virtual FolderId root_folder() const = 0;
    // "Deleted Items".
    virtual FolderId deleted_items() const = 0;

    // Adds a folder under `parent` (the root, the IPM subtree, Deleted Items or a folder added
    // here; not the search root). An empty name is allowed (a nameless folder); an empty
    // container class writes none. Returns 0 when `parent` is not such a folder or the writer
    // has failed or finished.
    virtual FolderId add_folder(FolderId parent, const std::u16string& name, const std::u16string& container_class) = 0;
    // Adds a message to `folder`. Its node is serialised at once and handed to the sink in
    // batches of about 1 MB, so a failing sink is reported by a later add_message or by
    // finish(). Fails (and the writer accepts nothing more) when the sink fails or the file
    // would pass the size limit; fails without harm to the writer for an unknown folder or a
    // malformed value.
    virtual Status add_message(FolderId folder, const Message& message) = 0;
    // The same for a message the caller no longer needs: with `background` it is moved to the
    // writer's threads instead of copied.
    virtual Status add_message(FolderId folder, Message&& message) = 0;
    // Completes the file. After finish() (successful or not) the writer accepts nothing more.
    virtual Status finish() = 0;

    // Adds a message to `folder`'s associated contents (its hidden messages, such as the
    // configuration messages Outlook keeps there): a node of NID type 0x08 and a row of the
    // folder's associated contents table, counted in PidTagAssociatedContentCount. Fails as
    // add_message does.
    virtual Status add_associated_message(FolderId folder, const Message& message) = 0;

    // Test features: files that look like what deletion and damage leave behind, for tests of
    // readers. Nothing but tests and the fixture generator calls them; the messages they write
    // are in no folder's table and in no count, and the files stay structurally valid.

    // What a deletion leaves of the node and block B-tree entries that named the message.
    enum class DeletedIndex : uint8_t
    {
        None,       // nothing (the B-tree pages were rewritten where they were)
        Superseded, // the old leaf pages that held them, in free space too, as a copy-on-write
                    // B-tree leaves them: one node B-tree page (nidParent: Deleted Items) and the
                    // block B-tree pages of its blocks, with valid trailers
    };
    // A message deleted without its space being reused: its node's blocks are written as a live
    // message's would be, then left out of the block B-tree and marked free in the allocation
    // map (cbAMapFree and the FMap follow the bits); its node is left out of the node B-tree. It
    // takes a message NID (the counters step past it) but belongs to no folder.
    virtual Status add_deleted_message(const Message& message, DeletedIndex index = DeletedIndex::None) = 0;

    // Where an orphan message's nidParent points.
    enum class OrphanParent : uint8_t
    {
        MissingFolder, // a folder NID that no node has (an index handed out and never written)
        NotAFolder,    // an existing node that is no folder: the message store, 0x21
    };
    // A message node in the node B-tree, with its blocks in use, whose nidParent names no folder.
    virtual Status add_orphan_message(const Message& message, OrphanParent parent) = 0;
};

} // namespace pst
