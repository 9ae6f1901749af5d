// The figures every run ends with, listed once. The record the metrics compute
// (metrics::BacktestMetrics) and the record a result reports (engine::ReportedMetrics)
// are both spelled out from this list, the conversion between them walks it, and so do
// the Python attributes of the reported record and its to_dict(): a new figure is one
// line here.
//
// The language offers no way to walk a struct's members, hence a list macro: it takes two
// macros and calls one of them per figure, in reporting order (the attributes' order).
//   FIGURE(type, name, initial, place, label, doc)  a figure both records hold alike
//   RATIO(name, initial, place, label, doc)         one of the six ratios that can be
//                                unbounded (sortino, calmar, omega, profit factor, payoff,
//                                recovery): a double as computed, which may be infinite or
//                                NaN, starting at `initial`; std::optional<double> as
//                                reported, absent unless finite, absent at first
//   place, label  the figure's rank among to_dict()'s keys (from 1, without gaps) and its
//                 key there; 0 and nullptr for a figure that to_dict() leaves out
//   doc           the attribute's docstring, or nullptr
//
// Units, once for all: percent fields are percent, not fractions; durations without a
// unit are in bars (or samples); "_secs" durations are seconds.
#pragma once

#include <cstdint>
#include <optional>

#define TARNWICK_METRIC_FIELDS(FIGURE, RATIO)                                                                          \
    FIGURE(double, total_return_pct, 0.0, 3, "Total Return [%]", nullptr)                                              \
    FIGURE(double, sharpe_ratio, 0.0, 25, "Sharpe Ratio", nullptr)                                                     \
    RATIO(sortino_ratio, 0.0, 26, "Sortino Ratio", nullptr)                                                            \
    RATIO(calmar_ratio, 0.0, 27, "Calmar Ratio",                                                                       \
          "Total return over the deepest drawdown, both in percent:\n"                                                 \
          "`total_return_pct / max_drawdown_pct`, over the whole run and not\n"                                        \
          "annualised, so the same figure as `recovery_factor` (up to rounding)\n"                                     \
          "where a run reports that one (the basket, options, pairs and independent\n"                                 \
          "multi-strategy runs leave it at 0.0). The annualised form is\n"                                             \
          "((1 + total_return_pct / 100) ** (1 / years) - 1) * 100 / max_drawdown_pct,\n"                              \
          "`years` being the run's length in years (its bars less one over the\n"                                      \
          "periods per year, or the span of its timestamps). None when not finite,\n"                                  \
          "as for a gain without a drawdown.")                                                                         \
    RATIO(omega_ratio, 1.0, 28, "Omega Ratio", nullptr)                                                                \
    FIGURE(double, max_drawdown_pct, 0.0, 6, "Max Drawdown [%]", nullptr)                                              \
    FIGURE(std::uint64_t, max_drawdown_duration, 0, 7, "Max Drawdown Duration", nullptr) /* samples */                 \
    FIGURE(std::optional<double>, max_drawdown_duration_secs, std::nullopt, 8, "Max Drawdown Duration [s]",            \
           "The same stretch in seconds, when the run supplied timestamps. A bar is\n"                                 \
           "a day only on daily data, so the count above cannot be rendered as a\n"                                    \
           "duration on its own.")                                                                                     \
    FIGURE(double, ulcer_index, 0.0, 9, "Ulcer Index",                                                                 \
           "Root mean square of the drawdown curve, same percentage points as\n"                                       \
           "`max_drawdown_pct`. Weights a drawdown by how long it lasted, which\n"                                     \
           "`max_drawdown_pct` alone cannot express.")                                                                 \
    FIGURE(double, time_under_water_pct, 0.0, 10, "Time Under Water [%]",                                              \
           "Share of equity samples strictly below the running high-water mark.")                                      \
    FIGURE(double, win_rate_pct, 0.0, 15, "Win Rate [%]", nullptr)                                                     \
    RATIO(profit_factor, 0.0, 22, "Profit Factor", nullptr)                                                            \
    FIGURE(double, expectancy, 0.0, 23, "Expectancy", nullptr)                                                         \
    FIGURE(double, sqn, 0.0, 24, "SQN", nullptr)                                                                       \
    FIGURE(std::uint64_t, total_trades, 0, 11, "Total Trades", nullptr)                                                \
    FIGURE(std::uint64_t, total_closed_trades, 0, 12, "Total Closed Trades", nullptr)                                  \
    FIGURE(std::uint64_t, total_open_trades, 0, 13, "Total Open Trades", nullptr)                                      \
    FIGURE(double, open_trade_pnl, -0.0, 14, "Open Trade PnL", nullptr)                                                \
    FIGURE(std::uint64_t, winning_trades, 0, 0, nullptr, nullptr)                                                      \
    FIGURE(std::uint64_t, losing_trades, 0, 0, nullptr, nullptr)                                                       \
    FIGURE(double, start_value, 0.0, 1, "Start Value", nullptr)                                                        \
    FIGURE(double, end_value, 0.0, 2, "End Value", nullptr)                                                            \
    FIGURE(double, total_fees_paid, -0.0, 4, "Total Fees Paid", nullptr)                                               \
    FIGURE(double, best_trade_pct, 0.0, 16, "Best Trade [%]", nullptr)                                                 \
    FIGURE(double, worst_trade_pct, 0.0, 17, "Worst Trade [%]", nullptr)                                               \
    FIGURE(double, avg_trade_return_pct, 0.0, 0, nullptr, nullptr)                                                     \
    FIGURE(std::optional<double>, avg_win_pct, std::nullopt, 18, "Avg Winning Trade [%]",                              \
           "None when no trade won -- an average over an empty set is undefined.")                                     \
    FIGURE(std::optional<double>, avg_loss_pct, std::nullopt, 19, "Avg Losing Trade [%]", "None when no trade lost.")  \
    FIGURE(std::optional<double>, avg_winning_duration, std::nullopt, 20, "Avg Winning Trade Duration", /* bars */     \
           "None when no trade won.")                                                                                  \
    FIGURE(std::optional<double>, avg_losing_duration, std::nullopt, 21, "Avg Losing Trade Duration", /* bars */       \
           "None when no trade lost.")                                                                                 \
    FIGURE(std::uint64_t, max_consecutive_wins, 0, 0, nullptr, nullptr)                                                \
    FIGURE(std::uint64_t, max_consecutive_losses, 0, 0, nullptr, nullptr)                                              \
    FIGURE(double, avg_holding_period, 0.0, 0, nullptr, nullptr) /* bars */                                            \
    FIGURE(std::optional<double>, avg_holding_period_secs, std::nullopt, 0, nullptr,                                   \
           "The same average in seconds, when the run supplied timestamps.")                                           \
    FIGURE(double, exposure_pct, 0.0, 0, nullptr, nullptr)                                                             \
    RATIO(payoff_ratio, 0.0, 0, nullptr, nullptr)                                                                      \
    RATIO(recovery_factor, 0.0, 0, nullptr, nullptr)                                                                   \
    FIGURE(double, total_turnover, -0.0, 5, "Total Turnover",                                                          \
           "Total traded notional, both sides counted: |size x entry price| plus\n"                                    \
           "|size x exit price| per trade, without the exit leg of a trade still open\n"                               \
           "at the end of the data or settled at expiry.")                                                             \
    FIGURE(std::optional<double>, return_skew, std::nullopt, 0, nullptr, nullptr)                                      \
    FIGURE(std::optional<double>, return_kurtosis, std::nullopt, 0, nullptr, nullptr)                                  \
    FIGURE(std::optional<double>, tail_ratio, std::nullopt, 0, nullptr, nullptr)                                       \
    FIGURE(std::optional<double>, cost_to_gross_profit_pct, std::nullopt, 29, "Cost / Gross Profit [%]", nullptr)      \
    FIGURE(std::optional<double>, breakeven_cost_multiple, std::nullopt, 0, nullptr, nullptr)                          \
    FIGURE(std::optional<double>, return_consistency_pct, std::nullopt, 0, nullptr, nullptr)                           \
    FIGURE(std::optional<double>, avg_drawdown_pct, std::nullopt, 31, "Avg Drawdown [%]", nullptr)                     \
    FIGURE(std::optional<double>, mae_mfe_coverage_pct, std::nullopt, 0, nullptr, nullptr)                             \
    FIGURE(std::optional<double>, avg_mae_pnl, std::nullopt, 0, nullptr, nullptr)                                      \
    FIGURE(std::optional<double>, mfe_capture_ratio, std::nullopt, 30, "MFE Capture Ratio", nullptr)
