// Result assembly: the reported figures, fee lines, order fill summaries and a finished
// run turned into its result.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/result_assembly.h"
#include "kernel_fixtures.h"

namespace tarnwick {

using base::Curve;
using domain::BacktestConfig;
using domain::ExitReason;
using domain::FeeBreakdown;
using domain::Order;
using domain::TradeRecord;
using engine::BacktestResult;
using engine::CoreSession;
using engine::ReportedMetrics;
using metrics::BacktestMetrics;

namespace {

using namespace testing_support;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------
// The six unbounded ratios.

struct RatioCase {
    const char* name;
    double BacktestMetrics::*in;
    std::optional<double> ReportedMetrics::*out;
};

class UnboundedRatio : public ::testing::TestWithParam<RatioCase> {};

TEST_P(UnboundedRatio, KeptOnlyWhenFinite) {
    const RatioCase c = GetParam();
    for (double v : {kInf, -kInf, kNaN}) {
        BacktestMetrics m;
        m.*c.in = v;
        EXPECT_FALSE((engine::assembly::report_metrics(m).*c.out).has_value()) << c.name << " " << v;
    }
    for (double v : {0.0, -0.0, 2.5, -1e300}) {
        BacktestMetrics m;
        m.*c.in = v;
        const auto got = engine::assembly::report_metrics(m).*c.out;
        ASSERT_TRUE(got.has_value()) << c.name << " " << v;
        EXPECT_EQ(*got, v);
        EXPECT_EQ(std::signbit(*got), std::signbit(v));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ratios, UnboundedRatio,
    ::testing::Values(RatioCase{"sortino", &BacktestMetrics::sortino_ratio, &ReportedMetrics::sortino_ratio},
                      RatioCase{"calmar", &BacktestMetrics::calmar_ratio, &ReportedMetrics::calmar_ratio},
                      RatioCase{"omega", &BacktestMetrics::omega_ratio, &ReportedMetrics::omega_ratio},
                      RatioCase{"profit_factor", &BacktestMetrics::profit_factor, &ReportedMetrics::profit_factor},
                      RatioCase{"payoff", &BacktestMetrics::payoff_ratio, &ReportedMetrics::payoff_ratio},
                      RatioCase{"recovery", &BacktestMetrics::recovery_factor, &ReportedMetrics::recovery_factor}),
    [](const auto& info) { return std::string(info.param.name); });

// Each other figure lands in its own field: distinct values everywhere expose a swapped
// or forgotten copy. Non-finite values pass through untouched outside the six ratios.
template <class F>
using Pair = std::pair<F BacktestMetrics::*, F ReportedMetrics::*>;
#define TW_PAIR(f) {&BacktestMetrics::f, &ReportedMetrics::f}

TEST(ReportedMetrics, EveryOtherFigureIsCopiedToItsOwnField) {
    const std::vector<Pair<double>> plain = {
        TW_PAIR(total_return_pct), TW_PAIR(sharpe_ratio), TW_PAIR(max_drawdown_pct),
        TW_PAIR(ulcer_index), TW_PAIR(time_under_water_pct), TW_PAIR(win_rate_pct),
        TW_PAIR(expectancy), TW_PAIR(sqn), TW_PAIR(open_trade_pnl),
        TW_PAIR(start_value), TW_PAIR(end_value), TW_PAIR(total_fees_paid),
        TW_PAIR(best_trade_pct), TW_PAIR(worst_trade_pct), TW_PAIR(avg_trade_return_pct),
        TW_PAIR(avg_holding_period), TW_PAIR(exposure_pct), TW_PAIR(total_turnover)
    };
    const std::vector<Pair<std::optional<double>>> optional = {
        TW_PAIR(max_drawdown_duration_secs), TW_PAIR(avg_win_pct), TW_PAIR(avg_loss_pct),
        TW_PAIR(avg_winning_duration), TW_PAIR(avg_losing_duration), TW_PAIR(avg_holding_period_secs),
        TW_PAIR(return_skew), TW_PAIR(return_kurtosis), TW_PAIR(tail_ratio),
        TW_PAIR(cost_to_gross_profit_pct), TW_PAIR(breakeven_cost_multiple), TW_PAIR(return_consistency_pct),
        TW_PAIR(avg_drawdown_pct), TW_PAIR(mae_mfe_coverage_pct), TW_PAIR(avg_mae_pnl),
        TW_PAIR(mfe_capture_ratio)
    };
    const std::vector<Pair<std::uint64_t>> counts = {
        TW_PAIR(max_drawdown_duration), TW_PAIR(total_trades), TW_PAIR(total_closed_trades),
        TW_PAIR(total_open_trades), TW_PAIR(winning_trades), TW_PAIR(losing_trades),
        TW_PAIR(max_consecutive_wins), TW_PAIR(max_consecutive_losses)
    };
    // 18 + 16 + 8 plain copies and the six ratios make all 48 figures.
    ASSERT_EQ(plain.size() + optional.size() + counts.size() + 6, 48u);

    BacktestMetrics m;
    double next = 1.5;
    for (const auto& [in, out] : plain) m.*in = (next += 1.0);
    for (const auto& [in, out] : optional) m.*in = (next += 1.0);
    std::uint64_t count = 100;
    for (const auto& [in, out] : counts) m.*in = ++count;
    m.sharpe_ratio = kInf;
    m.tail_ratio = kNaN;

    const ReportedMetrics r = engine::assembly::report_metrics(m);
    for (const auto& [in, out] : plain) {
        if (std::isfinite(m.*in)) {
            EXPECT_EQ(r.*out, m.*in);
        }
    }
    EXPECT_EQ(r.sharpe_ratio, kInf);
    for (const auto& [in, out] : optional) {
        if (in != &BacktestMetrics::tail_ratio) {
            EXPECT_EQ(r.*out, m.*in);
        }
    }
    ASSERT_TRUE(r.tail_ratio.has_value());
    EXPECT_TRUE(std::isnan(*r.tail_ratio));
    for (const auto& [in, out] : counts) EXPECT_EQ(r.*out, m.*in);
}
#undef TW_PAIR

// ---------------------------------------------------------------------------------------
// Fee lines.

TEST(FeeBreakdownDict, SevenLinesWithTheirLeftToRightTotal) {
    // The NSE intraday round trip of 1000 units at 100.0 each way.
    const FeeBreakdown b{40.0, 25.0, 6.14, 0.2, 3.0, 8.3412};
    const auto lines = engine::assembly::fee_breakdown_dict(b);
    const char* names[] = {"brokerage", "stt", "exchange_txn", "sebi_fee", "stamp_duty", "gst", "total"};
    const double amounts[] = {40.0, 25.0, 6.14, 0.2, 3.0, 8.3412, 82.6812};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].name, names[i]);
        // 40 + 25 + 6.14 + 0.2 + 3.0 + 8.3412 = 82.6812
        EXPECT_DOUBLE_EQ(lines[i].amount, amounts[i]) << names[i];
    }
}

TEST(FeeBreakdownDict, TotalOfNothingIsPositiveZero) {
    // Six +0.0 lines add up to +0.0; the total must not pick up a sign from anywhere.
    const auto lines = engine::assembly::fee_breakdown_dict(FeeBreakdown{});
    EXPECT_EQ(lines[6].amount, 0.0);
    EXPECT_FALSE(std::signbit(lines[6].amount));
}

// ---------------------------------------------------------------------------------------
// Order fill summaries.

TEST(OrderFillSummary, SlicesAverageBySizeAndNothingFilledHasNoAverage) {
    Order o;
    o.record_fill(100.0, 0.0, 2);
    EXPECT_FALSE(o.avg_fill_price.has_value());
    o.record_fill(100.0, 4.0, 3);
    o.record_fill(101.0, 6.0, 5);
    // (100 * 4 + 101 * 6) / 10 = 1006 / 10 = 100.6
    EXPECT_EQ(o.filled_qty, 10.0);
    ASSERT_TRUE(o.avg_fill_price.has_value());
    EXPECT_DOUBLE_EQ(*o.avg_fill_price, 100.6);
    EXPECT_EQ(o.last_fill_idx, 5u);
    EXPECT_EQ(o.fill_slices, 3u);
    EXPECT_FALSE(o.reject_reason.has_value());
    o.record_reject("insufficient_margin");
    EXPECT_EQ(o.reject_reason, "insufficient_margin");
}

// ---------------------------------------------------------------------------------------
// Whole results.

TEST(BuildBacktestResult, RunWithoutTradesOrOrders) {
    CoreSession s(base_config());
    (void)s.step(0, flat_bar(0, 100.0), {});
    (void)s.step(1, flat_bar(1, 100.0), {});
    const BacktestResult r = engine::assembly::build_backtest_result(std::move(s).finish());
    EXPECT_TRUE(r.trades.empty());
    EXPECT_TRUE(r.orders.empty());
    EXPECT_EQ(r.equity_curve, (Curve{100000.0, 100000.0}));
    EXPECT_EQ(r.drawdown_curve, (Curve{0.0, 0.0}));
    EXPECT_EQ(r.returns, (Curve{0.0, 0.0}));
    // The empty-run figures themselves are the metrics' own tests; here only that a real
    // finished session reaches the report with its negative-zero sums intact.
    EXPECT_EQ(r.metrics.total_trades, 0u);
    EXPECT_TRUE(std::signbit(r.metrics.total_fees_paid) && std::signbit(r.metrics.open_trade_pnl));
}

TEST(BuildBacktestResult, RoundTripEnteringAllCapital) {
    constexpr std::int64_t kDay = 86'400'000'000'000;
    CoreSession s(base_config());
    (void)s.step(0, flat_bar(0, 100.0), entry());
    (void)s.step(1, flat_bar(kDay, 110.0), exit_signal());
    const BacktestResult r = engine::assembly::build_backtest_result(std::move(s).finish());
    ASSERT_EQ(r.trades.size(), 1u);
    const TradeRecord& t = r.trades[0];
    // The run of the kernel's acceptance test (pnl 9780.21, its Sharpe ratio): here the figures
    // assembled from it. 999 units: entry fee 99.9, exit fee 109.89.
    EXPECT_NEAR(t.fees, 209.79, 1e-9);
    // 9780.21 / 99900 * 100 = 9.79
    EXPECT_NEAR(t.return_pct, 9.79, 1e-9);
    EXPECT_FALSE(t.fee_breakdown.has_value());

    const ReportedMetrics& m = r.metrics;
    EXPECT_NEAR(m.total_return_pct, 9.78021, 1e-9);  // 109780.21 / 100000 - 1
    EXPECT_NEAR(m.max_drawdown_pct, 0.0999, 1e-12);  // 99.9 fee below 100000
    // calmar = 9.78021 / 0.0999 = 97.9
    ASSERT_TRUE(m.calmar_ratio.has_value());
    EXPECT_NEAR(*m.calmar_ratio, 97.9, 1e-9);
    // ulcer = sqrt((0.0999^2 + 0^2) / 2)
    EXPECT_NEAR(m.ulcer_index, 0.0999 / std::sqrt(2.0), 1e-12);
    EXPECT_EQ(m.exposure_pct, 50.0);
    EXPECT_NEAR(m.total_turnover, 209790.0, 1e-9);  // 999 * 100 + 999 * 110
    // A winner and no loser: the unbounded profit factor is not reported.
    EXPECT_FALSE(m.profit_factor.has_value());
    EXPECT_EQ(r.equity_curve.size(), 2u);
}

TEST(BuildBacktestResult, SegmentTradeCarriesItsLines) {
    BacktestConfig bc;
    bc.fee_segment = "NSE";
    CoreSession s(base_config(bc));
    (void)s.step(0, flat_bar(0, 100.0), entry());
    (void)s.step(1, flat_bar(1, 100.0), exit_signal());
    const BacktestResult r = engine::assembly::build_backtest_result(std::move(s).finish());
    ASSERT_EQ(r.trades.size(), 1u);
    ASSERT_TRUE(r.trades[0].fee_breakdown.has_value());
    const auto lines = engine::assembly::fee_breakdown_dict(*r.trades[0].fee_breakdown);
    EXPECT_GT(lines[6].amount, 0.0);
    EXPECT_NEAR(lines[6].amount, r.trades[0].fees, 1e-9);
}

TEST(BuildBacktestResult, PartsAreMovedInUnchanged) {
    BacktestMetrics m;
    m.profit_factor = kInf;
    m.total_trades = 2;
    TradeRecord a, b;
    b.exit_reason = ExitReason::Settlement;
    Order o;
    o.side = "sell";
    const BacktestResult r =
        engine::assembly::build_backtest_result(m, {1.0, 2.0}, {0.0, 0.5}, {0.0, 1.0, -0.25}, {a, b}, {o});
    EXPECT_FALSE(r.metrics.profit_factor.has_value());
    EXPECT_EQ(r.metrics.total_trades, 2u);
    // Distinct lengths and contents show each curve lands in its own slot.
    EXPECT_EQ(r.equity_curve, (Curve{1.0, 2.0}));
    EXPECT_EQ(r.drawdown_curve, (Curve{0.0, 0.5}));
    EXPECT_EQ(r.returns, (Curve{0.0, 1.0, -0.25}));
    ASSERT_EQ(r.trades.size(), 2u);
    EXPECT_EQ(r.trades[1].exit_reason, ExitReason::Settlement);
    ASSERT_EQ(r.orders.size(), 1u);
    EXPECT_EQ(r.orders[0].side, "sell");
}

}  // namespace
}  // namespace tarnwick
