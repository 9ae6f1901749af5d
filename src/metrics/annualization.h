// How many return periods make a year, for scaling Sharpe and Sortino ratios.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

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

// The periods per year of a run's metrics: 365 under the legacy constants; otherwise the
// inference above, where session minutes of 0 or less mark a market open round the
// clock and unset session minutes mean an NSE equity session.
double run_periods_per_year(bool legacy_annualization, std::optional<double> explicit_value,
                            std::optional<double> session_minutes, std::span<const std::int64_t> timestamps);

}  // namespace tarnwick::metrics::annualization
