// Independent structural checker for personal folder files (PST), Unicode and ANSI, unencoded or
// with either block encoding.
//
// Re-reads a file from its bytes alone and reports every structural disagreement it finds:
// header fields and CRCs, B-tree pages (signature, CRC, key order, levels, child references),
// blocks (placement, trailer, CRC, data and subnode trees), block reference counts, leaked
// blocks, allocation maps (AMap bits, PMap, FMap, DList), node ids, and, when asked, the
// messaging layer (heap-on-node, BTH, property and table contexts, folder counts and tables,
// name-to-id map). It shares no code with the project's PST writer, so that a mistake made
// in the writer is not accepted by a reader that makes the same mistake.
//
// Usage:
//   auto problems = pstcheck::check_file("out.pst");
//   EXPECT_TRUE(problems.empty()) << pstcheck::join(problems);
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pstcheck {

struct Options
{
    // Also check heap-on-node, tables, folders, messages and the name-to-id map.
    bool check_messaging = true;
    // Report leaked blocks (in the BBT, referenced by nothing).
    bool check_leaks = true;
    // Report space that the AMap marks allocated but no structure uses. Such space is wasted, not
    // harmful; Outlook leaves superseded B-tree pages marked this way.
    bool check_unused_space = true;
    // Check the density list page (a hint for the allocator, rebuilt when it is invalid).
    bool check_dlist = true;
    // Known deviation: message nodes whose nidParent names no folder (a folder node that does not
    // exist, or a node that is no folder) are orphans no folder reaches, as damage and interrupted
    // deletes leave them. Off: each is a problem; on: they are counted in Summary::orphans. Their
    // property contexts and subnodes are checked either way.
    bool allow_orphans = false;
    // Stop collecting after this many problems; one final line then says how many were left out.
    size_t max_problems = 200;
};

// What a check covered, so that callers can tell a clean result from a skipped layer.
struct Summary
{
    size_t btree_pages = 0;
    size_t blocks = 0;
    size_t nodes = 0;
    size_t folders = 0;          // folder property contexts read
    size_t messages = 0;         // message property contexts read
    size_t tables = 0;           // table contexts read
    size_t table_rows = 0;       // rows in those tables
    size_t named_properties = 0; // entries of the name-to-id map
    size_t attachments = 0;      // attachment objects read
    size_t orphans = 0;          // message nodes whose parent is no folder (allow_orphans)
};

// Problems found in the file at `path`, one human-readable line each ("BBT page at 0x4800:
// CRC 0x1234abcd stored, 0x89abcdef computed"); empty when the file is valid. A file that cannot
// be read yields one problem naming the reason. Files that are not checked (pages of 4 KB)
// yield one line starting with "not checked:". Never throws, never crashes on damaged
// input.
std::vector<std::string> check_file(const std::string& path, const Options& options = {});

// Same for a file already in memory. `file` must stay alive for the duration of the call.
std::vector<std::string> check_bytes(const std::vector<uint8_t>& file, const Options& options = {});

// As above, also filling *summary (which must not be null).
std::vector<std::string> check_file(const std::string& path, const Options& options, Summary* summary);
std::vector<std::string> check_bytes(const std::vector<uint8_t>& file, const Options& options, Summary* summary);

// The problems as one string, one per line (for test failure messages).
std::string join(const std::vector<std::string>& problems);

} // namespace pstcheck
