#include "model.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>

namespace pstcheck::detail {
namespace {

std::array<uint32_t, 256> make_crc_table()
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

// The byte permutation of crypt method 1 (encoding direction), as published with the format.
constexpr uint8_t kPermute[256] = {
    65,  54,  19,  98,  168, 33,  110, 187, 244, 22,  204, 4,   127, 100, 232, 93,  30,  242, 203, 42,  116, 197,
    94,  53,  210, 149, 71,  158, 150, 45,  154, 136, 76,  125, 132, 63,  219, 172, 49,  182, 72,  95,  246, 196,
    216, 57,  139, 231, 35,  59,  56,  142, 200, 193, 223, 37,  177, 32,  165, 70,  96,  78,  156, 251, 170, 211,
    86,  81,  69,  124, 85,  0,   7,   201, 43,  157, 133, 155, 9,   160, 143, 173, 179, 15,  99,  171, 137, 75,
    215, 167, 21,  90,  113, 102, 66,  191, 38,  74,  107, 152, 250, 234, 119, 83,  178, 112, 5,   44,  253, 89,
    58,  134, 126, 206, 6,   235, 130, 120, 87,  199, 141, 67,  175, 180, 28,  212, 91,  205, 226, 233, 39,  79,
    195, 8,   114, 128, 207, 176, 239, 245, 40,  109, 190, 48,  77,  52,  146, 213, 14,  60,  34,  50,  229, 228,
    249, 159, 194, 209, 10,  129, 18,  225, 238, 145, 131, 118, 227, 151, 230, 97,  138, 23,  121, 164, 183, 220,
    144, 122, 92,  140, 2,   166, 202, 105, 222, 80,  26,  17,  147, 185, 82,  135, 88,  252, 237, 29,  55,  73,
    27,  106, 224, 41,  51,  153, 189, 108, 217, 148, 243, 64,  84,  111, 240, 198, 115, 184, 214, 62,  101, 24,
    68,  31,  221, 103, 16,  241, 12,  25,  236, 174, 3,   161, 20,  123, 169, 11,  255, 248, 163, 192, 162, 1,
    247, 46,  188, 36,  104, 117, 13,  254, 186, 47,  181, 208, 218, 61,
};

// The middle substitution of crypt method 2 (its own inverse), as published with the format.
constexpr uint8_t kCyclicMiddle[256] = {
    20,  83,  15,  86,  179, 200, 122, 156, 235, 101, 72,  23,  22,  21,  159, 2,   204, 84,  124, 131, 0,   13,
    12,  11,  162, 98,  168, 118, 219, 217, 237, 199, 197, 164, 220, 172, 133, 116, 214, 208, 167, 155, 174, 154,
    150, 113, 102, 195, 99,  153, 184, 221, 115, 146, 142, 132, 125, 165, 94,  209, 93,  147, 177, 87,  81,  80,
    128, 137, 82,  148, 79,  78,  10,  107, 188, 141, 127, 110, 71,  70,  65,  64,  68,  1,   17,  203, 3,   63,
    247, 244, 225, 169, 143, 60,  58,  249, 251, 240, 25,  48,  130, 9,   46,  201, 157, 160, 134, 73,  238, 111,
    77,  109, 196, 45,  129, 52,  37,  135, 27,  136, 170, 252, 6,   161, 18,  56,  253, 76,  66,  114, 100, 19,
    55,  36,  106, 117, 119, 67,  255, 230, 180, 75,  54,  92,  228, 216, 53,  61,  69,  185, 44,  236, 183, 49,
    43,  41,  7,   104, 163, 14,  105, 123, 24,  158, 33,  57,  190, 40,  26,  91,  120, 245, 35,  202, 42,  176,
    175, 62,  254, 4,   140, 231, 229, 152, 50,  149, 211, 246, 74,  232, 166, 234, 233, 243, 213, 47,  112, 32,
    242, 31,  5,   103, 173, 85,  16,  206, 205, 227, 39,  59,  218, 186, 215, 194, 38,  212, 145, 29,  210, 28,
    34,  51,  248, 250, 241, 90,  239, 207, 144, 182, 139, 181, 189, 192, 191, 8,   151, 30,  108, 226, 97,  224,
    198, 193, 89,  171, 187, 88,  222, 95,  223, 96,  121, 126, 178, 138,
};

std::array<uint8_t, 256> make_unpermute()
{
    std::array<uint8_t, 256> inv{};
    for (int i = 0; i < 256; ++i)
        inv[kPermute[i]] = uint8_t(i);
    return inv;
}

} // namespace

uint32_t crc32(const uint8_t* data, size_t size)
{
    static const auto table = make_crc_table();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint16_t signature(uint64_t ib, uint64_t bid)
{
    const uint32_t x = uint32_t((ib ^ bid) & 0xFFFFFFFFu);
    return uint16_t((x >> 16) ^ (x & 0xFFFF));
}

void decode_permute(uint8_t* data, size_t size)
{
    static const auto inv = make_unpermute();
    for (size_t i = 0; i < size; ++i)
        data[i] = inv[data[i]];
}

void decode_cyclic(uint8_t* data, size_t size, uint32_t key)
{
    // Each byte: add the running key's low byte, permute, add its high byte, substitute, take it
    // away, unpermute, take the low byte away. The key starts at the folded BID and counts up.
    static const auto inv = make_unpermute();
    uint16_t w = uint16_t(key ^ (key >> 16));
    for (size_t i = 0; i < size; ++i, ++w) {
        const uint8_t lo = uint8_t(w), hi = uint8_t(w >> 8);
        uint8_t b = kPermute[uint8_t(data[i] + lo)];
        b = kCyclicMiddle[uint8_t(b + hi)];
        b = inv[uint8_t(b - hi)];
        data[i] = uint8_t(b - lo);
    }
}

std::string hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

void Report::add(std::string line)
{
    if (m_lines.size() < m_limit)
        m_lines.push_back(std::move(line));
    else
        ++m_dropped;
}

std::vector<std::string> Report::take()
{
    std::vector<std::string> out = std::move(m_lines);
    if (m_dropped)
        out.push_back("... and " + std::to_string(m_dropped) + " more problems");
    m_lines.clear();
    m_dropped = 0;
    return out;
}

BlockEntry* File::find_block(uint64_t bid)
{
    auto it =
        std::lower_bound(blocks.begin(), blocks.end(), bid, [](const BlockEntry& e, uint64_t b) { return e.bid < b; });
    return it != blocks.end() && it->bid == bid ? &*it : nullptr;
}

const NodeEntry* File::find_node(uint64_t nid) const
{
    auto it =
        std::lower_bound(nodes.begin(), nodes.end(), nid, [](const NodeEntry& e, uint64_t n) { return e.nid < n; });
    return it != nodes.end() && it->nid == nid ? &*it : nullptr;
}

std::optional<std::vector<uint8_t>> File::block_data(uint64_t bid)
{
    const BlockEntry* b = find_block(bid);
    if (!b || !b->sound)
        return std::nullopt;
    const uint8_t* p = bytes.data() + b->ib;
    std::vector<uint8_t> out(p, p + b->cb);
    if (!is_internal_bid(bid) && header.crypt == 1)
        decode_permute(out.data(), out.size());
    else if (!is_internal_bid(bid) && header.crypt == 2)
        decode_cyclic(out.data(), out.size(), uint32_t(bid));
    return out;
}

} // namespace pstcheck::detail

namespace pstcheck {

std::vector<std::string> check_bytes(const std::vector<uint8_t>& file, const Options& options)
{
    Summary ignored;
    return check_bytes(file, options, &ignored);
}

std::vector<std::string> check_bytes(const std::vector<uint8_t>& file, const Options& options, Summary* summary)
{
    using namespace detail;
    Report report(options.max_problems ? options.max_problems : 1);
    *summary = Summary{};
    try {
        File f(Bytes(file), options, report, *summary);
        f.data_budget = 16 * uint64_t(file.size()) + (64u << 20);
        if (read_header(f)) {
            read_btrees(f);
            summary->blocks = f.blocks.size();
            summary->nodes = f.nodes.size();
            check_blocks(f);
            check_references(f);
            check_header_counters(f);
            check_allocation(f);
            if (options.check_messaging)
                check_messaging(f);
        }
    } catch (const std::exception& e) {
        // Only allocation failures can land here; say so rather than pass the file.
        report.add(std::string("checker stopped: ") + e.what());
    }
    return report.take();
}

std::vector<std::string> check_file(const std::string& path, const Options& options)
{
    Summary ignored;
    return check_file(path, options, &ignored);
}

std::vector<std::string> check_file(const std::string& path, const Options& options, Summary* summary)
{
    *summary = Summary{};
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {"cannot open " + path};
    std::vector<uint8_t> bytes;
    try {
        in.seekg(0, std::ios::end);
        const std::streamoff size = in.tellg();
        in.seekg(0, std::ios::beg);
        if (size < 0)
            return {"cannot read " + path};
        bytes.resize(size_t(size));
        if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size))
            return {"cannot read " + path};
    } catch (const std::exception& e) {
        return {"cannot read " + path + ": " + e.what()};
    }
    return check_bytes(bytes, options, summary);
}

std::string join(const std::vector<std::string>& problems)
{
    std::string out;
    for (const auto& p : problems)
        out += p + "\n";
    return out;
}

} // namespace pstcheck
