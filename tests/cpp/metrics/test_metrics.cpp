#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "metrics/metrics.h"
#include "metrics/return_stats.h"
#include "metrics/tail_percentiles.h"
#include "metrics/tail_ratio_reference.h"
#include "test_names.h"

using tarnwick::testing_support::number_name;
using tarnwick::testing_support::row_name;
using namespace tarnwick;
using namespace tarnwick::domain;
using namespace tarnwick::metrics;
using tarnwick::testing_support::tail_ratio_by_sorting;

namespace {

constexpr std::int64_t kSec = 1'000'000'000;
constexpr std::int64_t kT0 = 1'700'000'000'000'000'000;

metrics::MetricsSettings daily(double capital = 1000.0) {
    metrics::MetricsSettings s;
    s.initial_capital = capital;
    s.periods_per_year = 252.0;
    return s;
}

TradeRecord trade(double pnl, double return_pct, std::uint64_t entry_idx, std::uint64_t exit_idx,
                  ExitReason reason = ExitReason::Signal) {
    TradeRecord t;
    t.pnl = pnl;
    t.return_pct = return_pct;
    t.entry_idx = entry_idx;
    t.exit_idx = exit_idx;
    t.entry_time = kT0 + static_cast<std::int64_t>(entry_idx) * 60 * kSec;
    t.exit_time = kT0 + static_cast<std::int64_t>(exit_idx) * 60 * kSec;
    t.exit_reason = reason;
    t.size = 1.0;
    return t;
}

// ---------------------------------------------------------------------------------------

TEST(MetricsEmpty, FixedValuesForARunWithoutData) {
    const BacktestMetrics m = metrics::compute_metrics({}, {}, {}, {}, {}, daily(200000.0));
    // Sums over nothing keep the sign of their negative-zero start.
    for (const double sum : {m.total_fees_paid, m.total_turnover, m.open_trade_pnl}) {
        EXPECT_TRUE(sum == 0.0 && std::signbit(sum));
    }
    const std::vector<std::pair<double, double>> fixed = {
        {m.sharpe_ratio, 0.0}, {m.sortino_ratio, 0.0}, {m.omega_ratio, 1.0}, {m.calmar_ratio, 0.0},
        {m.profit_factor, 0.0}, {m.payoff_ratio, 0.0}, {m.recovery_factor, 0.0}, {m.start_value, 200000.0},
        {m.end_value, 200000.0}, {m.total_return_pct, 0.0}, {m.win_rate_pct, 0.0}, {m.sqn, 0.0},
        {m.exposure_pct, 0.0}, {m.ulcer_index, 0.0}};
    for (std::size_t i = 0; i < fixed.size(); ++i) EXPECT_EQ(fixed[i].first, fixed[i].second) << "row " << i;
    EXPECT_EQ(m.total_trades, 0u);
    for (const auto& opt : {m.max_drawdown_duration_secs, m.avg_win_pct, m.avg_loss_pct, m.avg_winning_duration,
                            m.avg_losing_duration, m.avg_holding_period_secs, m.return_skew, m.return_kurtosis,
                            m.tail_ratio, m.cost_to_gross_profit_pct, m.breakeven_cost_multiple,
                            m.return_consistency_pct, m.avg_drawdown_pct, m.mae_mfe_coverage_pct, m.avg_mae_pnl,
                            m.mfe_capture_ratio}) {
        EXPECT_FALSE(opt.has_value());
    }
}

// ---------------------------------------------------------------------------------------
// Return statistics.

TEST(MetricsReturnStats, TooFewReturnsGiveNeutralValues) {
    for (const std::vector<double>& r : {std::vector<double>{}, {0.05}, {NAN, 0.05, NAN}}) {
        const auto s = metrics::return_stats(r, 252.0, 0.0);
        EXPECT_EQ(s.sharpe, 0.0);
        EXPECT_EQ(s.sortino, 0.0);
        EXPECT_EQ(s.omega, 1.0);
        EXPECT_FALSE(s.skew || s.kurtosis);
    }
}

TEST(MetricsReturnStats, HandComputedRatios) {
    // r = 0.02, -0.01, 0.03, NaN (ignored): n 3, mean 0.04/3.
    const std::vector<double> r = {0.02, -0.01, 0.03, NAN};
    const auto s = metrics::return_stats(r, 4.0, 0.04);  // 1% risk-free per period
    const double mean = 0.04 / 3.0;
    const double excess = mean - 0.01;
    const double var = (std::pow(0.02 - mean, 2) + std::pow(-0.01 - mean, 2) + std::pow(0.03 - mean, 2)) / 2.0;
    EXPECT_NEAR(s.sharpe, excess / std::sqrt(var) * 2.0, 1e-12);
    // Downside: sqrt(0.0001 / 3) over all three returns.
    EXPECT_NEAR(s.sortino, 2.0 * excess / std::sqrt(0.0001 / 3.0), 1e-12);
    EXPECT_NEAR(s.omega, 0.05 / 0.01, 1e-12);
    ASSERT_TRUE(s.skew.has_value());
    EXPECT_FALSE(s.kurtosis.has_value());
}

TEST(MetricsReturnStats, NoLossesMeansUnboundedSortinoAndOmega) {
    const auto up = metrics::return_stats(std::vector<double>{0.01, 0.0, 0.02}, 252.0, 0.0);
    EXPECT_EQ(up.sortino, INFINITY);
    EXPECT_EQ(up.omega, INFINITY);
    const auto flat = metrics::return_stats(std::vector<double>{0.0, 0.0, 0.0}, 252.0, 0.0);
    EXPECT_EQ(flat.sharpe, 0.0);
    EXPECT_EQ(flat.sortino, 0.0);
    EXPECT_EQ(flat.omega, 1.0);
    EXPECT_FALSE(flat.skew.has_value());  // no dispersion
}

// The statistics by their definition, one return at a time: every sum in return order
// from -0.0, NaN skipped. Any faster evaluation must agree bit for bit.
TEST(MetricsReturnStats, EqualTheOneByOneSums) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal(0.0, 0.01);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (const std::size_t n : {2u, 3u, 4u, 5u, 17u, 1001u, 20000u}) {
        std::vector<double> r(n);
        for (double& x : r) {
            const double u = unit(rng);
            x = u < 0.05 ? NAN : u < 0.1 ? 0.0 : u < 0.12 ? -0.0 : normal(rng);
        }
        std::size_t count = 0;
        double sum = -0.0;
        for (double x : r) {
            if (!std::isnan(x)) ++count, sum += x;
        }
        const double mean = sum / static_cast<double>(count);
        double sq = -0.0, cube = -0.0, quad = -0.0, down = -0.0, gains = -0.0, losses = -0.0;
        for (double x : r) {
            if (std::isnan(x)) continue;
            const double d = x - mean;
            sq += d * d;
            cube += d * d * d;
            quad += d * d * (d * d);
            if (x < 0.0) down += x * x, losses += -x;
            if (x > 0.0) gains += x;
        }
        const double cn = static_cast<double>(count);
        const auto s = metrics::return_stats(r, 252.0, 0.0);
        EXPECT_EQ(s.sharpe, mean / std::sqrt(sq / (cn - 1.0)) * std::sqrt(252.0)) << n;
        if (losses > 0.0) {  // the loss-free limits are checked above
            EXPECT_EQ(s.sortino, std::sqrt(252.0) * mean / std::sqrt(down / cn)) << n;
            EXPECT_EQ(s.omega, gains / losses) << n;
        }
        if (count >= 4) {
            const double m2 = sq / cn, m4 = quad / cn, g = m4 / (m2 * m2) - 3.0;
            EXPECT_EQ(*s.skew, std::sqrt(cn * (cn - 1.0)) * ((cube / cn) / std::pow(m2, 1.5)) / (cn - 2.0)) << n;
            EXPECT_EQ(*s.kurtosis, (cn - 1.0) * ((cn + 1.0) * g + 6.0) / ((cn - 2.0) * (cn - 3.0))) << n;
        }
    }
}

struct MomentCase {
    std::vector<double> returns;
    double skew;
    std::optional<double> kurtosis;
};

class MetricsMoments : public ::testing::TestWithParam<MomentCase> {};

// Expected values from the textbook forms G1 = n / ((n-1)(n-2)) x sum(z^3) and
// G2 = n(n+1) / ((n-1)(n-2)(n-3)) x sum(z^4) - 3(n-1)^2 / ((n-2)(n-3)), z standardised by
// the sample deviation, evaluated in exact rational arithmetic.
TEST_P(MetricsMoments, AdjustedSkewAndExcessKurtosis) {
    const auto s = metrics::return_stats(GetParam().returns, 252.0, 0.0);
    ASSERT_TRUE(s.skew.has_value());
    EXPECT_NEAR(*s.skew, GetParam().skew, 1e-12);
    ASSERT_EQ(s.kurtosis.has_value(), GetParam().kurtosis.has_value());
    if (s.kurtosis) {
        EXPECT_NEAR(*s.kurtosis, *GetParam().kurtosis, 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, MetricsMoments,
    ::testing::Values(
        // Deviations -2, -1, 3; s^2 = 7; G1 = 3/2 x 18 / 7^1.5.
        MomentCase{{1.0, 2.0, 6.0}, 27.0 / std::pow(7.0, 1.5), std::nullopt},
        MomentCase{{1.0, 2.0, 3.0, 10.0}, 1.7636326148038877, 3.228},
        MomentCase{{0.01, -0.02, 0.03, 0.10, -0.05}, 0.7686404404665302, 0.7320112336934113}),
    [](const auto& i) { return row_name(i.param.returns.size(), "returns"); });

TEST(MetricsReturnStats, TailRatioNeedsTwentyReturns) {
    std::vector<double> r;
    for (int i = 1; i <= 19; ++i) r.push_back(i * 0.01 - 0.05);  // -0.04 .. 0.14
    EXPECT_FALSE(metrics::tail_ratio(r).has_value());
    r.push_back(0.15);
    r.push_back(NAN);  // ignored
    // 20 sorted values -0.04 + 0.01k. p5 at position 0.95: -0.04 + 0.0095 = -0.0305;
    // p95 at position 18.05: 0.14 + 0.0005 = 0.1405.
    ASSERT_TRUE(metrics::tail_ratio(r).has_value());
    EXPECT_NEAR(*metrics::tail_ratio(r), 0.1405 / 0.0305, 1e-9);
    // A 5th percentile of exactly zero gives no ratio.
    EXPECT_FALSE(metrics::tail_ratio(std::vector<double>(25, 0.0)).has_value());
}

// The tail ratio against a full sort (tail_ratio_by_sorting): any way of finding the
// order statistics must agree exactly.
struct TailCase {
    std::size_t size;
    int distinct;  // values drawn from this many levels; 0 for continuous values
    double nan_share;
    bool periodic = false;  // every 128th return the same, so that a strided look sees one value
};

class TailRatioOrderStatistics : public ::testing::TestWithParam<TailCase> {};

TEST_P(TailRatioOrderStatistics, EqualsTheSortedPercentiles) {
    const TailCase& c = GetParam();
    std::mt19937_64 rng(c.size * 31 + static_cast<std::size_t>(c.distinct));
    std::normal_distribution<double> normal(0.0, 0.01);
    std::uniform_int_distribution<int> level(-c.distinct, c.distinct);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 5; ++round) {
        std::vector<double> r(c.size);
        for (double& x : r) {
            x = c.distinct > 0 ? level(rng) * 0.001 : normal(rng);
            if (unit(rng) < c.nan_share) x = NAN;
        }
        if (c.periodic) {
            for (std::size_t i = 0; i < r.size(); i += 128) r[i] = 0.5;
        }
        const auto expected = tail_ratio_by_sorting(r);
        const auto got = metrics::tail_ratio(r);
        ASSERT_EQ(got.has_value(), expected.has_value()) << c.size << " round " << round;
        if (expected) {
            EXPECT_EQ(*got, *expected) << c.size << " round " << round;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Metrics, TailRatioOrderStatistics,
                         ::testing::Values(TailCase{20, 0, 0.0}, TailCase{21, 0, 0.0}, TailCase{39, 3, 0.0},
                                           TailCase{101, 0, 0.1}, TailCase{1000, 2, 0.0}, TailCase{4097, 0, 0.0},
                                           TailCase{10007, 50, 0.05}, TailCase{100000, 0, 0.0},
                                           TailCase{20000, 0, 0.0, true}, TailCase{50000, 4, 0.01, true},
                                           // Three levels a third each: both tails sit inside one level.
                                           TailCase{100000, 1, 0.0}, TailCase{30000, 1, 0.02, true}),
                         [](const auto& i) {
                             const TailCase& c = i.param;
                             return row_name(c.size, "returns", c.distinct > 0 ? "levels" : "continuous",
                                             c.distinct > 0 ? number_name(c.distinct) : "",
                                             c.nan_share > 0.0 ? "nan_share" : "",
                                             c.nan_share > 0.0 ? number_name(c.nan_share) : "",
                                             c.periodic ? "periodic" : "");
                         });

// Selection of one order statistic against a full sort: the value of rank k, nothing
// greater before it, nothing smaller after it, and every value kept.
struct SelectCase {
    const char* label;
    std::vector<double> (*make)(std::mt19937_64& rng);
    int splits;  // 0: the default budget; a small one hands the rest to the standard library
};

void PrintTo(const SelectCase& c, std::ostream* os) { *os << c.label; }

std::vector<double> normal_values(std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> v(1 + rng() % 5000);
    for (double& x : v) x = normal(rng);
    return v;
}

std::vector<double> three_levels(std::mt19937_64& rng) {
    std::vector<double> v(1 + rng() % 5000);
    for (double& x : v) x = static_cast<double>(rng() % 3) - 1.0;
    if (v.size() > 2) v[rng() % v.size()] = -0.0;
    return v;
}

std::vector<double> ascending(std::mt19937_64& rng) {
    std::vector<double> v = normal_values(rng);
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<double> descending(std::mt19937_64& rng) {
    std::vector<double> v = ascending(rng);
    std::reverse(v.begin(), v.end());
    return v;
}

std::vector<double> all_equal(std::mt19937_64& rng) { return std::vector<double>(1 + rng() % 300, 0.25); }

class SelectRank : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectRank, PutsTheValueOfItsRankInPlace) {
    std::mt19937_64 rng(std::hash<std::string>{}(GetParam().label) + static_cast<std::size_t>(GetParam().splits));
    for (int round = 0; round < 40; ++round) {
        std::vector<double> v = GetParam().make(rng);
        std::vector<double> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t k = round % 4 == 0 ? 0 : round % 4 == 1 ? v.size() - 1 : rng() % v.size();
        metrics::select_rank(v, k, GetParam().splits);
        ASSERT_EQ(v[k], sorted[k]) << "round " << round << ", rank " << k << " of " << v.size();
        for (std::size_t i = 0; i < v.size(); ++i) {
            ASSERT_TRUE(i < k ? v[i] <= v[k] : v[i] >= v[k]) << "round " << round << ", at " << i;
        }
        std::sort(v.begin(), v.end());
        EXPECT_EQ(v, sorted) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, SelectRank,
    ::testing::Values(SelectCase{"normal", normal_values, 0}, SelectCase{"three_levels", three_levels, 0},
                      SelectCase{"ascending", ascending, 0}, SelectCase{"descending", descending, 0},
                      SelectCase{"all_equal", all_equal, 0}, SelectCase{"normal_no_splits", normal_values, 1},
                      SelectCase{"normal_two_splits", normal_values, 2},
                      SelectCase{"three_levels_three_splits", three_levels, 3}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------------------
// Drawdown figures.

TEST(MetricsDrawdown, DepthDurationAndUlcer) {
    // Stretches under water: samples 1-2 and 4-6; the second is longer.
    const std::vector<double> dd = {0.0, 2.0, 5.0, 0.0, 1.0, 1.0, 3.0, 0.0};
    std::vector<std::int64_t> t;
    for (int i = 0; i < 8; ++i) t.push_back(kT0 + i * i * kSec);  // t[i] = i^2 seconds
    const std::vector<double> equity(8, 1000.0);
    const BacktestMetrics m = metrics::compute_metrics(equity, dd, {}, t, {}, daily());
    EXPECT_EQ(m.max_drawdown_pct, 5.0);
    EXPECT_EQ(m.max_drawdown_duration, 3u);
    ASSERT_TRUE(m.max_drawdown_duration_secs.has_value());
    EXPECT_DOUBLE_EQ(*m.max_drawdown_duration_secs, 36.0 - 16.0);
    // sqrt((4 + 25 + 1 + 1 + 9) / 8) = sqrt(5)
    EXPECT_DOUBLE_EQ(m.ulcer_index, std::sqrt(5.0));
    EXPECT_DOUBLE_EQ(m.time_under_water_pct, 5.0 / 8.0 * 100.0);
    EXPECT_DOUBLE_EQ(*m.avg_drawdown_pct, 12.0 / 5.0);
}

TEST(MetricsDrawdown, EqualStretchesPickTheEarliestAndOneSampleIsZeroSeconds) {
    const std::vector<double> dd = {1.0, 1.0, 0.0, 2.0, 2.0};
    const std::vector<std::int64_t> t = {0, 10 * kSec, 20 * kSec, 30 * kSec, 70 * kSec};
    EXPECT_DOUBLE_EQ(*metrics::compute_metrics({}, dd, {}, t, {}, daily()).max_drawdown_duration_secs, 10.0);
    const std::vector<double> single = {0.0, 4.0, 0.0};
    EXPECT_EQ(*metrics::compute_metrics({}, single, {}, t, {}, daily()).max_drawdown_duration_secs, 0.0);
}

TEST(MetricsDrawdown, SecondsNeedTimestampsCoveringTheStretch) {
    const std::vector<double> dd = {0.0, 1.0, 1.0, 1.0};
    const std::vector<std::int64_t> short_t = {0, kSec};
    EXPECT_FALSE(metrics::compute_metrics({}, dd, {}, short_t, {}, daily()).max_drawdown_duration_secs);
    const std::vector<std::int64_t> backwards = {0, 9 * kSec, 5 * kSec, 2 * kSec};
    EXPECT_FALSE(metrics::compute_metrics({}, dd, {}, backwards, {}, daily()).max_drawdown_duration_secs);
    const std::vector<double> none = {0.0, 0.0, NAN};
    const auto m = metrics::compute_metrics({}, none, {}, backwards, {}, daily());
    EXPECT_FALSE(m.max_drawdown_duration_secs);
    EXPECT_EQ(m.max_drawdown_pct, 0.0);  // NaN ignored
}

TEST(MetricsDrawdown, FlatCurveBoundsCalmarAndRecovery) {
    const std::vector<double> dd = {0.0, 0.0};
    const std::vector<double> up = {1000.0, 1100.0};
    const auto gain = metrics::compute_metrics(up, dd, {}, {}, {}, daily());
    EXPECT_EQ(gain.calmar_ratio, INFINITY);
    EXPECT_EQ(gain.recovery_factor, INFINITY);
    const std::vector<double> down = {1000.0, 900.0};
    const auto loss = metrics::compute_metrics(down, dd, {}, {}, {}, daily());
    EXPECT_EQ(loss.calmar_ratio, 0.0);
    EXPECT_EQ(loss.recovery_factor, 0.0);
}

// ---------------------------------------------------------------------------------------
// Trade figures over a small hand-checked run.

TEST(MetricsTrades, HandCheckedRun) {
    std::vector<TradeRecord> trades = {
        trade(100.0, 10.0, 0, 4),   // win, 4 bars
        trade(-50.0, -5.0, 5, 7),   // loss, 2 bars
        trade(0.0, 0.0, 8, 9),      // neither
        trade(200.0, 20.0, 10, 16),  // win, 6 bars
        trade(30.0, 3.0, 18, 20, ExitReason::EndOfData),  // open at the end
    };
    for (auto& t : trades) t.fees = 2.0;
    // Excursions on trades 0, 1 and 3; the open one's are never counted.
    const std::pair<std::size_t, std::pair<double, double>> excursions[] = {
        {0, {-10.0, 150.0}}, {1, {-60.0, 5.0}}, {3, {-20.0, 250.0}}, {4, {-99.0, 99.0}}};
    for (const auto& [i, mae_mfe] : excursions) std::tie(trades[i].mae_pnl, trades[i].mfe_pnl) = mae_mfe;
    std::tie(trades[0].entry_price, trades[0].exit_price) = std::pair{100.0, 110.0};
    std::tie(trades[4].entry_price, trades[4].exit_price) = std::pair{50.0, 80.0};

    std::vector<double> eq(20, 1000.0);
    eq.back() = 1280.0;
    const BacktestMetrics m = metrics::compute_metrics(eq, std::vector<double>(20, 0.0), {}, {}, trades, daily());

    EXPECT_EQ(m.total_trades, 5u);
    EXPECT_EQ(m.total_open_trades, 1u);
    EXPECT_EQ(m.total_closed_trades, 4u);
    EXPECT_EQ(m.winning_trades, 2u);
    EXPECT_EQ(m.losing_trades, 1u);
    EXPECT_DOUBLE_EQ(m.open_trade_pnl, 30.0);
    EXPECT_DOUBLE_EQ(m.win_rate_pct, 50.0);
    EXPECT_DOUBLE_EQ(m.profit_factor, 300.0 / 50.0);
    EXPECT_DOUBLE_EQ(m.expectancy, 250.0 / 4.0);
    // Closed pnl 100, -50, 0, 200: deviations 37.5, -112.5, -62.5, 137.5; sum of squares
    // 36875, variance 36875 / 3; sqn = 2 x 62.5 / sqrt(36875 / 3).
    EXPECT_NEAR(m.sqn, 2.0 * 62.5 / std::sqrt(36875.0 / 3.0), 1e-12);
    EXPECT_DOUBLE_EQ(m.total_fees_paid, 10.0);
    EXPECT_DOUBLE_EQ(m.best_trade_pct, 20.0);
    EXPECT_DOUBLE_EQ(m.worst_trade_pct, -5.0);
    EXPECT_DOUBLE_EQ(m.avg_trade_return_pct, 28.0 / 5.0);
    EXPECT_DOUBLE_EQ(*m.avg_win_pct, 15.0);
    EXPECT_DOUBLE_EQ(*m.avg_loss_pct, -5.0);
    EXPECT_DOUBLE_EQ(*m.avg_winning_duration, 5.0);
    EXPECT_DOUBLE_EQ(*m.avg_losing_duration, 2.0);
    // Runs over all trades: W L (zero) W W(open) -> two wins in a row, one loss.
    EXPECT_EQ(m.max_consecutive_wins, 2u);
    EXPECT_EQ(m.max_consecutive_losses, 1u);
    // Bars held 4 + 2 + 1 + 6 + 2 = 15 over 5 trades; 15 of 20 samples exposed.
    EXPECT_DOUBLE_EQ(m.avg_holding_period, 3.0);
    EXPECT_DOUBLE_EQ(*m.avg_holding_period_secs, 3.0 * 60.0);
    EXPECT_DOUBLE_EQ(m.exposure_pct, 75.0);
    EXPECT_DOUBLE_EQ(m.payoff_ratio, 3.0);
    // Turnover: 100 + 110 for the first, 50 only for the open one, 0 for the rest (price 0).
    EXPECT_DOUBLE_EQ(m.total_turnover, 260.0);
    // Winners' gross profit (pnl + fees) 102 + 202 = 304.
    EXPECT_DOUBLE_EQ(*m.cost_to_gross_profit_pct, 10.0 / 304.0 * 100.0);
    EXPECT_DOUBLE_EQ(*m.breakeven_cost_multiple, 280.0 / 10.0);
    EXPECT_DOUBLE_EQ(*m.mae_mfe_coverage_pct, 75.0);  // 3 of 4 closed trades
    EXPECT_DOUBLE_EQ(*m.avg_mae_pnl, -90.0 / 3.0);
    EXPECT_DOUBLE_EQ(*m.mfe_capture_ratio, 304.0 / 400.0);
    EXPECT_DOUBLE_EQ(m.total_return_pct, 28.0);
}

TEST(MetricsTrades, OnlyOpenTradesCountAsOpen) {
    std::vector<TradeRecord> trades = {trade(40.0, 4.0, 0, 3, ExitReason::EndOfData),
                                       trade(-10.0, -1.0, 1, 3, ExitReason::EndOfData)};
    trades[0].entry_price = 10.0;
    trades[0].exit_price = 14.0;
    trades[0].mfe_pnl = 40.0;
    trades[0].mae_pnl = 0.0;
    const auto m = metrics::compute_metrics(std::vector<double>(4, 1000.0), {}, {}, {}, trades, daily());
    EXPECT_EQ(m.total_open_trades, 2u);
    EXPECT_EQ(m.total_closed_trades, 0u);
    EXPECT_DOUBLE_EQ(m.open_trade_pnl, 30.0);
    EXPECT_EQ(m.win_rate_pct, 0.0);
    EXPECT_EQ(m.profit_factor, 0.0);
    EXPECT_DOUBLE_EQ(m.best_trade_pct, 4.0);
    EXPECT_DOUBLE_EQ(m.avg_trade_return_pct, 1.5);
    EXPECT_DOUBLE_EQ(m.total_turnover, 10.0);  // entry leg only
    EXPECT_EQ(m.max_consecutive_wins, 1u);
    EXPECT_EQ(m.max_consecutive_losses, 1u);
    EXPECT_FALSE(m.mae_mfe_coverage_pct || m.avg_win_pct || m.mfe_capture_ratio);
}

TEST(MetricsTrades, UnboundedProfitFactorAndPayoffWithoutLosers) {
    const std::vector<TradeRecord> trades = {trade(10.0, 1.0, 0, 1), trade(0.0, 0.0, 1, 2)};
    const auto m = metrics::compute_metrics({}, {}, {}, {}, trades, daily());
    EXPECT_EQ(m.profit_factor, INFINITY);
    EXPECT_EQ(m.payoff_ratio, INFINITY);
    EXPECT_EQ(m.exposure_pct, 0.0);  // no equity samples
    EXPECT_FALSE(m.mfe_capture_ratio.has_value());
}

TEST(MetricsTrades, ExposureIsCappedAndReversedTimesDropTheSeconds) {
    std::vector<TradeRecord> trades = {trade(1.0, 1.0, 0, 10), trade(1.0, 1.0, 0, 10)};
    trades[1].exit_time = trades[1].entry_time - 1;
    const auto m = metrics::compute_metrics(std::vector<double>(10, 1.0), {}, {}, {}, trades, daily());
    EXPECT_EQ(m.exposure_pct, 100.0);
    EXPECT_FALSE(m.avg_holding_period_secs.has_value());
}

TEST(MetricsTrades, InfiniteOrNaNReturnsDoNotSetTheExtremes) {
    const std::vector<TradeRecord> trades = {trade(1.0, INFINITY, 0, 1), trade(1.0, NAN, 0, 1),
                                             trade(-1.0, -2.0, 0, 1)};
    const auto m = metrics::compute_metrics({}, {}, {}, {}, trades, daily());
    EXPECT_EQ(m.best_trade_pct, 0.0);
    EXPECT_EQ(m.worst_trade_pct, -2.0);
}

TEST(MetricsTrades, TurnoverLeavesOutLegsThatNeverTradedOut) {
    std::vector<TradeRecord> trades = {trade(0, 0, 0, 1, ExitReason::Settlement), trade(0, 0, 0, 1, ExitReason::Order)};
    trades[0].size = 2.0;
    trades[0].entry_price = 5.0;
    trades[0].exit_price = 7.0;
    trades[1].size = 3.0;
    trades[1].entry_price = -4.0;  // absolute notional
    trades[1].exit_price = 6.0;
    EXPECT_DOUBLE_EQ(metrics::trade_stats::total_turnover(trades), 10.0 + 12.0 + 18.0);
}

TEST(MetricsReturns, ConsistencyCountsOnlyNonZeroReturns) {
    const std::vector<double> r = {0.01, 0.0, -0.02, NAN, 0.03, 0.0};
    const auto m = metrics::compute_metrics({}, {}, r, {}, {}, daily());
    EXPECT_DOUBLE_EQ(*m.return_consistency_pct, 2.0 / 3.0 * 100.0);
    const auto flat = metrics::compute_metrics({}, {}, std::vector<double>{0.0, NAN}, {}, {}, daily());
    EXPECT_FALSE(flat.return_consistency_pct.has_value());
}

}  // namespace
