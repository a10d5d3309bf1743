#include "contacts/store_text.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <span>
#include <system_error>
#include <thread>

namespace contacts {

namespace {

// Where a walk over the records to write stands: the record (null past the last) and, for a
// list, its index there.
struct Place
{
    const ContactRecord* record = nullptr;
    std::size_t index = 0;
};

// The records to write, in order: a store's (record after record) or a list's.
class Records
{
public:
    explicit Records(const ContactStore& store) : m_store(&store) {}
    explicit Records(std::span<const ContactRecord* const> list) : m_list(list) {}

    Place first() const { return m_store != nullptr ? Place{m_store->first(), 0} : at(0); }
    Place after(const Place& p) const { return m_store != nullptr ? Place{p.record->next(), 0} : at(p.index + 1); }
    // More than `records`.
    bool more_than(std::size_t records) const
    {
        return m_store != nullptr ? m_store->size() > static_cast<int64_t>(records) : m_list.size() > records;
    }

private:
    Place at(std::size_t index) const { return {index < m_list.size() ? m_list[index] : nullptr, index}; }
    const ContactStore* m_store = nullptr;
    std::span<const ContactRecord* const> m_list;
};

// A store is far larger than the processor's caches and a writer reads a few texts from all over
// each record, so each record would cost several waits on memory: its lines (up to 4 KiB) are
// asked for while the record before it is written, and the header of the one after.
void prefetch(const Records& records, const Place& p)
{
    const ContactRecord* r = p.record;
    if (r == nullptr) {
        return;
    }
    const auto* bytes = reinterpret_cast<const char*>(r);
    const std::size_t size = std::min<std::size_t>(r->footprint(), 4096);
    for (std::size_t at = 0; at < size; at += 64) {
        __builtin_prefetch(bytes + at);
    }
    if (const ContactRecord* after = records.after(p).record; after != nullptr) {
        __builtin_prefetch(after);
    }
}

// Appends the text of up to `count` records from `p` to `text` (emptied first); the place after them.
Place make_piece(const Records& records, Place p, const MakeRecordText& make, std::size_t count, std::string& text)
{
    text.clear();
    for (; p.record != nullptr && count > 0; --count) {
        const Place next = records.after(p);
        prefetch(records, next);
        make(*p.record, text);
        p = next;
    }
    return p;
}

Place skip(const Records& records, Place p, std::size_t count)
{
    for (; p.record != nullptr && count > 0; --count) {
        p = records.after(p);
    }
    return p;
}

bool write_on_one_thread(const Records& records, const MakeRecordText& make,
                         const std::function<bool(std::string_view)>& write, std::size_t per_piece)
{
    std::string text;
    for (Place p = records.first(); p.record != nullptr;) {
        p = make_piece(records, p, make, per_piece, text);
        if (!write(text)) {
            return false;
        }
    }
    return true;
}

// The pieces are numbered from 0: the caller makes the even ones, the helper the odd ones into
// two buffers in turn, at most two ahead of the one the caller writes.
class TwoThreadText
{
public:
    TwoThreadText(const Records& records, const MakeRecordText& make, std::size_t per_piece)
        : m_records(records), m_make(make), m_per_piece(per_piece)
    {
    }

    // False when no thread can be had (nothing has been written then).
    bool start()
    {
        try {
            m_helper = std::thread([this] { make_odd_pieces(); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    bool write_all(const std::function<bool(std::string_view)>& write)
    {
        bool ok = true;
        std::string mine;
        Place r = m_records.first();
        for (std::size_t k = 0; ok && r.record != nullptr; ++k) {
            r = make_piece(m_records, r, m_make, m_per_piece, mine);
            ok = write(mine);
            if (!ok || r.record == nullptr) {
                break;
            }
            // Piece 2k + 1, the helper's: it starts at r.
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] { return m_made > k || m_helper_done; });
                if (m_made <= k) {
                    break; // cannot happen: the helper stops early only when told to
                }
            }
            ok = write(m_theirs[k % 2]);
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_taken = k + 1;
            }
            m_changed.notify_all();
            r = skip(m_records, r, m_per_piece);
        }
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_helper.join();
        return ok;
    }

private:
    void make_odd_pieces()
    {
        Place r = skip(m_records, m_records.first(), m_per_piece);
        for (std::size_t k = 0; r.record != nullptr; ++k) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] { return m_stop || k < m_taken + 2; });
                if (m_stop) {
                    break;
                }
            }
            r = skip(m_records, make_piece(m_records, r, m_make, m_per_piece, m_theirs[k % 2]), m_per_piece);
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_made = k + 1;
            }
            m_changed.notify_all();
        }
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_helper_done = true;
        }
        m_changed.notify_all();
    }

    const Records& m_records;
    const MakeRecordText& m_make;
    const std::size_t m_per_piece;
    std::thread m_helper;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_theirs[2]; // the helper's pieces 2k + 1, by k % 2
    std::size_t m_made = 0;  // the helper's pieces made
    std::size_t m_taken = 0; // the helper's pieces written
    bool m_stop = false, m_helper_done = false;
};

} // namespace

namespace {

bool write_text(const Records& records, const MakeRecordText& make, const std::function<bool(std::string_view)>& write,
                std::size_t records_per_piece)
{
    const std::size_t per_piece = records_per_piece > 0 ? records_per_piece : 1;
    if (records.more_than(2 * per_piece)) {
        TwoThreadText text(records, make, per_piece);
        if (text.start()) {
            return text.write_all(write);
        }
    }
    return write_on_one_thread(records, make, write, per_piece);
}

} // namespace

bool write_store_text(const ContactStore& store, const MakeRecordText& make,
                      const std::function<bool(std::string_view)>& write, std::size_t records_per_piece)
{
    return write_text(Records(store), make, write, records_per_piece);
}

bool write_records_text(std::span<const ContactRecord* const> records, const MakeRecordText& make,
                        const std::function<bool(std::string_view)>& write, std::size_t records_per_piece)
{
    return write_text(Records(records), make, write, records_per_piece);
}

} // namespace contacts
