#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "indicators/momentum.h"
#include "test_indicators_util.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;
using namespace tarnwick;
using namespace tarnwick::indicators;
using ind_test::NaN;
using ind_test::error_text;

namespace {
constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
}

TEST(IndicatorsRsi, NoLossesIsHundred) {
    ind_test::expect_series(momentum::rsi(std::vector<double>{1, 2, 3, 4, 5}, 2).value(), {NaN, NaN, 100, 100, 100});
    ind_test::expect_series(momentum::rsi(std::vector<double>(6, 7.0), 3).value(), {NaN, NaN, NaN, 100, 100, 100});
}

TEST(IndicatorsRsi, WilderAveragesByHand) {
    // moves +1, -1, +1, +1; seed gains (1 + 0) / 2, losses (0 + 1) / 2 -> RS 1 -> 50
    // then gain 0.5*.5 + 1*.5 = 0.75, loss 0.25 -> RS 3 -> 75
    // then gain 0.875, loss 0.125 -> RS 7 -> 87.5
    ind_test::expect_series(momentum::rsi(std::vector<double>{1, 2, 1, 2, 3}, 2).value(), {NaN, NaN, 50, 75, 87.5});
}

TEST(IndicatorsRsi, WarmUpAndNaN) {
    const std::vector<double> d{1, 2, 3, 2, 1};
    auto one = momentum::rsi(d, 4);  // period n - 1: a single value at the end
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(ind_test::leading_nan(*one), 4u);
    EXPECT_DOUBLE_EQ((*one)[4], 50.0);  // gains 2/4, losses 2/4
    for (std::uint64_t p : {std::uint64_t{5}, kHuge}) {
        const auto none = momentum::rsi(d, p).value();
        EXPECT_EQ(ind_test::leading_nan(none), 5u);
    }
    const auto nan = momentum::rsi(std::vector<double>{1, 2, 3, NaN, 5, 6, 7}, 2).value();
    ind_test::expect_series(nan, {NaN, NaN, 100, NaN, NaN, NaN, NaN});
    EXPECT_EQ(error_text(momentum::rsi({}, 0)), "Invalid parameter: RSI period must be > 0");
}

TEST(IndicatorsMacd, ExactFractionsOnADoublingSeries) {
    // fast 1 (the data), slow 2 (alpha 2/3, seed 3/2): 3/2, 19/6, 115/18, 691/54, 4147/162
    // macd: 1/2, 5/6, 29/18, 173/54, 1037/162 from index 1
    // signal 2: seed (1/2 + 5/6) / 2 = 2/3 at index 2; then 35/27, 208/81, 1245/243
    const auto r = momentum::macd(std::vector<double>{1, 2, 4, 8, 16, 32}, 1, 2, 2).value();
    ind_test::expect_series(r.macd, {NaN, 1.0 / 2, 5.0 / 6, 29.0 / 18, 173.0 / 54, 1037.0 / 162});
    ind_test::expect_series(r.signal, {NaN, NaN, 2.0 / 3, 35.0 / 27, 208.0 / 81, 1245.0 / 243});
    ind_test::expect_series(r.histogram,
                            {NaN, NaN, 1.0 / 6, 17.0 / 54, 103.0 / 162, 1037.0 / 162 - 1245.0 / 243});
}

TEST(IndicatorsMacd, DefaultWarmUp) {
    std::vector<double> d(40);
    for (int i = 0; i < 40; ++i) d[i] = 100 + i * 0.5 + (i % 4);
    const auto r = momentum::macd(d, 12, 26, 9).value();
    EXPECT_EQ(ind_test::leading_nan(r.macd), 25u);
    EXPECT_EQ(ind_test::leading_nan(r.signal), 33u);
    EXPECT_EQ(ind_test::leading_nan(r.histogram), 33u);

    const auto short30 = momentum::macd(std::span<const double>(d).first(30), 12, 26, 9).value();
    EXPECT_EQ(ind_test::leading_nan(short30.macd), 25u);
    EXPECT_EQ(ind_test::leading_nan(short30.signal), 30u);
}

TEST(IndicatorsMacd, HugeSignalPeriodDoesNotWrap) {
    // slow + signal - 2 would wrap to slow - 1 (a valid index) if it were not clamped.
    std::vector<double> d(10, 1.0);
    for (std::uint64_t sig : {kHuge, kHuge - 1, std::uint64_t{10}}) {  // 2 + 10 - 2 = 10 = n
        const auto r = momentum::macd(d, 1, 2, sig).value();
        EXPECT_EQ(ind_test::leading_nan(r.macd), 1u);
        EXPECT_EQ(ind_test::leading_nan(r.signal), 10u) << sig;
        EXPECT_EQ(ind_test::leading_nan(r.histogram), 10u);
    }
    const auto huge_slow = momentum::macd(d, 1, kHuge, kHuge).value();
    EXPECT_EQ(ind_test::leading_nan(huge_slow.macd), 10u);
}

TEST(IndicatorsMacd, NaNBlanksTheRestOfTheSignal) {
    std::vector<double> d{1, 2, 3, 4, 5, NaN, 7, 8, 9};
    const auto r = momentum::macd(d, 1, 2, 2).value();
    EXPECT_FALSE(std::isnan(r.signal[4]));
    for (std::size_t i = 5; i < d.size(); ++i) {
        EXPECT_TRUE(std::isnan(r.macd[i]));
        EXPECT_TRUE(std::isnan(r.signal[i]));
        EXPECT_TRUE(std::isnan(r.histogram[i]));
    }
}

struct MacdErrorCase {
    std::uint64_t fast, slow, signal;
    const char* message;
};
class IndicatorsMacdErrors : public ::testing::TestWithParam<MacdErrorCase> {};
TEST_P(IndicatorsMacdErrors, Message) {
    const auto& c = GetParam();
    EXPECT_EQ(error_text(momentum::macd(std::vector<double>{1, 2, 3}, c.fast, c.slow, c.signal)), c.message);
}
INSTANTIATE_TEST_SUITE_P(
    Indicators, IndicatorsMacdErrors,
    ::testing::Values(MacdErrorCase{12, 12, 9, "Invalid parameter: MACD fast period must be < slow period"},
                      MacdErrorCase{26, 12, 9, "Invalid parameter: MACD fast period must be < slow period"},
                      MacdErrorCase{26, 12, 0, "Invalid parameter: MACD periods must be > 0"},
                      MacdErrorCase{0, 26, 9, "Invalid parameter: MACD periods must be > 0"}),
    [](const auto& i) { return row_name("fast", i.param.fast, "slow", i.param.slow, "signal", i.param.signal); });

TEST(IndicatorsStochastic, ByHand) {
    // k=2: i1 hh 4 ll 1 -> (3-1)/3*100; i2 hh 5 ll 2 -> 100; i3 hh 5 ll 1 -> (2-1)/4*100 = 25
    // d=2: (200/3 + 100)/2 = 250/3, (100 + 25)/2 = 62.5
    const std::vector<double> h{3, 4, 5, 4}, l{1, 2, 3, 1}, c{2, 3, 5, 2};
    const auto r = momentum::stochastic(h, l, c, 2, 2).value();
    ind_test::expect_series(r.k, {NaN, 200.0 / 3, 100, 25});
    ind_test::expect_series(r.d, {NaN, NaN, 250.0 / 3, 62.5});
}

TEST(IndicatorsStochastic, NoRangeIsFiftyAndNaNSkipping) {
    // Window of equal highs and lows -> 50; a NaN high is skipped by the window extreme;
    // a NaN close with a range gives NaN %K, and %D is NaN while it is in the window.
    const std::vector<double> h{5, 5, NaN, 8, 8, 8}, l{5, 5, 4, 4, 4, 4}, c{5, 5, 4, NaN, 6, 8};
    const auto r = momentum::stochastic(h, l, c, 2, 2).value();
    // i1 50; i2 hh 5 ll 4 -> 0; i3 NaN close; i4 hh 8 ll 4 -> 50; i5 -> 100
    ind_test::expect_series(r.k, {NaN, 50, 0, NaN, 50, 100});
    ind_test::expect_series(r.d, {NaN, NaN, 25, NaN, NaN, 75});
}

TEST(IndicatorsStochastic, AgreesWithAFreshScanOfEveryWindow) {
    std::vector<double> h(60), l(60), c(60);
    for (int i = 0; i < 60; ++i) {
        c[i] = 50 + ((i * 37) % 17) * 0.5;
        h[i] = c[i] + (i % 5) * 0.25;
        l[i] = c[i] - (i % 3) * 0.5;
    }
    h[20] = NaN;
    l[33] = NaN;
    const auto r = momentum::stochastic(h, l, c, 7, 3).value();
    for (int i = 6; i < 60; ++i) {
        double hh = -INFINITY, ll = INFINITY;
        for (int j = i - 6; j <= i; ++j) {
            if (h[j] > hh) hh = h[j];
            if (l[j] < ll) ll = l[j];
        }
        const double want = hh - ll > 0 ? (c[i] - ll) / (hh - ll) * 100.0 : 50.0;
        EXPECT_DOUBLE_EQ(r.k[i], want) << i;
    }
}

TEST(IndicatorsStochastic, WarmUpAndErrors) {
    const std::vector<double> h{3, 4, 5}, l{1, 2, 3}, c{2, 3, 4};
    const auto last = momentum::stochastic(h, l, c, 3, 2).value();
    EXPECT_EQ(ind_test::leading_nan(last.k), 2u);
    EXPECT_EQ(ind_test::leading_nan(last.d), 3u);
    const auto huge_d = momentum::stochastic(h, l, c, 2, kHuge).value();
    EXPECT_EQ(ind_test::leading_nan(huge_d.k), 1u);
    EXPECT_EQ(ind_test::leading_nan(huge_d.d), 3u);

    const std::vector<double> two{1, 2};
    EXPECT_EQ(error_text(momentum::stochastic(h, two, c, 0, 0)), "Data length mismatch: expected 3, got 2");
    EXPECT_EQ(error_text(momentum::stochastic(h, l, c, 3, 0)), "Invalid parameter: Stochastic periods must be > 0");
}
