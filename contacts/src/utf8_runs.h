// Writing UTF-16 texts as UTF-8 a character at a time, for writers that escape or quote ASCII
// characters on the way: runs of ASCII that stand as they are are found and copied eight code
// units at a time, every run of other code units goes through utf16_to_utf8 (the one place for
// surrogates and U+FFFD). The bytes are utf16_to_utf8's for the whole text: a run ends only at an
// ASCII character, so no surrogate pair is ever split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "contacts/text.h"

namespace contacts {

// Eight code units side by side (GCC's and Clang's portable vector type): comparing a block
// with a value gives all bits set in the lanes where it holds. Comparisons combine with '|'
// (Clang has no '||' on vectors).
using UnitBlock = uint16_t __attribute__((vector_size(16)));
inline constexpr std::size_t kBlockUnits = 8;

inline UnitBlock load_block(const char16_t* units)
{
    UnitBlock block;
    std::memcpy(&block, units, sizeof block);
    return block;
}

// Whether any lane of a comparison's result is set.
template <typename Lanes> bool any_lane(Lanes lanes)
{
    static_assert(sizeof lanes == 16);
    uint64_t half[2];
    std::memcpy(half, &lanes, sizeof half);
    return (half[0] | half[1]) != 0;
}

// Whether any code unit of `text` is one `special` marks (the block test) or `is_special` (the
// one-unit test) takes; both must agree.
template <typename Special, typename IsSpecial>
bool any_special(std::u16string_view text, Special special, IsSpecial is_special)
{
    std::size_t i = 0;
    for (; i + kBlockUnits <= text.size(); i += kBlockUnits) {
        if (any_lane(special(load_block(text.data() + i)))) {
            return true;
        }
    }
    for (; i < text.size(); ++i) {
        if (is_special(text[i])) {
            return true;
        }
    }
    return false;
}

// The end of the run of code units from text[i] that a writer keeps as they stand: whole blocks
// while none of their lanes is `special`, then unit by unit while `is_plain`.
template <typename Special, typename IsPlain>
std::size_t plain_run_end(std::u16string_view text, std::size_t i, Special special, IsPlain is_plain)
{
    while (i + kBlockUnits <= text.size() && !any_lane(special(load_block(text.data() + i)))) {
        i += kBlockUnits;
    }
    while (i < text.size() && is_plain(text[i])) {
        ++i;
    }
    return i;
}

// Appends text that is all ASCII (U+0000 to U+007F) as its bytes.
inline void append_ascii(std::u16string_view ascii, std::string& out)
{
    using ByteBlock = uint8_t __attribute__((vector_size(8)));
    const std::size_t start = out.size();
    out.resize(start + ascii.size());
    char* p = out.data() + start;
    std::size_t i = 0;
    for (; i + kBlockUnits <= ascii.size(); i += kBlockUnits) {
        const ByteBlock bytes = __builtin_convertvector(load_block(ascii.data() + i), ByteBlock);
        std::memcpy(p + i, &bytes, sizeof bytes);
    }
    for (; i < ascii.size(); ++i) {
        p[i] = static_cast<char>(ascii[i]);
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
