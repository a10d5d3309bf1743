// Texts as PST files hold them (UTF-16LE, and 8-bit strings in a Windows code page) and as the
// program passes them on (UTF-8, UTF-16): the one place where they are converted. No Qt.
//
// Policy for bytes that do not decode, everywhere: each invalid byte (an ill-formed UTF-8 byte, a
// byte or a byte pair the code page does not define) becomes one U+FFFD and decoding goes on at
// the next byte; a multi-byte sequence cut off by the end of the text becomes one U+FFFD. Nothing
// is dropped silently and nothing is guessed: the same bytes give the same text in every reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pst {

// ---- UTF-8 and UTF-16

// Appends the UTF-16 form of `utf8` to `out`; returns the code units appended. Overlong forms,
// surrogates and values above U+10FFFF are invalid bytes (see above).
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
// The 16-bit units at `units` (any alignment, either byte order) before the first zero unit;
// `count` when there is none.
std::size_t units_before_nul(const void* units, std::size_t count);

// ---- 8-bit texts in Windows code pages

inline constexpr uint32_t kUtf8Codepage = 65001;
inline constexpr uint32_t kWesternCodepage = 1252;

// Whether texts convert both ways in `codepage` (Windows and ISO code pages, 65001, mail
// charsets such as 50220 ISO-2022-JP, as far as the system's iconv knows them).
bool codepage_known(uint32_t codepage);

// Appends the UTF-16 form of `bytes` read in `codepage`, up to their first NUL byte. Invalid
// bytes follow the policy above; a code page that is not known reads as 1252. Thread-safe.
void decode_8bit(std::span<const uint8_t> bytes, uint32_t codepage, std::u16string& out);
std::u16string decode_8bit(std::string_view bytes, uint32_t codepage);

// The bytes of `utf8` in `codepage`. A character the code page has no bytes for becomes '?',
// or, when `strict`, makes the result nullopt; nullopt too when the code page is not known.
std::optional<std::string> encode_8bit(std::string_view utf8, uint32_t codepage, bool strict);

} // namespace pst
