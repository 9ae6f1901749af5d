// Risk-adjusted statistics of a per-period return series.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "metrics/drawdown_stats.h"

namespace tarnwick::metrics {

struct ReturnStats {
    double sharpe = 0.0;
    double sortino = 0.0;  // +inf when nothing was lost and the mean beats the risk-free rate
    double omega = 1.0;    // +inf when nothing was lost and something was gained
    std::optional<double> skew;      // adjusted sample skewness, from 3 returns
    std::optional<double> kurtosis;  // adjusted sample excess kurtosis, from 4 returns
};

// NaN returns are ignored throughout. `risk_free_rate` is annual (a fraction) and is
// spread evenly over `periods_per_year`; both ratios are annualised by sqrt(periods).
// Fewer than two returns give Sharpe 0, Sortino 0, Omega 1 and no moments.
ReturnStats return_stats(std::span<const double> returns, double periods_per_year, double risk_free_rate);

// The figures of a drawdown curve alone, from the same pass as in summarize_curves.
DrawdownStats drawdown_stats(std::span<const double> drawdown, std::span<const std::int64_t> timestamps);

// The 5%/95% tail ratio |p95 / p5| over the non-NaN returns, with linearly interpolated
// percentiles. None below 20 returns or when p5 is exactly 0.
std::optional<double> tail_ratio(std::span<const double> returns);

// Everything a run's metrics read from its returns: the statistics and the tail ratio
// above, and how many returns are non-zero and how many of those positive (NaN counts as
// neither).
struct ReturnSummary {
    ReturnStats stats;
    std::optional<double> tail_ratio;
    std::uint64_t nonzero = 0;
    std::uint64_t positive = 0;
};

// The returns' summary and the drawdown figures of one run, in two passes: the first
// reads the returns and the drawdown side by side (the curves may differ in length), the
// second the returns' deviations from their mean. Every sum runs in sample order from
// -0.0, as it would in a pass of its own. Without the tail ratio the summary leaves it
// and the sign counts unset.
enum class TailRatio : bool { Skip, Measure };
struct CurveSummary {
    ReturnSummary returns;
    DrawdownStats drawdown;
};
CurveSummary summarize_curves(std::span<const double> returns, std::span<const double> drawdown,
                              std::span<const std::int64_t> timestamps, double periods_per_year,
                              double risk_free_rate, TailRatio tails = TailRatio::Measure);

}  // namespace tarnwick::metrics
