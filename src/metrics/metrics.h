// The fixed set of performance figures every run ends with.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>

#include "domain/backtest_config.h"
#include "domain/trade_record.h"

namespace tarnwick::metrics {

// Percent fields are percent, not fractions; durations without a unit are in bars (or
// samples); "_secs" durations are seconds. Six ratios (sortino, calmar, omega,
// profit_factor, payoff, recovery) may be infinite here; callers that report them turn a
// non-finite value into an absent one with metrics::finite_or_none.
struct BacktestMetrics {
    double total_return_pct = 0.0;
    double sharpe_ratio = 0.0;
    double sortino_ratio = 0.0;
    double calmar_ratio = 0.0;
    double omega_ratio = 1.0;
    double max_drawdown_pct = 0.0;
    std::uint64_t max_drawdown_duration = 0;  // samples
    std::optional<double> max_drawdown_duration_secs;
    double ulcer_index = 0.0;
    double time_under_water_pct = 0.0;
    double win_rate_pct = 0.0;
    double profit_factor = 0.0;
    double expectancy = 0.0;
    double sqn = 0.0;
    std::uint64_t total_trades = 0;
    std::uint64_t total_closed_trades = 0;
    std::uint64_t total_open_trades = 0;
    double open_trade_pnl = -0.0;
    std::uint64_t winning_trades = 0;
    std::uint64_t losing_trades = 0;
    double start_value = 0.0;
    double end_value = 0.0;
    double total_fees_paid = -0.0;
    double best_trade_pct = 0.0;
    double worst_trade_pct = 0.0;
    double avg_trade_return_pct = 0.0;
    std::optional<double> avg_win_pct;
    std::optional<double> avg_loss_pct;
    std::optional<double> avg_winning_duration;  // bars
    std::optional<double> avg_losing_duration;   // bars
    std::uint64_t max_consecutive_wins = 0;
    std::uint64_t max_consecutive_losses = 0;
    double avg_holding_period = 0.0;  // bars
    std::optional<double> avg_holding_period_secs;
    double exposure_pct = 0.0;
    double payoff_ratio = 0.0;
    double recovery_factor = 0.0;
    double total_turnover = -0.0;
    std::optional<double> return_skew;
    std::optional<double> return_kurtosis;
    std::optional<double> tail_ratio;
    std::optional<double> cost_to_gross_profit_pct;
    std::optional<double> breakeven_cost_multiple;
    std::optional<double> return_consistency_pct;
    std::optional<double> avg_drawdown_pct;
    std::optional<double> mae_mfe_coverage_pct;
    std::optional<double> avg_mae_pnl;
    std::optional<double> mfe_capture_ratio;
};

// What the metrics read from a run's configuration.
struct MetricsSettings {
    double initial_capital = 100000.0;
    std::optional<double> periods_per_year;
    double risk_free_rate = 0.0;  // annual, a fraction
    std::optional<double> session_minutes;
    bool legacy_annualization = false;

    static MetricsSettings from(const domain::BacktestConfig& config) {
        return {config.initial_capital, config.periods_per_year, config.risk_free_rate, config.session_minutes,
                config.legacy_annualization};
    }
};

// `equity`, `drawdown` (percent below the running high) and `returns` hold one sample
// per stepped bar or print; `timestamps` (nanoseconds) may be empty; `trades` are every
// recorded trade in order, those force-closed at the end of the data (EndOfData)
// included, which count as open trades. Never fails: degenerate inputs give fixed values.
BacktestMetrics compute_metrics(std::span<const double> equity, std::span<const double> drawdown,
                                std::span<const double> returns, std::span<const std::int64_t> timestamps,
                                std::span<const domain::TradeRecord> trades, const MetricsSettings& settings);

inline BacktestMetrics compute_metrics(std::span<const double> equity, std::span<const double> drawdown,
                                       std::span<const double> returns, std::span<const std::int64_t> timestamps,
                                       std::span<const domain::TradeRecord> trades,
                                       const domain::BacktestConfig& config) {
    return compute_metrics(equity, drawdown, returns, timestamps, trades, MetricsSettings::from(config));
}

// A reported ratio: its value when finite, absent when infinite or NaN.
inline std::optional<double> finite_or_none(double v) noexcept {
    return std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
}

namespace trade_stats {

// Traded notional, both legs counted: |size x entry| + |size x exit| per trade, leaving
// out the exit leg of trades that never traded out (EndOfData, Settlement).
double total_turnover(std::span<const domain::TradeRecord> trades) noexcept;

}  // namespace trade_stats

}  // namespace tarnwick::metrics
