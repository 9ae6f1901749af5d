#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "indicators/trend.h"
#include "test_indicators_util.h"

using namespace tarnwick;
using namespace tarnwick::base;
using namespace tarnwick::indicators;
using ind_test::NaN;

namespace {
constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
const std::vector<double> kOneToFive{1, 2, 3, 4, 5};
}  // namespace

TEST(IndicatorsSma, ThreeBarWindow) {
    ind_test::expect_series(trend::sma(kOneToFive, 3).value(), {NaN, NaN, 2.0, 3.0, 4.0});
}

TEST(IndicatorsSma, LeavingValueIsSubtractedBeforeTheEnteringOneIsAdded) {
    // sum = 1e16 + 1 rounds to 1e16 -> 5e15; then (1e16 - 1e16) + 1 = 1 -> 0.5.
    // Adding first would give (1e16 + 1) - 1e16 = 0.
    ind_test::expect_bits(trend::sma(std::vector<double>{1e16, 1, 1}, 2).value(), {NaN, 5e15, 0.5});
}

TEST(IndicatorsSma, NaNPoisonsTheRunningSumForGood) {
    const auto r = trend::sma(std::vector<double>{1, 2, 3, NaN, 5, 6, 7}, 2).value();
    ind_test::expect_series(r, {NaN, 1.5, 2.5, NaN, NaN, NaN, NaN});
}

TEST(IndicatorsEma, SeededWithTheMeanThenRecursive) {
    auto r = trend::ema(kOneToFive, 3);  // alpha 0.5: 2*.5 + 4*.5 = 3, 3*.5 + 5*.5 = 4
    ASSERT_TRUE(r.ok());
    ind_test::expect_series(*r, {NaN, NaN, 2.0, 3.0, 4.0});

    // alpha 2/3: seed (2 + 4) / 2 = 3; 3/3 + 6*2/3 = 5; 5/3 + 8*2/3 = 7
    ind_test::expect_series(trend::ema(std::vector<double>{2, 4, 6, 8}, 2).value(), {NaN, 3.0, 5.0, 7.0});
}

TEST(IndicatorsEma, PeriodOneFollowsTheInputUntilANaN) {
    ind_test::expect_series(trend::ema(std::vector<double>{4, 5, NaN, 7}, 1).value(), {4, 5, NaN, NaN});
}

// Both averages share the warm-up and error rules.
using MovingAverage = Result<std::vector<double>, CoreError> (*)(std::span<const double>, std::uint64_t);
struct AverageCase {
    MovingAverage fn;
    const char* zero_message;
};
class IndicatorsMovingAverage : public ::testing::TestWithParam<AverageCase> {};

TEST_P(IndicatorsMovingAverage, PeriodEqualToLengthGivesOneValue) {
    ind_test::expect_series(GetParam().fn(kOneToFive, 5).value(), {NaN, NaN, NaN, NaN, 3.0});
}

TEST_P(IndicatorsMovingAverage, LongerPeriodsGiveFullLengthNaN) {
    for (std::uint64_t p : {std::uint64_t{6}, std::uint64_t{1} << 62, kHuge}) {
        const auto r = GetParam().fn(kOneToFive, p).value();
        EXPECT_EQ(r.size(), 5u);
        EXPECT_EQ(ind_test::leading_nan(r), 5u);
    }
}

TEST_P(IndicatorsMovingAverage, EmptyInputAndZeroPeriod) {
    const auto e = GetParam().fn({}, 5).value();
    EXPECT_TRUE(e.empty());
    auto z = GetParam().fn({}, 0);
    ASSERT_FALSE(z.ok());
    EXPECT_EQ(z.error().message(), GetParam().zero_message);
}

INSTANTIATE_TEST_SUITE_P(
    Indicators, IndicatorsMovingAverage,
    ::testing::Values(AverageCase{&trend::sma, "Invalid parameter: SMA period must be > 0"},
                      AverageCase{&trend::ema, "Invalid parameter: EMA period must be > 0"}),
    [](const auto& i) { return std::string(i.param.fn == &trend::sma ? "sma" : "ema"); });

TEST(IndicatorsSupertrend, FlipsUpAndBackDown) {
    // period 1, multiplier 1: ATR = true range = 2, 2, 4, 3.5, 4
    //   hl2 = 9, 10, 13, 11, 8; basic upper = 11, 12, 17, 14.5, 12; basic lower = 7, 8, 9, 7.5, 4
    // i0: upper 11 >= close 9 -> down, 11
    // i1: upper min(12, 11) = 11, lower max(8, 7) = 8; close 10 <= 11 -> down, 11
    // i2: upper 11, lower 9; close 13.5 > 11 -> up, 9
    // i3: prev close 13.5 above upper 11 -> upper resets to 14.5; lower max(7.5, 9) = 9; up, 9
    // i4: upper min(12, 14.5) = 12, lower max(4, 9) = 9 > close 7.5 -> down, 12
    const std::vector<double> h{10, 11, 14, 12, 9}, l{8, 9, 12, 10, 7}, c{9, 10, 13.5, 11, 7.5};
    const auto r = trend::supertrend(h, l, c, 1, 1.0).value();
    ind_test::expect_series(r.value, {11, 11, 9, 9, 12});
    EXPECT_EQ(r.direction, (std::vector<std::int8_t>{-1, -1, 1, 1, -1}));
}

TEST(IndicatorsSupertrend, WarmUpLeadsWithNaNAndZeroDirections) {
    std::vector<double> h(8), l(8), c(8);
    for (int i = 0; i < 8; ++i) {
        c[i] = 100 + (i % 3) - (i % 2);
        h[i] = c[i] + 1;
        l[i] = c[i] - 1;
    }
    const auto r = trend::supertrend(h, l, c, 3, 2.0).value();
    EXPECT_EQ(ind_test::leading_nan(r.value), 2u);
    for (int i = 0; i < 8; ++i) {
        if (i < 2) EXPECT_EQ(r.direction[i], 0);
        else EXPECT_TRUE(r.direction[i] == 1 || r.direction[i] == -1);
    }
    for (std::uint64_t p : {std::uint64_t{8}, kHuge}) {
        const auto all = trend::supertrend(h, l, c, p, 2.0).value();
        EXPECT_EQ(ind_test::leading_nan(all.value), 8u);
        EXPECT_EQ(all.direction, std::vector<std::int8_t>(8, 0));
    }
}

TEST(IndicatorsSupertrend, Errors) {
    const std::vector<double> five(5, 1.0), four(4, 1.0);
    auto low_short = trend::supertrend(five, four, five, 0, 3.0);
    ASSERT_FALSE(low_short.ok());
    EXPECT_EQ(low_short.error().message(), "Data length mismatch: expected 5, got 4");
    auto zero = trend::supertrend(five, five, five, 0, 3.0);
    ASSERT_FALSE(zero.ok());
    EXPECT_EQ(zero.error().message(), "Invalid parameter: Supertrend period must be > 0");
}
