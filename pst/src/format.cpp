// The shared facts of pst/format.h that need a definition: the property set GUIDs, and the CRC-32
// of personal folder files (the reflected 0xEDB88320 polynomial without the usual initial and
// final inversion; eight bytes per step through eight derived tables).
#include "pst/format.h"

#include <array>
#include <cstring>

namespace pst {

const Guid kPsMapi = {0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const Guid kPsPublicStrings = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const Guid kPsetidAddress = {0x04, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const Guid kPsetidCommon = {0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

Tables make_tables()
{
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (size_t k = 1; k < 8; ++k)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

const Tables kTables = make_tables();

} // namespace

uint32_t crc32(const void* data, size_t size, uint32_t crc)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size >= 8) {
        uint32_t lo = crc ^ (static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                             static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
        uint32_t hi = static_cast<uint32_t>(p[4]) | static_cast<uint32_t>(p[5]) << 8 |
                      static_cast<uint32_t>(p[6]) << 16 | static_cast<uint32_t>(p[7]) << 24;
        crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
              kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
              kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
        p += 8;
        size -= 8;
    }
    while (size--)
        crc = kTables[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

} // namespace pst
