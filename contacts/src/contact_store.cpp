#include "contacts/contact_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include <sys/mman.h>

namespace contacts {

namespace {

void write_to_stderr(std::u16string_view text, std::u16string_view caption)
{
    std::string line;
    for (char16_t c : caption) {
        line.push_back(static_cast<char>(c < 0x80 ? c : '?'));
    }
    line += ": ";
    for (char16_t c : text) {
        line.push_back(static_cast<char>(c < 0x80 ? c : '?'));
    }
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

std::atomic<OutOfMemoryHandler> g_out_of_memory{&write_to_stderr};
std::atomic<bool> g_fail_next_build{false};

} // namespace

OutOfMemoryHandler set_out_of_memory_handler(OutOfMemoryHandler handler) noexcept
{
    return g_out_of_memory.exchange(handler != nullptr ? handler : &write_to_stderr);
}

ContactStore::~ContactStore()
{
    contact_store_clear(*this);
}

ContactStore& contact_store_instance() noexcept
{
    static ContactStore store;
    return store;
}

void fail_next_record_build_for_test() noexcept
{
    g_fail_next_build.store(true);
}

void ContactStore::ChunkUnmap::operator()(unsigned char* chunk) const noexcept
{
    ::munmap(chunk, size);
}

ContactRecordPtr ContactStore::build(const ContactDraft& draft) noexcept
{
    constexpr std::size_t kChunk = 1 << 20;
    constexpr std::size_t kPage = 4096; // a multiple of any page size: mmap rounds up to it
    ContactRecord::Plan plan;
    ContactRecord::plan_for(draft, plan);
    const std::size_t bytes = plan.bytes;
    if (bytes == 0) {
        return nullptr;
    }
    const std::size_t aligned = (bytes + 7) & ~std::size_t{7};
    if (m_chunks.empty() || m_chunk_size - m_chunk_used < aligned) {
        const std::size_t size = std::max(kChunk, (aligned + kPage - 1) & ~(kPage - 1));
        try {
            m_chunks.reserve(m_chunks.size() + 1);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        void* chunk = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (chunk == MAP_FAILED) {
            return nullptr;
        }
        m_chunks.emplace_back(static_cast<unsigned char*>(chunk), ChunkUnmap{size});
        m_chunk_size = size;
        m_chunk_used = 0;
    }
    void* memory = m_chunks.back().get() + m_chunk_used;
    m_chunk_used += aligned;
    return ContactRecordPtr(ContactRecord::build_in(memory, plan, draft, true));
}

ContactRecordPtr contact_record_build(ContactStore& store, const ContactDraft& draft)
{
    ContactRecordPtr record = g_fail_next_build.exchange(false) ? nullptr : store.build(draft);
    if (!record) {
        const auto caption = store.empty() ? kOutOfMemoryCaptionEmpty : kOutOfMemoryCaptionFilled;
        g_out_of_memory.load()(kOutOfMemoryText, caption);
        std::_Exit(kOutOfMemoryExitStatus);
    }
    return record;
}

int contact_store_append(ContactStore& store, ContactRecordPtr record) noexcept
{
    if (!record) {
        return -1;
    }
    ContactRecord* r = record.release();
    r->m_next.store(nullptr, std::memory_order_relaxed);
    if (store.m_last == nullptr) {
        store.m_first.store(r, std::memory_order_release);
    } else {
        store.m_last->m_next.store(r, std::memory_order_release);
    }
    store.m_last = r;
    store.m_heap_records += r->m_in_arena ? 0 : 1;
    store.m_size.fetch_add(1, std::memory_order_release);
    return 1;
}

const ContactRecord* contact_store_find(const ContactStore& store, int32_t number) noexcept
{
    for (const ContactRecord* r = store.first(); r != nullptr; r = r->next()) {
        if (r->number() == number) {
            return r;
        }
    }
    return nullptr;
}

void contact_store_clear(ContactStore& store) noexcept
{
    ContactRecord* r = store.m_first.exchange(nullptr, std::memory_order_acq_rel);
    store.m_last = nullptr;
    store.m_size.store(0, std::memory_order_release);
    // Records in the chunks go with them: only heap records are freed one by one, and a store of
    // none is not walked (a million records lie in 2 GB).
    while (r != nullptr && store.m_heap_records != 0) {
        ContactRecord* next = r->m_next.load(std::memory_order_acquire);
        ContactRecordDeleter{}(r); // heap records; arena records go with the chunks below
        r = next;
    }
    store.m_heap_records = 0;
    store.m_chunks.clear();
    store.m_chunk_used = 0;
    store.m_chunk_size = 0;
    store.m_sources.clear();
}

} // namespace contacts
