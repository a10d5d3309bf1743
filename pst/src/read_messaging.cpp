// The messaging layer read by node id: store, root folder, folder tables, children.
#include "pst/messaging.h"

#include "read_ndb.h"

#include <algorithm>

namespace pst::read {

Status open_message_store(File& file, PropertyContext* pc)
{
    Node store;
    Status found = file.find_node(nid::kMessageStore, &store);
    if (!found.found())
        return found ? detail::fail("the file has no message store (node 0x21)") : found;
    return pc->open(file, store);
}

Status find_root_folder(File& file, Node* out)
{
    Node root;
    Status found = file.find_node(nid::kRootFolder, &root);
    if (found.found() && root.parent != root.nid)
        found = Status::none();
    if (found.absent) {
        // The root folder is the node that is its own parent.
        root = Node{};
        found = file.for_each_node([&](const Node& n) {
            if (n.nid != n.parent)
                return true;
            root = n;
            return false;
        });
        if (found.found() && root.nid == 0)
            found = Status::none();
    }
    if (found.found())
        *out = root;
    return found;
}

Status open_folder_table(File& file, uint32_t folder_nid, FolderTable which, Table* table)
{
    Node node;
    Status found = file.find_node(folder_nid + static_cast<uint32_t>(which), &node);
    if (!found.found())
        return found;
    return table->open(file, node);
}

Status find_child(File& file, uint32_t parent, uint32_t nid, Node* out)
{
    if (nid == parent)
        return Status::none();
    Node node;
    Status found = file.find_node(nid, &node);
    if (!found.found())
        return found;
    if (node.parent != parent)
        return Status::none();
    *out = node;
    return Status::success();
}

Status children_of(File& file, uint32_t parent, std::vector<Node>* out)
{
    out->clear();
    if (Status status = file.for_each_node([&](const Node& n) {
            if (n.parent == parent && n.nid != parent)
                out->push_back(n);
            return true;
        });
        !status)
        return status;
    std::stable_sort(out->begin(), out->end(), [](const Node& a, const Node& b) { return a.nid < b.nid; });
    out->erase(std::unique(out->begin(), out->end(), [](const Node& a, const Node& b) { return a.nid == b.nid; }),
               out->end());
    return Status::success();
}

} // namespace pst::read
