// The type objects and function records that module start-up registers.
#pragma once

#include "python/object.h"

namespace tarnwick {
struct BacktestResult;
struct Order;
struct TradeRecord;
}  // namespace tarnwick

namespace tarnwick::py {

PyTypeObject* backtest_config_type();
PyTypeObject* backtest_result_type();
PyTypeObject* backtest_metrics_type();
PyTypeObject* trade_type();
PyTypeObject* order_type();

// New objects of the result classes, for every producer of a run's result.
Ref new_backtest_result(BacktestResult result);
Ref new_trade(TradeRecord trade);
Ref new_order(Order order);

}  // namespace tarnwick::py
