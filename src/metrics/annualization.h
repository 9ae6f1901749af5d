// How many return periods make a year, for scaling Sharpe and Sortino ratios.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "domain/backtest_config.h"

namespace tarnwick::metrics::annualization {

inline constexpr double kNanosPerDay = 86400000000000.0;
inline constexpr double kNanosPerYear = 3.1536e16;  // 365 days
inline constexpr double kSessionsPerYear = 252.0;
inline constexpr double kDefaultSessionMinutes = 375.0;  // NSE equity
inline constexpr double kDefaultPeriodsPerYear = 365.0;

// An explicit value above 0 wins. Otherwise the median positive spacing of `timestamps`
// (nanoseconds) is the bar length: bars of a day or more, a continuous market, or
// session minutes not above 0 count calendar time (365 days / bar length); intraday bars
// of a session-bound market count max(session length / bar length, 1) bars in each of
// 252 sessions. Too few timestamps, or none increasing, give `default_value`.
double periods_per_year(std::optional<double> explicit_value, std::span<const std::int64_t> timestamps,
                        bool continuous_market, double session_minutes, double default_value);

// The inference above from a run's settings, where session minutes of 0 or less mark a
// market open round the clock and unset session minutes mean an NSE equity session;
// `default_value` when the timestamps tell nothing.
double settings_periods_per_year(std::optional<double> explicit_value, std::optional<double> session_minutes,
                                 std::span<const std::int64_t> timestamps, double default_value);

// The periods per year of a run's metrics: 365 under the legacy constants; otherwise the
// inference from its settings, 365 when the timestamps tell nothing.
double run_periods_per_year(bool legacy_annualization, std::optional<double> explicit_value,
                            std::optional<double> session_minutes, std::span<const std::int64_t> timestamps);

// The periods per year the runs of a batch over one shared timestamp column would infer.
// The inference reads every timestamp and depends on nothing else but the session
// minutes, so the batch works it out once per distinct setting and hands it to each run
// as an explicit value, which the metrics then use as is: the same figure, found once.
class SharedInference {
public:
    explicit SharedInference(std::span<const std::int64_t> timestamps) : timestamps_(timestamps) {}

    // What a run under `config` would infer, or nothing when its settings fix the figure
    // (the legacy constant, or an explicit value above 0).
    std::optional<double> for_config(const domain::BacktestConfig& config);

private:
    std::span<const std::int64_t> timestamps_;
    std::vector<std::pair<std::optional<double>, double>> known_;  // session minutes, periods
};

}  // namespace tarnwick::metrics::annualization
