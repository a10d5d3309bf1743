// The rows of an Autocomplete Stream as the card builder takes them: read from the stream's bytes
// (all of them in memory, or a file read a piece at a time) and their texts decoded, handed over
// in order; for a file of more than one piece, read on a thread of their own while the caller
// makes the cards of the rows before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "autocomplete/stream.h"
#include "contacts/contact_record.h"

namespace engine {

// The bytes of a stream from the first not yet read: all of them for a stream in memory, or a
// window over a file read a piece at a time, which grows only for a row larger than a piece.
class StreamWindow
{
public:
    explicit StreamWindow(std::span<const uint8_t> bytes) : m_bytes(bytes), m_size(bytes.size()) {}
    // A file of `size` bytes, read `piece` bytes at a time (at least one).
    StreamWindow(std::istream& file, uint64_t size, std::size_t piece);

    std::span<const uint8_t> bytes() const { return m_bytes; }
    // The stream's size, as far as it could be read.
    uint64_t size() const { return m_size; }
    // Whether the stream is a file larger than one piece.
    bool in_pieces() const { return m_file != nullptr && m_size > m_piece; }
    void take(std::size_t n) { m_bytes = m_bytes.subspan(n); }

    // Reads more of the file after the window's bytes; false when there is no more (all of it is
    // read, or it is a stream in memory). A file that ends early, or a read that fails, ends the
    // stream at what was read. Throws std::bad_alloc when room cannot be had.
    bool more();

private:
    std::span<const uint8_t> m_bytes;
    std::istream* m_file = nullptr;
    uint64_t m_size = 0;
    uint64_t m_read = 0;
    std::size_t m_piece = 0;
    std::unique_ptr<uint8_t[]> m_buffer;
    std::size_t m_room = 0;
};

// A value's text in UTF-16, and whether it is known to hold no NUL (a record then takes its length
// as it is instead of looking for one). A Unicode text is copied into room of its own, kept from
// row to row and never filled beforehand; an 8-bit one is decoded into `decoded`.
struct RowText
{
    std::u16string_view units;
    bool no_nul = false;
    std::unique_ptr<char16_t[]> room;
    std::size_t room_size = 0;
    std::u16string decoded;
    bool empty() const { return units.empty(); }
};

// The values of a row that a card takes; a text absent from the row is empty. `identity` is the
// reader's caller's own, made by its `prepare` where the row is read.
struct RowTexts
{
    RowText name, type, address, smtp, nickname;
    std::optional<uint32_t> weight;
    contacts::ContactIdentity identity{};
};
using PrepareRow = std::function<void(RowTexts&)>;

// What reading a stream's rows came to: the rows read whole, and why the stream was not read to
// its end (none when it was).
struct RowsRead
{
    int32_t rows = 0;
    autocomplete::Damage damage = autocomplete::Damage::none;
};

// Reads the stream in `window` row by row (8-bit texts in `codepage`), has `prepare` make what it
// will of each row where the row is read, and hands each row's texts to `take`, in order, on the
// caller's thread; `take` returns false to stop, and nothing more is read.
// A file in more than one piece is read on a thread of its own, rows ahead of `take` (at most
// kRowsAhead), when a thread can be had. Throws std::bad_alloc, from either thread, when memory
// runs out; the thread has ended whenever this returns or throws.
inline constexpr std::size_t kRowBatch = 64;
inline constexpr std::size_t kRowsAhead = 4 * kRowBatch;
RowsRead read_rows(StreamWindow& window, int codepage, const PrepareRow& prepare,
                   const std::function<bool(const RowTexts&)>& take);

} // namespace engine
