// The contact store: the chain of every contact record found since it was last cleared, in the
// order found, and the sequence counter that numbers them.
//
// Threads: one thread appends (the scan); any number of threads may walk the chain at the same
// time (first(), ContactRecord::next(), contact_store_find): a record is published with a
// release store only when complete, and readers load links with acquire. Records never change
// once linked. contact_store_clear must not overlap an append or a walk: the caller guarantees
// that no scan, list fill or conversion can read the store while it clears it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "contacts/contact_record.h"
#include "contacts/contact_sources.h"
#include "contacts/messages.h"

namespace contacts {

class ContactStore
{
public:
    ContactStore() = default;
    ~ContactStore(); // releases every record
    ContactStore(const ContactStore&) = delete;
    ContactStore& operator=(const ContactStore&) = delete;

    // The first record, or nullptr when the store is empty. Follow ContactRecord::next().
    const ContactRecord* first() const noexcept { return m_first.load(std::memory_order_acquire); }
    bool empty() const noexcept { return first() == nullptr; }

    // Advances the sequence counter and returns the new value: 1 for the first contact of the
    // process. Clearing the store does not reset it, so numbers stay unique. Scan thread only.
    int32_t next_number() noexcept { return m_sequence.fetch_add(1, std::memory_order_relaxed) + 1; }
    // The last number handed out (0 before the first).
    int32_t last_number() const noexcept { return m_sequence.load(std::memory_order_relaxed); }

    // Records in the store (kept for progress and tests; the chain itself has no count).
    int64_t size() const noexcept { return m_size.load(std::memory_order_acquire); }

    // The files scanned into the store and the folders its records came from (contact_source).
    // Scan thread only for adding; cleared with the records.
    ContactSources& sources() noexcept { return m_sources; }
    const ContactSources& sources() const noexcept { return m_sources; }

private:
    friend int contact_store_append(ContactStore& store, ContactRecordPtr record) noexcept;
    friend void contact_store_clear(ContactStore& store) noexcept;
    friend ContactRecordPtr contact_record_build(ContactStore& store, const ContactDraft& draft);

    // Builds a record in the arena; nullptr when memory runs out.
    ContactRecordPtr build(const ContactDraft& draft) noexcept;

    std::atomic<ContactRecord*> m_first{nullptr};
    ContactRecord* m_last = nullptr; // tail, touched by the appending thread only
    std::size_t m_heap_records = 0;  // appended records that are not in the chunks (make())
    std::atomic<int32_t> m_sequence{0};
    std::atomic<int64_t> m_size{0};
    ContactSources m_sources;
    // Records live in large chunks rather than one heap block each: fewer allocations, and no
    // interleaving with the reader's many short-lived ones. Each chunk is mapped with its pages
    // in place (one system call for its 256 pages, not a fault for each as the records fill
    // them). Touched by the appending thread.
    struct ChunkUnmap
    {
        std::size_t size = 0;
        void operator()(unsigned char* chunk) const noexcept;
    };
    std::vector<std::unique_ptr<unsigned char[], ChunkUnmap>> m_chunks;
    std::size_t m_chunk_used = 0;
    std::size_t m_chunk_size = 0;
};

// The process-wide store the window and the converter use.
ContactStore& contact_store_instance() noexcept;

// Builds a record from `draft` for appending to `store`, in the store's memory (the record is
// released by contact_store_clear, also when it was never appended). When memory runs out,
// reports "Not
// Enough Memory" through the out-of-memory handler (caption "Tressoly Pelimoor" when the store
// is empty, "Pelimoor" when it holds records) and ends the process with
// kOutOfMemoryExitStatus; it never returns nullptr.
ContactRecordPtr contact_record_build(ContactStore& store, const ContactDraft& draft);

// Links `record` after the last record in O(1); the store owns it from now on and the pointer
// stays valid until contact_store_clear. Returns 1; a null record changes nothing and gives -1.
int contact_store_append(ContactStore& store, ContactRecordPtr record) noexcept;

// The first record whose number equals `number`, walking from the first; nullptr when none has.
const ContactRecord* contact_store_find(const ContactStore& store, int32_t number) noexcept;

// Releases every record and its sources and leaves the store empty; the sequence counter goes on.
void contact_store_clear(ContactStore& store) noexcept;

// Out of memory while building a record. The handler shows the text and caption (the window
// shows an error box and returns when it is dismissed); the process then ends with
// kOutOfMemoryExitStatus. The default handler writes the text to standard error.
inline constexpr int kOutOfMemoryExitStatus = 1;
inline constexpr std::u16string_view kOutOfMemoryText = u"Not Enough Memory";
inline constexpr std::u16string_view kOutOfMemoryCaptionEmpty = kCaption;
inline constexpr std::u16string_view kOutOfMemoryCaptionFilled = u"Pelimoor";
using OutOfMemoryHandler = void (*)(std::u16string_view text, std::u16string_view caption);
// Installs `handler` (nullptr restores the default) and returns the previous one.
OutOfMemoryHandler set_out_of_memory_handler(OutOfMemoryHandler handler) noexcept;

// Test seam: the next contact_record_build behaves as if memory had run out.
void fail_next_record_build_for_test() noexcept;

} // namespace contacts
