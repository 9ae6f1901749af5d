#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "base/repeated_sum.h"
#include "test_names.h"

using namespace tarnwick;
using namespace tarnwick::base;
using tarnwick::testing_support::test_name;

namespace {

// The walk itself, one rounded addition at a time.
double stepped(double x, double step, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) x = x + step;
    return x;
}

struct WalkCase {
    const char* name;
    double x;
    double step;
    std::uint64_t n;
};

class RepeatedSum : public ::testing::TestWithParam<WalkCase> {};

TEST_P(RepeatedSum, LandsWhereTheStepsDoToTheBit) {
    const WalkCase& c = GetParam();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(repeated_sum(c.x, c.step, c.n)),
              std::bit_cast<std::uint64_t>(stepped(c.x, c.step, c.n)))
        << repeated_sum(c.x, c.step, c.n) << " against " << stepped(c.x, c.step, c.n);
}

constexpr double kTwo53 = 9007199254740992.0;
constexpr double kDenormMin = std::numeric_limits<double>::denorm_min();
constexpr double kSmallestNormal = std::numeric_limits<double>::min();

INSTANTIATE_TEST_SUITE_P(
    Table, RepeatedSum,
    ::testing::Values(
        WalkCase{"no steps", -0.0, 1.0, 0},
        WalkCase{"whole bricks up", 0.0, 1.0, 10'000},
        WalkCase{"whole bricks down through zero", 5'000.0, -1.0, 10'000},
        WalkCase{"landing on zero is positive zero", -3.0, 1.0, 3},
        WalkCase{"hundredths up from a price", 100.0, 0.01, 10'000},
        WalkCase{"hundredths down through zero", 50.0, -0.01, 10'000},
        WalkCase{"tenths from a negative price", -512.3, 0.1, 10'000},
        WalkCase{"thousandths across many binades", 0.0009765625, 0.001, 10'000},
        WalkCase{"a step below half a unit moves nothing", 1e16, 0.5, 10'000},
        WalkCase{"a step of exactly half a unit from an odd start", kTwo53 + 2.0, 1.0, 10'000},
        WalkCase{"odd half units round to even", kTwo53, 3.0, 10'000},
        WalkCase{"from just below a binade's edge", kTwo53 - 1.0, 1.0, 10'000},
        // Steps of 2^30 + 0.4 units of [1, 2) that round to 2^30 units, from 1000 such
        // steps above 1: the thousandth sum falls 0.4 units short of 1, where the finer
        // units below 1 round it down to 1 - 2^-53, not up to 1.
        WalkCase{"a rounded step onto a binade's lower edge", 1.0 + 1000 * 0x1p-22, -0x1.000000019999ap+30 * 0x1p-52,
                 1'500},
        WalkCase{"into the next binade by a step that rounds", 2.0 - 1e-15, 1e-16 * 3.3, 100'000},
        WalkCase{"subnormal steps from zero", 0.0, kDenormMin, 10'000},
        WalkCase{"subnormal steps across into the normals", kSmallestNormal - 5000 * kDenormMin, kDenormMin * 3, 10'000},
        WalkCase{"down from the normals into the subnormals", kSmallestNormal * 2, -kDenormMin * 7e11, 10'000},
        WalkCase{"negative subnormals up to zero", -100 * kDenormMin, kDenormMin, 100},
        WalkCase{"up to overflow", 1.7e308, 1e307, 100},
        WalkCase{"a zero step turns negative zero positive", -0.0, 0.0, 5},
        WalkCase{"a negative zero step keeps negative zero", -0.0, -0.0, 5},
        WalkCase{"an infinite step", 1.0, std::numeric_limits<double>::infinity(), 3},
        WalkCase{"a NaN step", 1.0, std::numeric_limits<double>::quiet_NaN(), 3},
        WalkCase{"a long walk", 1.0, 1e-3, 5'000'000}),
    [](const auto& info) { return test_name(info.param.name); });

// Starts, steps and lengths drawn at random over every scale, many of them at a binade's
// edge or with a step that is a whole number of units there.
TEST(RepeatedSumDrawn, LandsWhereTheStepsDoToTheBit) {
    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<int> exponent(-60, 60);
    std::uniform_real_distribution<double> mantissa(1.0, 2.0);
    std::uniform_int_distribution<std::uint64_t> length(1, 20'000);
    std::uniform_int_distribution<int> kind(0, 3);
    for (int i = 0; i < 3'000; ++i) {
        const int e = exponent(rng);
        double x = std::ldexp(mantissa(rng), e) * (kind(rng) == 0 ? -1.0 : 1.0);
        double step = std::ldexp(mantissa(rng), e - 6 - kind(rng) * 8) * (kind(rng) == 0 ? -1.0 : 1.0);
        if (kind(rng) == 0) x = std::ldexp(1.0, e) - (kind(rng) + 1) * step;  // just short of an edge
        if (kind(rng) == 0) step = std::ldexp(static_cast<double>(kind(rng) * 2 + 1), e - 54);  // half units
        const std::uint64_t n = length(rng);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(repeated_sum(x, step, n)),
                  std::bit_cast<std::uint64_t>(stepped(x, step, n)))
            << "x " << x << ", step " << step << ", n " << n;
    }
}

}  // namespace
