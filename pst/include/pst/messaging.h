// Reading the messaging layer of a personal folder file: the message store, the root folder,
// and a folder's hierarchy and contents tables by node id. What libpff derives from its item
// tree (a node's children, the root folder) is derived here from the nodes' parents, looking
// nodes up one at a time instead of building a tree of the whole file. Same calling convention
// as reader.h: a pst::Status, done or found, absent, or failed with its reason.
#pragma once

#include "pst/reader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pst::read {

// The message store's property context (node 0x21).
Status open_message_store(File& file, PropertyContext* pc);

// The root folder: node 0x122 when it is its own parent, else the first node of the node B-tree
// that is its own parent. Absent when there is none.
Status find_root_folder(File& file, Node* out);

// A folder's tables, found as libpff finds them: the folder's node id plus 11 (hierarchy table,
// type 0x0D for a folder) or plus 12 (contents table, type 0x0E).
enum class FolderTable : uint8_t
{
    Hierarchy = 11,
    Contents = 12,
    Associated = 13, // the associated (FAI) contents table
};
// Opens `which` table of the folder `folder_nid`: found with it in *table, absent when the folder
// has no such node, a failure when it cannot be read.
Status open_folder_table(File& file, uint32_t folder_nid, FolderTable which, Table* table);

// The node `nid` named by a table row of `parent`: found when it exists and `parent` is its parent
// (and it is not `parent` itself), absent otherwise, a failure when the lookup fails.
Status find_child(File& file, uint32_t parent, uint32_t nid, Node* out);

// Every node whose parent is `parent` (`parent` itself left out), in node-id order, each id once.
Status children_of(File& file, uint32_t parent, std::vector<Node>* out);

// The recipient table of `message` (a node B-tree entry): its subnode 0x692. Found with it in
// *table, absent when the message has no such subnode, a failure when the subnode tree or the
// table cannot be read.
Status open_recipient_table(File& file, const Node& message, Table* table);

} // namespace pst::read
