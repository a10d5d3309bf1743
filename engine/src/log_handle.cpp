#include "engine/log_handle.h"

#include <new>

namespace engine {

int log_handle_initialize(log_handle_t** handle, Error* error)
{
    if (handle == nullptr) {
        error_set(error, "log_handle_initialize", "missing handle reference");
        return -1;
    }
    if (*handle != nullptr) {
        return 1;
    }
    *handle = new (std::nothrow) log_handle_t();
    if (*handle == nullptr) {
        error_set(error, "log_handle_initialize", "out of memory");
        return -1;
    }
    return 1;
}

int log_handle_open(log_handle_t* handle, const char* filename, Error* error)
{
    if (handle == nullptr) {
        error_set(error, "log_handle_open", "missing handle");
        return -1;
    }
    if (filename == nullptr) {
        return 1;
    }
    handle->stream = std::fopen(filename, "a");
    if (handle->stream == nullptr) {
        error_set(error, "log_handle_open", "cannot open the log file");
        return -1;
    }
    return 1;
}

int log_handle_close(log_handle_t* handle, Error* error)
{
    if (handle == nullptr) {
        error_set(error, "log_handle_close", "missing handle");
        return -1;
    }
    if (handle->stream == nullptr) {
        return 0;
    }
    const int result = std::fclose(handle->stream);
    handle->stream = nullptr;
    if (result != 0) {
        error_set(error, "log_handle_close", "cannot close the log file");
        return -1;
    }
    return 0;
}

int log_handle_free(log_handle_t** handle, Error* error)
{
    if (handle == nullptr) {
        error_set(error, "log_handle_free", "missing handle reference");
        return -1;
    }
    delete *handle;
    *handle = nullptr;
    return 1;
}

} // namespace engine
