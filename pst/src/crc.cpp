// CRC-32 of personal folder files: the reflected 0xEDB88320 polynomial without the usual
// initial and final inversion.
#include "pst/writer.h"

#include <array>

namespace pst {
namespace {

std::array<uint32_t, 256> make_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}

const std::array<uint32_t, 256> kTable = make_table();

} // namespace

uint32_t crc32(const void* data, size_t size, uint32_t crc)
{
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i)
        crc = kTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

} // namespace pst
