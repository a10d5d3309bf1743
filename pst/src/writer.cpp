// Messaging layer: the message store, the name-to-id map, folders, messages and their
// tables, on top of the LTP and NDB layers.
#include "pst/writer.h"
#include "columns.h"
#include "ltp.h"
#include "ndb.h"
#include "pst/text.h"
#include "worker.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <unordered_map>

namespace pst {
namespace {

using namespace detail;

constexpr uint32_t make_nid(uint32_t index, uint32_t type)
{
    return index << 5 | type;
}
constexpr uint32_t nid_index(uint32_t nid)
{
    return nid >> 5;
}

// Node types.
constexpr uint32_t kTypeFolder = nid::kTypeFolder;
constexpr uint32_t kTypeMessage = nid::kTypeMessage;
constexpr uint32_t kTypeAttachment = nid::kTypeAttachment;
constexpr uint32_t kTypeHierarchy = nid::kTypeHierarchyTable;
constexpr uint32_t kTypeContents = nid::kTypeContentsTable;
constexpr uint32_t kTypeAssocContents = nid::kTypeAssocContentsTable;

// Fixed nodes of every file.
constexpr uint32_t kNidStore = nid::kMessageStore;
constexpr uint32_t kNidNameMap = nid::kNameToIdMap;
constexpr uint32_t kNidRoot = nid::kRootFolder;
constexpr uint32_t kNidSearchQueue = 0x1E1;
constexpr uint32_t kNidSearchActivity = 0x201;
constexpr uint32_t kNidSearchDomain = 0x261;
constexpr uint32_t kNidReceiveFolders = 0x62B;
constexpr uint32_t kNidOutgoingQueue = 0x64C;
constexpr uint32_t kNidHierarchyTemplate = 0x60D;
constexpr uint32_t kNidContentsTemplate = 0x60E;
constexpr uint32_t kNidAssocTemplate = 0x60F;
constexpr uint32_t kNidSearchTemplate = 0x610;
constexpr uint32_t kNidAttachmentTemplate = nid::kAttachmentTable;
constexpr uint32_t kNidRecipientTemplate = nid::kRecipientTable;
constexpr uint32_t kNidSpamFolder = 0x2223;
constexpr uint32_t kNidSpamUpdateQueue = 0x2226;
constexpr uint32_t kNidSpamContents = 0x2230;
constexpr uint32_t kNidIpmSubtree = 0x8022;
constexpr uint32_t kNidSearchRoot = 0x8042;
constexpr uint32_t kNidDeletedItems = 0x8062;
constexpr uint32_t kFirstUserFolder = 0x404;
constexpr uint32_t kFirstMessage = 0x10001;

constexpr uint32_t kFirstAttachment = 0x400; // index of a message's first attachment object

constexpr uint32_t kMsgFlagRead = 0x1;
constexpr uint32_t kMsgFlagHasAttach = 0x10;
constexpr uint32_t kAttachByValue = 1;
constexpr uint64_t kDefaultTime = 132539328000000000ull; // 2021-01-01 00:00 UTC

uint64_t filetime_now()
{
    using namespace std::chrono;
    auto s = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    return (static_cast<uint64_t>(s) + 11644473600ull) * 10000000ull;
}

Bytes le32(uint32_t v)
{
    Bytes b(4);
    put32(b.data(), v);
    return b;
}
Bytes le64(uint64_t v)
{
    Bytes b(8);
    put64(b.data(), v);
    return b;
}
Bytes le8(uint8_t v)
{
    return Bytes{v};
}

// Stored bytes of a value; false when the value's alternative does not fit its type.
bool encode_value(const PropertyValue& v, Bytes* out)
{
    const uint16_t type = static_cast<uint16_t>(v.type);
    if (const auto* raw = std::get_if<std::vector<uint8_t>>(&v.value)) {
        if (value_kind(type) == ValueKind::Inline && raw->size() > 4)
            return false;
        *out = *raw;
        return true;
    }
    switch (v.type) {
    case PropType::Short:
        if (const auto* i = std::get_if<int32_t>(&v.value)) {
            *out = Bytes{static_cast<uint8_t>(*i), static_cast<uint8_t>(*i >> 8)};
            return true;
        }
        return false;
    case PropType::Long:
        if (const auto* i = std::get_if<int32_t>(&v.value)) {
            *out = le32(static_cast<uint32_t>(*i));
            return true;
        }
        return false;
    case PropType::Boolean:
        if (const auto* b = std::get_if<bool>(&v.value)) {
            *out = le8(*b ? 1 : 0);
            return true;
        }
        return false;
    case PropType::SysTime:
        if (const auto* t = std::get_if<uint64_t>(&v.value)) {
            *out = le64(*t);
            return true;
        }
        return false;
    case PropType::String8:
        if (const auto* s = std::get_if<std::string>(&v.value)) {
            out->assign(s->begin(), s->end());
            return true;
        }
        return false;
    case PropType::Unicode:
        if (const auto* s = std::get_if<std::u16string>(&v.value)) {
            *out = utf16le(*s);
            return true;
        }
        if (const auto* s = std::get_if<TextView>(&v.value)) {
            *out = utf16le(std::u16string(s->text));
            return true;
        }
        return false;
    case PropType::MultiLong:
        if (const auto* a = std::get_if<std::vector<int32_t>>(&v.value)) {
            out->clear();
            for (int32_t x : *a)
                append32(*out, static_cast<uint32_t>(x));
            return true;
        }
        return false;
    case PropType::MultiUnicode:
        if (const auto* a = std::get_if<std::vector<std::u16string>>(&v.value)) {
            // count, one offset per value (from the start), then the values.
            out->clear();
            append32(*out, static_cast<uint32_t>(a->size()));
            uint32_t off = static_cast<uint32_t>(4 + 4 * a->size());
            for (const auto& s : *a) {
                append32(*out, off);
                off += static_cast<uint32_t>(s.size() * 2);
            }
            for (const auto& s : *a) {
                Bytes b = utf16le(s);
                append(*out, b.data(), b.size());
            }
            return true;
        }
        return false;
    default:
        return false;
    }
}

// The stored bytes of a value that holds them already (UTF-16LE text on a little-endian host,
// String8, binary and raw bytes of a variable-size type), to be viewed rather than encoded; an
// empty span (no data()) for every other value.
std::span<const uint8_t> stored_form(const PropertyValue& v)
{
    const auto bytes = [](const auto& container) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(container.data()),
                                        container.size() * sizeof(container[0]));
    };
    const uint16_t type = static_cast<uint16_t>(v.type);
    if (const auto* raw = std::get_if<std::vector<uint8_t>>(&v.value))
        return value_kind(type) == ValueKind::Variable ? bytes(*raw) : std::span<const uint8_t>();
    if (const auto* s = std::get_if<std::string>(&v.value); s && v.type == PropType::String8)
        return bytes(*s);
    if constexpr (std::endian::native == std::endian::little) {
        if (const auto* s = std::get_if<std::u16string>(&v.value); s && v.type == PropType::Unicode)
            return bytes(*s);
        if (const auto* s = std::get_if<TextView>(&v.value); s && v.type == PropType::Unicode)
            return bytes(s->text.data() ? s->text : std::u16string_view(u"")); // an empty view may hold no pointer
    }
    return {};
}

// Writes a file through a temporary file beside it.
class FileSink : public Sink
{
public:
    FileSink(int fd, std::string tmp, std::string target, bool sync)
        : m_fd(fd), m_tmp(std::move(tmp)), m_target(std::move(target)), m_sync(sync)
    {
    }
    ~FileSink() override { discard(); }

    Status write_at(uint64_t offset, const void* data, size_t size) override
    {
        const auto* p = static_cast<const uint8_t*>(data);
        while (size > 0) {
            ssize_t n = ::pwrite(m_fd, p, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return failure(n < 0 ? errno : ENOSPC);
            p += n;
            size -= static_cast<size_t>(n);
            offset += static_cast<uint64_t>(n);
            m_unstarted += static_cast<uint64_t>(n);
        }
        start_writeback();
        return Status::success();
    }
    Status flush() override
    {
        if (m_sync && ::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
            return failure(errno);
        return Status::success();
    }
    // Closes the temporary file and renames it onto the target.
    Status commit()
    {
        int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            Status st = failure(errno);
            ::unlink(m_tmp.c_str());
            m_tmp.clear();
            return st;
        }
        if (::rename(m_tmp.c_str(), m_target.c_str()) != 0) {
            Status st = failure(errno);
            ::unlink(m_tmp.c_str());
            m_tmp.clear();
            return st;
        }
        m_tmp.clear();
        return Status::success();
    }
    // Removes the temporary file (nothing is left behind after a failure).
    void discard()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        if (!m_tmp.empty())
            ::unlink(m_tmp.c_str());
        m_tmp.clear();
    }

private:
    // A file that is synced at the end goes to the disk while it is written, a few MiB at a
    // time, instead of all at once in the final fsync (a wait of seconds for a large file).
    // Only a hint: what it cannot start, the fsync does.
    void start_writeback()
    {
        if (!m_sync || m_unstarted < kWritebackStep)
            return;
        m_unstarted = 0;
        ::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    static constexpr uint64_t kWritebackStep = uint64_t{32} << 20;

    Status failure(int err) const { return Status::failure(std::string(std::strerror(err)) + ": " + m_target); }

    int m_fd;
    std::string m_tmp;
    std::string m_target;
    bool m_sync;
    uint64_t m_unstarted = 0; // bytes written since writeback was last started
};

// The file's name-to-id map: named properties get ids 0x8000 + their index.
class NameMap
{
public:
    NameMap()
    {
        m_guids.push_back(kPsetidAddress);
        m_guids.push_back(kPsetidCommon);
        // Always present, so that none of the map's streams is empty.
        id_of(PropertyName::string(kPsPublicStrings, u"Keywords"));
    }

    // Property id of a named property (0 when the map is full).
    uint16_t id_of(const PropertyName& name)
    {
        uint16_t wguid = guid_index(name.guid);
        // Numeric names, the usual kind, through a hash of set and LID; string names through
        // the ordered index.
        const bool numeric = name.kind != PropertyName::Kind::StringName;
        const uint64_t numeric_key = uint64_t{wguid} << 32 | name.lid;
        if (numeric) {
            if (auto hit = m_numeric.find(numeric_key); hit != m_numeric.end())
                return hit->second;
        }
        const uint16_t id = find_or_add(name, wguid);
        if (numeric && id != 0)
            m_numeric.emplace(numeric_key, id);
        return id;
    }

private:
    uint16_t find_or_add(const PropertyName& name, uint16_t wguid)
    {
        Key key{name.kind == PropertyName::Kind::StringName, wguid, name.lid, name.name};
        auto it = m_index.find(key);
        if (it != m_index.end())
            return static_cast<uint16_t>(0x8000 + it->second);
        if (m_entries.size() >= 0x7FFE)
            return 0;
        uint16_t idx = static_cast<uint16_t>(m_entries.size());
        m_entries.push_back(key);
        m_index.emplace(key, idx);
        return static_cast<uint16_t>(0x8000 + idx);
    }

public:
    std::vector<StoredProp> properties() const
    {
        Bytes guids, entries, strings;
        for (const Guid& g : m_guids)
            append(guids, g.data(), g.size());
        std::vector<Bytes> buckets(kBuckets);
        for (size_t i = 0; i < m_entries.size(); ++i) {
            const Key& k = m_entries[i];
            uint32_t id = k.lid;
            uint32_t hash_key = k.lid;
            if (k.is_string) {
                Bytes name = utf16le(k.name);
                id = static_cast<uint32_t>(strings.size());
                hash_key = crc32(name.data(), name.size());
                append32(strings, static_cast<uint32_t>(name.size()));
                append(strings, name.data(), name.size());
                while (strings.size() % 4)
                    strings.push_back(0);
            }
            uint16_t guid_n = static_cast<uint16_t>((k.wguid << 1) | (k.is_string ? 1 : 0));
            append32(entries, id);
            append16(entries, guid_n);
            append16(entries, static_cast<uint16_t>(i));
            Bytes& bucket = buckets[(hash_key ^ guid_n) % kBuckets];
            append32(bucket, hash_key);
            append16(bucket, guid_n);
            append16(bucket, static_cast<uint16_t>(i));
        }
        std::vector<StoredProp> props;
        props.push_back({namemap::kBucketCount, 0x0003, le32(kBuckets)});
        props.push_back({namemap::kGuidStream, 0x0102, guids});
        props.push_back({namemap::kEntryStream, 0x0102, entries});
        props.push_back({namemap::kStringStream, 0x0102, strings});
        for (uint32_t b = 0; b < kBuckets; ++b)
            props.push_back({static_cast<uint16_t>(namemap::kFirstBucket + b), 0x0102, buckets[b]});
        return props;
    }

private:
    static constexpr uint32_t kBuckets = 251;
    struct Key
    {
        bool is_string;
        uint16_t wguid;
        uint32_t lid;
        std::u16string name;
        bool operator<(const Key& o) const
        {
            return std::tie(is_string, wguid, lid, name) < std::tie(o.is_string, o.wguid, o.lid, o.name);
        }
    };

    uint16_t guid_index(const Guid& g)
    {
        if (g == kPsMapi)
            return 1;
        if (g == kPsPublicStrings)
            return 2;
        auto it = std::find(m_guids.begin(), m_guids.end(), g);
        if (it == m_guids.end()) {
            m_guids.push_back(g);
            it = m_guids.end() - 1;
        }
        return static_cast<uint16_t>(3 + (it - m_guids.begin()));
    }

    std::vector<Guid> m_guids;
    std::vector<Key> m_entries;
    std::map<Key, uint16_t> m_index;
    std::unordered_map<uint64_t, uint16_t> m_numeric; // set index << 32 | LID -> property id
};

struct Folder
{
    uint32_t nid = 0;
    uint32_t parent = 0;
    std::u16string name;
    std::u16string container_class;
    bool is_search = false;
    std::vector<uint32_t> children;
    std::unique_ptr<TableBuilder> contents;
    uint32_t count = 0;
    uint32_t unread = 0;
};

void sort_props(std::vector<StoredProp>& props)
{
    // By id, and among equal ids the first kept (explicit values come before defaults): the
    // order is sorted as words of id and position, then each property moved once.
    std::vector<uint64_t> order(props.size());
    for (size_t i = 0; i < props.size(); ++i)
        order[i] = uint64_t{props[i].id} << 32 | i;
    std::sort(order.begin(), order.end());
    std::vector<StoredProp> sorted;
    sorted.reserve(props.size());
    for (size_t k = 0; k < order.size(); ++k) {
        if (k > 0 && order[k] >> 32 == order[k - 1] >> 32)
            continue;
        sorted.push_back(std::move(props[order[k] & 0xFFFFFFFF]));
    }
    props.swap(sorted);
}

const StoredProp* find_prop(const std::vector<StoredProp>& props, uint16_t id)
{
    auto it =
        std::lower_bound(props.begin(), props.end(), id, [](const StoredProp& p, uint16_t i) { return p.id < i; });
    return it != props.end() && it->id == id ? &*it : nullptr;
}

// Table cells for `columns` from a property list, viewing the properties' bytes (valid while
// `props` and the RowCells live); String8 values fill Unicode columns.
struct RowCells
{
    std::vector<TableBuilder::Cell> cells;
    std::vector<Bytes> widened; // String8 values as UTF-16LE
};
RowCells copy_cells(const std::vector<StoredProp>& props, const std::vector<uint32_t>& columns, uint32_t codepage)
{
    RowCells row;
    row.cells.reserve(columns.size());
    row.widened.reserve(columns.size()); // never reallocated: the cells view its elements
    for (uint32_t tag : columns) {
        const StoredProp* p = find_prop(props, static_cast<uint16_t>(tag >> 16));
        if (!p)
            continue;
        uint16_t type = static_cast<uint16_t>(tag & 0xFFFF);
        if (p->type == type)
            row.cells.push_back({tag, p->bytes()});
        else if (type == 0x001F && p->type == 0x001E) {
            std::u16string text;
            decode_8bit(p->bytes(), codepage, text);
            row.widened.push_back(utf16le(text));
            row.cells.push_back({tag, row.widened.back()});
        }
    }
    return row;
}

class WriterImpl : public Writer
{
public:
    WriterImpl(std::unique_ptr<Sink> sink, FileSink* file, const WriterOptions& options)
        : m_sink(std::move(sink)), m_file(file),
          m_ndb(*m_sink, options.size_limit, layout_of(options.format), options.encoding, options.compress),
          m_options(options), m_format(m_ndb.format())
    {
        m_time = options.creation_time ? options.creation_time : options.deterministic ? kDefaultTime : filetime_now();
        if (options.deterministic) {
            for (size_t i = 0; i < m_record_key.size(); ++i)
                m_record_key[i] = static_cast<uint8_t>(0x50 + i * 7);
            m_unique = 0x5045544D;
        } else {
            std::random_device rd;
            for (size_t i = 0; i < m_record_key.size(); i += 4) {
                uint32_t r = rd();
                for (size_t k = 0; k < 4; ++k)
                    m_record_key[i + k] = static_cast<uint8_t>(r >> (8 * k));
            }
            m_unique = rd();
        }
        add_folder_record(kNidRoot, kNidRoot, u"", u"", false);
        add_folder_record(kNidIpmSubtree, kNidRoot, u"Top of Personal Folders", u"", false);
        add_folder_record(kNidSearchRoot, kNidRoot, u"Search Root", u"", false);
        add_folder_record(kNidSpamFolder, kNidRoot, u"SPAM Search Folder 2", u"", true);
        add_folder_record(kNidDeletedItems, kNidIpmSubtree, u"Deleted Items", u"IPF.Note", false);
        if (options.background && !options.compress)
            start_background();
    }

    ~WriterImpl() override
    {
        // The threads stop before the file goes: what they still hold is dropped unwritten.
        if (m_builder)
            fail_async(Status::failure("The PST writer was closed"));
        m_builder.reset();
        m_ndb_writer.reset();
        if (m_file && !m_done)
            m_file->discard();
    }

    FolderId top_of_personal_folders() const override { return kNidIpmSubtree; }
    FolderId root_folder() const override { return kNidRoot; }
    FolderId deleted_items() const override { return kNidDeletedItems; }

    FolderId add_folder(FolderId parent, const std::u16string& name, const std::u16string& container_class) override
    {
        Folder* p = folder(parent);
        if (m_done || !p || p->is_search || parent == kNidSearchRoot)
            return 0;
        drain(); // the folder list is the builder's while it runs
        if (!m_status)
            return 0;
        uint32_t nid = make_nid(m_next_folder++, kTypeFolder);
        add_folder_record(nid, parent, name, container_class, false);
        return nid;
    }

    Status add_message(FolderId folder_id, const Message& message) override
    {
        if (m_builder)
            return add_message(folder_id, Message(message));
        Folder* f = nullptr;
        BuiltMessage built;
        Status st = next_message(message, folder_id, &f, &built);
        if (!st)
            return st;
        st = write_node(built.nid, built.node, f->nid);
        if (!st)
            return fail(st);
        ++m_next_message;
        add_contents_row(*f, built, message.codepage());
        return Status::success();
    }

    Status add_message(FolderId folder_id, Message&& message) override
    {
        if (!m_builder)
            return add_message(folder_id, static_cast<const Message&>(message));
        take_async_failure();
        Folder* f = nullptr;
        const Status st = accepting(folder_id, &f);
        if (!st)
            return st;
        m_builder->push({f, std::move(message)});
        return Status::success();
    }

    Status add_deleted_message(const Message& message, DeletedIndex index) override
    {
        drain();
        BuiltMessage built;
        Status st = next_message(message, 0, nullptr, &built);
        if (!st)
            return st;
        const uint32_t nid = built.nid;
        const NodeData& node = built.node;
        const size_t mark = m_ndb.block_mark();
        uint64_t bid_data = 0, bid_sub = 0;
        st = m_ndb.write_node(node, &bid_data, &bid_sub);
        if (!st)
            return fail(st);
        if (index == DeletedIndex::Superseded) {
            st = m_ndb.write_superseded_pages(mark, nid, bid_data, bid_sub, kNidDeletedItems);
            if (!st)
                return fail(st);
        }
        m_ndb.free_blocks_since(mark);
        ++m_next_message;
        return Status::success();
    }

    Status add_orphan_message(const Message& message, OrphanParent parent) override
    {
        drain();
        BuiltMessage built;
        Status st = next_message(message, 0, nullptr, &built);
        if (!st)
            return st;
        const uint32_t nid = built.nid;
        const NodeData& node = built.node;
        // A missing folder takes a folder index of its own, as a folder deleted before its
        // message would have.
        const uint32_t parent_nid =
            parent == OrphanParent::MissingFolder ? make_nid(m_next_folder++, kTypeFolder) : kNidStore;
        st = write_node(nid, node, parent_nid);
        if (!st)
            return fail(st);
        ++m_next_message;
        return Status::success();
    }

    Status finish() override
    {
        if (m_done)
            return Status::failure("The PST file is already complete");
        drain();
        m_builder.reset();
        m_ndb_writer.reset();
        m_done = true;
        Status st = m_status ? write_everything() : m_status;
        if (st && m_file)
            st = m_file->commit();
        if (!st && m_file)
            m_file->discard();
        return st;
    }

private:
    struct BuiltMessage
    {
        uint32_t nid = 0;
        std::vector<StoredProp> props;
        NodeData node;
    };

    // The background threads (WriterOptions::background): the builder turns messages into nodes
    // and table rows in the order they came, the node writer puts the nodes into the file in the
    // same order. Each owns its part of the writer while it runs (the builder: message and row
    // numbering, the name map, the folders' contents tables; the node writer: the Ndb); drain()
    // gives everything back to the caller's thread.
    struct BuildJob
    {
        Folder* folder;
        Message message;
    };
    struct NodeJob
    {
        uint32_t nid;
        NodeData node;
        uint32_t parent;
    };
    static constexpr size_t kBatch = 128;    // messages handed over at once
    static constexpr size_t kMaxBatches = 8; // batches waiting at most, per thread

    void start_background()
    {
        m_ndb_writer = std::make_unique<Worker<NodeJob>>(kBatch, kMaxBatches, [this](NodeJob& job) {
            if (m_async_failed.load(std::memory_order_relaxed))
                return;
            guarded([&] { return write_node(job.nid, job.node, job.parent); });
            job.node = {}; // freed here, not on the caller's thread
        });
        m_builder = std::make_unique<Worker<BuildJob>>(kBatch, kMaxBatches, [this](BuildJob& job) {
            if (m_async_failed.load(std::memory_order_relaxed))
                return;
            guarded([&] { return build_in_background(job); });
            job.message = Message(u"");
        });
    }

    // A message of the builder's thread: built, counted in its folder, handed to the node writer.
    Status build_in_background(BuildJob& job)
    {
        Folder* f = job.folder;
        if (Status room = room_in(*f); !room)
            return room;
        BuiltMessage built;
        built.nid = make_nid(m_next_message, kTypeMessage);
        Status st = build_message(job.message, built.nid, &built.props, &built.node);
        if (!st)
            return st;
        ++m_next_message;
        add_contents_row(*f, built, job.message.codepage());
        m_ndb_writer->push({built.nid, std::move(built.node), f->nid});
        return Status::success();
    }

    // Runs `step` on a background thread; a failure (or running out of memory) fails the writer.
    template <typename Step> void guarded(Step step)
    {
        Status st;
        try {
            st = step();
        } catch (const std::bad_alloc&) {
            st = Status::failure("Not enough memory to write the PST file");
        } catch (const std::exception& e) {
            st = Status::failure(e.what());
        }
        if (!st)
            fail_async(std::move(st));
    }

    void fail_async(Status st)
    {
        std::lock_guard lock(m_async_mutex);
        if (!m_async_failed.load(std::memory_order_relaxed)) {
            m_async_status = std::move(st);
            m_async_failed.store(true, std::memory_order_release);
        }
    }

    // The first failure of a background thread becomes the writer's.
    void take_async_failure()
    {
        if (!m_async_failed.load(std::memory_order_acquire) || !m_status)
            return;
        std::lock_guard lock(m_async_mutex);
        m_status = m_async_status;
    }

    // Waits until the background threads have done everything handed to them.
    void drain()
    {
        if (m_builder) {
            m_builder->drain();
            m_ndb_writer->drain();
        }
        take_async_failure();
    }

    void add_contents_row(Folder& f, const BuiltMessage& built, uint32_t codepage)
    {
        f.contents->add_row(built.nid, m_row_version++, copy_cells(built.props, kContentsColumns, codepage).cells);
        ++f.count;
        const StoredProp* flags = find_prop(built.props, 0x0E07);
        if (flags && flags->type == 0x0003 && flags->bytes().size() == 4 &&
            !(get32(flags->bytes().data()) & kMsgFlagRead))
            ++f.unread;
    }

    // Whether a message may be added now (and to `folder_id` when `f` is given).
    Status accepting(FolderId folder_id, Folder** f)
    {
        if (m_done)
            return Status::failure("The PST file is already complete");
        if (!m_status)
            return m_status;
        if (!f)
            return Status::success();
        *f = folder(folder_id);
        if (!*f || (*f)->is_search || folder_id == kNidSearchRoot)
            return Status::failure("Unknown folder for a message");
        // With the background threads the builder counts the rows, and checks there.
        return m_builder ? Status::success() : room_in(**f);
    }

    // Whether folder `f` takes one more message (an ANSI file's contents table counts its rows
    // in 16 bits).
    static Status room_in(const Folder& f)
    {
        if (f.contents->full())
            return Status::failure("A folder of an ANSI PST file holds at most 65536 items");
        return Status::success();
    }

    // The next message's node id, properties and node, once the writer takes messages (into
    // `folder_id`, when it is not 0).
    Status next_message(const Message& message, FolderId folder_id, Folder** folder, BuiltMessage* out)
    {
        const Status st = accepting(folder_id, folder);
        if (!st)
            return st;
        out->nid = make_nid(m_next_message, kTypeMessage);
        return build_message(message, out->nid, &out->props, &out->node);
    }

    // The message's properties as stored (sorted, PidTagMessageSize filled in) and its node:
    // the PC with the recipient table, the attachment table and the attachment objects.
    Status build_message(const Message& message, uint32_t nid, std::vector<StoredProp>* out, NodeData* node)
    {
        std::vector<StoredProp>& props = *out;
        Status st = stored_props(message.properties(), &props);
        if (!st)
            return st;
        bool has_string8 =
            std::any_of(props.begin(), props.end(), [](const StoredProp& p) { return (p.type & 0x0FFF) == 0x001E; });
        const bool has_attachments = !message.attachments().empty();
        if (has_attachments) {
            for (StoredProp& p : props)
                if (p.id == 0x0E07 && p.type == 0x0003 && p.data.size() == 4)
                    put32(p.data.data(), get32(p.data.data()) | kMsgFlagHasAttach);
            props.erase(std::remove_if(props.begin(), props.end(), [](const StoredProp& p) { return p.id == 0x0E1B; }),
                        props.end());
            props.push_back({0x0E1B, 0x000B, le8(1)});
        }
        props.push_back({0x001A, 0x001F, utf16le(message.message_class())});
        props.push_back({0x0E07, 0x0003, le32(kMsgFlagRead | (has_attachments ? kMsgFlagHasAttach : 0))});
        props.push_back({0x0E17, 0x0003, le32(0)});
        props.push_back({0x3007, 0x0040, le64(m_time)});
        props.push_back({0x3008, 0x0040, le64(m_time)});
        props.push_back({0x300B, 0x0102, search_key(nid)});
        if (has_string8 && message.codepage_properties()) {
            props.push_back({0x3FFD, 0x0003, le32(message.codepage())});
            props.push_back({0x3FDE, 0x0003, le32(message.codepage())});
        }
        props.erase(std::remove_if(props.begin(), props.end(), [](const StoredProp& p) { return p.id == 0x0E08; }),
                    props.end());
        props.push_back({0x0E08, 0x0003, le32(0)}); // filled in with the node's size
        sort_props(props);

        SubnodeData recipients;
        recipients.nid = kNidRecipientTemplate;
        st = recipient_table(message, &recipients.node);
        if (!st)
            return st;
        std::vector<SubnodeData> extra;
        extra.push_back(std::move(recipients));
        st = attachment_nodes(message, &extra);
        if (!st)
            return st;
        uint32_t size = 0;
        *node = build_pc(m_format, props, std::move(extra), 0x0E08, &size);
        for (auto& p : props)
            if (p.id == 0x0E08)
                p.data = le32(size);
        return Status::success();
    }

    // One attachment object per attachment (subnodes of type 0x05 from index 0x400) and the
    // attachment table (subnode 0x671) with a row for each, row id = the object's NID.
    Status attachment_nodes(const Message& m, std::vector<SubnodeData>* out)
    {
        if (m.attachments().empty())
            return Status::success();
        TableBuilder table(m_format, kAttachmentColumns);
        uint32_t index = kFirstAttachment;
        for (const Attachment& a : m.attachments()) {
            std::vector<StoredProp> props;
            Status st = stored_props(a.properties, &props);
            if (!st)
                return st;
            props.erase(std::remove_if(props.begin(), props.end(), [](const StoredProp& p) { return p.id == 0x0E20; }),
                        props.end());
            props.push_back({0x0E20, 0x0003, le32(0)}); // filled in with the object's size
            props.push_back({0x3705, 0x0003, le32(kAttachByValue)});
            props.push_back({0x370B, 0x0003, le32(0xFFFFFFFFu)}); // not rendered in the body
            sort_props(props);
            SubnodeData s;
            s.nid = make_nid(index++, kTypeAttachment);
            uint32_t size = 0;
            s.node = build_pc(m_format, props, {}, 0x0E20, &size);
            for (auto& p : props)
                if (p.id == 0x0E20)
                    p.data = le32(size);
            table.add_row(s.nid, m_row_version++, copy_cells(props, kAttachmentColumns, m.codepage()).cells);
            out->push_back(std::move(s));
        }
        SubnodeData t;
        t.nid = kNidAttachmentTemplate;
        t.node = table.finish();
        out->push_back(std::move(t));
        return Status::success();
    }

    Status fail(Status st)
    {
        m_status = st;
        return st;
    }

    Folder* folder(uint32_t nid)
    {
        auto it = m_folder_index.find(nid);
        return it == m_folder_index.end() ? nullptr : &m_folders[it->second];
    }

    void add_folder_record(uint32_t nid, uint32_t parent, const std::u16string& name, const std::u16string& cls,
                           bool is_search)
    {
        Folder f;
        f.nid = nid;
        f.parent = parent;
        f.name = name;
        f.container_class = cls;
        f.is_search = is_search;
        if (!is_search)
            f.contents = std::make_unique<TableBuilder>(m_format, kContentsColumns);
        m_folders.push_back(std::move(f));
        m_folder_index[nid] = m_folders.size() - 1;
        if (nid != parent)
            folder(parent)->children.push_back(nid);
    }

    Bytes entry_id(uint32_t nid) const
    {
        Bytes b(4, 0);
        append(b, m_record_key.data(), m_record_key.size());
        append32(b, nid);
        return b;
    }

    Bytes search_key(uint32_t nid) const
    {
        Bytes b(m_record_key.begin(), m_record_key.end());
        put32(b.data() + 12, get32(b.data() + 12) ^ nid);
        return b;
    }

    Status stored_props(const std::vector<Property>& in, std::vector<StoredProp>* out)
    {
        for (const Property& p : in) {
            uint16_t id = p.name.id;
            if (p.name.kind != PropertyName::Kind::Id) {
                id = m_names.id_of(p.name);
                if (id == 0)
                    return Status::failure("Too many named properties for one PST file");
            }
            StoredProp sp{id, static_cast<uint16_t>(p.value.type), {}};
            sp.view = stored_form(p.value);
            if (!sp.view.data() && !encode_value(p.value, &sp.data))
                return Status::failure("A property value does not match its type (property 0x" + hex(id) + ")");
            out->push_back(std::move(sp));
        }
        return Status::success();
    }

    static std::string hex(uint32_t v)
    {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%04X", v);
        return buf;
    }

    Status recipient_table(const Message& m, NodeData* out)
    {
        if (m.recipients().empty()) {
            *out = m_no_recipients; // most messages: the same empty table
            return Status::success();
        }
        std::vector<uint32_t> columns = kRecipientColumns;
        std::vector<std::vector<StoredProp>> rows;
        for (const Recipient& r : m.recipients()) {
            std::vector<StoredProp> props;
            for (const Property& p : r.properties)
                if (p.name.kind != PropertyName::Kind::Id)
                    return Status::failure("Recipient properties must be plain property ids");
            Status st = stored_props(r.properties, &props);
            if (!st)
                return st;
            sort_props(props);
            for (const auto& p : props) {
                uint32_t tag = static_cast<uint32_t>(p.id) << 16 | p.type;
                bool widened = p.type == 0x001E &&
                               std::find(columns.begin(), columns.end(), static_cast<uint32_t>(p.id) << 16 | 0x001F) !=
                                   columns.end();
                if (!widened && std::find(columns.begin(), columns.end(), tag) == columns.end())
                    columns.push_back(tag);
            }
            rows.push_back(std::move(props));
        }
        TableBuilder table(m_format, columns);
        for (size_t i = 0; i < rows.size(); ++i)
            table.add_row(static_cast<uint32_t>(i), m_row_version++, copy_cells(rows[i], columns, m.codepage()).cells);
        *out = table.finish();
        return Status::success();
    }

    Status write_node(uint32_t nid, const NodeData& node, uint32_t parent)
    {
        uint64_t bid_data = 0, bid_sub = 0;
        Status st = m_ndb.write_node(node, &bid_data, &bid_sub);
        if (!st)
            return st;
        m_ndb.add_node(nid, bid_data, bid_sub, parent);
        return Status::success();
    }

    Status write_table(uint32_t nid, const std::vector<uint32_t>& columns)
    {
        TableBuilder t(m_format, columns);
        return write_node(nid, t.finish(), 0);
    }

    Status write_pc(uint32_t nid, std::vector<StoredProp> props, uint32_t parent)
    {
        sort_props(props);
        return write_node(nid, build_pc(m_format, props, {}, 0, nullptr), parent);
    }

    std::vector<StoredProp> folder_props(const Folder& f) const
    {
        std::vector<StoredProp> p;
        p.push_back({0x3001, 0x001F, utf16le(f.name)});
        p.push_back({0x3602, 0x0003, le32(f.count)});
        p.push_back({0x3603, 0x0003, le32(f.unread)});
        p.push_back({0x360A, 0x000B, le8(f.children.empty() ? 0 : 1)});
        if (!f.container_class.empty())
            p.push_back({0x3613, 0x001F, utf16le(f.container_class)});
        if (!f.is_search) {
            p.push_back({0x3617, 0x0003, le32(0)}); // no associated (FAI) messages
            p.push_back({0x6635, 0x0003, le32(0)});
            p.push_back({0x6636, 0x0003, le32(0)});
        }
        sort_props(p);
        return p;
    }

    Status write_folder(const Folder& f)
    {
        uint32_t index = nid_index(f.nid);
        TableBuilder hierarchy(m_format, kHierarchyColumns);
        for (uint32_t child : f.children) {
            const Folder& c = *const_cast<WriterImpl*>(this)->folder(child);
            hierarchy.add_row(child, m_row_version++, copy_cells(folder_props(c), kHierarchyColumns, 1252).cells);
        }
        Status st = write_node(make_nid(index, kTypeHierarchy), hierarchy.finish(), 0);
        if (st)
            st = write_node(make_nid(index, kTypeContents), f.contents->finish(), 0);
        if (st)
            st = write_table(make_nid(index, kTypeAssocContents), kAssocContentsColumns);
        if (st)
            st = write_pc(f.nid, folder_props(f), f.parent);
        return st;
    }

    Status write_everything()
    {
        Status st;
        for (const Folder& f : m_folders) {
            st = f.is_search ? write_pc(f.nid, folder_props(f), f.parent) : write_folder(f);
            if (!st)
                return st;
        }
        // The spam search folder's update queue and contents table.
        st = write_node(kNidSpamUpdateQueue, NodeData{}, 0);
        if (st)
            st = write_table(kNidSpamContents, kSearchContentsColumns);

        // Table templates.
        const std::pair<uint32_t, const std::vector<uint32_t>*> templates[] = {
            {kNidHierarchyTemplate, &kHierarchyColumns},   {kNidContentsTemplate, &kContentsColumns},
            {kNidAssocTemplate, &kAssocContentsColumns},   {kNidSearchTemplate, &kSearchContentsColumns},
            {kNidAttachmentTemplate, &kAttachmentColumns}, {kNidRecipientTemplate, &kRecipientColumns},
        };
        for (const auto& t : templates)
            if (st)
                st = write_table(t.first, *t.second);

        // Search management: an empty queue, the activity list naming the spam folder, an
        // empty domain object.
        if (st)
            st = write_node(kNidSearchQueue, NodeData{}, 0);
        if (st) {
            NodeData sal;
            sal.chunks.push_back(le32(kNidSpamFolder));
            st = write_node(kNidSearchActivity, sal, 0);
        }
        if (st)
            st = write_node(kNidSearchDomain, NodeData{}, 0);

        // Receive folder table: every message class is received in the root folder. An empty
        // outgoing queue.
        if (st) {
            TableBuilder receive(m_format, {0x001A001F, 0x66050003});
            receive.add_row(kNidRoot, m_row_version++, {{0x001A001F, {}}, {0x66050003, le32(kNidRoot)}});
            st = write_node(kNidReceiveFolders, receive.finish(), 0);
        }
        if (st)
            st = write_table(kNidOutgoingQueue, {});

        // Message store and name map.
        if (st) {
            std::vector<StoredProp> store;
            store.push_back({0x0FF9, 0x0102, Bytes(m_record_key.begin(), m_record_key.end())});
            store.push_back({0x3001, 0x001F, utf16le(m_options.store_name)});
            store.push_back({0x35DF, 0x0003, le32(0x89)}); // IPM subtree, wastebasket and finder valid
            store.push_back({0x35E0, 0x0102, entry_id(kNidIpmSubtree)});
            store.push_back({0x35E3, 0x0102, entry_id(kNidDeletedItems)});
            store.push_back({0x35E7, 0x0102, entry_id(kNidSearchRoot)});
            store.push_back({0x67FF, 0x0003, le32(0)});
            st = write_pc(kNidStore, std::move(store), 0);
        }
        if (st)
            st = write_pc(kNidNameMap, m_names.properties(), 0);
        if (!st)
            return st;

        HeaderInfo info;
        info.rgnid.fill(0x400);
        info.rgnid[0x03] = 0x4000;
        info.rgnid[0x04] = 0x10000;
        info.rgnid[0x08] = 0x8000;
        // One past the highest index handed out, for every type that shares the folders' index.
        for (uint32_t t : {kTypeFolder, kTypeHierarchy, kTypeContents, kTypeAssocContents})
            info.rgnid[t] = std::max<uint32_t>(info.rgnid[t], m_next_folder);
        if (m_next_message > kFirstMessage)
            info.rgnid[kTypeMessage] = m_next_message;
        info.unique = m_unique;
        info.client = m_options.offline ? kClientOffline : kClientPst;
        return m_ndb.finish(info);
    }

    std::unique_ptr<Sink> m_sink;
    FileSink* m_file;
    Ndb m_ndb;
    WriterOptions m_options;
    const Layout& m_format;
    const NodeData m_no_recipients = TableBuilder(m_format, kRecipientColumns).finish();
    NameMap m_names;
    std::deque<Folder> m_folders;
    std::unordered_map<uint32_t, size_t> m_folder_index;
    std::array<uint8_t, 16> m_record_key{};
    uint32_t m_unique = 0;
    uint64_t m_time = 0;
    uint32_t m_next_folder = kFirstUserFolder;
    uint32_t m_next_message = kFirstMessage;
    uint32_t m_row_version = 1;
    Status m_status;
    bool m_done = false;
    // Background mode: the first failure of either thread, kept until the caller's thread takes it.
    std::mutex m_async_mutex;
    Status m_async_status;
    std::atomic<bool> m_async_failed{false};
    std::unique_ptr<Worker<NodeJob>> m_ndb_writer;
    std::unique_ptr<Worker<BuildJob>> m_builder;
};

} // namespace

std::unique_ptr<Writer> Writer::create(const std::string& path, const WriterOptions& options, Status* status)
{
    std::string tmp = path + ".tmp-XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        int err = errno;
        if (status)
            *status = Status::failure(std::string(std::strerror(err)) + ": " + path);
        return nullptr;
    }
    ::fchmod(fd, 0644);
    auto sink = std::make_unique<FileSink>(fd, tmp, path, options.sync_to_disk);
    FileSink* file = sink.get();
    if (status)
        *status = Status::success();
    return std::make_unique<WriterImpl>(std::move(sink), file, options);
}

std::unique_ptr<Writer> Writer::create(std::unique_ptr<Sink> sink, const WriterOptions& options)
{
    return std::make_unique<WriterImpl>(std::move(sink), nullptr, options);
}

} // namespace pst
