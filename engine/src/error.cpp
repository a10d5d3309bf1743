#include "engine/error.h"

namespace engine {

void error_set(Error* error, const char* function, const char* reason)
{
    if (error == nullptr || error->set()) {
        return;
    }
    error->function = function;
    error->reason = reason;
}

} // namespace engine
