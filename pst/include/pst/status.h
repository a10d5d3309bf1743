// What an operation of the reader, the writers or the engine did: done (a lookup: found), absent
// (a lookup that found nothing, which is no failure), or failed with a reason a person can read.
// The one way every layer reports a failure; the reason travels up unchanged or with context
// put in front of it.
#pragma once

#include <string>
#include <utility>

namespace pst {

// Ok, or a reason naming what failed ("No such file or directory: /x/y.pst",
// "/out/contacts.csv: No space left on device", "block 0x2a4 at 0x6c40: ...").
struct [[nodiscard]] Status
{
    bool ok = true;      // false: failed, `message` says why
    bool absent = false; // ok, but what was looked up does not exist
    std::string message;

    static Status success() { return {}; }
    static Status none() { return {true, true, {}}; }
    static Status failure(std::string why) { return {false, false, std::move(why)}; }

    // Not a failure (found, done, or absent).
    explicit operator bool() const { return ok; }
    // Done, or found: neither absent nor failed.
    bool found() const { return ok && !absent; }
    // The same failure with `context` put in front of its reason ("table of node 0x8062: " ...).
    Status within(const std::string& context) &&
    {
        if (!ok)
            message.insert(0, context);
        return std::move(*this);
    }
};

} // namespace pst
