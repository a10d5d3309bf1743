// The reader's B-tree page cache where no test file reaches: a set filled past its ways (a file's
// B-trees larger than the cache, a million items), for both page sizes.
#include "read_ndb.h"

#include <gtest/gtest.h>

using pst::read::detail::kPageCacheBytes;
using pst::read::detail::Page;
using pst::read::detail::PageCache;

namespace {

constexpr size_t kWays = PageCache::kWays;

// Reads page `ib` into the cache as the reader does, marking its bytes with `mark`.
void load(PageCache& cache, uint64_t ib, uint8_t mark)
{
    Page* p = cache.slot(ib);
    p->ib = ib;
    std::fill(p->bytes, p->bytes + cache.page_size(), mark);
    cache.commit(p);
}

bool holds(PageCache& cache, uint64_t ib, uint8_t mark)
{
    const Page* p = cache.find(ib);
    return p != nullptr && p->ib == ib && p->bytes[0] == mark && p->bytes[cache.page_size() - 1] == mark;
}

} // namespace

TEST(PageCache, ReplacesTheLeastRecentlyUsedPageOfASetOnly)
{
    for (const unsigned page_size : {512u, 4096u}) {
        SCOPED_TRACE(page_size);
        PageCache cache;
        cache.set_page_size(page_size);
        EXPECT_EQ(cache.find(0), nullptr); // nothing read yet
        // Pages `stride` apart share a set; the page after each lies in the next set.
        const uint64_t stride = kPageCacheBytes / kWays;
        const auto in_set = [&](uint64_t n) { return n * stride; };
        for (uint64_t n = 0; n < kWays; ++n) {
            load(cache, in_set(n), static_cast<uint8_t>(n));
            load(cache, in_set(n) + page_size, static_cast<uint8_t>(0x80 + n));
        }
        for (uint64_t n = 0; n < kWays; ++n)
            EXPECT_TRUE(holds(cache, in_set(n), static_cast<uint8_t>(n))) << n;
        // Found again, page 0 is the set's most recent; page 1 is now its oldest and goes first,
        // then page 2, while page 0 stays.
        EXPECT_TRUE(holds(cache, in_set(0), 0));
        load(cache, in_set(kWays), 0x40);
        EXPECT_EQ(cache.find(in_set(1)), nullptr);
        EXPECT_TRUE(holds(cache, in_set(0), 0));
        load(cache, in_set(kWays + 1), 0x41);
        EXPECT_EQ(cache.find(in_set(2)), nullptr);
        for (uint64_t n : {uint64_t{0}, uint64_t{3}, kWays - 1, kWays, kWays + 1})
            EXPECT_NE(cache.find(in_set(n)), nullptr) << n;
        // A hundred more pages through the set keep the page found before each one.
        for (uint64_t n = kWays + 2; n < kWays + 102; ++n) {
            ASSERT_TRUE(holds(cache, in_set(0), 0)) << n;
            load(cache, in_set(n), static_cast<uint8_t>(n));
        }
        // The neighbouring set was never touched by them.
        for (uint64_t n = 0; n < kWays; ++n)
            EXPECT_TRUE(holds(cache, in_set(n) + page_size, static_cast<uint8_t>(0x80 + n))) << n;
        // A slot handed out is found by no lookup until committed.
        Page* p = cache.slot(in_set(0));
        EXPECT_EQ(cache.find(in_set(0)) == p, false);
        cache.set_page_size(page_size); // empties it
        EXPECT_EQ(cache.find(in_set(kWays)), nullptr);
    }
}
