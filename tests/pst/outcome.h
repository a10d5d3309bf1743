// A reader call's result as the tests state it: 1 done or found, 0 absent, -1 failed, with the
// failure's reason in *why, so that one assertion pins both the result and what it reports.
#pragma once

#include "pst/status.h"

#include <string>

namespace pst_test {

inline int outcome(const pst::Status& status, std::string* why = nullptr)
{
    if (why && !status)
        *why = status.message;
    return !status ? -1 : status.absent ? 0 : 1;
}

} // namespace pst_test
