// The result of an operation that writes: ok, or a reason a person can read. Shared by the PST
// writer and the contact writers.
#pragma once

#include <string>
#include <utility>

namespace pst {

// Ok, or a reason naming what failed ("No such file or directory: /x/y.pst",
// "/out/contacts.csv: No space left on device", ...).
struct Status
{
    bool ok = true;
    std::string message;

    static Status success() { return {}; }
    static Status failure(std::string why) { return {false, std::move(why)}; }
    explicit operator bool() const { return ok; }
};

} // namespace pst
