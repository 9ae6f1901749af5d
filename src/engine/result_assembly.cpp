#include "engine/result_assembly.h"

#include <utility>

namespace tarnwick::engine::assembly {

using base::Curve;
using domain::FeeBreakdown;
using domain::Order;
using domain::TradeRecord;
using metrics::BacktestMetrics;

std::array<FeeLine, 7> fee_breakdown_dict(const FeeBreakdown& b) noexcept {
    return {{
        {"brokerage", b.brokerage},
        {"stt", b.stt},
        {"exchange_txn", b.exchange_txn},
        {"sebi_fee", b.sebi_fee},
        {"stamp_duty", b.stamp_duty},
        {"gst", b.gst},
        {"total", b.total()},
    }};
}

ReportedMetrics report_metrics(const BacktestMetrics& m) noexcept {
    using metrics::finite_or_none;
    ReportedMetrics r;
    r.total_return_pct = m.total_return_pct;
    r.sharpe_ratio = m.sharpe_ratio;
    r.sortino_ratio = finite_or_none(m.sortino_ratio);
    r.calmar_ratio = finite_or_none(m.calmar_ratio);
    r.omega_ratio = finite_or_none(m.omega_ratio);
    r.max_drawdown_pct = m.max_drawdown_pct;
    r.max_drawdown_duration = m.max_drawdown_duration;
    r.max_drawdown_duration_secs = m.max_drawdown_duration_secs;
    r.ulcer_index = m.ulcer_index;
    r.time_under_water_pct = m.time_under_water_pct;
    r.win_rate_pct = m.win_rate_pct;
    r.profit_factor = finite_or_none(m.profit_factor);
    r.expectancy = m.expectancy;
    r.sqn = m.sqn;
    r.total_trades = m.total_trades;
    r.total_closed_trades = m.total_closed_trades;
    r.total_open_trades = m.total_open_trades;
    r.open_trade_pnl = m.open_trade_pnl;
    r.winning_trades = m.winning_trades;
    r.losing_trades = m.losing_trades;
    r.start_value = m.start_value;
    r.end_value = m.end_value;
    r.total_fees_paid = m.total_fees_paid;
    r.best_trade_pct = m.best_trade_pct;
    r.worst_trade_pct = m.worst_trade_pct;
    r.avg_trade_return_pct = m.avg_trade_return_pct;
    r.avg_win_pct = m.avg_win_pct;
    r.avg_loss_pct = m.avg_loss_pct;
    r.avg_winning_duration = m.avg_winning_duration;
    r.avg_losing_duration = m.avg_losing_duration;
    r.max_consecutive_wins = m.max_consecutive_wins;
    r.max_consecutive_losses = m.max_consecutive_losses;
    r.avg_holding_period = m.avg_holding_period;
    r.avg_holding_period_secs = m.avg_holding_period_secs;
    r.exposure_pct = m.exposure_pct;
    r.payoff_ratio = finite_or_none(m.payoff_ratio);
    r.recovery_factor = finite_or_none(m.recovery_factor);
    r.total_turnover = m.total_turnover;
    r.return_skew = m.return_skew;
    r.return_kurtosis = m.return_kurtosis;
    r.tail_ratio = m.tail_ratio;
    r.cost_to_gross_profit_pct = m.cost_to_gross_profit_pct;
    r.breakeven_cost_multiple = m.breakeven_cost_multiple;
    r.return_consistency_pct = m.return_consistency_pct;
    r.avg_drawdown_pct = m.avg_drawdown_pct;
    r.mae_mfe_coverage_pct = m.mae_mfe_coverage_pct;
    r.avg_mae_pnl = m.avg_mae_pnl;
    r.mfe_capture_ratio = m.mfe_capture_ratio;
    return r;
}

BacktestResult build_backtest_result(const BacktestMetrics& metrics, Curve equity_curve,
                                     Curve drawdown_curve, Curve returns,
                                     std::vector<TradeRecord> trades, std::vector<Order> orders) {
    BacktestResult r;
    r.metrics = report_metrics(metrics);
    r.equity_curve = std::move(equity_curve);
    r.drawdown_curve = std::move(drawdown_curve);
    r.returns = std::move(returns);
    r.trades = std::move(trades);
    r.orders = std::move(orders);
    return r;
}

BacktestResult build_backtest_result(RunOutput run) {
    return build_backtest_result(run.metrics, std::move(run.equity_curve), std::move(run.drawdown_curve),
                                 std::move(run.returns), std::move(run.trades), std::move(run.orders));
}

}  // namespace tarnwick::engine::assembly
