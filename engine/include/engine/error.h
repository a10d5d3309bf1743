// The error out-parameter of the scan engine's handle operations: the one failure type of every
// layer (pst::Status), filled in as "<operation>: <reason>".
//
// The handle operations keep their own results (1, 0, -1) and take an `Error*` last (nullptr
// when the caller does not care). On failure it records where and why, for tests and debugging;
// nothing of it is shown to the user.
#pragma once

#include <string_view>

#include "pst/status.h"

namespace engine {

using Error = pst::Status;

// Records a failure of `function` in `error` unless it already holds one (the innermost failure
// is kept).
void error_set(Error* error, const char* function, std::string_view reason);

} // namespace engine
