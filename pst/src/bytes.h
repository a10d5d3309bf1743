// Little-endian byte helpers of the reader's and the writer's layers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pst/little_endian.h"

namespace pst::detail {

using Bytes = std::vector<uint8_t>;

inline void put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
// Reading is the public header's (pst/little_endian.h), for the layers above as well.
using pst::get16;
using pst::get32;
using pst::get64;

inline void append8(Bytes& b, uint8_t v)
{
    b.push_back(v);
}
inline void append16(Bytes& b, uint16_t v)
{
    size_t n = b.size();
    b.resize(n + 2);
    put16(b.data() + n, v);
}
inline void append32(Bytes& b, uint32_t v)
{
    size_t n = b.size();
    b.resize(n + 4);
    put32(b.data() + n, v);
}
inline void append64(Bytes& b, uint64_t v)
{
    size_t n = b.size();
    b.resize(n + 8);
    put64(b.data() + n, v);
}
inline void append(Bytes& b, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    b.insert(b.end(), p, p + size);
}

// UTF-16LE bytes of a string, without a terminator.
inline Bytes utf16le(const std::u16string& s)
{
    if constexpr (std::endian::native == std::endian::little) {
        const auto* p = reinterpret_cast<const uint8_t*>(s.data());
        return Bytes(p, p + s.size() * 2);
    }
    Bytes b(s.size() * 2);
    for (size_t i = 0; i < s.size(); ++i)
        put16(b.data() + 2 * i, static_cast<uint16_t>(s[i]));
    return b;
}

inline uint64_t align_up(uint64_t v, uint64_t a)
{
    return (v + a - 1) / a * a;
}

} // namespace pst::detail
