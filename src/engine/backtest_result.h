// What a finished single-instrument run reports, owned outright: its figures, its curves,
// its closed trades and the orders it handled.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/block_cache.h"
#include "domain/order_report.h"
#include "domain/trade_record.h"

namespace tarnwick::engine {

// The run's figures as reported. Same units as BacktestMetrics (percent, bars, seconds);
// the difference is that the six ratios that can be unbounded (sortino, calmar, omega,
// profit factor, payoff, recovery) are absent here instead of infinite or NaN.
struct ReportedMetrics {
    double total_return_pct = 0.0;
    double sharpe_ratio = 0.0;
    std::optional<double> sortino_ratio;
    std::optional<double> calmar_ratio;
    std::optional<double> omega_ratio;
    double max_drawdown_pct = 0.0;
    std::uint64_t max_drawdown_duration = 0;
    std::optional<double> max_drawdown_duration_secs;
    double ulcer_index = 0.0;
    double time_under_water_pct = 0.0;
    double win_rate_pct = 0.0;
    std::optional<double> profit_factor;
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
    std::optional<double> avg_winning_duration;
    std::optional<double> avg_losing_duration;
    std::uint64_t max_consecutive_wins = 0;
    std::uint64_t max_consecutive_losses = 0;
    double avg_holding_period = 0.0;
    std::optional<double> avg_holding_period_secs;
    double exposure_pct = 0.0;
    std::optional<double> payoff_ratio;
    std::optional<double> recovery_factor;
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

struct BacktestResult {
    ReportedMetrics metrics;
    base::Curve equity_curve;                 // one sample per stepped bar or trade print
    base::Curve drawdown_curve;               // percent below the running peak, same samples
    base::Curve returns;                      // one per period, as the run produced them
    std::vector<domain::TradeRecord> trades;  // in the order their positions closed
    std::vector<domain::Order> orders;        // in submission order
};

}  // namespace tarnwick::engine
