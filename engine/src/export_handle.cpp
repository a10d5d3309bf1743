#include "engine/export_handle.h"

#include <climits>
#include <new>
#include <string_view>

#include "contacts/text.h"
#include "engine/contact_extraction.h"
#include "engine/pause_gate.h"
#include "extraction_state.h"

namespace engine {

export_handle_t::export_handle_t() = default;
export_handle_t::~export_handle_t() = default;

int export_handle_initialize(export_handle_t** handle, Error* error)
{
    if (handle == nullptr) {
        error_set(error, "export_handle_initialize", "missing handle reference");
        return -1;
    }
    if (*handle != nullptr) {
        return 1;
    }
    *handle = new (std::nothrow) export_handle_t();
    if (*handle == nullptr) {
        error_set(error, "export_handle_initialize", "out of memory");
        return -1;
    }
    return 1;
}

int export_handle_free(export_handle_t** handle, Error* error)
{
    if (handle == nullptr) {
        error_set(error, "export_handle_free", "missing handle reference");
        return -1;
    }
    delete *handle;
    *handle = nullptr;
    return 1;
}

int export_handle_test_abort(export_handle_t* handle)
{
    if (handle->gate != nullptr && handle->gate->checkpoint()) {
        handle->abort = 1;
    }
    return handle->abort;
}

namespace {

// Code units that may not appear in a file name, as a 128-bit set over ASCII.
constexpr bool must_replace(char16_t c)
{
    if (c >= 0x01 && c <= 0x1F) {
        return true;
    }
    constexpr std::u16string_view kSet = u"!\"$%&'*+/:;<>?@\\`~";
    return c < 0x80 && kSet.find(c) != std::u16string_view::npos;
}

} // namespace

int export_handle_sanitize_filename(export_handle_t* handle, char16_t* name, size_t name_size, Error* error)
{
    if (handle == nullptr || name == nullptr) {
        error_set(error, "export_handle_sanitize_filename", "missing argument");
        return -1;
    }
    if (name_size > static_cast<size_t>(INT32_MAX)) {
        error_set(error, "export_handle_sanitize_filename", "name size out of bounds");
        return -1;
    }
    for (size_t i = 0; i < name_size; ++i) {
        if (must_replace(name[i])) {
            name[i] = u'_';
        }
    }
    return 1;
}

int export_handle_create_target_path(export_handle_t* handle, const char16_t* parent_path, size_t parent_path_size,
                                     const uint8_t* name, ptrdiff_t name_size, std::unique_ptr<char16_t[]>* target_path,
                                     size_t* target_path_size, Error* error)
{
    constexpr const char* kFunction = "export_handle_create_target_path";
    if (handle == nullptr || parent_path == nullptr || name == nullptr || target_path == nullptr ||
        target_path_size == nullptr || parent_path_size == 0) {
        error_set(error, kFunction, "missing argument");
        return -1;
    }
    if (name_size < 0 || *target_path) {
        error_set(error, kFunction, "invalid name size or target already set");
        return -1;
    }
    *target_path_size = 0;
    std::string_view utf8(reinterpret_cast<const char*>(name), static_cast<size_t>(name_size));
    utf8 = utf8.substr(0, utf8.find('\0'));
    if (!contacts::utf8_is_valid(utf8)) {
        error_set(error, kFunction, "name is not valid UTF-8");
        return -1;
    }
    // Upper bound of the converted size, then the exact one after conversion.
    const size_t bound = parent_path_size + utf8.size() + 1;
    std::unique_ptr<char16_t[]> path(new (std::nothrow) char16_t[bound]);
    if (!path) {
        error_set(error, kFunction, "out of memory");
        return -1;
    }
    std::char_traits<char16_t>::copy(path.get(), parent_path, parent_path_size);
    path[parent_path_size - 1] = u'\\';
    char16_t* converted = path.get() + parent_path_size;
    const size_t n = contacts::utf8_to_utf16(utf8, converted) + 1;
    converted[n - 1] = u'\0';
    if (export_handle_sanitize_filename(handle, converted, n, error) != 1) {
        return -1;
    }
    *target_path = std::move(path);
    *target_path_size = parent_path_size + n;
    return 1;
}

} // namespace engine
