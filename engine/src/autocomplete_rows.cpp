#include "autocomplete_rows.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "engine/text_decoding.h"
#include "pst/format.h"
#include "pst/text.h"

namespace engine {

using autocomplete::Damage;

StreamWindow::StreamWindow(std::istream& file, uint64_t size, std::size_t piece)
    : m_file(&file), m_size(size), m_piece(std::max<std::size_t>(piece, 1))
{
}

bool StreamWindow::more()
{
    if (m_file == nullptr || m_read == m_size) {
        return false;
    }
    const std::size_t kept = m_bytes.size();
    // The bytes not yet taken to the front; the room doubled when they fill it, and never more
    // than they and the rest of the file need.
    const std::size_t wanted_room = kept < m_piece / 2 ? m_piece : std::max(m_piece, 2 * kept);
    const std::size_t room = static_cast<std::size_t>(std::min<uint64_t>(wanted_room, kept + (m_size - m_read)));
    if (room > m_room) {
        std::unique_ptr<uint8_t[]> grown(new uint8_t[room]);
        if (kept != 0) {
            std::memcpy(grown.get(), m_bytes.data(), kept);
        }
        m_buffer = std::move(grown);
        m_room = room;
    } else if (kept != 0) {
        std::memmove(m_buffer.get(), m_bytes.data(), kept);
    }
    const std::size_t wanted = static_cast<std::size_t>(std::min<uint64_t>(m_room - kept, m_size - m_read));
    m_file->read(reinterpret_cast<char*>(m_buffer.get() + kept), static_cast<std::streamsize>(wanted));
    const auto got = static_cast<std::size_t>(std::max<std::streamsize>(m_file->gcount(), 0));
    m_read += got;
    if (got < wanted) {
        m_size = m_read;
    }
    m_bytes = std::span<const uint8_t>(m_buffer.get(), kept + got);
    return got != 0;
}

namespace {

// A text value in UTF-16: as stored for PT_UNICODE, else 8-bit in `codepage`.
void text_of(const std::optional<autocomplete::Value>& value, int codepage, RowText& out)
{
    out.units = {};
    out.no_nul = false;
    if (!value) {
        return;
    }
    const std::span<const uint8_t> bytes = value->bytes;
    if (value->type == pst::type_code(pst::PropType::Unicode)) {
        if (out.room_size < bytes.size() / 2) {
            out.room_size = std::max(bytes.size() / 2, 2 * out.room_size);
            out.room = std::make_unique_for_overwrite<char16_t[]>(out.room_size);
        }
        out.units = {out.room.get(), pst::utf16le_to_utf16(bytes.data(), bytes.size(), out.room.get())};
        out.no_nul = true;
    } else {
        out.decoded.clear();
        decode_8bit(bytes, codepage, out.decoded);
        out.units = out.decoded;
    }
}

// The rows of a stream one after another, each row's texts decoded.
class RowReader
{
public:
    RowReader(StreamWindow& window, int codepage, const PrepareRow& prepare)
        : m_window(window), m_codepage(codepage), m_prepare(prepare)
    {
    }

    // The next row's texts into `out`; false once the stream has ended (result() says how).
    bool next(RowTexts& out)
    {
        if (m_ended) {
            return false;
        }
        if (!m_started && !start()) {
            return false;
        }
        if (static_cast<uint32_t>(m_result.rows) == m_declared) {
            end(read_whole([](std::span<const uint8_t> bytes) { return autocomplete::read_trailer(bytes); }));
            return false;
        }
        std::size_t used = 0;
        const Damage damage =
            read_whole([&](std::span<const uint8_t> bytes) { return autocomplete::read_row(bytes, m_row, &used); });
        if (damage != Damage::none) {
            // Against the stream's size as far as it could be read: a file cut while being read
            // counts as the bytes it had.
            const bool too_many =
                autocomplete::more_rows_than_fit(m_declared, m_window.size() - autocomplete::kHeaderBytes);
            end(too_many ? Damage::row_count : damage);
            return false;
        }
        m_window.take(used);
        ++m_result.rows;
        text_of(m_row.display_name, m_codepage, out.name);
        text_of(m_row.address_type, m_codepage, out.type);
        text_of(m_row.email_address, m_codepage, out.address);
        text_of(m_row.smtp_address, m_codepage, out.smtp);
        text_of(m_row.nickname, m_codepage, out.nickname);
        out.weight = m_row.weight;
        m_prepare(out);
        return true;
    }

    const RowsRead& result() const { return m_result; }

private:
    // A damage read from some of the stream's bytes is final only once no more can be read.
    template <typename Read> Damage read_whole(Read read)
    {
        Damage damage = read(m_window.bytes());
        while (damage != Damage::none && m_window.more()) {
            damage = read(m_window.bytes());
        }
        return damage;
    }

    bool start()
    {
        m_started = true;
        uint32_t minor = 0;
        const Damage damage = read_whole(
            [&](std::span<const uint8_t> bytes) { return autocomplete::read_header(bytes, &minor, &m_declared); });
        if (damage != Damage::none) {
            end(damage);
            return false;
        }
        m_window.take(autocomplete::kHeaderBytes);
        return true;
    }

    void end(Damage damage)
    {
        m_ended = true;
        m_result.damage = damage;
    }

    StreamWindow& m_window;
    int m_codepage;
    const PrepareRow& m_prepare;
    bool m_started = false;
    bool m_ended = false;
    uint32_t m_declared = 0;
    autocomplete::Row m_row;
    RowsRead m_result;
};

// Rows handed from the reading thread to the caller's a batch at a time, in a ring of batches:
// the reader fills the batches the caller is not working on and waits when all are full; the
// caller waits when none is.
class RowRing
{
public:
    static constexpr std::size_t kBatches = kRowsAhead / kRowBatch;
    struct Batch
    {
        std::array<RowTexts, kRowBatch> rows;
        std::size_t count = 0;
    };

    // The reader's side: the batch to fill next, nullptr once the caller has stopped.
    Batch* to_fill()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_halt || m_filled - m_taken < kBatches; });
        return m_halt ? nullptr : &m_batches[m_filled % kBatches];
    }
    void filled(bool last)
    {
        {
            const std::lock_guard lock(m_mutex);
            ++m_filled;
            m_ended = last;
        }
        m_changed.notify_one();
    }
    void failed(std::exception_ptr error)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_error = std::move(error);
            m_ended = true;
        }
        m_changed.notify_one();
    }

    // The caller's side: the next filled batch, nullptr once the reader has ended and every
    // batch is taken.
    const Batch* to_take()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_taken < m_filled || m_ended; });
        return m_taken < m_filled ? &m_batches[m_taken % kBatches] : nullptr;
    }
    void taken()
    {
        {
            const std::lock_guard lock(m_mutex);
            ++m_taken;
        }
        m_changed.notify_one();
    }
    void halt()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_halt = true;
        }
        m_changed.notify_one();
    }
    // What the reader threw (read once it has ended).
    std::exception_ptr error() const { return m_error; }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_filled = 0, m_taken = 0; // batches
    bool m_ended = false, m_halt = false;
    std::exception_ptr m_error;
    std::array<Batch, kBatches> m_batches;
};

// Reads on a thread of its own; false when no thread can be had (nothing was read then).
bool read_beside(RowReader& reader, RowRing& ring, const std::function<bool(const RowTexts&)>& take)
{
    std::thread thread;
    try {
        thread = std::thread([&reader, &ring] {
            try {
                for (RowRing::Batch* batch = ring.to_fill(); batch != nullptr; batch = ring.to_fill()) {
                    bool more = true;
                    batch->count = 0;
                    while (batch->count < kRowBatch && (more = reader.next(batch->rows[batch->count]))) {
                        ++batch->count;
                    }
                    ring.filled(!more);
                    if (!more) {
                        return;
                    }
                }
            } catch (...) {
                ring.failed(std::current_exception());
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    // The thread is told to stop and joined on every way out, an exception of `take` included.
    struct Join
    {
        RowRing& ring;
        std::thread& thread;
        ~Join()
        {
            ring.halt();
            thread.join();
        }
    } join{ring, thread};
    for (const RowRing::Batch* batch = ring.to_take(); batch != nullptr; batch = ring.to_take()) {
        for (std::size_t i = 0; i < batch->count; ++i) {
            if (!take(batch->rows[i])) {
                return true;
            }
        }
        ring.taken();
    }
    return true;
}

} // namespace

RowsRead read_rows(StreamWindow& window, int codepage, const PrepareRow& prepare,
                   const std::function<bool(const RowTexts&)>& take)
{
    RowReader reader(window, codepage, prepare);
    if (window.in_pieces()) {
        auto ring = std::make_unique<RowRing>();
        if (read_beside(reader, *ring, take)) {
            if (ring->error()) {
                std::rethrow_exception(ring->error());
            }
            return reader.result();
        }
    }
    RowTexts row;
    while (reader.next(row)) {
        if (!take(row)) {
            break;
        }
    }
    return reader.result();
}

} // namespace engine
