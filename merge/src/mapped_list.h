// A list of plain entries in room mapped from the system for it alone, never from the heap: room
// for the most the list may ever hold costs only the pages its entries reach, and all of it goes
// back to the system when the list is let go. (A heap would keep a freed list's pages for its
// next blocks, and a list of each of several threads would sit in a heap of each.)
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

namespace merge {

template <typename T> class MappedList
{
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    MappedList() = default;
    // Room for `most` entries; throws std::bad_alloc when the system has no room to map.
    explicit MappedList(std::size_t most) : m_most(most)
    {
        if (most == 0) {
            return;
        }
        if (most > SIZE_MAX / sizeof(T)) {
            throw std::bad_alloc();
        }
        void* room = ::mmap(nullptr, most * sizeof(T), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (room == MAP_FAILED) {
            throw std::bad_alloc();
        }
        m_data = static_cast<T*>(room);
    }
    ~MappedList() { release(); }
    MappedList(MappedList&& other) noexcept { swap(other); }
    MappedList& operator=(MappedList&& other) noexcept
    {
        MappedList gone(std::move(other));
        swap(gone);
        return *this;
    }
    MappedList(const MappedList&) = delete;
    MappedList& operator=(const MappedList&) = delete;

    // Throws std::length_error past the room asked for (a caller that counted wrong).
    void push_back(const T& entry)
    {
        if (m_size == m_most) {
            throw std::length_error("MappedList: full");
        }
        m_data[m_size++] = entry;
    }
    // Keeps the first `size` entries (no more than it holds).
    void shrink_to(std::size_t size) noexcept { m_size = size < m_size ? size : m_size; }
    // The room goes back to the system; the list is empty and holds no room after.
    void release() noexcept
    {
        if (m_data != nullptr) {
            ::munmap(m_data, m_most * sizeof(T));
        }
        m_data = nullptr;
        m_size = m_most = 0;
    }

    T* begin() noexcept { return m_data; }
    T* end() noexcept { return m_data + m_size; }
    const T* begin() const noexcept { return m_data; }
    const T* end() const noexcept { return m_data + m_size; }
    std::size_t size() const noexcept { return m_size; }
    operator std::span<const T>() const noexcept { return {m_data, m_size}; }

private:
    void swap(MappedList& other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_most, other.m_most);
    }
    T* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_most = 0;
};

} // namespace merge
