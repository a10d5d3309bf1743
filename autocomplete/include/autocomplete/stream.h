// The Autocomplete Stream: the names Outlook offers while a recipient is typed. Outlook 2010 and
// later keep it in the Inbox's associated contents (PidTagRoamingBinary 0x7C09 of the message of
// class IPM.Configuration.Autocomplete); Outlook 2003 and 2007 kept the same bytes in an .nk2
// file, and Outlook 2010 and later leave copies as Stream_Autocomplete_*.dat files.
//
// Layout (all little-endian): metadata (4, 0xBAADF00D), major version (4, must be 12), minor
// version (4), row count (4); each row: its property count (4), each property: tag (4, type in
// the low 16 bits), 4 reserved bytes, an 8-byte value union, then the value's data for the
// variable types (PT_STRING8, PT_UNICODE, PT_BINARY: a 4-byte byte count and the bytes; PT_CLSID:
// 16 bytes; PT_MV_BINARY, PT_MV_STRING8, PT_MV_UNICODE: a 4-byte value count, then each value as
// its single-valued form); after the rows: an extra-information byte count (4), those bytes and 8
// bytes of metadata.
//
// Contract of read_stream: every count and length comes from the bytes and is checked against
// what is left of them before it is used, so a hostile or cut stream ends with one Damage and the
// rows read before it; nothing is read past the end, and nothing is allocated beyond the row list,
// whose length is bounded by the stream's size (a row takes 4 bytes at least). Values are views
// into the caller's bytes: they live as long as those bytes do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace autocomplete {

// The first four bytes of every stream, and the only major version read.
inline constexpr uint32_t kSignature = 0xBAADF00D;
inline constexpr uint32_t kMajorVersion = 12;

// Property tags of a row that become a card.
inline constexpr uint32_t kTagNickname = 0x6001001F;     // PR_NICK_NAME_W: the row's key, first
inline constexpr uint32_t kTagDisplayName = 0x3001001F;  // PR_DISPLAY_NAME_W
inline constexpr uint32_t kTagAddressType = 0x3002001F;  // PR_ADDRTYPE_W: "SMTP", "EX", ...
inline constexpr uint32_t kTagEmailAddress = 0x3003001F; // PR_EMAIL_ADDRESS_W
inline constexpr uint32_t kTagSmtpAddress = 0x39FE001F;  // PR_SMTP_ADDRESS_W
inline constexpr uint32_t kTagDropdownName = 0x6003001F; // PR_DROPDOWN_DISPLAY_NAME_W
inline constexpr uint32_t kTagWeight = 0x60040003;       // PR_NICK_NAME_WEIGHT
inline constexpr uint32_t kTagSearchKey = 0x300B0102;    // PR_SEARCH_KEY ("SMTP:ADDRESS")

// How far a stream could be read. Every value but `none` and `not_a_stream` names damage: the
// rows before it are kept.
enum class Damage : uint8_t
{
    none,           // read to the end of its trailer
    not_a_stream,   // shorter than the 16-byte header, or no signature: nothing read
    version,        // a major version other than 12: nothing read
    row_count,      // more rows declared than the bytes can hold (at least 4 bytes each)
    property_count, // more properties declared in a row than its bytes can hold (16 each)
    length,         // a value's byte count passes the end of the stream
    value_count,    // a multi-value's count passes what is left of the stream (4 bytes each)
    property_type,  // a type the layout does not know: the rest cannot be found
    cut,            // the stream ends inside a row
    trailer,        // the rows are whole, the trailer after them is cut short
};
inline constexpr std::size_t kDamageCount = static_cast<std::size_t>(Damage::trailer) + 1;
// The reason as the scan counts it ("a length past the end of the autocomplete list"); empty for
// none.
std::string_view damage_reason(Damage damage) noexcept;

// One value of a row: its type (the tag's low 16 bits) and its bytes. Texts (PT_UNICODE: UTF-16LE,
// PT_STRING8: 8-bit in the reader's code page) are cut at their first NUL; a fixed type's bytes
// are its 8-byte union.
struct Value
{
    uint16_t type = 0;
    std::span<const uint8_t> bytes;
};

// The values of one row that a card takes; each absent (nullopt) when the row has none. A text
// tag is matched on its id, whatever the type (PT_UNICODE or PT_STRING8), so an 8-bit stream's
// rows read too.
struct Row
{
    std::optional<Value> nickname, display_name, address_type, email_address, smtp_address, dropdown_name, search_key;
    std::optional<uint32_t> weight;
    uint32_t properties = 0; // how many the row holds in all
};

struct Stream
{
    std::vector<Row> rows;
    uint32_t declared_rows = 0; // the header's row count
    Damage damage = Damage::none;
    uint32_t minor_version = 0;
};

// True when `bytes` starts like a stream: the signature and major version 12 (a file offered as
// a stream is told apart from a PST by it).
bool looks_like_stream(std::span<const uint8_t> bytes) noexcept;

// The pieces read_stream reads a stream with, for a reader that has its bytes a part at a time
// (a file read in pieces). Each reads from the front of `bytes` and names damage only by what
// `bytes` hold: what reads whole from some of a stream's bytes reads the same from more of them,
// so a reader with more bytes to come reads again with them before it takes damage as final.
inline constexpr std::size_t kHeaderBytes = 16; // signature, major, minor, row count
// The header: none, not_a_stream or version (nothing else read).
Damage read_header(std::span<const uint8_t> bytes, uint32_t* minor_version, uint32_t* declared_rows) noexcept;
// Whether `rows` rows cannot fit in the `after_header` bytes that follow the header (a row takes
// 4 bytes at least): the damage of any row is then row_count.
constexpr bool more_rows_than_fit(uint32_t rows, std::size_t after_header) noexcept
{
    return rows > after_header / 4;
}
// One row into `row` (emptied first); `*used`: the bytes it took.
Damage read_row(std::span<const uint8_t> bytes, Row& row, std::size_t* used) noexcept;
// The trailer after the rows: none or trailer.
Damage read_trailer(std::span<const uint8_t> bytes) noexcept;

// Reads a whole stream (see the contract above). Never throws for any bytes; only running out of
// memory for the row list (which the stream's size bounds) throws std::bad_alloc.
Stream read_stream(std::span<const uint8_t> bytes);

// A text value as UTF-16 for PT_UNICODE (an odd last byte dropped); an 8-bit one is left to the
// caller's code page (false). For the card builder and the tests.
bool unicode_text(const Value& value, std::u16string& out);

} // namespace autocomplete
