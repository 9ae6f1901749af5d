// SplitMix64 against the outputs of its authors' reference code from a state of 0.
#include <gtest/gtest.h>

#include <cstdint>

#include "base/splitmix.h"

namespace {

TEST(SplitMix64, GivesTheReferenceOutputs) {
    std::uint64_t state = 0;
    EXPECT_EQ(tarnwick::base::splitmix64(state), 0xe220a8397b1dcdafULL);
    EXPECT_EQ(tarnwick::base::splitmix64(state), 0x6e789e6aa1b965f4ULL);
    EXPECT_EQ(tarnwick::base::splitmix64(state), 0x06c45d188009454fULL);
    EXPECT_EQ(state, 3 * 0x9e3779b97f4a7c15ULL);  // one gamma a step, wrapping
}

}  // namespace
