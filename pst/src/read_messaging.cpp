// The messaging layer read by node id: store, root folder, folder tables, children.
#include "pst/messaging.h"

#include "read_ndb.h"

#include <algorithm>

namespace pst::read {

int open_message_store(File& file, PropertyContext* pc, std::string* why)
{
    Node store;
    const int found = file.find_node(nid::kMessageStore, &store, why);
    if (found != 1)
        return found < 0 ? -1 : detail::fail(why, "the file has no message store (node 0x21)");
    return pc->open(file, store, why);
}

int find_root_folder(File& file, Node* out, std::string* why)
{
    Node root;
    int found = file.find_node(nid::kRootFolder, &root, why);
    if (found == 1 && root.parent != root.nid)
        found = 0;
    if (found == 0) {
        // The root folder is the node that is its own parent.
        root = Node{};
        found = file.for_each_node(
            [&](const Node& n) {
                if (n.nid != n.parent)
                    return true;
                root = n;
                return false;
            },
            why);
        if (found == 1 && root.nid == 0)
            found = 0;
    }
    if (found == 1)
        *out = root;
    return found;
}

int open_folder_table(File& file, uint32_t folder_nid, FolderTable which, Table* table, std::string* why)
{
    Node node;
    const int found = file.find_node(folder_nid + static_cast<uint32_t>(which), &node, why);
    if (found != 1)
        return found;
    return table->open(file, node, why) == 1 ? 1 : -1;
}

int find_child(File& file, uint32_t parent, uint32_t nid, Node* out, std::string* why)
{
    if (nid == parent)
        return 0;
    Node node;
    const int found = file.find_node(nid, &node, why);
    if (found != 1)
        return found;
    if (node.parent != parent)
        return 0;
    *out = node;
    return 1;
}

int children_of(File& file, uint32_t parent, std::vector<Node>* out, std::string* why)
{
    out->clear();
    if (file.for_each_node(
            [&](const Node& n) {
                if (n.parent == parent && n.nid != parent)
                    out->push_back(n);
                return true;
            },
            why) != 1)
        return -1;
    std::stable_sort(out->begin(), out->end(), [](const Node& a, const Node& b) { return a.nid < b.nid; });
    out->erase(std::unique(out->begin(), out->end(), [](const Node& a, const Node& b) { return a.nid == b.nid; }),
               out->end());
    return 1;
}

} // namespace pst::read
