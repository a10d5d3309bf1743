#include "phone_match.h"

namespace ui {
namespace {

bool isDigitOrPlus(char c)
{
    return (c >= '0' && c <= '9') || c == '+';
}

} // namespace

void appendNumberLine(std::string& out, std::size_t from)
{
    const size_t end = out.size();
    out += '\n';
    bool digit = false;
    for (size_t i = from; i < end; ++i) {
        const char c = out[i];
        if (isDigitOrPlus(c)) {
            out += c;
            digit = digit || c != '+';
        }
    }
    if (!digit || out.size() - end - 1 == end - from)
        out.resize(end);
}

std::string phoneDigits(std::string_view term)
{
    constexpr std::string_view kPhoneCharacters = "0123456789+-()./";
    if (term.find_first_not_of(kPhoneCharacters) != std::string_view::npos)
        return {};
    std::string digits(term);
    appendNumberLine(digits, 0);
    return digits.size() == term.size() ? std::string() : digits.substr(term.size() + 1);
}

} // namespace ui
