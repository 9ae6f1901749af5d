#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "indicators/tick_features.h"
#include "indicators/tick_signals.h"
#include "test_indicators_util.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;
using namespace tarnwick;
using namespace tarnwick::indicators;
using ind_test::NaN;

namespace {
constexpr std::int64_t kSec = 1'000'000'000;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
const std::vector<std::int64_t> kEvery30s{0, 30 * kSec, 60 * kSec, 90 * kSec};
}  // namespace

struct WindowCase {
    double seconds;
    std::int64_t ns;
};
class IndicatorsTickWindow : public ::testing::TestWithParam<WindowCase> {};
TEST_P(IndicatorsTickWindow, SecondsToNanosecondsSaturates) {
    EXPECT_EQ(tick_features::window_ns(GetParam().seconds), GetParam().ns);
}
INSTANTIATE_TEST_SUITE_P(Indicators, IndicatorsTickWindow,
                         ::testing::Values(WindowCase{60.0, 60 * kSec}, WindowCase{0.5e-9, 0},
                                           WindowCase{-1.5, -1'500'000'000}, WindowCase{NaN, 0},
                                           WindowCase{9.3e9, kMax}, WindowCase{INFINITY, kMax},
                                           WindowCase{-9.3e9, kMin}, WindowCase{-INFINITY, kMin}),
                         [](const auto& i) { return row_name(i.param.seconds, "seconds"); });

TEST(IndicatorsTickReturn, LastTickAtLeastAWindowOld) {
    // i2 base 100 (at 0 s): 2%; i3 base 101 (at 30 s): 2/101*100
    const auto r = tick_features::return_window(kEvery30s, std::vector<double>{100, 101, 102, 103}).value();
    ind_test::expect_series(r, {NaN, NaN, 2.0, 1.9801980198019802});
    const auto zero_base = tick_features::return_window(kEvery30s, std::vector<double>{0, 101, 102, 103}).value();
    ind_test::expect_series(zero_base, {NaN, NaN, NaN, 1.9801980198019802});
}

TEST(IndicatorsTickReturn, NaNWindowComparesWithThePreviousTick) {
    const auto r = tick_features::return_window(kEvery30s, std::vector<double>{100, 101, 102, 103}, NaN).value();
    ind_test::expect_series(r, {NaN, 1.0, 100.0 / 101, 100.0 / 102});
}

TEST(IndicatorsTickReturn, HugeWindowDoesNotWrapTheBound) {
    // -10 ns minus the largest window is below every timestamp: no base, not a wrapped
    // bound above all of them.
    const std::vector<std::int64_t> ts{-30, -20, -10};
    const auto r = tick_features::return_window(ts, std::vector<double>{1, 2, 3}, 1e300).value();
    ind_test::expect_series(r, {NaN, NaN, NaN});
}

TEST(IndicatorsTickReturn, ShortPriceArrayIsRefused) {
    auto r = tick_features::return_window(kEvery30s, std::vector<double>{1, 2, 3});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "Data length mismatch: expected 4, got 3");
    auto v = tick_features::realized_vol_rolling(kEvery30s, std::vector<double>{1, 2, 3});
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.error().message(), "Data length mismatch: expected 4, got 3");
    const auto longer = tick_features::return_window(kEvery30s, std::vector<double>{1, 2, 3, 4, 5}).value();
    EXPECT_EQ(longer.size(), 4u);
}

TEST(IndicatorsTickVol, SampleDeviationOfLogReturns) {
    // Three ticks: returns ln(1.01) and ln(100/101) = -ln(1.01); mean 0; sample deviation
    // sqrt(2 * ln(1.01)^2 / 1).
    const std::vector<std::int64_t> ts{0, kSec, 2 * kSec};
    const auto r = tick_features::realized_vol_rolling(ts, std::vector<double>{100, 101, 100}).value();
    ind_test::expect_series(r, {NaN, NaN, std::sqrt(2.0) * std::log(1.01) * 100.0}, 1e-9);
}

TEST(IndicatorsTickVol, TickExactlyOneWindowBackIsTheFirstBase) {
    // At 90 s with a 60 s window the ticks from 30 s on count: returns ln 0.5 and ln 2.
    const auto r =
        tick_features::realized_vol_rolling(kEvery30s, std::vector<double>{100, 200, 100, 200}, 60.0).value();
    EXPECT_NEAR(r[3], std::sqrt(2.0) * std::log(2.0) * 100.0, 1e-9);
    // A non-positive earlier price drops its pair: at 90 s only ln(200/100) is left.
    const auto skip =
        tick_features::realized_vol_rolling(kEvery30s, std::vector<double>{100, 200, 0, 200}, 60.0).value();
    EXPECT_TRUE(std::isnan(skip[3]));
}

TEST(IndicatorsTickOi, PositionInTheDayRange) {
    ind_test::expect_series(tick_features::oi_position_pct(std::vector<double>{250, 100, 150, NaN}, 200, 100),
                            {150, 0, 50, NaN});
    ind_test::expect_series(tick_features::oi_position_pct(std::vector<double>{1, 2}, 100, 100), {NaN, NaN});
}

TEST(IndicatorsTickVelocity, TicksPerMinute) {
    // 70 s: the ticks after 10 s (20 s and 70 s) over one minute; the 10 s tick is out.
    const std::vector<std::int64_t> ts{0, 10 * kSec, 20 * kSec, 70 * kSec};
    ind_test::expect_series(tick_features::tick_velocity(ts, 60.0), {0, 2, 3, 2});
    // 30 s window = half a minute: 2 / 0.5, 3 / 0.5, and 70 s keeps only itself: 1 / 0.5
    ind_test::expect_series(tick_features::tick_velocity(ts, 30.0), {0, 4, 6, 2});
    for (double w : {0.0, -5.0, NaN}) {
        ind_test::expect_series(tick_features::tick_velocity(ts, w), {0, 0, 0, 0});
    }
    EXPECT_TRUE(tick_features::tick_velocity({}, 60.0).empty());
}

TEST(IndicatorsTickSpread, PercentOfMid) {
    ind_test::expect_series(tick_features::tick_spread_pct(std::vector<double>{99, 0, NaN},
                                                           std::vector<double>{101, 0, 5, 7, 8}),
                            {2, 0, 0});
}

TEST(IndicatorsTickImbalance, IncrementsOfCumulativeTotals) {
    // increments (buy, sell): (10, 0) -> 1; (0, 10) -> 0; (fall, 5) -> 0
    auto r = tick_features::buy_sell_imbalance_delta(std::vector<double>{0, 10, 10, 5},
                                                     std::vector<double>{0, 0, 10, 15});
    ASSERT_TRUE(r.ok());
    ind_test::expect_series(*r, {0.5, 1, 0, 0});
    const auto gap =
        tick_features::buy_sell_imbalance_delta(std::vector<double>{0, NaN, 4}, std::vector<double>{0, 1, 2}).value();
    ind_test::expect_series(gap, {0.5, 0, 0});  // NaN differences count as nothing bought
    const auto one = tick_features::buy_sell_imbalance_delta(std::vector<double>{3}, std::vector<double>{3}).value();
    ind_test::expect_series(one, {0.5});
    auto short_sell = tick_features::buy_sell_imbalance_delta(std::vector<double>{1, 2, 3}, std::vector<double>{1});
    ASSERT_FALSE(short_sell.ok());
    EXPECT_EQ(short_sell.error().message(), "Data length mismatch: expected 3, got 1");
}

namespace {
std::vector<std::size_t> entries(const std::vector<std::int8_t>& s) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i]) at.push_back(i);
    }
    return at;
}
}  // namespace

TEST(IndicatorsTickEntry, CooldownSpacing) {
    const std::vector<double> s(25, 1.0);
    EXPECT_EQ(entries(tick_signals::compute_tick_entry_signals(s, {}, {})), (std::vector<std::size_t>{0, 11, 22}));
    EXPECT_EQ(entries(tick_signals::compute_tick_entry_signals(s, {}, {}, 5.0, 0.0, 0.0, 1, 0)).size(), 25u);
    EXPECT_EQ(entries(tick_signals::compute_tick_entry_signals(s, {}, {}, 5.0, 0.0, 0.0, 1,
                                                               std::numeric_limits<std::uint64_t>::max())),
              (std::vector<std::size_t>{0}));
}

struct GateCase {
    const char* label;
    std::vector<double> spread, bsi, ret;
    double spread_max, bsi_min, ret_min;
    std::int8_t direction;
    std::vector<std::size_t> want;
};
class IndicatorsTickGates : public ::testing::TestWithParam<GateCase> {};
TEST_P(IndicatorsTickGates, Entries) {
    const auto& c = GetParam();
    auto out = tick_signals::compute_tick_entry_signals(c.spread, c.bsi, c.ret, c.spread_max, c.bsi_min, c.ret_min,
                                                        c.direction, 0);
    EXPECT_EQ(out.size(), c.spread.size());
    EXPECT_EQ(entries(out), c.want);
}
INSTANTIATE_TEST_SUITE_P(
    Indicators, IndicatorsTickGates,
    ::testing::Values(
        GateCase{"spread", {1, 6, NaN, 5}, {}, {}, 5.0, 0, 0, 1, {0, 2, 3}},
        GateCase{"spread_zero_max", {0, 0.1, -1}, {}, {}, 0.0, 0, 0, 1, {0, 2}},
        GateCase{"bsi", {1, 1, 1, 1}, {0.5, 0.6, NaN}, {}, 5.0, 0.6, 0, 1, {1, 2}},
        GateCase{"bsi_off_ignores_short", {1, 1}, {}, {}, 5.0, 0.0, 0, 1, {0, 1}},
        GateCase{"long", {1, 1, 1, 1}, {}, {0.2, -0.2, 0.05, NaN}, 5.0, 0, 0.1, 1, {0}},
        GateCase{"short", {1, 1, 1}, {}, {0.2, -0.2, -0.1}, 5.0, 0, 0.1, -1, {1, 2}},
        GateCase{"short_min", {1, 1}, {}, {0.3, -0.3}, 5.0, 0, 0.1, -128, {1}},
        GateCase{"either", {1, 1, 1, 1}, {}, {0.2, -0.2, 0.0, 5}, 5.0, 0, 0.1, 0, {0, 1, 3}},
        GateCase{"return_short_array", {1, 1, 1}, {}, {0.5}, 5.0, 0, 0.1, 1, {0}},
        GateCase{"return_off", {1, 1}, {}, {-5}, 5.0, 0, 0.0, 1, {0, 1}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(IndicatorsTickExit, AtOrAfterTheInstant) {
    const std::vector<std::int64_t> ts{-5, 10, 20, 30};
    EXPECT_EQ(tick_signals::compute_tick_exit_signals(ts, 0), (std::vector<std::int8_t>{0, 0, 0, 0}));
    EXPECT_EQ(tick_signals::compute_tick_exit_signals(ts, 20), (std::vector<std::int8_t>{0, 0, 1, 1}));
    EXPECT_EQ(tick_signals::compute_tick_exit_signals(ts, -6), (std::vector<std::int8_t>{1, 1, 1, 1}));
    EXPECT_EQ(tick_signals::compute_tick_exit_signals(std::vector<std::int64_t>{30, 10}, 20),
              (std::vector<std::int8_t>{1, 0}));
}
