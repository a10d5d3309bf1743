#include "writer_impl.h"
#include "writer_props.h"

#include <algorithm>
#include <utility>

namespace pst::detail {

Bytes WriterImpl::entry_id(uint32_t nid) const
{
    // Four flag bytes, the store's record key, the node id.
    Bytes b(4 + m_record_key.size() + 4, 0);
    std::copy(m_record_key.begin(), m_record_key.end(), b.begin() + 4);
    put32(b.data() + 4 + m_record_key.size(), nid);
    return b;
}

Status WriterImpl::write_node(uint32_t nid, const NodeData& node, uint32_t parent)
{
    uint64_t bid_data = 0, bid_sub = 0;
    Status st = m_ndb.write_node(node, &bid_data, &bid_sub);
    if (!st)
        return st;
    m_ndb.add_node(nid, bid_data, bid_sub, parent);
    return Status::success();
}

Status WriterImpl::write_table(uint32_t nid, const std::vector<uint32_t>& columns)
{
    TableBuilder t(m_format, columns);
    return write_node(nid, t.finish(), 0);
}

Status WriterImpl::write_pc(uint32_t nid, std::vector<StoredProp> props, uint32_t parent)
{
    sort_props(props);
    return write_node(nid, build_pc(m_format, props, {}, 0, nullptr), parent);
}

std::vector<StoredProp> WriterImpl::folder_props(const Folder& f) const
{
    std::vector<StoredProp> p;
    p.push_back({0x3001, type_code(PropType::Unicode), utf16le(f.name)});
    p.push_back({0x3602, type_code(PropType::Long), le32(f.count)});
    p.push_back({0x3603, type_code(PropType::Long), le32(f.unread)});
    p.push_back({0x360A, type_code(PropType::Boolean), le8(f.children.empty() ? 0 : 1)});
    if (!f.container_class.empty())
        p.push_back({0x3613, type_code(PropType::Unicode), utf16le(f.container_class)});
    if (!f.is_search) {
        p.push_back({0x3617, type_code(PropType::Long), le32(f.associated_count)}); // associated (FAI) messages
        p.push_back({0x6635, type_code(PropType::Long), le32(0)});
        p.push_back({0x6636, type_code(PropType::Long), le32(0)});
    }
    sort_props(p);
    return p;
}

Status WriterImpl::write_folder(const Folder& f)
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
        st = f.associated ? write_node(make_nid(index, kTypeAssocContents), f.associated->finish(), 0)
                          : write_table(make_nid(index, kTypeAssocContents), kAssocContentsColumns);
    if (st)
        st = write_pc(f.nid, folder_props(f), f.parent);
    return st;
}

Status WriterImpl::write_everything()
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
        store.push_back({0x0FF9, type_code(PropType::Binary), Bytes(m_record_key.begin(), m_record_key.end())});
        store.push_back({0x3001, type_code(PropType::Unicode), utf16le(m_options.store_name)});
        store.push_back({0x35DF, type_code(PropType::Long), le32(0x89)}); // IPM subtree, wastebasket and finder valid
        store.push_back({0x35E0, type_code(PropType::Binary), entry_id(kNidIpmSubtree)});
        store.push_back({0x35E3, type_code(PropType::Binary), entry_id(kNidDeletedItems)});
        store.push_back({0x35E7, type_code(PropType::Binary), entry_id(kNidSearchRoot)});
        store.push_back({0x67FF, type_code(PropType::Long), le32(0)});
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
    // Associated messages take their index from the messages' counter.
    if (std::any_of(m_folders.begin(), m_folders.end(), [](const Folder& f) { return f.associated_count > 0; }))
        info.rgnid[kTypeAssocMessage] = std::max<uint32_t>(info.rgnid[kTypeAssocMessage], m_next_message);
    info.unique = m_unique;
    info.client = m_options.offline ? kClientOffline : kClientPst;
    return m_ndb.finish(info);
}

} // namespace pst::detail
