// The figures every run ends with, listed once. The record the metrics compute
// (metrics::BacktestMetrics) and the record a result reports (engine::ReportedMetrics)
// are both spelled out from this list, and the conversion between them walks it, so a new
// figure is one line here.
//
// The language offers no way to walk a struct's members, hence a list macro: it takes two
// macros and calls one of them per figure, in reporting order.
//   FIGURE(type, name, initial)  a figure both records hold alike
//   RATIO(name, initial)         one of the six ratios that can be unbounded (sortino,
//                                calmar, omega, profit factor, payoff, recovery): a double
//                                as computed, which may be infinite or NaN, starting at
//                                `initial`; std::optional<double> as reported, absent
//                                unless finite, absent at first
//
// Units, once for all: percent fields are percent, not fractions; durations without a
// unit are in bars (or samples); "_secs" durations are seconds.
#pragma once

#include <cstdint>
#include <optional>

#define TARNWICK_METRIC_FIELDS(FIGURE, RATIO)                                  \
    FIGURE(double, total_return_pct, 0.0)                                      \
    FIGURE(double, sharpe_ratio, 0.0)                                          \
    RATIO(sortino_ratio, 0.0)                                                  \
    RATIO(calmar_ratio, 0.0)                                                   \
    RATIO(omega_ratio, 1.0)                                                    \
    FIGURE(double, max_drawdown_pct, 0.0)                                      \
    FIGURE(std::uint64_t, max_drawdown_duration, 0) /* samples */              \
    FIGURE(std::optional<double>, max_drawdown_duration_secs, std::nullopt)    \
    FIGURE(double, ulcer_index, 0.0)                                           \
    FIGURE(double, time_under_water_pct, 0.0)                                  \
    FIGURE(double, win_rate_pct, 0.0)                                          \
    RATIO(profit_factor, 0.0)                                                  \
    FIGURE(double, expectancy, 0.0)                                            \
    FIGURE(double, sqn, 0.0)                                                   \
    FIGURE(std::uint64_t, total_trades, 0)                                     \
    FIGURE(std::uint64_t, total_closed_trades, 0)                              \
    FIGURE(std::uint64_t, total_open_trades, 0)                                \
    FIGURE(double, open_trade_pnl, -0.0)                                       \
    FIGURE(std::uint64_t, winning_trades, 0)                                   \
    FIGURE(std::uint64_t, losing_trades, 0)                                    \
    FIGURE(double, start_value, 0.0)                                           \
    FIGURE(double, end_value, 0.0)                                             \
    FIGURE(double, total_fees_paid, -0.0)                                      \
    FIGURE(double, best_trade_pct, 0.0)                                        \
    FIGURE(double, worst_trade_pct, 0.0)                                       \
    FIGURE(double, avg_trade_return_pct, 0.0)                                  \
    FIGURE(std::optional<double>, avg_win_pct, std::nullopt)                   \
    FIGURE(std::optional<double>, avg_loss_pct, std::nullopt)                  \
    FIGURE(std::optional<double>, avg_winning_duration, std::nullopt) /* bars */ \
    FIGURE(std::optional<double>, avg_losing_duration, std::nullopt)  /* bars */ \
    FIGURE(std::uint64_t, max_consecutive_wins, 0)                             \
    FIGURE(std::uint64_t, max_consecutive_losses, 0)                           \
    FIGURE(double, avg_holding_period, 0.0) /* bars */                         \
    FIGURE(std::optional<double>, avg_holding_period_secs, std::nullopt)       \
    FIGURE(double, exposure_pct, 0.0)                                          \
    RATIO(payoff_ratio, 0.0)                                                   \
    RATIO(recovery_factor, 0.0)                                                \
    FIGURE(double, total_turnover, -0.0)                                       \
    FIGURE(std::optional<double>, return_skew, std::nullopt)                   \
    FIGURE(std::optional<double>, return_kurtosis, std::nullopt)               \
    FIGURE(std::optional<double>, tail_ratio, std::nullopt)                    \
    FIGURE(std::optional<double>, cost_to_gross_profit_pct, std::nullopt)      \
    FIGURE(std::optional<double>, breakeven_cost_multiple, std::nullopt)       \
    FIGURE(std::optional<double>, return_consistency_pct, std::nullopt)        \
    FIGURE(std::optional<double>, avg_drawdown_pct, std::nullopt)              \
    FIGURE(std::optional<double>, mae_mfe_coverage_pct, std::nullopt)          \
    FIGURE(std::optional<double>, avg_mae_pnl, std::nullopt)                   \
    FIGURE(std::optional<double>, mfe_capture_ratio, std::nullopt)
