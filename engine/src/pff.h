// A small RAII layer over libpff handles, for the libpff reader.
//
// Each wrapper owns one libpff handle and frees it when destroyed; release() frees it early and
// reports whether libpff could. libpff error objects are freed here and never shown: a failed
// call is reported as false/-1 only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <libpff.h>

namespace engine::pff {

// A libpff error slot: pass out() to a libpff call; the error object is freed with the slot
// (or by clear()).
class ErrorSlot
{
public:
    ErrorSlot() = default;
    ~ErrorSlot() { clear(); }
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;

    libpff_error_t** out()
    {
        clear();
        return &m_error;
    }
    void clear();

private:
    libpff_error_t* m_error = nullptr;
};

// Owns a handle of type T freed by Free(T**, libpff_error_t**).
template <typename T, int (*Free)(T**, libpff_error_t**)> class Handle
{
public:
    Handle() = default;
    explicit Handle(T* h) : m_handle(h) {}
    ~Handle() { release(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : m_handle(std::exchange(o.m_handle, nullptr)) {}
    Handle& operator=(Handle&& o) noexcept
    {
        if (this != &o) {
            release();
            m_handle = std::exchange(o.m_handle, nullptr);
        }
        return *this;
    }

    T* get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    // For libpff calls that create the handle; frees a previous one first.
    T** out()
    {
        release();
        return &m_handle;
    }
    T* take() { return std::exchange(m_handle, nullptr); }
    // Frees the handle now. Returns false when libpff reports a failure (the handle is
    // forgotten either way); true when there was nothing to free.
    bool release()
    {
        if (m_handle == nullptr) {
            return true;
        }
        ErrorSlot error;
        const int result = Free(&m_handle, error.out());
        m_handle = nullptr;
        return result == 1;
    }

private:
    T* m_handle = nullptr;
};

using File = Handle<libpff_file_t, libpff_file_free>;
using Item = Handle<libpff_item_t, libpff_item_free>;
using RecordSet = Handle<libpff_record_set_t, libpff_record_set_free>;
using RecordEntry = Handle<libpff_record_entry_t, libpff_record_entry_free>;

// The entry with stored id `entry_type` of a record set, the name-to-id map left aside (as our
// reader looks values up); `value_type` 0 matches any type. Results as libpff's.
int record_entry_by_type(libpff_record_set_t* set, uint32_t entry_type, uint32_t value_type, RecordEntry* out);
// The stored bytes of a record entry into *out, when there are at most `max_size`.
bool record_entry_bytes(libpff_record_entry_t* entry, size_t max_size, std::vector<uint8_t>* out);

// The UTF-8 string value of an item entry in record set 0 (the folder name reader). These
// wrap libpff calls that its header marks as deprecated but that have no replacement with the
// same behaviour. Results as libpff's: 1 found, 0 absent, -1 error.
int item_entry_utf8_string_size(libpff_item_t* item, uint32_t entry_type, size_t* size);
int item_entry_utf8_string(libpff_item_t* item, uint32_t entry_type, uint8_t* buffer, size_t size);

} // namespace engine::pff
