// The writer behind pst::Writer: its folders, counters and state, with the work divided by job
// among writer.cpp (the public calls and the folder records), writer_message_node.cpp (a message
// turned into its stored properties and node), writer_background.cpp (the two threads of
// WriterOptions::background) and writer_finish.cpp (the folders, tables, store and name map
// written by finish()).
#pragma once

#include "pst/writer.h"
#include "writer_columns.h"
#include "writer_file_sink.h"
#include "writer_ltp.h"
#include "writer_name_map.h"
#include "writer_ndb.h"
#include "writer_worker.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace pst::detail {

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
constexpr uint32_t kTypeAssocMessage = nid::kTypeAssocMessage;
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
    std::unique_ptr<TableBuilder> associated; // made with the first associated message
    uint32_t associated_count = 0;
};

class WriterImpl : public Writer
{
public:
    // `file`: the sink when it is a FileSink (committed by finish(), discarded otherwise).
    WriterImpl(std::unique_ptr<Sink> sink, FileSink* file, const WriterOptions& options);
    ~WriterImpl() override;

    FolderId top_of_personal_folders() const override { return kNidIpmSubtree; }
    FolderId root_folder() const override { return kNidRoot; }
    FolderId deleted_items() const override { return kNidDeletedItems; }

    FolderId add_folder(FolderId parent, const std::u16string& name, const std::u16string& container_class) override;
    Status add_message(FolderId folder_id, const Message& message) override;
    Status add_message(FolderId folder_id, Message&& message) override;
    Status add_deleted_message(const Message& message, DeletedIndex index) override;
    Status add_orphan_message(const Message& message, OrphanParent parent) override;
    Status add_associated_message(FolderId folder_id, const Message& message) override;
    Status finish() override;

private:
    struct BuiltMessage
    {
        uint32_t nid = 0;
        std::vector<StoredProp> props;
        NodeData node;
    };

    // writer.cpp: the folder records and the checks of the public calls.

    void add_contents_row(Folder& f, const BuiltMessage& built, uint32_t codepage);
    // A message in no folder's contents (deleted, orphaned): the next message built, its node
    // stored by `write`, the message counted.
    Status add_loose_message(const Message& message, const std::function<Status(const BuiltMessage&)>& write);
    // Whether a message may be added now (and to `folder_id` when `f` is given).
    Status accepting(FolderId folder_id, Folder** f);
    // Whether folder `f` takes one more message (an ANSI file's contents table counts its rows
    // in 16 bits).
    static Status room_in(const Folder& f);
    Status fail(Status st);
    Folder* folder(uint32_t nid);
    void add_folder_record(uint32_t nid, uint32_t parent, const std::u16string& name, const std::u16string& cls,
                           bool is_search);

    // writer_message_node.cpp: a message's stored properties and node.

    // The next message's node id, properties and node, once the writer takes messages (into
    // `folder_id`, when it is not 0).
    Status next_message(const Message& message, FolderId folder_id, Folder** folder, BuiltMessage* out);
    // The message's properties as stored (sorted, PidTagMessageSize filled in) and its node:
    // the PC with the recipient table, the attachment table and the attachment objects.
    Status build_message(const Message& message, uint32_t nid, std::vector<StoredProp>* out, NodeData* node);
    // One attachment object per attachment (subnodes of type 0x05 from index 0x400) and the
    // attachment table (subnode 0x671) with a row for each, row id = the object's NID.
    Status attachment_nodes(const Message& m, std::vector<SubnodeData>* out);
    Status recipient_table(const Message& m, NodeData* out);
    Status stored_props(const std::vector<Property>& in, std::vector<StoredProp>* out);
    Bytes search_key(uint32_t nid) const;
    static std::string hex(uint32_t v);

    // writer_background.cpp: the background threads (WriterOptions::background). The builder
    // turns messages into nodes and table rows in the order they came, the node writer puts the
    // nodes into the file in the same order. Each owns its part of the writer while it runs (the
    // builder: message and row numbering, the name map, the folders' contents tables; the node
    // writer: the Ndb); drain() gives everything back to the caller's thread.
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

    void start_background();
    // A message of the builder's thread: built, counted in its folder, handed to the node writer.
    Status build_in_background(BuildJob& job);
    // Runs `step` on a background thread; a failure (or running out of memory) fails the writer.
    template <typename Step> void guarded(Step step);
    void fail_async(Status st);
    // The first failure of a background thread becomes the writer's.
    void take_async_failure();
    // Waits until the background threads have done everything handed to them.
    void drain();

    // writer_finish.cpp: nodes written into the file, and what finish() writes.

    Status write_node(uint32_t nid, const NodeData& node, uint32_t parent);
    Status write_table(uint32_t nid, const std::vector<uint32_t>& columns);
    Status write_pc(uint32_t nid, std::vector<StoredProp> props, uint32_t parent);
    std::vector<StoredProp> folder_props(const Folder& f) const;
    Status write_folder(const Folder& f);
    Status write_everything();
    Bytes entry_id(uint32_t nid) const;

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

} // namespace pst::detail
