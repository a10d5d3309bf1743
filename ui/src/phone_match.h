// Phone numbers in find: a number is found by its digits, whatever separators it was written
// or typed with.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ui {

// Appends to `out` a line with the digits and plus signs of its part from `from` (a folded
// number), unless that part has no digit or nothing else.
void appendNumberLine(std::string& out, std::size_t from);

// The digits of a phone term ("030-1234" gives "0301234"); empty for any other term.
std::string phoneDigits(std::string_view term);

} // namespace ui
