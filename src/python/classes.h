// The classes that more than one bindings file takes or hands out: their type objects,
// and new objects of the result classes for every producer of a run's result.
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
PyTypeObject* instrument_spec_type();
PyTypeObject* backtest_result_type();
PyTypeObject* backtest_metrics_type();
PyTypeObject* trade_type();
PyTypeObject* order_type();
PyTypeObject* engine_event_type();
PyTypeObject* position_snapshot_type();
PyTypeObject* batch_single_item_type();
PyTypeObject* batch_spread_item_type();

Ref new_backtest_result(engine::BacktestResult result);
// The BacktestResult assembled from a finished run.
Ref new_run_result(engine::RunOutput run);
Ref new_trade(domain::TradeRecord trade);
Ref new_order(domain::Order order);
Ref new_portfolio_result(runners::PortfolioResult result);

}  // namespace tarnwick::python
