// Test helper: the byte forms of a distribution list's members as a file stores them, to put in a
// described file's properties ("hex") or on a written message.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testfiles {

using Bytes = std::vector<uint8_t>;

// A wrapped contact entry id naming message node `nid` (a list's member).
inline Bytes wrapped_entry_id(uint32_t nid)
{
    Bytes b = {0,    0,    0,    0,    0xC0, 0x91, 0xAD, 0xD3, 0x51, 0x9D, 0xCF,
               0x11, 0xA4, 0xA9, 0x00, 0xAA, 0x00, 0x47, 0xFA, 0xA4, 0xC3};
    b.resize(b.size() + 20, 0x22);
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(nid >> (8 * i)));
    }
    return b;
}

// A one-off entry id of an SMTP address (8-bit texts).
inline Bytes one_off_entry_id(const std::string& name, const std::string& address)
{
    Bytes b = {0,    0,    0,    0,    0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
               0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02, 0,    0,    0,    0};
    for (const std::string& s : {name, std::string("SMTP"), address}) {
        b.insert(b.end(), s.begin(), s.end());
        b.push_back(0);
    }
    return b;
}

// A stored multi-valued binary (PT_MV_BINARY): the count, each value's offset, the values.
inline Bytes multi_binary(const std::vector<Bytes>& values)
{
    Bytes b(4 + 4 * values.size(), 0);
    b[0] = static_cast<uint8_t>(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto at = static_cast<uint32_t>(b.size());
        for (int k = 0; k < 4; ++k) {
            b[4 + 4 * i + std::size_t(k)] = static_cast<uint8_t>(at >> (8 * k));
        }
        b.insert(b.end(), values[i].begin(), values[i].end());
    }
    return b;
}

// Upper-case hex digits of `bytes`, as a description's "hex" holds them.
inline std::string hex(const Bytes& bytes)
{
    std::string out;
    char two[3];
    for (const uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        out += two;
    }
    return out;
}

} // namespace testfiles
