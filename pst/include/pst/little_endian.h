// Little-endian integers, as personal folder files store every number: read from a byte
// pointer, with no alignment asked of it. REQUIRES: 2, 4 or 8 readable bytes at `p`.
#pragma once

#include <cstdint>

namespace pst {

inline uint16_t get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get64(const uint8_t* p)
{
    return get32(p) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}

} // namespace pst
