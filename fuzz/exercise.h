// Everything a scan asks of the PST reader, over one file image, with the work per file bounded:
// shared by the fuzz target and by the regression test that replays its findings in the normal
// build. A damaged piece is skipped the way the scan skips it; nothing here may crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pst/reader.h"

namespace fuzzpst {

// Caps on what one file image may make the exercise do, so that no input takes seconds.
struct Limits
{
    size_t nodes = 4096;                // node B-tree entries visited
    size_t folders = 256;               // folders walked
    size_t rows = 4096;                 // table rows read, all tables together
    size_t contexts = 4096;             // property contexts opened
    size_t streams = 2048;              // data trees opened
    uint64_t stream_bytes = 4ull << 20; // bytes assembled by read_stream, all streams together
    unsigned depth = 64;                // folder nesting
};

// What the exercise reached (for the tests; the fuzzer ignores it).
struct Reached
{
    bool opened = false;
    size_t nodes = 0, folders = 0, rows = 0, contexts = 0, properties = 0, streams = 0, subnodes = 0;
    uint64_t digest = 0; // a sum over every byte handed out, so that each one is read
};

// Opens `image` with File::open_memory and reads every node, folder, table, row, cell, property,
// stream and subnode it names, within `limits`.
Reached exercise(std::vector<uint8_t> image, const Limits& limits = {});

} // namespace fuzzpst
