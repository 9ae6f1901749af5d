#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/block_cache.h"

using namespace tarnwick;
using namespace tarnwick::base;

namespace {

TEST(BlockCache, FreedBlocksServeTheNextRequestOfTheirClass) {
    if (block_cache::kMaxKeptBytes == 0) GTEST_SKIP() << "nothing is kept in this build";
    const std::size_t before = block_cache::kept_bytes();
    void* a = block_cache::take(3'000'000);
    std::memset(a, 1, 3'000'000);  // the whole request is usable
    block_cache::give(a, 3'000'000);
    const std::size_t kept = block_cache::kept_bytes() - before;
    EXPECT_GE(kept, 3'000'000u);
    EXPECT_LE(kept, 3'000'000u + 3'000'000u / 8);
    // A request a little smaller falls in the same class and gets the same block; one of
    // another class does not.
    void* other = block_cache::take(9'000'000);
    EXPECT_NE(other, a);
    void* again = block_cache::take(2'990'000);
    EXPECT_EQ(again, a);
    EXPECT_EQ(block_cache::kept_bytes(), before);
    block_cache::give(again, 2'990'000);
    block_cache::give(other, 9'000'000);
}

TEST(BlockCache, KeepsNoMoreThanItsBound) {
    const std::size_t before = block_cache::kept_bytes();
    const std::size_t block = 64u << 20;
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < block_cache::kMaxKeptBytes / block + 2; ++i) blocks.push_back(block_cache::take(block));
    for (void* b : blocks) block_cache::give(b, block);
    EXPECT_LE(block_cache::kept_bytes(), block_cache::kMaxKeptBytes);
    if (block_cache::kMaxKeptBytes > 0) {
        EXPECT_GT(block_cache::kept_bytes(), before);
    }
}

TEST(BlockCache, SmallVectorsAndLargeOnesWorkAlike) {
    for (const std::size_t n : {10u, 1u << 20}) {
        Curve v(n, 2.5);
        v.push_back(1.0);
        EXPECT_EQ(v.size(), n + 1);
        EXPECT_EQ(v.front(), 2.5);
        EXPECT_EQ(v.back(), 1.0);
    }
}

}  // namespace
