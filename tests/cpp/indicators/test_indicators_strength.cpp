#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "indicators/strength.h"
#include "test_indicators_util.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;
using namespace tarnwick;
using namespace tarnwick::indicators;
using ind_test::NaN;
using ind_test::error_text;

TEST(IndicatorsAdx, WilderSumsByHand) {
    // moves (plus, minus, tr): i1 (1, 0, 1.5), i2 (0, 0.5, 1.5), i3 (1.5, 0, 2), i4 (1, 0, 1.5)
    // period 2 seeds at i2: S+ 1, S- 0.5, Str 3 -> DI 100/3, 50/3 -> DX 100/3
    // i3: S+ (1 - .5) + 1.5 = 2, S- .25, Str 3.5 -> DX (2 - .25)/(2 + .25)*100 = 700/9
    // ADX at 3 = (100/3 + 700/9) / 2 = 500/9
    // i4: S+ 2, S- .125, Str 3.25 -> DX 1.875/2.125*100 = 1500/17; ADX (500/9 + 1500/17) / 2
    const std::vector<double> h{10, 11, 10.5, 12, 13}, l{9, 9.5, 9, 10, 12}, c{9.5, 10.5, 10, 11.5, 12.5};
    const auto r = strength::adx(h, l, c, 2).value();
    ind_test::expect_series(r, {NaN, NaN, NaN, 500.0 / 9, (500.0 / 9 + 1500.0 / 17) / 2});
}

TEST(IndicatorsAdx, FlatAndSteadilyRisingMarkets) {
    std::vector<double> h(12, 11.0), l(12, 9.0), c(12, 10.0);
    const auto flat = strength::adx(h, l, c, 3).value();
    EXPECT_EQ(ind_test::leading_nan(flat), 5u);
    for (std::size_t i = 5; i < 12; ++i) EXPECT_EQ(flat[i], 0.0);

    for (int i = 0; i < 12; ++i) {
        h[i] = 11.0 + i;
        l[i] = 9.0 + i;
        c[i] = 10.0 + i;
    }
    const auto up = strength::adx(h, l, c, 3).value();
    for (std::size_t i = 5; i < 12; ++i) EXPECT_NEAR(up[i], 100.0, 1e-9);
}

TEST(IndicatorsAdx, WarmUpAroundTwicePeriodWithoutWrapping) {
    const std::vector<double> six{1, 2, 3, 4, 5, 6};
    auto exact = strength::adx(six, six, six, 3);  // n == 2 * period: one value
    ASSERT_TRUE(exact.ok());
    EXPECT_EQ(ind_test::leading_nan(*exact), 5u);
    // 2 * period just over n, and 2 * period wrapping to 0 or to 2 in 64 bits.
    const std::uint64_t half = std::uint64_t{1} << 63;
    for (std::uint64_t p : {std::uint64_t{4}, half, half + 1, std::numeric_limits<std::uint64_t>::max()}) {
        const auto r = strength::adx(six, six, six, p).value();
        EXPECT_EQ(ind_test::leading_nan(r), 6u) << p;
    }
}

TEST(IndicatorsAdx, Errors) {
    const std::vector<double> three{1, 2, 3}, two{1, 2};
    EXPECT_EQ(error_text(strength::adx(three, two, three, 0)), "Data length mismatch: expected 3, got 2");
    EXPECT_EQ(error_text(strength::adx(three, three, three, 0)), "Invalid parameter: ADX period must be > 0");
}

TEST(IndicatorsVwap, CumulativeTypicalPrice) {
    // tp 1, 3: (1*1) / 1 = 1; (1 + 3*3) / 4 = 2.5
    auto r = strength::vwap(std::vector<double>{2, 4}, std::vector<double>{0, 2}, std::vector<double>{1, 3},
                            std::vector<double>{1, 3});
    ASSERT_TRUE(r.ok());
    ind_test::expect_series(*r, {1.0, 2.5});
}

TEST(IndicatorsVwap, UndefinedWhileVolumeIsNotPositive) {
    const std::vector<double> p3(3, 3.0), p1(3, 1.0);
    ind_test::expect_series(strength::vwap(p3, p3, p3, std::vector<double>{0, 0, 5}).value(), {NaN, NaN, 3.0});
    // cumulative volume 2, -1, 1
    ind_test::expect_series(strength::vwap(p1, p1, p1, std::vector<double>{2, -3, 2}).value(), {1.0, NaN, 1.0});
    const auto empty = strength::vwap({}, {}, {}, {}).value();
    EXPECT_TRUE(empty.empty());
}

struct VwapLengths {
    std::size_t nh, nl, nc, nv;
    const char* message;
};
class IndicatorsVwapLengths : public ::testing::TestWithParam<VwapLengths> {};
TEST_P(IndicatorsVwapLengths, NamesTheLengthThatDiffers) {
    const auto& c = GetParam();
    std::vector<double> h(c.nh, 1.0), l(c.nl, 1.0), cl(c.nc, 1.0), v(c.nv, 1.0);
    EXPECT_EQ(error_text(strength::vwap(h, l, cl, v)), c.message);
}
INSTANTIATE_TEST_SUITE_P(Indicators, IndicatorsVwapLengths,
                         ::testing::Values(VwapLengths{4, 5, 5, 5, "Data length mismatch: expected 5, got 4"},
                                           VwapLengths{5, 6, 5, 5, "Data length mismatch: expected 5, got 6"},
                                           VwapLengths{5, 5, 5, 4, "Data length mismatch: expected 5, got 4"}),
                         [](const auto& i) {
                             const VwapLengths& c = i.param;
                             return row_name("high", c.nh, "low", c.nl, "close", c.nc, "volume", c.nv);
                         });
