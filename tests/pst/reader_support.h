// Helpers of the reader tests: files with the format's edges in them, the differential walk
// against libpff, a walk that asks the reader everything about a file, and a table of damaged
// images built by locating the file's structures.
#pragma once

#include "pst/reader.h"
#include "pst/writer.h"
#include "support.h"

#include <string>
#include <vector>

namespace reader_test {

// Values of 0, 1, 3580, 3581 bytes, one and two blocks and one byte more, a full XBLOCK and one
// byte more (`large`); a full SLBLOCK and one subnode more; BTHs with index levels; every value
// type, named properties, recipients; a contents table over several blocks; empty folders.
void fill_edges(pst::Writer& w, pst::FileFormat format, bool large);
// A few folders and messages (tens of nodes, a few pages).
void fill_small(pst::Writer& w);
// One folder with one message of `count` binary values of `size` bytes (ids 0x6000 and up).
void fill_many(pst::Writer& w, size_t count, size_t size);
// The only message node of a file.
pst::read::Node only_message(pst::read::File& file);
// fill_small plus an XBLOCK value and an SIBLOCK: every structure the damage table changes.
void fill_damage_base(pst::Writer& w, pst::FileFormat format);

struct Summary
{
    size_t folders = 0, messages = 0;
};
// Walks the file with libpff and expects (gtest) our reader to give every item's properties
// (id, type, bytes, named ids) and every folder's hierarchy/contents rows as libpff does, and
// contents cells equal to the messages' values.
Summary compare_with_libpff(const std::string& path);

// What a walk of everything the reader offers met: failures and their reasons.
struct Exercise
{
    size_t failures = 0;
    bool empty_reason = false; // some -1 came without a reason
    std::vector<std::string> reasons;

    void check(int rc, const std::string& why);
    bool mentions(const std::string& part) const;
    std::string text() const;
};
// Every node's data stream, property context or table (every cell), messages' subnode tables,
// the name map.
Exercise exercise_file(pst::read::File& file);
Exercise exercise_image(const std::vector<uint8_t>& image);
Exercise exercise_path(const std::string& path);

struct DamageCase
{
    std::string name;
    std::vector<uint8_t> image;
    std::string expect; // a part of some reason, "" when any failure (or none) will do
};
std::vector<DamageCase> damage_cases(const std::vector<uint8_t>& image, pst::FileFormat format);

struct Roots
{
    uint64_t nbt = 0, bbt = 0;
};
Roots roots_of(const std::vector<uint8_t>& image);
void fix_header_crc(std::vector<uint8_t>& image, bool ansi);
void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes);

} // namespace reader_test
