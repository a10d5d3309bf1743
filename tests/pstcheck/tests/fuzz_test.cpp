// Random damage must never crash or hang the checker (run under ASan/UBSan in CI).
#include "image.h"
#include "pstcheck/check.h"
#include "realfiles/real_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

namespace {

using pstcheck::testing::Image;

enum class Mutation
{
    Bytes,     // overwrite a few random bytes
    Structure, // overwrite bytes of the B-tree and map area, where most structure lives
    Truncate,  // cut the file short
    PageCopy,  // copy one 512-byte page over another
};

void mutate(std::vector<uint8_t>& b, Mutation m, std::mt19937& rng)
{
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    switch (m) {
    case Mutation::Bytes:
        for (size_t i = 0, n = 1 + pick(16); i < n; ++i)
            b[pick(b.size())] = uint8_t(rng());
        break;
    case Mutation::Structure:
        for (size_t i = 0, n = 1 + pick(64); i < n; ++i)
            b[0x4400 + pick(std::min<size_t>(b.size() - 0x4400, 0x10000))] = uint8_t(rng());
        break;
    case Mutation::Truncate:
        b.resize(pick(b.size()));
        break;
    case Mutation::PageCopy: {
        const size_t pages = b.size() / 512;
        const size_t from = pick(pages) * 512, to = pick(pages) * 512;
        std::copy(b.begin() + from, b.begin() + from + 512, b.begin() + to);
        break;
    }
    }
}

class Fuzz : public ::testing::TestWithParam<const char*>
{
};

TEST_P(Fuzz, RandomDamageNeverCrashes)
{
    REAL_FILE_OR_SKIP(path, GetParam());
    const Image original = Image::load(path);
    std::mt19937 rng(20261208);
    const Mutation kinds[] = {Mutation::Bytes, Mutation::Structure, Mutation::Truncate, Mutation::PageCopy};
    size_t reported = 0;
    for (int round = 0; round < 160; ++round) {
        std::vector<uint8_t> b = original.bytes;
        mutate(b, kinds[round % 4], rng);
        if (round % 5 == 0)
            mutate(b, kinds[(round / 5) % 4], rng);
        const auto problems = pstcheck::check_bytes(b);
        reported += !problems.empty();
        EXPECT_LE(problems.size(), pstcheck::Options{}.max_problems + 1);
    }
    EXPECT_GT(reported, 0u);
}

INSTANTIATE_TEST_SUITE_P(Real, Fuzz, ::testing::Values("dist-list.pst", "sample-contacts.pst", "ansi-32bit.pst"),
                         [](const auto& info) {
                             std::string n = info.param;
                             n = n.substr(0, n.find('.'));
                             n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                             return n;
                         });

} // namespace
