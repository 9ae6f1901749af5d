// The single-figure rules, the trade tallies, the legacy trade-return ratios and the
// reduced block of the engines with loops of their own; expected values by hand or by a
// plain two-pass evaluation of the stated formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "metrics/annualization.h"
#include "metrics/figures.h"
#include "metrics/reduced_metrics.h"
#include "metrics/return_stats.h"

using namespace tarnwick;
using namespace tarnwick::domain;
using namespace tarnwick::metrics;
namespace fig = tarnwick::metrics::figures;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMinute = 60'000'000'000;
constexpr std::int64_t kDay = 86'400'000'000'000;
constexpr std::int64_t kT0 = 1'700'000'000'000'000'000;

// ---------------------------------------------------------------------------------------
// One rule per figure.

struct FigureCase {
    const char* label;
    std::function<double()> figure;
    double expected;
};

void PrintTo(const FigureCase& c, std::ostream* os) { *os << c.label; }

class FigureRules : public ::testing::TestWithParam<FigureCase> {};

TEST_P(FigureRules, FollowTheirRule) {
    const double got = GetParam().figure();
    if (std::isnan(GetParam().expected)) {
        EXPECT_TRUE(std::isnan(got));
    } else {
        EXPECT_DOUBLE_EQ(got, GetParam().expected);
    }
}

const std::vector<double> kDrawdown = {0.0, 2.5, NAN, 7.5, -1.0, 0.0};

INSTANTIATE_TEST_SUITE_P(
    Metrics, FigureRules,
    ::testing::Values(
        FigureCase{"total_return_gain", [] { return fig::total_return_pct(200.0, 250.0); }, 25.0},
        FigureCase{"total_return_loss", [] { return fig::total_return_pct(200.0, 150.0); }, -25.0},
        FigureCase{"total_return_no_capital", [] { return fig::total_return_pct(0.0, 0.0); }, NAN},
        FigureCase{"max_drawdown_skips_nan", [] { return drawdown_stats(kDrawdown, {}).max_pct; }, 7.5},
        FigureCase{"max_drawdown_at_least_zero",
                   [] { return drawdown_stats(std::vector<double>{-3.0, NAN}, {}).max_pct; }, 0.0},
        FigureCase{"max_drawdown_empty", [] { return drawdown_stats({}, {}).max_pct; }, 0.0},
        FigureCase{"calmar", [] { return fig::calmar_ratio(30.0, 12.0); }, 2.5},
        FigureCase{"calmar_flat_gain", [] { return fig::calmar_ratio(30.0, 0.0); }, kInf},
        FigureCase{"calmar_flat_loss", [] { return fig::calmar_ratio(-30.0, 0.0); }, 0.0},
        FigureCase{"recovery", [] { return fig::recovery_factor(500.0, 10.0, 1000.0); }, 5.0},
        FigureCase{"recovery_no_start", [] { return fig::recovery_factor(500.0, 10.0, 0.0); }, kInf},
        FigureCase{"recovery_flat_loss", [] { return fig::recovery_factor(-5.0, 0.0, 1000.0); }, 0.0},
        FigureCase{"profit_factor", [] { return fig::profit_factor(30.0, 12.0); }, 2.5},
        FigureCase{"profit_factor_no_loss", [] { return fig::profit_factor(30.0, 0.0); }, kInf},
        FigureCase{"profit_factor_nothing", [] { return fig::profit_factor(0.0, 0.0); }, 0.0},
        FigureCase{"payoff", [] { return fig::payoff_ratio(6.0, -4.0); }, 1.5},
        FigureCase{"payoff_no_loser", [] { return fig::payoff_ratio(6.0, std::nullopt); }, kInf},
        FigureCase{"payoff_zero_loss", [] { return fig::payoff_ratio(6.0, 0.0); }, kInf},
        FigureCase{"payoff_no_winner", [] { return fig::payoff_ratio(std::nullopt, -4.0); }, 0.0},
        FigureCase{"win_rate", [] { return fig::win_rate_pct(3, 8); }, 37.5},
        FigureCase{"win_rate_nothing_counted", [] { return fig::win_rate_pct(0, 0); }, 0.0}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------------------
// Tallies.

std::vector<TradeRecord> records(const std::vector<double>& pnl, const std::vector<double>& return_pct = {}) {
    std::vector<TradeRecord> out(pnl.size());
    for (std::size_t i = 0; i < pnl.size(); ++i) {
        out[i].pnl = pnl[i];
        out[i].return_pct = i < return_pct.size() ? return_pct[i] : 0.0;
        out[i].fees = 0.25 * static_cast<double>(i + 1);
    }
    return out;
}

struct TallyCase {
    const char* label;
    std::vector<double> pnl;
    TradeTally per_record;
    TradeTally round_trips;
};

void PrintTo(const TallyCase& c, std::ostream* os) { *os << c.label; }

class Tallies : public ::testing::TestWithParam<TallyCase> {};

void expect_tally(const TradeTally& got, const TradeTally& want) {
    EXPECT_EQ(got.total, want.total);
    EXPECT_EQ(got.wins, want.wins);
    EXPECT_EQ(got.losses, want.losses);
    EXPECT_DOUBLE_EQ(got.gross_profit, want.gross_profit);
    EXPECT_DOUBLE_EQ(got.gross_loss, want.gross_loss);
}

TEST_P(Tallies, CountRecordsAndRoundTrips) {
    const auto trades = records(GetParam().pnl);
    double fees = 0.0;
    for (const TradeRecord& r : trades) fees += r.fees;
    {
        SCOPED_TRACE("per record");
        const TradeTally got = tally_per_record(trades);
        expect_tally(got, GetParam().per_record);
        EXPECT_EQ(got.fees, fees);
    }
    {
        SCOPED_TRACE("round trips");
        const TradeTally got = tally_round_trips(trades);
        expect_tally(got, GetParam().round_trips);
        EXPECT_EQ(got.fees, fees);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, Tallies,
    ::testing::Values(
        TallyCase{"none", {}, {}, {}},
        // Round trips (10, -5) +5 wins, (0, 7) +7 wins, (-3) alone loses.
        TallyCase{"odd_count", {10.0, -5.0, 0.0, 7.0, -3.0}, {5, 2, 2, 17.0, 8.0}, {3, 2, 1, 17.0, 8.0}},
        // A round trip adding up to exactly 0 loses; a record of 0 is neither.
        TallyCase{"zeros", {0.0, 0.0}, {2, 0, 0, 0.0, 0.0}, {1, 0, 1, 0.0, 0.0}},
        TallyCase{"leg_loss_trip_win", {-1.0, 2.0}, {2, 1, 1, 2.0, 1.0}, {1, 1, 0, 2.0, 1.0}}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------------------
// The legacy ratios of the trade returns, against a two-pass evaluation of their formula:
// mean, (sum of squared deviations) / (k - 1) and (sum of min(r, 0)^2) / (k - 1), scaled
// by 252 / sqrt(252).

struct LegacyCase {
    const char* label;
    std::vector<double> return_pct;
};

void PrintTo(const LegacyCase& c, std::ostream* os) { *os << c.label; }

class LegacyTradeRatios : public ::testing::TestWithParam<LegacyCase> {};

TEST_P(LegacyTradeRatios, FollowTheFixedYearFormula) {
    const std::vector<double>& pct = GetParam().return_pct;
    const RiskRatios got = trade_return_ratios(records(std::vector<double>(pct.size(), 1.0), pct));
    const double k = static_cast<double>(pct.size());
    double mean = 0.0;
    for (const double p : pct) mean += p / 100.0 / k;
    if (pct.size() <= 1) {
        EXPECT_EQ(got.sharpe, 0.0);
        EXPECT_EQ(got.sortino, mean > 0.0 ? kInf : 0.0);
        return;
    }
    double sq = 0.0, down = 0.0;
    for (const double p : pct) {
        sq += (p / 100.0 - mean) * (p / 100.0 - mean);
        down += std::min(p / 100.0, 0.0) * std::min(p / 100.0, 0.0);
    }
    const double var = sq / (k - 1.0), downside = down / (k - 1.0);
    if (var == 0.0) {
        EXPECT_EQ(got.sharpe, 0.0);
    } else {
        EXPECT_NEAR(got.sharpe, mean * std::sqrt(252.0) / std::sqrt(var), 1e-12 * std::fabs(got.sharpe));
    }
    if (downside == 0.0) {
        EXPECT_EQ(got.sortino, mean > 0.0 ? kInf : 0.0);
    } else {
        EXPECT_NEAR(got.sortino, mean * std::sqrt(252.0) / std::sqrt(downside), 1e-12 * std::fabs(got.sortino));
    }
}

INSTANTIATE_TEST_SUITE_P(Metrics, LegacyTradeRatios,
                         ::testing::Values(LegacyCase{"no_records", {}}, LegacyCase{"one_gain", {4.0}},
                                           LegacyCase{"one_loss", {-4.0}}, LegacyCase{"two_equal_gains", {5.0, 5.0}},
                                           LegacyCase{"gains_only", {1.0, 3.0, 2.0}},
                                           LegacyCase{"mixed", {10.0, -5.0, 20.0, -2.5, 0.0}}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------------------
// The reduced block.

TEST(ZeroedMetrics, EveryFigureZeroOrAbsent) {
    const BacktestMetrics m = zeroed_metrics();
    for (const double v : {m.total_return_pct, m.sharpe_ratio, m.sortino_ratio, m.calmar_ratio, m.omega_ratio,
                           m.max_drawdown_pct, m.profit_factor, m.open_trade_pnl, m.total_fees_paid, m.total_turnover,
                           m.start_value, m.end_value, m.payoff_ratio, m.recovery_factor}) {
        EXPECT_TRUE(v == 0.0 && !std::signbit(v)) << v;
    }
    EXPECT_EQ(m.total_trades, 0u);
    EXPECT_FALSE(m.tail_ratio || m.avg_win_pct || m.max_drawdown_duration_secs || m.return_skew);
}

// Equity 100, 110, 99, 121 from a start of 100: drawdown 0, 0, 10, 0 and returns 0, 0.1,
// -0.1, 22/99. Two records: +10 (fee 0.25) and -11 (fee 0.5).
struct ReducedCase {
    const char* label;
    bool legacy = false;
    std::int64_t step = kDay;
    std::optional<double> periods_per_year;
    double periods;  // what the Sharpe ratio should be annualised by
    std::optional<double> session_minutes = std::nullopt;
};

void PrintTo(const ReducedCase& c, std::ostream* os) { *os << c.label; }

class ReducedBlock : public ::testing::TestWithParam<ReducedCase> {};

TEST_P(ReducedBlock, FillsItsFiguresAndNothingElse) {
    const ReducedCase& c = GetParam();
    const std::vector<double> equity = {100.0, 110.0, 99.0, 121.0};
    const std::vector<double> drawdown = {0.0, 0.0, 10.0, 0.0};
    const std::vector<double> returns = {0.0, 0.1, -0.1, 22.0 / 99.0};
    const std::vector<std::int64_t> timestamps = {kT0, kT0 + c.step, kT0 + 2 * c.step, kT0 + 3 * c.step};
    const auto trades = records({10.0, -11.0}, {10.0, -10.0});
    MetricsSettings settings;
    settings.initial_capital = 100.0;
    settings.legacy_annualization = c.legacy;
    settings.periods_per_year = c.periods_per_year;
    settings.session_minutes = c.session_minutes;
    settings.risk_free_rate = 0.0365;
    const BacktestMetrics m =
        reduced_metrics(settings, equity, drawdown, returns, timestamps, trades, tally_per_record(trades));

    EXPECT_DOUBLE_EQ(m.total_return_pct, 21.0);
    EXPECT_DOUBLE_EQ(m.max_drawdown_pct, 10.0);
    EXPECT_DOUBLE_EQ(m.calmar_ratio, 2.1);
    EXPECT_DOUBLE_EQ(m.win_rate_pct, 50.0);
    EXPECT_DOUBLE_EQ(m.profit_factor, 10.0 / 11.0);
    EXPECT_EQ(m.total_trades, 2u);
    EXPECT_EQ(m.winning_trades, 1u);
    EXPECT_EQ(m.losing_trades, 1u);
    EXPECT_DOUBLE_EQ(m.total_fees_paid, 0.75);
    EXPECT_EQ(m.start_value, 100.0);
    EXPECT_EQ(m.end_value, 121.0);
    EXPECT_EQ(m.omega_ratio, 0.0);
    EXPECT_EQ(m.payoff_ratio, 0.0);
    EXPECT_EQ(m.recovery_factor, 0.0);
    EXPECT_EQ(m.total_closed_trades, 0u);
    EXPECT_FALSE(m.return_skew || m.tail_ratio || m.avg_drawdown_pct || m.max_drawdown_duration_secs);
    EXPECT_EQ(m.ulcer_index, 0.0);

    if (c.legacy) {
        // Trade returns 0.1 and -0.1: mean 0, so both ratios are 0.
        EXPECT_EQ(m.sharpe_ratio, 0.0);
        EXPECT_EQ(m.sortino_ratio, 0.0);
        return;
    }
    double mean = 0.0;
    for (const double r : returns) mean += r / 4.0;
    double sq = 0.0, down = 0.0;
    for (const double r : returns) {
        sq += (r - mean) * (r - mean);
        down += r < 0.0 ? r * r : 0.0;
    }
    const double excess = mean - 0.0365 / c.periods;
    EXPECT_NEAR(m.sharpe_ratio, excess / std::sqrt(sq / 3.0) * std::sqrt(c.periods), 1e-12 * m.sharpe_ratio);
    EXPECT_NEAR(m.sortino_ratio, std::sqrt(c.periods) * excess / std::sqrt(down / 4.0), 1e-12 * m.sortino_ratio);
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, ReducedBlock,
    ::testing::Values(ReducedCase{"daily_bars", false, kDay, std::nullopt, 365.0},
                      // One-minute bars of a 375-minute session.
                      ReducedCase{"minute_bars", false, kMinute, std::nullopt, 94500.0},
                      ReducedCase{"explicit_periods", false, kMinute, 12.0, 12.0},
                      // Stamps that never advance tell nothing: the fallback of 252.
                      ReducedCase{"nothing_inferred", false, 0, std::nullopt, 252.0},
                      // Session minutes not above 0 (NaN too) mark a market open round the
                      // clock: minutes of the 365-day year.
                      ReducedCase{"round_the_clock", false, kMinute, std::nullopt, 525600.0, 0.0},
                      ReducedCase{"nan_session_minutes", false, kMinute, std::nullopt, 525600.0, NAN},
                      ReducedCase{"short_session", false, kMinute, std::nullopt, 15120.0, 60.0},
                      ReducedCase{"legacy", true, kDay, 12.0, 0.0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ReducedBlock, WithoutSamplesOrRecords) {
    MetricsSettings settings;
    settings.initial_capital = 5000.0;
    const BacktestMetrics m = reduced_metrics(settings, {}, {}, {}, {}, {}, {});
    EXPECT_EQ(m.end_value, 5000.0);
    EXPECT_EQ(m.total_return_pct, 0.0);
    EXPECT_EQ(m.sharpe_ratio, 0.0);
    EXPECT_EQ(m.sortino_ratio, 0.0);
    EXPECT_EQ(m.calmar_ratio, 0.0);
    EXPECT_TRUE(m.total_fees_paid == 0.0 && !std::signbit(m.total_fees_paid));
}

// ---------------------------------------------------------------------------------------
// The periods per year a batch works out once for its runs.

struct SharedCase {
    const char* label;
    bool legacy;
    std::optional<double> periods_per_year;
    std::optional<double> session_minutes;
    std::optional<double> expected;
};

void PrintTo(const SharedCase& c, std::ostream* os) { *os << c.label; }

class SharedPeriods : public ::testing::TestWithParam<SharedCase> {};

TEST_P(SharedPeriods, InfersWhatARunWouldOrNothing) {
    std::vector<std::int64_t> t;
    for (int i = 0; i < 50; ++i) t.push_back(kT0 + i * kMinute);
    annualization::SharedInference shared(t);
    BacktestConfig config;
    config.legacy_annualization = GetParam().legacy;
    config.periods_per_year = GetParam().periods_per_year;
    config.session_minutes = GetParam().session_minutes;
    for (int call = 0; call < 2; ++call) {  // the second call reads what the first found
        const std::optional<double> got = shared.for_config(config);
        ASSERT_EQ(got.has_value(), GetParam().expected.has_value());
        if (got) {
            EXPECT_DOUBLE_EQ(*got, *GetParam().expected);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, SharedPeriods,
    ::testing::Values(SharedCase{"legacy", true, std::nullopt, std::nullopt, std::nullopt},
                      SharedCase{"explicit", false, 252.0, std::nullopt, std::nullopt},
                      SharedCase{"explicit_zero_is_inferred", false, 0.0, std::nullopt, 94500.0},
                      SharedCase{"nse_session", false, std::nullopt, std::nullopt, 94500.0},
                      SharedCase{"mcx_session", false, std::nullopt, 870.0, 870.0 * 252.0},
                      SharedCase{"round_the_clock", false, std::nullopt, 0.0, 525600.0},
                      SharedCase{"nan_minutes", false, std::nullopt, NAN, 525600.0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SharedPeriods, KeepsOneFigurePerSessionSetting) {
    std::vector<std::int64_t> t;
    for (int i = 0; i < 50; ++i) t.push_back(kT0 + i * kMinute);
    annualization::SharedInference shared(t);
    BacktestConfig nse, mcx;
    mcx.session_minutes = 870.0;
    EXPECT_DOUBLE_EQ(*shared.for_config(nse), 94500.0);
    EXPECT_DOUBLE_EQ(*shared.for_config(mcx), 870.0 * 252.0);
    EXPECT_DOUBLE_EQ(*shared.for_config(nse), 94500.0);
}

}  // namespace
