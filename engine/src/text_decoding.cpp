#include "engine/text_decoding.h"

#include <iterator>
#include <optional>

#include "pst/little_endian.h"
#include "pst/text.h"

namespace engine {

namespace {

constexpr int kUtf8 = static_cast<int>(pst::kUtf8Codepage);

// Mail charsets (0x3FDE values) and the ANSI code page of their script.
struct CharsetRow
{
    uint32_t cpid;
    int ansi;
};
constexpr CharsetRow kCharsets[] = {
    {50220, 932},  {50221, 932},  {50222, 932},  {51932, 932},  {20932, 932},  {20127, 1252}, {28591, 1252},
    {28605, 1252}, {28592, 1250}, {28595, 1251}, {20866, 1251}, {21866, 1251}, {28597, 1253}, {28599, 1254},
    {28598, 1255}, {38598, 1255}, {28596, 1256}, {28594, 1257}, {28603, 1257}, {52936, 936},  {20936, 936},
    {50225, 949},  {51949, 949},  {20000, 950},  {28601, 874},
};

// LCIDs whose code page differs from the one of their primary language.
constexpr CharsetRow kLcidExceptions[] = {
    {0x0404, 950},  {0x0C04, 950},  {0x1404, 950},  {0x0804, 936},  {0x1004, 936},  {0x0C1A, 1251},
    {0x201A, 1251}, {0x082C, 1251}, {0x0843, 1251}, {0x046D, 1251}, {0x0485, 1251},
};
// Primary language ids (LCID & 0x3FF) and their default ANSI code page.
constexpr CharsetRow kLanguages[] = {
    {0x01, 1256}, {0x02, 1251}, {0x03, 1252}, {0x04, 936},  {0x05, 1250}, {0x06, 1252}, {0x07, 1252}, {0x08, 1253},
    {0x09, 1252}, {0x0A, 1252}, {0x0B, 1252}, {0x0C, 1252}, {0x0D, 1255}, {0x0E, 1250}, {0x0F, 1252}, {0x10, 1252},
    {0x11, 932},  {0x12, 949},  {0x13, 1252}, {0x14, 1252}, {0x15, 1250}, {0x16, 1252}, {0x18, 1250}, {0x19, 1251},
    {0x1A, 1250}, {0x1B, 1250}, {0x1C, 1250}, {0x1D, 1252}, {0x1E, 874},  {0x1F, 1254}, {0x20, 1256}, {0x21, 1252},
    {0x22, 1251}, {0x23, 1251}, {0x24, 1250}, {0x25, 1257}, {0x26, 1257}, {0x27, 1257}, {0x29, 1256}, {0x2A, 1258},
    {0x2C, 1254}, {0x2D, 1252}, {0x2F, 1251}, {0x36, 1252}, {0x38, 1252}, {0x3E, 1252}, {0x3F, 1251}, {0x40, 1251},
    {0x41, 1252}, {0x43, 1254}, {0x44, 1251}, {0x50, 1251}, {0x56, 1252},
};

template <size_t N> int lookup(const CharsetRow (&rows)[N], uint32_t key)
{
    for (const auto& row : rows) {
        if (row.cpid == key) {
            return row.ansi;
        }
    }
    return 0;
}

bool windows_ansi(int codepage)
{
    return (codepage >= 1250 && codepage <= 1258) || codepage == 874 || codepage == 932 || codepage == 936 ||
           codepage == 949 || codepage == 950;
}

} // namespace

bool codepage_supported(int codepage)
{
    return windows_ansi(codepage) || codepage == kUtf8;
}

int ansi_codepage_of_charset(uint32_t cpid)
{
    if (windows_ansi(static_cast<int>(cpid))) {
        return static_cast<int>(cpid);
    }
    return lookup(kCharsets, cpid);
}

int ansi_codepage_of_lcid(uint32_t lcid)
{
    if (const int exception = lookup(kLcidExceptions, lcid & 0xFFFF)) {
        return exception;
    }
    return lookup(kLanguages, lcid & 0x3FF);
}

int message_codepage(const PropertyList& properties, int fallback)
{
    // The first long value of each tag (as long_value() of each has it), found in one pass: a
    // message's code page is looked for in every message of the mail.
    const PropertyList::Property* found[std::size(kMessageCodepageTags)] = {};
    for (const PropertyList::Property& p : properties.all()) {
        if (p.type != type_code(PropType::Long)) {
            continue;
        }
        for (size_t k = 0; k < std::size(kMessageCodepageTags); ++k) {
            if (p.id == kMessageCodepageTags[k]) {
                found[k] = found[k] != nullptr ? found[k] : &p;
                break;
            }
        }
    }
    const auto long_value = [&](size_t k) -> std::optional<uint32_t> {
        if (found[k] == nullptr || found[k]->size < 4) {
            return std::nullopt;
        }
        return pst::get32(properties.bytes(*found[k]).data());
    };
    if (const auto cp = long_value(0)) {
        const int value = static_cast<int>(*cp);
        if (value == kUtf8) {
            return kUtf8;
        }
        if (const int ansi = ansi_codepage_of_charset(*cp)) {
            return ansi;
        }
    }
    if (const auto cpid = long_value(1)) {
        if (const int ansi = ansi_codepage_of_charset(*cpid)) {
            return ansi;
        }
    }
    if (const auto lcid = long_value(2)) {
        if (const int ansi = ansi_codepage_of_lcid(*lcid)) {
            return ansi;
        }
    }
    return codepage_supported(fallback) ? fallback : kDefaultCodepage;
}

bool property_text(const PropertyList& list, const PropertyList::Property& p, int codepage, std::u16string& out)
{
    out.clear();
    const auto bytes = list.bytes(p);
    if (p.type == type_code(PropType::Unicode)) {
        out.resize(bytes.size() / 2);
        out.resize(pst::utf16le_to_utf16(bytes.data(), bytes.size(), out.data()));
        return true;
    }
    if (p.type == type_code(PropType::String8)) {
        decode_8bit(bytes, codepage, out);
        return true;
    }
    return false;
}

void decode_8bit(std::span<const uint8_t> bytes, int codepage, std::u16string& out)
{
    pst::decode_8bit(bytes, static_cast<uint32_t>(codepage_supported(codepage) ? codepage : kDefaultCodepage), out);
}

} // namespace engine
