#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "base/block_cache.h"
#include "base/memory_fixtures.h"
#include "base/memory_headroom.h"

using namespace tarnwick;
using namespace tarnwick::base;
using tarnwick::testing_support::AddressSpaceLimit;

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
    // Freed again, so that the tests after this one find room in the cache.
    const std::size_t added = (block_cache::kept_bytes() - before) / block;
    for (std::size_t i = 0; i < added; ++i) block_cache::give(block_cache::take(block), 0);
}

// Every class keeps its own blocks, most recent first, from the smallest size kept up: a
// block never serves a request of a neighbouring class.
class BlockCacheClass : public ::testing::TestWithParam<std::size_t> {};
TEST_P(BlockCacheClass, GivesBackItsMostRecentBlockAndNoNeighboursBlock) {
    if (block_cache::kMaxKeptBytes == 0) GTEST_SKIP() << "nothing is kept in this build";
    const std::size_t bytes = GetParam();
    const std::size_t step = std::size_t{1} << (std::bit_width(bytes) - 4);  // an eighth of the octave
    void* first = block_cache::take(bytes);
    void* second = block_cache::take(bytes);
    std::memset(first, 7, bytes);
    std::memset(second, 7, bytes);
    const std::size_t before = block_cache::kept_bytes();
    block_cache::give(first, bytes);
    block_cache::give(second, bytes);
    ASSERT_GE(block_cache::kept_bytes(), before + 2 * bytes) << "both blocks are kept while the cache has room";
    void* larger = block_cache::take(bytes + step);  // the next class up
    EXPECT_NE(larger, first);
    EXPECT_NE(larger, second);
    EXPECT_EQ(block_cache::take(bytes), second);
    EXPECT_EQ(block_cache::take(bytes), first);
    block_cache::give(first, bytes);
    block_cache::give(second, bytes);
    block_cache::give(larger, bytes + step);
}
INSTANTIATE_TEST_SUITE_P(BlockCache, BlockCacheClass,
                         ::testing::Values(block_cache::kMinBytes, block_cache::kMinBytes + 1, std::size_t{80'000},
                                           std::size_t{1} << 20, std::size_t{5'000'000}),
                         [](const auto& row) { return "bytes_" + std::to_string(row.param); });

TEST(BlockCache, ManySmallBlocksStopAtTheBound) {
    const std::size_t before = block_cache::kept_bytes();
    const std::size_t block = block_cache::kMinBytes;
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < block_cache::kMaxKeptBytes / block + 16; ++i) blocks.push_back(block_cache::take(block));
    for (void* b : blocks) block_cache::give(b, block);
    EXPECT_LE(block_cache::kept_bytes(), block_cache::kMaxKeptBytes);
    // Taken back and freed (a block given as smaller than kept is only freed), so that the
    // tests after this one find the cache as it was.
    const std::size_t added = (block_cache::kept_bytes() - before) / block;
    for (std::size_t i = 0; i < added; ++i) block_cache::give(block_cache::take(block), 0);
    EXPECT_EQ(block_cache::kept_bytes(), before);
}

// Blocks of 64 MiB, past glibc's largest threshold for mapping a block on its own: each
// goes back to the system as soon as it is freed.
constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kMappedBlock = 64 * kMiB;

TEST(BlockCache, ARequestTheSystemRefusesGetsWhatTheCacheKept) {
    if (block_cache::kMaxKeptBytes == 0) GTEST_SKIP() << "nothing is kept in this build";
    block_cache::release();  // the bound is read afresh at the next give
    void* a = block_cache::take(kMappedBlock);
    void* b = block_cache::take(kMappedBlock);
    block_cache::give(a, kMappedBlock);
    block_cache::give(b, kMappedBlock);
    ASSERT_EQ(block_cache::kept_bytes(), 2 * kMappedBlock) << "both are kept while memory is plentiful";
    {
        // 48 MiB left: 80 MiB can be had only once the kept blocks go back.
        const AddressSpaceLimit limit(48 * kMiB);
        ASSERT_TRUE(limit.set());
        void* c = block_cache::take(80 * kMiB);
        EXPECT_EQ(block_cache::kept_bytes(), 0u);
        block_cache::give(c, 80 * kMiB);
    }
    block_cache::release();
}

TEST(BlockCache, KeepsNoMoreThanAnEighthOfWhatTheProcessCanGet) {
    if (block_cache::kMaxKeptBytes == 0) GTEST_SKIP() << "nothing is kept in this build";
    block_cache::release();
    {
        // 1 GiB to get, 384 MiB of it taken and then freed.
        const AddressSpaceLimit limit(1024 * kMiB);
        ASSERT_TRUE(limit.set());
        std::vector<void*> blocks;
        for (int i = 0; i < 6; ++i) blocks.push_back(block_cache::take(kMappedBlock));
        for (void* b : blocks) block_cache::give(b, kMappedBlock);
        const std::size_t kept = block_cache::kept_bytes();
        EXPECT_GE(kept, kMappedBlock) << "a block fits in an eighth";
        EXPECT_LE(kept, (memory_headroom() + kept) / 8);
    }
    block_cache::release();
    EXPECT_EQ(block_cache::kept_bytes(), 0u);
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
