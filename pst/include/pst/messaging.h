// Reading the messaging layer of a personal folder file: the message store, the root folder,
// and a folder's hierarchy and contents tables by node id. What libpff derives from its item
// tree (a node's children, the root folder) is derived here from the nodes' parents, looking
// nodes up one at a time instead of building a tree of the whole file. Same calling convention
// as reader.h: 1 found / done, 0 absent, -1 error with *why set (why may be null).
#pragma once

#include "pst/reader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pst::read {

// The message store's property context (node 0x21).
int open_message_store(File& file, PropertyContext* pc, std::string* why);

// The root folder: node 0x122 when it is its own parent, else the first node of the node B-tree
// that is its own parent. 0 when there is none.
int find_root_folder(File& file, Node* out, std::string* why);

// A folder's tables, found as libpff finds them: the folder's node id plus 11 (hierarchy table,
// type 0x0D for a folder) or plus 12 (contents table, type 0x0E).
enum class FolderTable : uint8_t
{
    Hierarchy = 11,
    Contents = 12,
};
// Opens `which` table of the folder `folder_nid`: 1 with it in *table, 0 when the folder has no
// such node, -1 when it cannot be read.
int open_folder_table(File& file, uint32_t folder_nid, FolderTable which, Table* table, std::string* why);

// The node `nid` named by a table row of `parent`: 1 when it exists and `parent` is its parent
// (and it is not `parent` itself), 0 otherwise, -1 when the lookup fails.
int find_child(File& file, uint32_t parent, uint32_t nid, Node* out, std::string* why);

// Every node whose parent is `parent` (`parent` itself left out), in node-id order, each id once.
int children_of(File& file, uint32_t parent, std::vector<Node>* out, std::string* why);

// The recipient table of `message` (a node B-tree entry): its subnode 0x692. 1 with it in
// *table, 0 when the message has no such subnode, -1 when the subnode tree or the table cannot
// be read.
int open_recipient_table(File& file, const Node& message, Table* table, std::string* why);

} // namespace pst::read
