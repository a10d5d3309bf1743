#include "engine/error.h"

#include <string>

namespace engine {

void error_set(Error* error, const char* function, std::string_view reason)
{
    if (error == nullptr || !*error) {
        return;
    }
    std::string message(function);
    message += ": ";
    message += reason;
    *error = pst::Status::failure(std::move(message));
}

} // namespace engine
