// The autocomplete list as cards: one contact per row of an Autocomplete Stream (see
// autocomplete/stream.h), marked with the origin `autocomplete`.
//
// A row gives its display name (full name), its nickname, its address and the weight Outlook
// ranks it by, in the notes ("Suggested by Outlook's autocomplete list, weight 73,728"). An SMTP
// row's address is the e-mail; an EX row's is its PR_SMTP_ADDRESS_W when it has one, else the
// legacy DN kept as a contact's EX address is (the outputs for importers then take the file's DN
// map, else leave it out and keep the DN in the notes). 8-bit texts are read in the code page
// given. A row without a display name and an address gives no card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/scan_events.h"

namespace contacts {
class ContactDraft;
class ContactStore;
} // namespace contacts

namespace engine {

// What became of one stream.
struct AutocompleteCards
{
    int32_t rows = 0;  // rows read
    int32_t cards = 0; // cards added
    // Why the stream was not read to its end (the reader's damage reason); empty when it was.
    std::string damage;
    bool out_of_memory = false;
};

// "73,728": a weight with a comma between each group of three digits.
std::u16string grouped_number(uint32_t value);

// Reads `stream` and appends a card per row to `store` (numbered after the cards already in it),
// each reported through listener.contact_added before it is appended. Damage is reported as one
// skipped item in `where` (a folder path or a file name), at the index of the first row lost.
// Each card takes `place` (the store's place of the stream's folder or file; 0: none).
AutocompleteCards add_autocomplete_cards(std::span<const uint8_t> stream, int codepage, std::u16string_view where,
                                         contacts::ContactStore& store, ScanListener& listener, uint32_t place = 0);

} // namespace engine

namespace engine {

// Whether the file at `path_utf8` starts as an Autocomplete Stream does (an .nk2 or
// Stream_Autocomplete_*.dat file): the signature and major version 12.
bool is_autocomplete_file(const std::string& path_utf8);

// Reads the whole file at `path_utf8` as one stream into `store` (add_autocomplete_cards, the
// file's name as `where`). False when the file cannot be opened. The file is read `piece` bytes
// at a time and each row's card made as soon as its bytes are read: what is held at once is a
// piece, or a row larger than one (and the records made). A file of more than one piece has its
// rows read and their texts decoded on a thread of its own, a few hundred rows ahead of the cards
// (made, and reported to `listener`, on the caller's thread). A file that ends before its size
// said ends the stream there.
inline constexpr std::size_t kAutocompletePiece = 256 * 1024;
bool scan_autocomplete_file(const std::string& path_utf8, int codepage, contacts::ContactStore& store,
                            ScanListener& listener, AutocompleteCards* out, std::size_t piece = kAutocompletePiece);

} // namespace engine
