// UTF-8 / UTF-16 conversion for record texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace contacts {

// Appends the UTF-16 form of `utf8` to `out`. Invalid or truncated sequences become U+FFFD
// each; conversion never fails. Returns the number of code units appended.
std::size_t utf8_to_utf16(std::string_view utf8, std::u16string& out);
// Decodes into `out`, which must have room for utf8.size() code units (the UTF-16 form is
// never longer). Returns the number of code units written.
std::size_t utf8_to_utf16(std::string_view utf8, char16_t* out);

// Whether `utf8` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool utf8_is_valid(std::string_view utf8);

// Appends the UTF-8 form of `utf16` to `out`. Unpaired surrogates become U+FFFD.
void utf16_to_utf8(std::u16string_view utf16, std::string& out);
std::string utf16_to_utf8(std::u16string_view utf16);

// Copies UTF-16LE bytes (as stored in a file) into `out` (room for size / 2 code units),
// stopping at the first NUL code unit; an odd last byte is dropped. Returns the code units.
std::size_t utf16le_to_utf16(const uint8_t* bytes, std::size_t size, char16_t* out);

} // namespace contacts
