// The records a finished run reports through: BacktestResult, BacktestMetrics, Trade and
// Order. All four are read-only and made only by the engine; every read hands out a new
// Python object built from a copy, so nothing a caller does to it reaches the record.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/format.h"
#include "domain/order_report.h"
#include "domain/trade_record.h"
#include "engine/backtest_result.h"
#include "engine/result_assembly.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/declare.h"
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

Ref fee_breakdown_of(const T& t) {
    if (!t.fee_breakdown) return Ref::borrow(Py_None);
    Ref dict = Ref::check(PyDict_New());
    for (const engine::assembly::FeeLine& line : engine::assembly::fee_breakdown_dict(*t.fee_breakdown)) {
        Ref key = to_py(line.name);
        Ref amount = to_py(line.amount);
        if (PyDict_SetItem(dict.get(), key.get(), amount.get()) < 0) throw_error_set();
    }
    return dict;
}

std::string_view exit_reason_of(const T& t) { return name(t.exit_reason); }

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
    getter<fee_breakdown_of>("fee_breakdown", Returns{"dict[str, float] | None"},
                             "Itemized regulatory costs, when `config.fee_segment` is set.\n\nKeys: brokerage, stt, "
                             "exchange_txn, sebi_fee, stamp_duty, gst, total.\n`total` equals `fees`, so reported costs "
                             "and the equity curve agree."),
    getter<exit_reason_of>("exit_reason"),
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
    kGetSetEnd,
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
    kGetSetEnd,
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

// The to_dict() keys in their order, each with the figure it reads, from the one list of
// figures; the list's places must run 1, 2, ... without a gap or a repeat.
struct DictEntry {
    const char* label;
    Ref (*value)(const M&);
};

constexpr std::size_t kDictSize = 0
#define TARNWICK_COUNT_FIGURE(type, name, initial, place, label, doc) +((place) > 0 ? 1 : 0)
#define TARNWICK_COUNT_RATIO(name, initial, place, label, doc) +((place) > 0 ? 1 : 0)
    TARNWICK_METRIC_FIELDS(TARNWICK_COUNT_FIGURE, TARNWICK_COUNT_RATIO)
#undef TARNWICK_COUNT_FIGURE
#undef TARNWICK_COUNT_RATIO
    ;

constexpr std::array<DictEntry, kDictSize> kDictEntries = [] {
    std::array<DictEntry, kDictSize> out{};
    auto place_at = [&out](std::size_t place, DictEntry entry) {
        if (place > kDictSize || out[place - 1].label != nullptr) throw "to_dict places run 1, 2, ... once each";
        out[place - 1] = entry;
    };
#define TARNWICK_DICT_FIGURE(type, name, initial, place, label, doc) \
    if constexpr ((place) > 0) place_at(place, {label, [](const M& m) { return to_py(m.name); }});
#define TARNWICK_DICT_RATIO(name, initial, place, label, doc) TARNWICK_DICT_FIGURE(_, name, initial, place, label, doc)
    TARNWICK_METRIC_FIELDS(TARNWICK_DICT_FIGURE, TARNWICK_DICT_RATIO)
#undef TARNWICK_DICT_FIGURE
#undef TARNWICK_DICT_RATIO
    return out;
}();

Ref to_dict_body(Shared<M>& self) {
    Ref d = Ref::check(PyDict_New());
    for (const DictEntry& entry : kDictEntries) put(d.get(), entry.label, entry.value(*self));
    return d;
}

PyObject* metrics_repr(PyObject* self) {
    return read<M>(self, [](const M& m) {
        return to_py(base::fmt::format("BacktestMetrics(return={}%, sharpe={}, max_dd={}%, trades={})",
                                       base::fmt::fixed(m.total_return_pct, 2), base::fmt::fixed(m.sharpe_ratio, 2),
                                       base::fmt::fixed(m.max_drawdown_pct, 2), m.total_trades))
            .release();
    });
}

constexpr auto kToDict = method<to_dict_body>("BacktestMetrics.to_dict", Returns{"dict[str, float | int | None]"},
                                             "Convert to dictionary of all metrics.");

PyMethodDef kMetricsMethods[] = {
    noargs<kToDict>(),
    kMethodEnd,
};

PyGetSetDef kMetricsGetSet[] = {
#define TARNWICK_METRIC_ROW(type, name, initial, place, label, doc) read_only<&M::name>(#name, doc),
#define TARNWICK_RATIO_ROW(name, initial, place, label, doc) read_only<&M::name>(#name, doc),
    TARNWICK_METRIC_FIELDS(TARNWICK_METRIC_ROW, TARNWICK_RATIO_ROW)
#undef TARNWICK_METRIC_ROW
#undef TARNWICK_RATIO_ROW
    kGetSetEnd,
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

// Wrapped from the record as it lies: one copy, into the new object.
Ref metrics_of(const R& r) { return wrap<M>(r.metrics); }

template <auto Records>
Ref records_body(Shared<R>& self) {
    return record_list((*self).*Records);
}

PyObject* result_repr(PyObject* self) {
    return read<R>(self, [](const R& r) {
        return to_py(base::fmt::format("BacktestResult(return={}%, trades={}, max_dd={}%)",
                                       base::fmt::fixed(r.metrics.total_return_pct, 2), r.metrics.total_trades,
                                       base::fmt::fixed(r.metrics.max_drawdown_pct, 2)))
            .release();
    });
}

constexpr Returns kArray{"NDArray[np.float64]"};

constexpr auto kEquityCurve = method<copied_array<&R::equity_curve>>("BacktestResult.equity_curve", kArray,
                                                                     "Get equity curve as numpy array.");
constexpr auto kReturns = method<copied_array<&R::returns>>("BacktestResult.returns", kArray,
                                                            "Get returns as numpy array.");
constexpr auto kDrawdownCurve = method<copied_array<&R::drawdown_curve>>("BacktestResult.drawdown_curve", kArray,
                                                                         "Get drawdown curve as numpy array.");
constexpr auto kTrades = method<records_body<&R::trades>>("BacktestResult.trades", Returns{"list[Trade]"},
                                                          "Get list of trades.");
constexpr auto kOrders = method<records_body<&R::orders>>(
    "BacktestResult.orders", Returns{"list[Order]"},
    "Every order the run placed, in submission order \u2014 including the ones\n"
    "that never filled. Empty for a run that placed no typed orders.");

PyMethodDef kResultMethods[] = {
    noargs<kEquityCurve>(), noargs<kReturns>(), noargs<kDrawdownCurve>(), noargs<kTrades>(), noargs<kOrders>(),
    kMethodEnd,
};

PyGetSetDef kResultGetSet[] = {
    getter<metrics_of>("metrics", Returns{"BacktestMetrics"}),
    kGetSetEnd,
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
