// The records a finished run reports through: BacktestResult, BacktestMetrics, Trade and
// Order. All four are read-only and made only by the engine; every read hands out a new
// Python object built from a copy, so nothing a caller does to it reaches the record.
#include <cstddef>
#include <string>
#include <utility>

#include "base/format.h"
#include "domain/order_report.h"
#include "domain/trade_record.h"
#include "engine/backtest_result.h"
#include "engine/result_assembly.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/fields.h"
#include "python/registration.h"

namespace tarnwick::python {

using domain::Order;
using domain::TradeRecord;
using engine::BacktestResult;
using engine::ReportedMetrics;
using engine::RunOutput;

namespace {

// ---------------------------------------------------------------------------------------
// Trade

using T = TradeRecord;

PyObject* trade_fee_breakdown(PyObject* self, void*) {
    return read<T>(self, [](const T& t) -> PyObject* {
        if (!t.fee_breakdown) return Py_NewRef(Py_None);
        Ref dict = Ref::check(PyDict_New());
        for (const engine::assembly::FeeLine& line : engine::assembly::fee_breakdown_dict(*t.fee_breakdown)) {
            Ref key = to_py(line.name);
            Ref amount = to_py(line.amount);
            if (PyDict_SetItem(dict.get(), key.get(), amount.get()) < 0) throw_error_set();
        }
        return dict.release();
    });
}

PyObject* trade_exit_reason(PyObject* self, void*) {
    return read<T>(self, [](const T& t) { return to_py(name(t.exit_reason)).release(); });
}

PyObject* trade_repr(PyObject* self) {
    return read<T>(self, [](const T& t) {
        return to_py(base::fmt::format("Trade(symbol={}, entry={}, exit={}, pnl={}, return={}%)", t.symbol,
                                       base::fmt::fixed(t.entry_price, 2), base::fmt::fixed(t.exit_price, 2),
                                       base::fmt::fixed(t.pnl, 2), base::fmt::fixed(t.return_pct, 2)))
            .release();
    });
}

PyGetSetDef kTradeGetSet[] = {
    read_only<&T::id>("id"),
    read_only<&T::symbol>("symbol"),
    read_only<&T::entry_idx>("entry_idx"),
    read_only<&T::exit_idx>("exit_idx"),
    read_only<&T::entry_price>("entry_price"),
    read_only<&T::exit_price>("exit_price"),
    read_only<&T::size>("size"),
    read_only<&T::direction>("direction"),
    read_only<&T::pnl>("pnl"),
    read_only<&T::return_pct>("return_pct"),
    read_only<&T::entry_time>("entry_time"),
    read_only<&T::exit_time>("exit_time"),
    read_only<&T::fees>("fees", "Total costs over the round trip, equal to `entry_fees + exit_fees`."),
    read_only<&T::entry_fees>("entry_fees", "Costs charged when the position was opened."),
    read_only<&T::exit_fees>("exit_fees",
                             "Costs charged when it was closed.\n\n"
                             "Zero when the exit was not a trade-out -- an option left to expire is\n"
                             "never sold, so it owes no exit-side brokerage or transaction tax."),
    {"fee_breakdown", trade_fee_breakdown, nullptr,
     "Itemized regulatory costs, when `config.fee_segment` is set.\n\nKeys: brokerage, stt, exchange_txn, "
     "sebi_fee, stamp_duty, gst, total.\n`total` equals `fees`, so reported costs and the equity curve agree.",
     nullptr},
    {"exit_reason", trade_exit_reason, nullptr, nullptr, nullptr},
    read_only<&T::mae_price>("mae_price",
                             "Worst price reached against the position while it was open.\n\n"
                             "`None` on paths that synthesise a trade instead of closing a tracked\n"
                             "position (spreads, baskets, pairs, options rollups). `None` means \"not\n"
                             "measured\" -- never read it as a zero excursion."),
    read_only<&T::mfe_price>("mfe_price", "Best price reached in the position's favour while it was open."),
    read_only<&T::mae_pnl>("mae_pnl",
                           "Maximum Adverse Excursion in money: the unrealised loss at the worst\n"
                           "point of the trade, before costs. Never positive.\n\n"
                           "Measured bar by bar during the run. Its resolution is the bar, so a 5m\n"
                           "run knows the worst 5m extreme, not the worst tick inside it."),
    read_only<&T::mfe_pnl>("mfe_pnl",
                           "Maximum Favourable Excursion in money: the unrealised profit at the\n"
                           "best point of the trade, before costs. Never negative."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kTradeSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed trade.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<T>)},
    {Py_tp_getset, kTradeGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<trade_repr>)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------
// Order

using O = Order;

PyObject* order_repr(PyObject* self) {
    return read<O>(self, [](const O& o) {
        std::string text = o.reject_reason
                               ? base::fmt::format("Order(id={}, {} {}, status={}, rejected={})", o.id, o.side,
                                                   o.symbol, o.status, *o.reject_reason)
                               : base::fmt::format("Order(id={}, {} {}, status={}, filled={})", o.id, o.side, o.symbol,
                                                   o.status, base::fmt::shortest(o.filled_qty));
        return to_py(text).release();
    });
}

PyGetSetDef kOrderGetSet[] = {
    read_only<&O::id>("id"),
    read_only<&O::client_id>("client_id"),
    read_only<&O::symbol>("symbol"),
    read_only<&O::side>("side", "\"buy\" | \"sell\"."),
    read_only<&O::kind>("kind", "\"market\", \"limit\", \"stop_market\", ... \u2014 the shape, not its prices."),
    read_only<&O::tif>("tif", "\"gtc\", \"day\", \"ioc\", ..."),
    read_only<&O::status>("status", "Final state: \"filled\", \"canceled\", \"expired\", \"rejected\", ..."),
    read_only<&O::submitted_idx>("submitted_idx"),
    read_only<&O::submitted_ts>("submitted_ts"),
    read_only<&O::requested_qty>("requested_qty",
                                 "Units asked for, or None when the request named a capital fraction\n"
                                 "rather than a number \u2014 \"not stated\", never a zero request."),
    read_only<&O::filled_qty>("filled_qty",
                              "Units filled, summed across slices. 0.0 for an order that never\n"
                              "filled, which is measured rather than missing."),
    read_only<&O::avg_fill_price>("avg_fill_price", "Size-weighted mean fill price, or None if it never filled."),
    read_only<&O::last_fill_idx>("last_fill_idx"),
    read_only<&O::fill_slices>("fill_slices",
                               "How many separate fills it took; more than one is a partial-fill\n"
                               "sequence."),
    read_only<&O::limit_price>("limit_price"),
    read_only<&O::trigger_price>("trigger_price"),
    read_only<&O::reject_reason>("reject_reason",
                                 "Why the engine refused it, as a stable snake_case identifier\n"
                                 "(\"insufficient_margin\", \"max_positions\", ...). None when it was not\n"
                                 "rejected."),
    read_only<&O::parent_id>("parent_id"),
    read_only<&O::oco_group>("oco_group"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kOrderSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed order record.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<O>)},
    {Py_tp_getset, kOrderGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<order_repr>)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------
// BacktestMetrics

using M = ReportedMetrics;

PyObject* metrics_to_dict(PyObject* self, PyObject*) {
    return read<M>(self, [](const M& m) {
        Ref d = Ref::check(PyDict_New());
        put(d.get(), "Start Value", to_py(m.start_value));
        put(d.get(), "End Value", to_py(m.end_value));
        put(d.get(), "Total Return [%]", to_py(m.total_return_pct));
        put(d.get(), "Total Fees Paid", to_py(m.total_fees_paid));
        put(d.get(), "Total Turnover", to_py(m.total_turnover));
        put(d.get(), "Max Drawdown [%]", to_py(m.max_drawdown_pct));
        put(d.get(), "Max Drawdown Duration", to_py(m.max_drawdown_duration));
        put(d.get(), "Max Drawdown Duration [s]", to_py(m.max_drawdown_duration_secs));
        put(d.get(), "Ulcer Index", to_py(m.ulcer_index));
        put(d.get(), "Time Under Water [%]", to_py(m.time_under_water_pct));
        put(d.get(), "Total Trades", to_py(m.total_trades));
        put(d.get(), "Total Closed Trades", to_py(m.total_closed_trades));
        put(d.get(), "Total Open Trades", to_py(m.total_open_trades));
        put(d.get(), "Open Trade PnL", to_py(m.open_trade_pnl));
        put(d.get(), "Win Rate [%]", to_py(m.win_rate_pct));
        put(d.get(), "Best Trade [%]", to_py(m.best_trade_pct));
        put(d.get(), "Worst Trade [%]", to_py(m.worst_trade_pct));
        put(d.get(), "Avg Winning Trade [%]", to_py(m.avg_win_pct));
        put(d.get(), "Avg Losing Trade [%]", to_py(m.avg_loss_pct));
        put(d.get(), "Avg Winning Trade Duration", to_py(m.avg_winning_duration));
        put(d.get(), "Avg Losing Trade Duration", to_py(m.avg_losing_duration));
        put(d.get(), "Profit Factor", to_py(m.profit_factor));
        put(d.get(), "Expectancy", to_py(m.expectancy));
        put(d.get(), "SQN", to_py(m.sqn));
        put(d.get(), "Sharpe Ratio", to_py(m.sharpe_ratio));
        put(d.get(), "Sortino Ratio", to_py(m.sortino_ratio));
        put(d.get(), "Calmar Ratio", to_py(m.calmar_ratio));
        put(d.get(), "Omega Ratio", to_py(m.omega_ratio));
        put(d.get(), "Cost / Gross Profit [%]", to_py(m.cost_to_gross_profit_pct));
        put(d.get(), "MFE Capture Ratio", to_py(m.mfe_capture_ratio));
        put(d.get(), "Avg Drawdown [%]", to_py(m.avg_drawdown_pct));
        return d.release();
    });
}

PyObject* metrics_repr(PyObject* self) {
    return read<M>(self, [](const M& m) {
        return to_py(base::fmt::format("BacktestMetrics(return={}%, sharpe={}, max_dd={}%, trades={})",
                                       base::fmt::fixed(m.total_return_pct, 2), base::fmt::fixed(m.sharpe_ratio, 2),
                                       base::fmt::fixed(m.max_drawdown_pct, 2), m.total_trades))
            .release();
    });
}

constexpr auto kToDict = method("BacktestMetrics.to_dict", "Convert to dictionary of all metrics.");

PyMethodDef kMetricsMethods[] = {
    noargs<kToDict>(metrics_to_dict),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kMetricsGetSet[] = {
    read_only<&M::total_return_pct>("total_return_pct"),
    read_only<&M::sharpe_ratio>("sharpe_ratio"),
    read_only<&M::sortino_ratio>("sortino_ratio"),
    read_only<&M::calmar_ratio>("calmar_ratio"),
    read_only<&M::omega_ratio>("omega_ratio"),
    read_only<&M::max_drawdown_pct>("max_drawdown_pct"),
    read_only<&M::max_drawdown_duration>("max_drawdown_duration"),
    read_only<&M::max_drawdown_duration_secs>(
        "max_drawdown_duration_secs",
        "The same stretch in seconds, when the run supplied timestamps. A bar is\n"
        "a day only on daily data, so the count above cannot be rendered as a\n"
        "duration on its own."),
    read_only<&M::ulcer_index>("ulcer_index",
                               "Root mean square of the drawdown curve, same percentage points as\n"
                               "`max_drawdown_pct`. Weights a drawdown by how long it lasted, which\n"
                               "`max_drawdown_pct` alone cannot express."),
    read_only<&M::time_under_water_pct>("time_under_water_pct",
                                        "Share of equity samples strictly below the running high-water mark."),
    read_only<&M::win_rate_pct>("win_rate_pct"),
    read_only<&M::profit_factor>("profit_factor"),
    read_only<&M::expectancy>("expectancy"),
    read_only<&M::sqn>("sqn"),
    read_only<&M::total_trades>("total_trades"),
    read_only<&M::total_closed_trades>("total_closed_trades"),
    read_only<&M::total_open_trades>("total_open_trades"),
    read_only<&M::open_trade_pnl>("open_trade_pnl"),
    read_only<&M::winning_trades>("winning_trades"),
    read_only<&M::losing_trades>("losing_trades"),
    read_only<&M::start_value>("start_value"),
    read_only<&M::end_value>("end_value"),
    read_only<&M::total_fees_paid>("total_fees_paid"),
    read_only<&M::best_trade_pct>("best_trade_pct"),
    read_only<&M::worst_trade_pct>("worst_trade_pct"),
    read_only<&M::avg_trade_return_pct>("avg_trade_return_pct"),
    read_only<&M::avg_win_pct>("avg_win_pct", "None when no trade won -- an average over an empty set is undefined."),
    read_only<&M::avg_loss_pct>("avg_loss_pct", "None when no trade lost."),
    read_only<&M::avg_winning_duration>("avg_winning_duration", "None when no trade won."),
    read_only<&M::avg_losing_duration>("avg_losing_duration", "None when no trade lost."),
    read_only<&M::max_consecutive_wins>("max_consecutive_wins"),
    read_only<&M::max_consecutive_losses>("max_consecutive_losses"),
    read_only<&M::avg_holding_period>("avg_holding_period"),
    read_only<&M::avg_holding_period_secs>("avg_holding_period_secs",
                                           "The same average in seconds, when the run supplied timestamps."),
    read_only<&M::exposure_pct>("exposure_pct"),
    read_only<&M::payoff_ratio>("payoff_ratio"),
    read_only<&M::recovery_factor>("recovery_factor"),
    read_only<&M::total_turnover>("total_turnover",
                                  "Total traded notional, both sides counted: |size x entry price| plus\n"
                                  "|size x exit price| per trade, without the exit leg of a trade still open\n"
                                  "at the end of the data or settled at expiry."),
    read_only<&M::return_skew>("return_skew"),
    read_only<&M::return_kurtosis>("return_kurtosis"),
    read_only<&M::tail_ratio>("tail_ratio"),
    read_only<&M::cost_to_gross_profit_pct>("cost_to_gross_profit_pct"),
    read_only<&M::breakeven_cost_multiple>("breakeven_cost_multiple"),
    read_only<&M::return_consistency_pct>("return_consistency_pct"),
    read_only<&M::avg_drawdown_pct>("avg_drawdown_pct"),
    read_only<&M::mae_mfe_coverage_pct>("mae_mfe_coverage_pct"),
    read_only<&M::avg_mae_pnl>("avg_mae_pnl"),
    read_only<&M::mfe_capture_ratio>("mfe_capture_ratio"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kMetricsSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed backtest metrics.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<M>)},
    {Py_tp_methods, kMetricsMethods},
    {Py_tp_getset, kMetricsGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<metrics_repr>)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------
// BacktestResult

using R = BacktestResult;

PyObject* result_metrics(PyObject* self, void*) {
    return read<R>(self, [](const R& r) { return wrap<M>(r.metrics).release(); });
}

PyObject* result_trades(PyObject* self, PyObject*) {
    return read<R>(self, [](const R& r) { return record_list(r.trades); });
}

PyObject* result_orders(PyObject* self, PyObject*) {
    return read<R>(self, [](const R& r) { return record_list(r.orders); });
}

PyObject* result_repr(PyObject* self) {
    return read<R>(self, [](const R& r) {
        return to_py(base::fmt::format("BacktestResult(return={}%, trades={}, max_dd={}%)",
                                       base::fmt::fixed(r.metrics.total_return_pct, 2), r.metrics.total_trades,
                                       base::fmt::fixed(r.metrics.max_drawdown_pct, 2)))
            .release();
    });
}

constexpr auto kEquityCurve = method("BacktestResult.equity_curve", "Get equity curve as numpy array.");
constexpr auto kReturns = method("BacktestResult.returns", "Get returns as numpy array.");
constexpr auto kDrawdownCurve = method("BacktestResult.drawdown_curve", "Get drawdown curve as numpy array.");
constexpr auto kTrades = method("BacktestResult.trades", "Get list of trades.");
constexpr auto kOrders = method("BacktestResult.orders",
                                "Every order the run placed, in submission order \u2014 including the ones\n"
                                "that never filled. Empty for a run that placed no typed orders.");

PyMethodDef kResultMethods[] = {
    noargs<kEquityCurve>(array_method<R, &R::equity_curve>),
    noargs<kReturns>(array_method<R, &R::returns>),
    noargs<kDrawdownCurve>(array_method<R, &R::drawdown_curve>),
    noargs<kTrades>(result_trades),
    noargs<kOrders>(result_orders),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kResultGetSet[] = {
    {"metrics", result_metrics, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kResultSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed backtest result.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<R>)},
    {Py_tp_methods, kResultMethods},
    {Py_tp_getset, kResultGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<result_repr>)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* backtest_result_type() { return record_type<R>("builtins.BacktestResult", kResultSlots); }
PyTypeObject* backtest_metrics_type() { return record_type<M>("builtins.BacktestMetrics", kMetricsSlots); }
PyTypeObject* trade_type() { return record_type<T>("builtins.Trade", kTradeSlots); }
PyTypeObject* order_type() { return record_type<O>("builtins.Order", kOrderSlots); }

Ref new_backtest_result(BacktestResult result) { return wrap(std::move(result)); }
Ref new_run_result(RunOutput run) { return wrap(engine::assembly::build_backtest_result(std::move(run))); }
Ref new_trade(TradeRecord trade) { return wrap(std::move(trade)); }
Ref new_order(Order order) { return wrap(std::move(order)); }

Registrations run_result_rows() {
    static constexpr Registration rows[] = {
        class_row<engine::BacktestResult>(),
        class_row<engine::ReportedMetrics>(),
        class_row<domain::TradeRecord>(),
        class_row<domain::Order>(),
    };
    return rows;
}

}  // namespace tarnwick::python
