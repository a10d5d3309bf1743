// Reading personal folder files: the node database (header, node and block B-trees, data trees,
// subnode trees), lists/tables/properties (heap-on-node, BTH, property and table contexts) and
// the name-to-id map. Unicode (wVer 23), ANSI (wVer 14/15) and 4 KiB-page (wVer 36) files,
// personal ("SM") and offline ("SO") alike; block encodings none, permute and cyclic; blocks
// compressed with zlib (4 KiB-page files). No Qt, no libpff.
//
// Lazy: File::open reads the header, nothing else (the B-tree roots are read on first use, so a
// file whose body is cut off opens and fails at its first lookup). Every other read happens when
// asked, through a bounded cache of B-tree pages, so memory follows what the
// caller holds (one folder's table, one message's properties), never the size of the file.
//
// Hostile input: every length, offset, count, level and depth taken from the file is checked
// before use. A damaged piece gives a failure and a reason for that piece (the caller skips it); no
// call reads outside a buffer, loops forever, recurses without bound or allocates more than
// kMaxStreamSize for one stream; no compressed block inflates past kMaxInflatedBlock or the
// size its trailer gives.
//
// Calling convention: every call that can fail returns a pst::Status (pst/status.h): done or
// found, absent (lookups only: what was looked up does not exist, which is no failure), or failed
// with the reason in its message. Objects are not thread-safe: one File and what reads from it belong to one thread.
#pragma once

#include "pst/format.h"
#include "pst/status.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pst::read {

namespace detail {
struct Access; // the reader's own layers reach each other's internals through this
}

// The largest stream (node data, subnode data, one property value) the reader assembles.
constexpr uint64_t kMaxStreamSize = 64ull << 20;

// The largest block the reader inflates (4 KiB-page files): a block's inflated size is bounded
// by its trailer and by this.
constexpr size_t kMaxInflatedBlock = 64u << 10;

// A node: an entry of the node B-tree, or of a subnode tree (parent 0 there).
struct Node
{
    uint32_t nid = 0;
    uint64_t bid_data = 0;
    uint64_t bid_sub = 0; // 0 without subnodes
    uint32_t parent = 0;  // nidParent (node B-tree only)
};

class File
{
public:
    // Opens `path` read-only and reads its header. nullptr and the failure in *why (why may be
    // null): no such file, not a personal folder file, unsupported version or encoding, header
    // damaged.
    static std::unique_ptr<File> open(const std::string& path, Status* why);
    // The same over a file image in memory (tests, the fuzzer).
    static std::unique_ptr<File> open_memory(std::vector<uint8_t> image, Status* why);

    virtual ~File();

    FileFormat format() const; // Ansi (wVer 14, 15), Unicode (wVer 21 to 35) or Unicode4k (wVer 36)
    BlockEncoding crypt() const;
    bool offline() const;  // content type "SO": an offline folder file
    uint64_t size() const; // bytes in the file

    // Node B-tree lookup by NID.
    Status find_node(uint32_t nid, Node* out);
    // Visits every leaf entry of the node B-tree in the tree's order (key order in a sound file),
    // reading pages as it goes. `visit` returns false to stop early. Done when done or stopped.
    Status for_each_node(const std::function<bool(const Node&)>& visit);

    // The decoded data stream of a data tree (one data block, or an XBLOCK/XXBLOCK tree):
    // *out replaced by the whole stream.
    Status read_stream(uint64_t bid, std::vector<uint8_t>* out);
    // Subnode lookup in the subnode tree rooted at `bid_sub` (SLBLOCK or SIBLOCK).
    Status find_subnode(uint64_t bid_sub, uint32_t nid, Node* out);

    struct Impl;

private:
    explicit File(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
    friend class DataStream;
    friend struct detail::Access;
};

// Random access to one data tree without assembling it: the block list is read on open, blocks
// when their bytes are asked for (the last block read is kept).
class DataStream
{
public:
    DataStream();
    ~DataStream();
    DataStream(DataStream&&) noexcept;
    DataStream& operator=(DataStream&&) noexcept;

    // REQUIRES: `file` outlives the stream.
    Status open(File& file, uint64_t bid);
    uint64_t size() const;
    // Copies `size` bytes at `offset` into `out`; fails when the range passes the end or a block
    // cannot be read.
    Status read(uint64_t offset, size_t size, uint8_t* out);
    // The stream's blocks: size of block k, and a view of its decoded bytes (valid until the
    // next call on this stream).
    size_t block_count() const;
    Status block(size_t k, const uint8_t** data, size_t* size);
    // Size of block k and its offset in the stream, from the block index (nothing is read).
    // REQUIRES: k < block_count().
    size_t block_size(size_t k) const;
    uint64_t block_offset(size_t k) const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
    friend struct detail::Access;
};

// One property of a property context, as stored: id, type and the value's bytes.
// Inline values (types 0x0002, 0x0003, 0x0004, 0x000A, 0x000B) give their 4 stored bytes (of a
// 2-byte or 1-byte type only the low bytes are the value; libpff hands out just those); an
// empty variable value (HNID 0) has size 0; values in the heap or in a subnode give their bytes.
struct PropertyRef
{
    uint16_t id = 0;
    uint16_t type = 0;
    const uint8_t* data = nullptr; // owned by the context; valid until its next open()
    size_t size = 0;
};

// What PropertyContext::open_selected keeps of a context: the properties of the ids asked for,
// and whatever their id those of a type the reader does not expect (so that a reader refusing a
// context for such a type still sees it). Set once, used for many contexts.
class PropertySelection
{
public:
    // The ids kept (those of the last call only).
    void set_ids(std::span<const uint16_t> ids)
    {
        for (const uint16_t id : m_ids)
            m_id_bits[id / 64] = 0;
        m_ids.assign(ids.begin(), ids.end());
        for (const uint16_t id : m_ids)
            m_id_bits[id / 64] |= uint64_t{1} << (id % 64);
    }
    // The types expected: a property of another id and one of these types is passed over.
    void set_expected_types(std::span<const uint16_t> types)
    {
        m_type_bits.fill(0);
        for (const uint16_t type : types)
            m_type_bits[type / 64] |= uint64_t{1} << (type % 64);
    }
    bool has_id(uint16_t id) const { return (m_id_bits[id / 64] >> (id % 64) & 1) != 0; }
    bool expected(uint16_t type) const { return (m_type_bits[type / 64] >> (type % 64) & 1) != 0; }
    bool keeps(uint16_t id, uint16_t type) const { return has_id(id) || !expected(type); }

private:
    std::array<uint64_t, 65536 / 64> m_id_bits{};
    std::array<uint64_t, 65536 / 64> m_type_bits{};
    std::vector<uint16_t> m_ids;
};

// A property context (a message, a folder, an attachment, the store, the name-to-id map).
// Reusable: open() keeps its buffers, so one context per thread serves every message of a scan.
class PropertyContext
{
public:
    PropertyContext();
    ~PropertyContext();

    // Reads the PC held by `node` (a node B-tree entry or a subnode; values in subnodes are
    // looked up in node.bid_sub). A value that cannot be read (bad HNID, missing subnode) is
    // left out; the context still opens. Fails when the heap or the BTH itself is unreadable.
    // REQUIRES: `file` outlives the use of the properties.
    Status open(File& file, const Node& node);
    // As open(), but of the values kept in subnodes (bodies, large binaries) only those of the
    // properties in `ids` are read: the others stay in the list without their value (data
    // nullptr, size 0), not counted as skipped. For a reader that needs a few small properties
    // of many items.
    Status open_only(File& file, const Node& node, std::span<const uint16_t> ids);
    // As open_only() of the ids `keep` has, but the context holds only the properties `keep`
    // keeps, in the BTH's order: the others are passed over unread (a damaged value among them
    // is not counted as skipped). For a reader of a few properties of many messages.
    Status open_selected(File& file, const Node& node, const PropertySelection& keep);

    // Properties in the BTH's order (ascending id in a sound file).
    size_t size() const;
    const PropertyRef& at(size_t i) const;
    std::span<const PropertyRef> all() const;
    // The first property with this id, or nullptr.
    const PropertyRef* find(uint16_t id) const;
    // The bytes of the context's heap, among which lies the value of every property not kept in
    // a subnode (valid until the next open()): a reader that copies most properties can copy
    // these once.
    std::span<const uint8_t> heap_bytes() const;

    // Properties left out by the last open() (their values could not be read), and the reason
    // for the first of them ("" when none).
    size_t skipped() const;
    const std::string& skip_reason() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// A table context (hierarchy, contents, recipient, attachment tables). open() reads TCINFO, the
// column descriptions and the whole row index (8 bytes a row); rows of the row matrix are read
// when a cell is asked for.
class Table
{
public:
    Table();
    ~Table();

    Status open(File& file, const Node& node);

    // Rows in the row index's order (ascending row id in a sound file).
    size_t row_count() const;
    uint32_t row_id(size_t row) const;     // dwRowID, the index's key
    uint32_t row_number(size_t row) const; // position in the row matrix

    // Done when the row's entry in the row matrix can be read and carries the row index's row id,
    // a failure otherwise (libpff drops such a row; cell() fails on it).
    Status read_row(size_t row);

    struct Column
    {
        uint32_t tag = 0; // property id << 16 | type
        uint16_t offset = 0;
        uint8_t size = 0;
        uint8_t bit = 0; // cell-existence bit
    };
    const std::vector<Column>& columns() const;

    // The cell of `tag` in `row`: found with the value's bytes in *out (fixed values as stored in
    // the row, variable ones from the heap or a subnode), absent when the column is absent or the
    // cell is marked empty, a failure when the row cannot be read.
    Status cell(size_t row, uint32_t tag, std::vector<uint8_t>* out);
    // As cell(), of the column columns()[column] (past them: absent), without copying: *out
    // points at the bytes where the table keeps them (the row, its heap, or `spill` for a value
    // in a subnode), valid until the next call on the table. For a reader of many small tables.
    Status cell_at(size_t row, size_t column, std::span<const uint8_t>* out, std::vector<uint8_t>* spill);
    // The cells of `row` at each of `columns` (as cell_at() of each in turn), in one call:
    // out[i] the bytes of the cell at columns[i], or nullopt when absent; spills[i] the room for
    // a value in a subnode. A failure at the first cell that cannot be read (the cells after it
    // are not read), or when the row cannot be. For a reader of many small tables row by row.
    Status row_cells(size_t row, std::span<const size_t> columns, std::optional<std::span<const uint8_t>>* out,
                     std::vector<uint8_t>* spills);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The attachments of a message: the rows of its attachment table (subnode 0x671) and the
// attachment objects (subnodes of type 0x05) that the rows name by their row id.
class Attachments
{
public:
    Attachments();
    ~Attachments();

    // Reads the attachment table of `message` (a node B-tree entry). Found with its rows, absent
    // when the message has no attachment table (no attachments), a failure when the table cannot
    // be read.
    // REQUIRES: `file` outlives the use of the attachments.
    Status open(File& file, const Node& message);

    size_t count() const;
    // NID of attachment i's object: the row id of row i. REQUIRES: i < count().
    uint32_t nid(size_t i) const;
    // The table itself: row i's cells (PidTagAttachSize 0x0E20, PidTagAttachFilename 0x3704,
    // PidTagAttachMethod 0x3705, PidTagRenderingPosition 0x370B, ...).
    Table& table();

    // Opens attachment i's property context. Values larger than a heap allows (a photo in
    // PidTagAttachDataBinary 0x3701) are read through their data trees. Fails when the row names no
    // attachment object or the object cannot be read.
    Status open_attachment(size_t i, PropertyContext* pc);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The name-to-id map (node 0x61): what a property id of 0x8000 and above stands for.
struct NamedId
{
    bool numeric = true; // a numeric name (LID) or a string name
    uint32_t lid = 0;
    std::array<uint8_t, 16> guid{}; // the property set, on-disk byte order
    std::u16string name;            // string names
};

class NameMap
{
public:
    NameMap();
    ~NameMap();

    // Reads node 0x61. Fails when the node is missing or its streams are malformed.
    Status open(File& file);
    // What `prop_id` (0x8000 + index) stands for, or nullptr when the map has no such entry.
    const NamedId* find(uint16_t prop_id) const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace pst::read
