// The log handle: an optional log stream. The scan opens it without a file name, so no log
// file exists; the operations keep the engine's calling convention (1 success, -1 error).
#pragma once

#include <cstdio>

#include "engine/error.h"

namespace engine {

struct log_handle_t
{
    std::FILE* stream = nullptr;
};

// Creates a handle without a stream in *handle. Answers 1 and changes nothing when *handle
// already holds one; -1 without a reference or when memory runs out.
int log_handle_initialize(log_handle_t** handle, Error* error);
// With no file name (nullptr): 1, no stream. Otherwise opens the file for appending in text
// mode; -1 when it cannot be opened or without a handle.
int log_handle_open(log_handle_t* handle, const char* filename, Error* error);
// Closes the stream: 0 when it was closed or there was none; -1 when closing failed or
// without a handle.
int log_handle_close(log_handle_t* handle, Error* error);
// Releases the handle (closes nothing) and empties *handle; 1, or -1 without a reference.
int log_handle_free(log_handle_t** handle, Error* error);

} // namespace engine
