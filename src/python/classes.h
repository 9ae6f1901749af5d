// The type objects and function records that module start-up registers.
#pragma once

#include "python/object.h"

namespace tarnwick::domain {
struct Order;
struct TradeRecord;
}  // namespace tarnwick::domain

namespace tarnwick::engine {
struct BacktestResult;
struct RunOutput;
}  // namespace tarnwick::engine

namespace tarnwick::runners {
struct PortfolioResult;
}  // namespace tarnwick::runners

namespace tarnwick::python {

PyTypeObject* backtest_config_type();
PyTypeObject* instrument_config_type();
PyTypeObject* stop_config_type();
PyTypeObject* target_config_type();
PyTypeObject* backtest_result_type();
PyTypeObject* backtest_metrics_type();
PyTypeObject* trade_type();
PyTypeObject* order_type();
PyTypeObject* portfolio_result_type();
PyTypeObject* instrument_summary_type();
PyTypeObject* indicator_type();

// Bar aggregation, in registration order.
PyTypeObject* bar_aggregator_type();
PyMethodDef* aggregate_bars_function();
PyMethodDef* bars_from_ticks_function();

// Indicator and tick functions, in registration order.
PyMethodDef* compute_tick_entry_signals_function();
PyMethodDef* compute_tick_exit_signals_function();
PyMethodDef* tick_spread_pct_function();
PyMethodDef* buy_sell_imbalance_delta_function();
PyMethodDef* return_window_function();
PyMethodDef* realized_vol_rolling_function();
PyMethodDef* oi_position_pct_function();
PyMethodDef* tick_velocity_function();
PyMethodDef* sma_function();
PyMethodDef* ema_function();
PyMethodDef* rsi_function();
PyMethodDef* macd_function();
PyMethodDef* stochastic_function();
PyMethodDef* atr_function();
PyMethodDef* bollinger_bands_function();
PyMethodDef* adx_function();
PyMethodDef* vwap_function();
PyMethodDef* supertrend_function();
PyMethodDef* rolling_min_function();
PyMethodDef* rolling_max_function();

// New objects of the result classes, for every producer of a run's result.
Ref new_backtest_result(engine::BacktestResult result);
// The BacktestResult assembled from a finished run.
Ref new_run_result(engine::RunOutput run);
Ref new_trade(domain::TradeRecord trade);
Ref new_order(domain::Order order);
Ref new_portfolio_result(runners::PortfolioResult result);
PyTypeObject* instrument_spec_type();
PyTypeObject* kernel_session_type();
PyTypeObject* portfolio_session_type();
PyTypeObject* engine_event_type();
PyTypeObject* position_snapshot_type();

PyMethodDef* resolve_atr_period_function();

// Single-instrument array backtests and the batch items.
PyMethodDef* run_single_backtest_function();
PyMethodDef* run_basket_backtest_function();
PyMethodDef* run_portfolio_backtest_function();
PyMethodDef* run_multi_backtest_function();
PyMethodDef* run_options_backtest_function();
PyMethodDef* run_pairs_backtest_function();
PyTypeObject* batch_spread_item_type();
PyTypeObject* batch_single_item_type();
PyMethodDef* batch_single_backtest_function();

// Spread and tick backtests.
PyMethodDef* run_spread_backtest_function();
PyMethodDef* run_tick_backtest_function();
PyMethodDef* batch_spread_backtest_function();

// Portfolio analytics: risk models, the optimiser and risk contributions.
PyTypeObject* risk_model_type();
PyTypeObject* optimizer_config_type();
PyTypeObject* optimization_result_type();
PyTypeObject* risk_contributions_type();
PyTypeObject* optimize_item_type();
PyMethodDef* estimate_covariance_function();
PyMethodDef* optimize_portfolio_function();
PyMethodDef* batch_optimize_portfolios_function();
PyMethodDef* compute_risk_contributions_function();

// Factor panels, rank IC, the cost schedule, rebalance and Monte Carlo simulation.
PyTypeObject* rebalance_sim_result_type();
PyTypeObject* rank_ic_type();
PyMethodDef* simulate_portfolio_mc_function();
PyMethodDef* winsorize_panel_function();
PyMethodDef* zscore_panel_function();
PyMethodDef* rank_panel_function();
PyMethodDef* momentum_panel_function();
PyMethodDef* composite_scores_function();
PyMethodDef* rank_ic_function();
PyMethodDef* simulate_rebalance_policy_function();
PyMethodDef* indian_cost_schedule_function();

}  // namespace tarnwick::python
