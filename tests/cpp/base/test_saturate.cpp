// Saturating timestamp differences and count sums: exact up to the ends of the range,
// clamped to the end the true result lies beyond, never wrapped. The metrics' drawdown
// spans and holding times, the tick windows' lower bounds and the indicators' period sums
// all go through these two.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "base/saturate.h"

namespace tarnwick::base {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();  //  2^63 - 1
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();  // -2^63
constexpr std::uint64_t kUMax = std::numeric_limits<std::uint64_t>::max();

struct SubCase {
    std::string name;
    std::int64_t a, b, want;
};

class SatSub : public ::testing::TestWithParam<SubCase> {};

TEST_P(SatSub, ClampsToTheEndTheTrueDifferenceLiesBeyond) {
    const SubCase& c = GetParam();
    EXPECT_EQ(sat_sub(c.a, c.b), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Extremes, SatSub,
    ::testing::Values(SubCase{"small", 10, 4, 6}, SubCase{"negative_result", -5, 7, -12},
                      SubCase{"equal_max", kMax, kMax, 0}, SubCase{"equal_min", kMin, kMin, 0},
                      // -1 - (-2^63) = 2^63 - 1 and -1 - (2^63 - 1) = -2^63: exactly the ends.
                      SubCase{"exactly_max", -1, kMin, kMax}, SubCase{"exactly_min", -1, kMax, kMin},
                      SubCase{"one_inside_max", -2, kMin, kMax - 1},
                      // 0 - (-2^63) = 2^63 and -2 - (2^63 - 1) = -2^63 - 1: one past each end.
                      SubCase{"one_past_max", 0, kMin, kMax}, SubCase{"one_past_min", -2, kMax, kMin},
                      SubCase{"max_minus_min", kMax, kMin, kMax}, SubCase{"min_minus_max", kMin, kMax, kMin},
                      SubCase{"max_minus_negative", kMax, -1, kMax}, SubCase{"min_minus_positive", kMin, 1, kMin},
                      // A 2023 timestamp less one far before the epoch: 1.7e18 + 9e18 > 2^63.
                      SubCase{"timestamps_far_apart", 1'700'000'000'000'000'000, -9'000'000'000'000'000'000, kMax},
                      SubCase{"timestamps_reversed", -9'000'000'000'000'000'000, 1'700'000'000'000'000'000, kMin}),
    [](const auto& info) { return info.param.name; });

struct AddCase {
    std::string name;
    std::uint64_t a, b, want;
};

class SatAddU64 : public ::testing::TestWithParam<AddCase> {};

TEST_P(SatAddU64, ClampsAtTheTopInsteadOfWrapping) {
    const AddCase& c = GetParam();
    EXPECT_EQ(sat_add_u64(c.a, c.b), c.want);
    EXPECT_EQ(sat_add_u64(c.b, c.a), c.want);
}

INSTANTIATE_TEST_SUITE_P(Extremes, SatAddU64,
                         ::testing::Values(AddCase{"zero", 0, 0, 0}, AddCase{"small", 1, 2, 3},
                                           AddCase{"exactly_max", kUMax - 1, 1, kUMax},
                                           AddCase{"max_plus_zero", kUMax, 0, kUMax},
                                           AddCase{"one_past_max", kUMax, 1, kUMax},
                                           // 2^63 + 2^63 = 2^64, one past the top.
                                           AddCase{"halves", std::uint64_t{1} << 63, std::uint64_t{1} << 63, kUMax},
                                           AddCase{"max_plus_max", kUMax, kUMax, kUMax}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick::base
