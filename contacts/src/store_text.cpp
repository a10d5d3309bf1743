#include "contacts/store_text.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace contacts {

namespace {

// A store is far larger than the processor's caches and a writer reads a few texts from all over
// each record, so each record would cost several waits on memory: its lines (up to 4 KiB) are
// asked for while the record before it is written, and the header of the one after.
void prefetch(const ContactRecord* r)
{
    if (r == nullptr) {
        return;
    }
    const auto* bytes = reinterpret_cast<const char*>(r);
    const std::size_t size = std::min<std::size_t>(r->footprint(), 4096);
    for (std::size_t at = 0; at < size; at += 64) {
        __builtin_prefetch(bytes + at);
    }
    if (const ContactRecord* after = r->next(); after != nullptr) {
        __builtin_prefetch(after);
    }
}

// Appends the text of up to `count` records from `r` to `text` (emptied first); the record after them.
const ContactRecord* make_piece(const ContactRecord* r, const MakeRecordText& make, std::size_t count,
                                std::string& text)
{
    text.clear();
    for (; r != nullptr && count > 0; --count) {
        const ContactRecord* next = r->next();
        prefetch(next);
        make(*r, text);
        r = next;
    }
    return r;
}

const ContactRecord* skip(const ContactRecord* r, std::size_t count)
{
    for (; r != nullptr && count > 0; --count) {
        r = r->next();
    }
    return r;
}

bool write_on_one_thread(const ContactStore& store, const MakeRecordText& make,
                         const std::function<bool(std::string_view)>& write, std::size_t per_piece)
{
    std::string text;
    for (const ContactRecord* r = store.first(); r != nullptr;) {
        r = make_piece(r, make, per_piece, text);
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
    TwoThreadText(const ContactStore& store, const MakeRecordText& make, std::size_t per_piece)
        : m_store(store), m_make(make), m_per_piece(per_piece)
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
        const ContactRecord* r = m_store.first();
        for (std::size_t k = 0; ok && r != nullptr; ++k) {
            r = make_piece(r, m_make, m_per_piece, mine);
            ok = write(mine);
            if (!ok || r == nullptr) {
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
            r = skip(r, m_per_piece);
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
        const ContactRecord* r = skip(m_store.first(), m_per_piece);
        for (std::size_t k = 0; r != nullptr; ++k) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] { return m_stop || k < m_taken + 2; });
                if (m_stop) {
                    break;
                }
            }
            r = skip(make_piece(r, m_make, m_per_piece, m_theirs[k % 2]), m_per_piece);
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

    const ContactStore& m_store;
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

bool write_store_text(const ContactStore& store, const MakeRecordText& make,
                      const std::function<bool(std::string_view)>& write, std::size_t records_per_piece)
{
    const std::size_t per_piece = records_per_piece > 0 ? records_per_piece : 1;
    if (store.size() > static_cast<int64_t>(2 * per_piece)) {
        TwoThreadText text(store, make, per_piece);
        if (text.start()) {
            return text.write_all(write);
        }
    }
    return write_on_one_thread(store, make, write, per_piece);
}

} // namespace contacts
