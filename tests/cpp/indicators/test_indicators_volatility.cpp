#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "indicators/volatility.h"
#include "test_indicators_util.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;
using namespace tarnwick;
using namespace tarnwick::indicators;
using ind_test::NaN;
using ind_test::error_text;

namespace {

constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();

// Bars used by several ATR cases. True ranges:
//   TR0 = 10 - 8 = 2
//   TR1 = max(12 - 9, |12 - 9|, |9 - 9|) = 3
//   TR2 = max(11 - 9, |11 - 11|, |9 - 11|) = 2
//   TR3 = max(13 - 10, |13 - 10|, |10 - 10|) = 3
//   TR4 = max(12 - 11, |12 - 12|, |11 - 12|) = 1
const std::vector<double> kHigh{10, 12, 11, 13, 12};
const std::vector<double> kLow{8, 9, 9, 10, 11};
const std::vector<double> kClose{9, 11, 10, 12, 11.5};

}  // namespace

TEST(IndicatorsAtr, WilderSmoothingOverHandComputedTrueRanges) {
    // seed (2 + 3) / 2 = 2.5; then x * 0.5 + TR * 0.5: 2.25, 2.625, 1.8125
    ind_test::expect_series(volatility::atr(kHigh, kLow, kClose, 2).value(), {NaN, 2.5, 2.25, 2.625, 1.8125});
}

TEST(IndicatorsAtr, PeriodOneIsTheTrueRange) {
    // TR1 = max(1.0, |11 - 9.5| = 1.5, |10 - 9.5| = 0.5) = 1.5
    const std::vector<double> h{10, 11}, l{9, 10}, c{9.5, 10.5};
    ind_test::expect_series(volatility::atr(h, l, c, 1).value(), {1.0, 1.5});
}

TEST(IndicatorsAtr, MissingCloseNarrowsTheNextTrueRange) {
    // close[3] NaN: TR4 falls back to high - low = 1, the same as with the close present,
    // so the series equals the complete one.
    std::vector<double> c = kClose;
    c[3] = NaN;
    ind_test::expect_series(volatility::atr(kHigh, kLow, c, 2).value(), {NaN, 2.5, 2.25, 2.625, 1.8125});
}

TEST(IndicatorsAtr, AllTermsMissingPoisonsTheRest) {
    std::vector<double> h = kHigh, l = kLow, c = kClose;
    h[2] = NaN;
    c[1] = NaN;  // TR2 = max(NaN, NaN, NaN)
    ind_test::expect_series(volatility::atr(h, l, c, 2).value(), {NaN, 2.5, NaN, NaN, NaN});
}

TEST(IndicatorsAtr, WarmUpDependsOnPeriodVersusLength) {
    // One less than the length: seed at index 3 = (2 + 3 + 2 + 3) / 4 = 2.5, then
    // 2.5 * 0.75 + 1 * 0.25 = 2.125.
    ind_test::expect_series(volatility::atr(kHigh, kLow, kClose, 4).value(), {NaN, NaN, NaN, 2.5, 2.125});

    for (std::uint64_t p : {std::uint64_t{5}, std::uint64_t{6}, kHuge}) {
        const auto r = volatility::atr(kHigh, kLow, kClose, p).value();
        EXPECT_EQ(r.size(), 5u);
        EXPECT_EQ(ind_test::leading_nan(r), 5u) << "period " << p;
    }
    const auto empty = volatility::atr({}, {}, {}, 3).value();
    EXPECT_TRUE(empty.empty());
}

TEST(IndicatorsAtr, UndefinedElementsAreTheDefaultQuietNaN) {
    const auto r = volatility::atr(kHigh, kLow, kClose, 3).value();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(r[0]), 0x7ff8000000000000ull);
}

struct LengthCase {
    std::size_t nh, nl, nc;
    const char* message;
};
class IndicatorsAtrLengths : public ::testing::TestWithParam<LengthCase> {};
TEST_P(IndicatorsAtrLengths, NamesTheLengthThatDiffers) {
    const auto& c = GetParam();
    std::vector<double> h(c.nh, 1.0), l(c.nl, 1.0), cl(c.nc, 1.0);
    auto r = volatility::atr(h, l, cl, 0);  // the length check comes before the period check
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
}
INSTANTIATE_TEST_SUITE_P(Indicators, IndicatorsAtrLengths,
                         ::testing::Values(LengthCase{10, 9, 9, "Data length mismatch: expected 9, got 10"},
                                           LengthCase{9, 7, 9, "Data length mismatch: expected 9, got 7"},
                                           LengthCase{9, 9, 10, "Data length mismatch: expected 10, got 9"}),
                         [](const auto& i) {
                             return row_name("high", i.param.nh, "low", i.param.nl, "close", i.param.nc);
                         });

TEST(IndicatorsAtr, ZeroPeriodRefused) {
    EXPECT_EQ(error_text(volatility::atr({}, {}, {}, 0)), "Invalid parameter: ATR period must be > 0");
}

TEST(IndicatorsBollinger, PopulationDeviationAboutTheMovingAverage) {
    // period 2: mean 2, var ((1-2)^2 + (3-2)^2) / 2 = 1, width 2 -> 4, 0; mean 4 -> 6, 2
    const auto r = volatility::bollinger_bands(std::vector<double>{1, 3, 5}, 2, 2.0).value();
    ind_test::expect_series(r.upper, {NaN, 4, 6});
    ind_test::expect_series(r.middle, {NaN, 2, 4});
    ind_test::expect_series(r.lower, {NaN, 0, 2});
}

TEST(IndicatorsBollinger, ConstantSeriesCollapsesTheBands) {
    const auto r = volatility::bollinger_bands(std::vector<double>(6, 5.0), 4, 2.0).value();
    ind_test::expect_series(r.upper, {NaN, NaN, NaN, 5, 5, 5});
    ind_test::expect_series(r.lower, {NaN, NaN, NaN, 5, 5, 5});
}

TEST(IndicatorsBollinger, NaNWidthAndShortOrEmptyData) {
    const auto nan_k = volatility::bollinger_bands(std::vector<double>{1, 3, 5}, 2, NaN).value();
    ind_test::expect_series(nan_k.middle, {NaN, 2, 4});
    EXPECT_EQ(ind_test::leading_nan(nan_k.upper), 3u);
    const auto empty = volatility::bollinger_bands({}, 20, 2.0).value();
    EXPECT_TRUE(empty.upper.empty() && empty.middle.empty() && empty.lower.empty());
    const auto longer = volatility::bollinger_bands(std::vector<double>{1, 2}, kHuge, 2.0).value();
    EXPECT_EQ(ind_test::leading_nan(longer.middle), 2u);
    EXPECT_EQ(longer.upper.size(), 2u);
}

TEST(IndicatorsBollinger, PeriodIsCheckedBeforeWidth) {
    const std::string prefix = "Invalid parameter: Bollinger Bands ";
    EXPECT_EQ(error_text(volatility::bollinger_bands({}, 0, 0.0)), prefix + "period must be > 0");
    EXPECT_EQ(error_text(volatility::bollinger_bands({}, 3, -1.0)), prefix + "std_dev must be > 0");
}

TEST(IndicatorsRolling, SkipsNaNWithinTheWindow) {
    ind_test::expect_series(volatility::rolling_max(std::vector<double>{1, NaN, 3, NaN, NaN}, 2).value(),
                            {NaN, 1, 3, 3, NaN});
    ind_test::expect_series(volatility::rolling_min(std::vector<double>{4, 2, 3, 5, 1}, 3).value(),
                            {NaN, NaN, 2, 2, 1});
}

TEST(IndicatorsRolling, TheFoldStartValueIsNoValue) {
    const double inf = std::numeric_limits<double>::infinity();
    ind_test::expect_series(volatility::rolling_min(std::vector<double>{inf, inf, 2}, 2).value(), {NaN, NaN, 2});
    ind_test::expect_series(volatility::rolling_max(std::vector<double>{-inf, -inf, inf}, 2).value(), {NaN, NaN, inf});
}

TEST(IndicatorsRolling, EqualExtremesKeepTheNewest) {
    // compared bit for bit, so the sign of the zero counts
    ind_test::expect_bits(volatility::rolling_max(std::vector<double>{0.0, -0.0}, 2).value(), {NaN, -0.0});
    ind_test::expect_bits(volatility::rolling_min(std::vector<double>{-0.0, 0.0}, 2).value(), {NaN, 0.0});
}

TEST(IndicatorsRolling, AgreesWithAFreshScanOfEveryWindow) {
    std::vector<double> d(300);
    std::uint64_t s = 12345;
    for (auto& x : d) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        x = static_cast<double>(s >> 40) / 1e4;
        if ((s >> 20) % 11 == 0) x = NaN;
    }
    for (std::uint64_t p : {1, 2, 5, 17, 299, 300}) {
        auto mn = volatility::rolling_min(d, p);
        auto mx = volatility::rolling_max(d, p);
        ASSERT_TRUE(mn.ok() && mx.ok());
        for (std::size_t i = 0; i < d.size(); ++i) {
            double lo = INFINITY, hi = -INFINITY;
            if (i + 1 >= p) {
                for (std::size_t j = i + 1 - p; j <= i; ++j) {
                    if (d[j] <= lo) lo = d[j];
                    if (d[j] >= hi) hi = d[j];
                }
            }
            ind_test::expect_series({(*mn)[i], (*mx)[i]}, {lo == INFINITY ? NaN : lo, hi == -INFINITY ? NaN : hi});
        }
    }
}

TEST(IndicatorsRolling, PeriodLimits) {
    const auto longer = volatility::rolling_min(std::vector<double>{1, 2}, kHuge).value();
    EXPECT_EQ(ind_test::leading_nan(longer), 2u);
    for (auto fn : {&volatility::rolling_min, &volatility::rolling_max}) {
        EXPECT_EQ(error_text(fn(std::vector<double>{1, 2}, 0)), "Invalid parameter: period must be at least 1");
    }
}

TEST(IndicatorsRolling, LongWindowsOutgrowTheInitialRoom) {
    // Falling data keeps every element of the window a candidate for the maximum, so the
    // window storage must grow well past its initial room; the maximum is the oldest.
    std::vector<double> d(5000);
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = 1e6 - static_cast<double>(i);
    const auto r = volatility::rolling_max(d, 3000).value();
    EXPECT_EQ(ind_test::leading_nan(r), 2999u);
    for (std::size_t i = 2999; i < d.size(); ++i) ASSERT_EQ(r[i], d[i - 2999]) << i;
}
