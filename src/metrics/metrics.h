// The fixed set of performance figures every run ends with.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>

#include "domain/backtest_config.h"
#include "domain/trade_record.h"
#include "metrics/metric_fields.h"

namespace tarnwick::metrics {

// The figures as computed. Six ratios (sortino, calmar, omega, profit_factor, payoff,
// recovery) may be infinite here; callers that report them turn a non-finite value into
// an absent one with metrics::finite_or_none. Fields, units and initial values: the list
// in metric_fields.h.
struct BacktestMetrics {
#define TARNWICK_COMPUTED_FIGURE(type, name, initial, place, label, doc) type name = initial;
#define TARNWICK_COMPUTED_RATIO(name, initial, place, label, doc) double name = initial;
    TARNWICK_METRIC_FIELDS(TARNWICK_COMPUTED_FIGURE, TARNWICK_COMPUTED_RATIO)
#undef TARNWICK_COMPUTED_FIGURE
#undef TARNWICK_COMPUTED_RATIO
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
