// The error out-parameter of the scan engine's operations.
//
// Every engine operation takes an `Error*` last (nullptr when the caller does not care). On
// failure it records where and why, for tests and debugging; nothing of it is shown to the user.
#pragma once

#include <string>

namespace engine {

struct Error
{
    std::string function; // the operation that failed first
    std::string reason;   // a short description (libpff's own text is not kept)

    void clear()
    {
        function.clear();
        reason.clear();
    }
    bool set() const { return !function.empty(); }
};

// Records a failure in `error` unless it already holds one (the innermost failure is kept).
void error_set(Error* error, const char* function, const char* reason);

} // namespace engine
