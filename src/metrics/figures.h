// The rules of single figures that more than one block of metrics reports: the full
// block of compute_metrics and the reduced block of the engines with loops of their own
// read each of them here, so that a figure has one rule wherever it is reported.
#pragma once

#include <cstdint>
#include <optional>

namespace tarnwick::metrics::figures {

// (end - start) / start x 100.
double total_return_pct(double start, double end) noexcept;

// total_return_pct / max_drawdown_pct; with no drawdown above 0, +inf for a positive
// return, else 0.
double calmar_ratio(double total_return_pct, double max_drawdown_pct) noexcept;

// net / (max_drawdown_pct / 100 x start); with no start or no drawdown above 0, +inf for
// a positive net gain, else 0.
double recovery_factor(double net, double max_drawdown_pct, double start) noexcept;

// gross_profit / gross_loss; with no loss above 0, +inf for a profit above 0, else 0.
double profit_factor(double gross_profit, double gross_loss) noexcept;

// avg_win_pct (0 when absent) / |avg_loss_pct|; with no average loss or one of 0, +inf
// for a positive average win, else 0.
double payoff_ratio(std::optional<double> avg_win_pct, std::optional<double> avg_loss_pct) noexcept;

// wins / counted x 100; 0 when nothing was counted.
double win_rate_pct(std::uint64_t wins, std::uint64_t counted) noexcept;

}  // namespace tarnwick::metrics::figures
