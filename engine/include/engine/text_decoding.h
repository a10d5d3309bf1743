// 8-bit texts (PT_STRING8) to UTF-16: which Windows code page a message's bytes are in, and
// the decoding itself.
//
// The code page of a message: PidTagMessageCodepage (0x3FFD) as it stands; else the Windows
// code page of the script of PidTagInternetCodepage (0x3FDE, a mail charset such as 50220
// ISO-2022-JP, which stands for 932); else the default ANSI code page of PidTagMessageLocaleId
// (0x3FF1, a Windows LCID such as 1041 ja-JP); else the fallback the user chose (1252 unless
// told otherwise). A value that says nothing about 8-bit bytes (65001 or 1200 in 0x3FDE, an
// unknown number) passes to the next step.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/pst_source.h"

namespace engine {

inline constexpr int kDefaultCodepage = 1252;

// Whether texts can be decoded in `codepage` (1250-1258, 874, 932, 936, 949, 950, 65001).
bool codepage_supported(int codepage);
// The Windows ANSI code page a mail charset (0x3FDE) stands for; 0 when it says nothing.
int ansi_codepage_of_charset(uint32_t cpid);
// The default ANSI code page of a Windows LCID; 0 when unknown or when the language has none.
int ansi_codepage_of_lcid(uint32_t lcid);
// The code page of a message's 8-bit texts (see above).
int message_codepage(const PropertyList& properties, int fallback);
// The properties message_codepage reads: PidTagMessageCodepage, PidTagInternetCodepage and
// PidTagMessageLocale.
inline constexpr uint16_t kMessageCodepageTags[] = {0x3FFD, 0x3FDE, 0x3FF1};

// Appends the UTF-16 form of `bytes`, cut at their first NUL, read in `codepage` (an
// unsupported one reads as 1252): pst::decode_8bit, whose policy for bytes that do not decode
// every reader shares. Thread-safe.
void decode_8bit(std::span<const uint8_t> bytes, int codepage, std::u16string& out);

// The text of a string property (PT_UNICODE, or PT_STRING8 read in `codepage`), cut at its first
// NUL, into `out` (emptied first); false for a property of another type.
bool property_text(const PropertyList& list, const PropertyList::Property& p, int codepage, std::u16string& out);

} // namespace engine
