// Messaging layer of the writer: the message store, the name-to-id map, folders, messages and
// their tables, on top of the LTP and NDB layers. This file: the public calls and the folders.
#include "pst/writer.h"
#include "writer_impl.h"
#include "writer_props.h"

#include <chrono>
#include <random>

namespace pst {
namespace detail {
namespace {

constexpr uint64_t kDefaultTime = 132539328000000000ull; // 2021-01-01 00:00 UTC

uint64_t filetime_now()
{
    using namespace std::chrono;
    auto s = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    return (static_cast<uint64_t>(s) + 11644473600ull) * 10000000ull;
}

} // namespace

WriterImpl::WriterImpl(std::unique_ptr<Sink> sink, FileSink* file, const WriterOptions& options)
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

WriterImpl::~WriterImpl()
{
    // The threads stop before the file goes: what they still hold is dropped unwritten.
    if (m_builder)
        fail_async(Status::failure("The PST writer was closed"));
    m_builder.reset();
    m_ndb_writer.reset();
    if (m_file && !m_done)
        m_file->discard();
}

FolderId WriterImpl::add_folder(FolderId parent, const std::u16string& name, const std::u16string& container_class)
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

Status WriterImpl::add_message(FolderId folder_id, const Message& message)
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

Status WriterImpl::add_message(FolderId folder_id, Message&& message)
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

Status WriterImpl::add_loose_message(const Message& message, const std::function<Status(const BuiltMessage&)>& write)
{
    drain();
    BuiltMessage built;
    Status st = next_message(message, 0, nullptr, &built);
    if (!st)
        return st;
    st = write(built);
    if (!st)
        return fail(st);
    ++m_next_message;
    return Status::success();
}

Status WriterImpl::add_deleted_message(const Message& message, DeletedIndex index)
{
    return add_loose_message(message, [&](const BuiltMessage& built) {
        // Its blocks are written, then dropped from the block B-tree and marked free (their bytes
        // stay); with Superseded, the stale B-tree pages that still name them are written first.
        const size_t mark = m_ndb.block_mark();
        uint64_t bid_data = 0, bid_sub = 0;
        Status st = m_ndb.write_node(built.node, &bid_data, &bid_sub);
        if (st && index == DeletedIndex::Superseded)
            st = m_ndb.write_superseded_pages(mark, built.nid, bid_data, bid_sub, kNidDeletedItems);
        if (st)
            m_ndb.free_blocks_since(mark);
        return st;
    });
}

Status WriterImpl::add_orphan_message(const Message& message, OrphanParent parent)
{
    return add_loose_message(message, [&](const BuiltMessage& built) {
        // A missing folder takes a folder index of its own, as a folder deleted before its
        // message would have.
        const uint32_t parent_nid =
            parent == OrphanParent::MissingFolder ? make_nid(m_next_folder++, kTypeFolder) : kNidStore;
        return write_node(built.nid, built.node, parent_nid);
    });
}

Status WriterImpl::add_associated_message(FolderId folder_id, const Message& message)
{
    drain();
    Folder* f = nullptr;
    Status st = accepting(folder_id, &f);
    if (!st)
        return st;
    BuiltMessage built;
    built.nid = make_nid(m_next_message, kTypeAssocMessage);
    st = build_message(message, built.nid, &built.props, &built.node);
    if (!st)
        return st;
    st = write_node(built.nid, built.node, f->nid);
    if (!st)
        return fail(st);
    ++m_next_message;
    if (!f->associated)
        f->associated = std::make_unique<TableBuilder>(m_format, kAssocContentsColumns);
    f->associated->add_row(built.nid, m_row_version++,
                           copy_cells(built.props, kAssocContentsColumns, message.codepage()).cells);
    ++f->associated_count;
    return Status::success();
}

Status WriterImpl::finish()
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

void WriterImpl::add_contents_row(Folder& f, const BuiltMessage& built, uint32_t codepage)
{
    f.contents->add_row(built.nid, m_row_version++, copy_cells(built.props, kContentsColumns, codepage).cells);
    ++f.count;
    const StoredProp* flags = find_prop(built.props, 0x0E07);
    if (flags && flags->type == type_code(PropType::Long) && flags->bytes().size() == 4 &&
        !(get32(flags->bytes().data()) & kMsgFlagRead))
        ++f.unread;
}

Status WriterImpl::accepting(FolderId folder_id, Folder** f)
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

Status WriterImpl::room_in(const Folder& f)
{
    if (f.contents->full())
        return Status::failure("A folder of an ANSI PST file holds at most 65536 items");
    return Status::success();
}

Status WriterImpl::fail(Status st)
{
    m_status = st;
    return st;
}

Folder* WriterImpl::folder(uint32_t nid)
{
    auto it = m_folder_index.find(nid);
    return it == m_folder_index.end() ? nullptr : &m_folders[it->second];
}

void WriterImpl::add_folder_record(uint32_t nid, uint32_t parent, const std::u16string& name, const std::u16string& cls,
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

} // namespace detail

using detail::FileSink;
using detail::WriterImpl;

std::unique_ptr<Writer> Writer::create(const std::string& path, const WriterOptions& options, Status* status)
{
    std::unique_ptr<FileSink> sink = FileSink::create(path, options.sync_to_disk, status);
    if (!sink)
        return nullptr;
    FileSink* file = sink.get();
    return std::make_unique<WriterImpl>(std::move(sink), file, options);
}

std::unique_ptr<Writer> Writer::create(std::unique_ptr<Sink> sink, const WriterOptions& options)
{
    return std::make_unique<WriterImpl>(std::move(sink), nullptr, options);
}

} // namespace pst
