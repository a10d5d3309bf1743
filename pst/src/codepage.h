// Conversion of 8-bit strings in a Windows code page to UTF-16.
#pragma once

#include <cstdint>
#include <string>

namespace pst::detail {

// Decodes `bytes` in Windows code page `codepage` (1252, 1251, 932, 65001 ...). Bytes the
// code page does not define are taken as Latin-1, so nothing is dropped.
std::u16string decode_codepage(const std::string& bytes, uint32_t codepage);

} // namespace pst::detail
