// What a personal folder file holds beyond its live folders: message nodes that no folder
// reaches (orphans), and property contexts left in blocks that nothing references any more
// (deleted items whose space was not reused).
//
// Orphans are node B-tree entries, found by walking the tree (lazy, as File::for_each_node).
// Recovery scans file bytes: only the space the allocation maps mark free, or the whole file when
// the header says the maps are not valid. It finds blocks by their trailers (size, signature
// computed from offset and BID, CRC over the stored bytes), decodes them with the file's block
// encoding, and keeps those that start a property context's heap: single data blocks, and data
// trees whose XBLOCK lies in free space with every child block found there too. A block whose BID
// the live block B-tree holds, or a live node names, is never returned: a recovered item never
// duplicates a live one at the block level. (A deleted item may still be an older copy of a live
// one, for example a contact saved twice; telling those apart is the caller's business.)
//
// Nothing here runs unless called: a normal scan of the live folders pays nothing for it.
// Bounded: caps on candidates, found blocks and bytes scanned per call; every length is checked;
// a damaged free-space block yields no candidate. Same calling convention and threading rules as
// reader.h (one File and what reads it belong to one thread at a time).
#pragma once

#include "pst/reader.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pst::read {

// Visits the node B-tree entries of message nodes (NID types 0x04 and 0x08, associated) in key
// order, reading pages as it goes and at most as many as the file holds. `visit` returns false to
// stop early. Done when done or stopped, a failure when the tree cannot be read.
Status for_each_message_node(File& file, const std::function<bool(const Node&)>& visit);

// Visits the message nodes whose nidParent names no folder node (type 0x02) of the node B-tree:
// a folder that does not exist, or a node that is no folder. No walk of the folder tree reaches
// them. One pass over the node B-tree; memory: 4 bytes per folder node, and a node's entry for
// each message met before its parent folder in key order (few: a folder is made before what it holds).
Status for_each_orphan_message(File& file, const std::function<bool(const Node&)>& visit);

struct RecoveryProgress
{
    uint64_t scanned = 0; // bytes examined so far
    uint64_t total = 0;   // bytes this scan examines at most
    size_t blocks = 0;    // sound blocks found in them
    size_t candidates = 0;
};

struct RecoveryOptions
{
    size_t max_candidates = 100000; // items returned
    size_t max_blocks = 1 << 20;    // sound blocks kept from free space (about 40 bytes each)
    uint64_t max_bytes = 4ull << 30;
    // Called after each MiB scanned and every few hundred candidates checked, on the scanning
    // thread (a pause gate may block in it). Returning false cancels the scan: what was found up
    // to then is returned.
    std::function<bool(const RecoveryProgress&)> progress;
};

// A property context found in free space.
struct RecoveredItem
{
    uint64_t offset = 0; // file offset of its root block (the heap's only block, or the XBLOCK)
    uint64_t bid = 0;    // BID of that block
    uint64_t size = 0;   // bytes of the heap
    uint32_t blocks = 0; // data blocks of the heap
    uint32_t properties = 0;
    uint32_t skipped = 0; // values held in subnodes, which cannot be read (see Recovery::open)
};

enum class RecoveryEnd : uint8_t
{
    Complete,
    Cancelled,      // the progress callback returned false
    CandidateLimit, // more than max_candidates items: the first max_candidates are returned
    BlockLimit,     // max_blocks sound blocks kept
    ByteLimit,      // max_bytes examined
};

struct RecoveryResult
{
    RecoveryEnd end = RecoveryEnd::Complete;
    bool whole_file = false;          // fAMapValid said the maps are not valid: every byte was examined
    size_t unmapped_regions = 0;      // regions whose AMap page is damaged, examined whole
    uint64_t scanned = 0;             // bytes examined
    uint64_t total = 0;               // bytes there were to examine
    size_t blocks = 0;                // sound blocks found
    size_t live = 0;                  // of them, blocks the live trees use (never returned)
    size_t rejected = 0;              // heaps that did not open as a property context
    std::vector<RecoveredItem> items; // by offset
};

class Recovery
{
public:
    // REQUIRES: `file` outlives the Recovery.
    explicit Recovery(File& file);
    ~Recovery();

    // Scans the file's free space (see above). Done when the scan ran (result->end says how far),
    // a failure when the file's live block or node B-tree cannot be read, which the scan needs to
    // tell recovered blocks from live ones.
    Status scan(const RecoveryOptions& options, RecoveryResult* result);

    // Opens an item of the last scan as a property context. Values the heap holds are read;
    // values held in subnodes cannot be (a deleted node's subnode tree is not known): they are
    // left out and counted in pc->skipped(). Fails when the item is not one of the last scan's.
    Status open(const RecoveredItem& item, PropertyContext* pc);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace pst::read
