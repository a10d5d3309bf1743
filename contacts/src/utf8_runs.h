// Writing UTF-16 texts as UTF-8 a character at a time, for writers that escape or quote ASCII
// characters on the way: ASCII is theirs to append, every run of other code units goes through
// utf16_to_utf8 (the one place for surrogates and U+FFFD). The bytes are utf16_to_utf8's for the
// whole text: a run ends only at an ASCII character, so no surrogate pair is ever split.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "contacts/text.h"

namespace contacts {

// Appends text that is all ASCII (U+0000 to U+007F) as its bytes.
inline void append_ascii(std::u16string_view ascii, std::string& out)
{
    const std::size_t start = out.size();
    out.resize(start + ascii.size());
    char* p = out.data() + start;
    for (const char16_t c : ascii) {
        *p++ = static_cast<char>(c);
    }
}

// Appends the run of code units of U+0080 and above that starts at text[i]; returns the index
// after it.
inline std::size_t append_non_ascii_run(std::u16string_view text, std::size_t i, std::string& out)
{
    std::size_t end = i;
    while (end < text.size() && text[end] >= 0x80) {
        ++end;
    }
    utf16_to_utf8(text.substr(i, end - i), out);
    return end;
}

} // namespace contacts
