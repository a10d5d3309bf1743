// A contact record as one line of JSON and back, losslessly: the form `pelimoor-convert --json
// --full` writes, so that scans made on other machines can be merged in one step.
//
// A line is one JSON object: "number", then every field the record holds under its name in the
// field table (absent fields left out, empty ones ""), then "origin", "photo_type" and
// "photo_bytes" (as `--json` writes them), then "photo" (the bytes in hex), "identity" (16 bytes
// in hex), "exchange" (the EX addresses: [{"slot": 0-2, "dn": "...", "original": "..."}]),
// "source" (the file as the scan was given it), "folder" (names joined by '\') and "node_id".
// Texts are UTF-8; a text holding a UTF-16 surrogate without its partner (which UTF-8 cannot
// carry) is written as {"utf16": "<its UTF-16LE code units in hex>"}.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "contacts/contact_record.h"

namespace dump {

// Where a record came from.
struct Provenance
{
    std::string_view source; // UTF-8
    std::u16string_view folder;
    uint32_t node_id = 0;
};

// Appends the line (with its '\n') of `record` to `out`.
void append_record_line(const contacts::ContactRecord& record, const Provenance& from, std::string& out);

// A line read back.
struct ReadRecord
{
    contacts::ContactDraft draft; // number, texts, gender, kind code, origin, photo, identity, EX addresses
    std::string source;
    std::u16string folder;
    uint32_t node_id = 0;
};

// Reads one line into `out`. False, with what is wrong in *error (a key and why, or where the
// JSON is broken), when the line is not a JSON object of this form: a value of the wrong type,
// a field name that no record has, hex that is not hex.
bool read_record_line(std::string_view line, ReadRecord& out, std::string* error);

// Whether `head` (the first bytes of a file) is a dump rather than a PST: after any blanks, '{'.
bool looks_like_dump(std::string_view head);

// A JSON string of UTF-16 text: UTF-8 for every well-formed character, \uXXXX for control
// characters and unpaired surrogates (the form `--json` writes).
void append_json_string(std::u16string_view s, std::string& out);

} // namespace dump
