// A test-only extension that reaches the binding layer's pieces directly: the call entry,
// the converters and the NumPy bridge. It is built with the test suite and never installed.
#include <limits>
#include <span>

#include "base/errors.h"
#include "base/fault.h"
#include "engine/result_assembly.h"
#include "python/classes.h"
#include "python/convert.h"
#include "python/numpy_bridge.h"
#include "python/records.h"
#include "python/strategy_converters.h"

namespace tarnwick::python {

using base::AggregateError;
using base::CoreError;
using base::PortfolioError;
using base::fault;
using domain::BacktestConfig;
using domain::ExitReason;
using domain::FeeBreakdown;
using domain::Order;
using domain::TradeRecord;
using metrics::BacktestMetrics;

namespace {

PyObject* trip_fault(PyObject*, const Args&) { fault("probe: invariant broken"); }

PyObject* trip_std_exception(PyObject*, const Args&) { throw std::out_of_range("probe: vector index"); }

PyObject* trip_bad_alloc(PyObject*, const Args&) { throw std::bad_alloc(); }

PyObject* f64(PyObject*, const Args& a) { return from_vec(a.get<ArrayF64>(0).data).release(); }
PyObject* i64(PyObject*, const Args& a) { return from_vec(a.get<ArrayI64>(0).data).release(); }
PyObject* boolean(PyObject*, const Args& a) { return from_vec_bool(a.get<ArrayBool>(0).data).release(); }
PyObject* matrix(PyObject*, const Args& a) { return from_matrix(std::move(a.get<ArrayF64x2>(0).m)).release(); }

// The values a column view reads, and the address it reads them from.
PyObject* column(PyObject*, const Args& a) {
    Column<double> c = a.get<Column<double>>(0);
    std::vector<double> values(c.span().begin(), c.span().end());
    Ref t = Ref::check(PyTuple_New(2));
    PyTuple_SET_ITEM(t.get(), 0, to_py(values).release());
    PyTuple_SET_ITEM(t.get(), 1, to_py(reinterpret_cast<std::uintptr_t>(c.data())).release());
    return t.release();
}

PyObject* core_error(PyObject*, const Args& a) {
    const auto kind = a.get<std::uint32_t>(0);
    if (kind == 0) raise_value_error(CoreError::index_out_of_bounds(7, 5));
    if (kind == 1) raise_value_error(PortfolioError::cross_section_too_small(3, 5));
    raise_value_error(AggregateError::zero_step());
}

// Echoes converted values, one parameter per engine type.
PyObject* convert(PyObject*, const Args& a) {
    Ref t = Ref::check(PyTuple_New(7));
    PyTuple_SET_ITEM(t.get(), 0, to_py(a.get_or<std::int32_t>(0, 0)).release());
    PyTuple_SET_ITEM(t.get(), 1, to_py(a.get_or<std::uint32_t>(1, 0)).release());
    PyTuple_SET_ITEM(t.get(), 2, to_py(a.get_or<std::int64_t>(2, 0)).release());
    PyTuple_SET_ITEM(t.get(), 3, to_py(a.get_or<std::uint64_t>(3, 0)).release());
    PyTuple_SET_ITEM(t.get(), 4, to_py(a.get_or<double>(4, 0.0)).release());
    PyTuple_SET_ITEM(t.get(), 5, to_py(a.opt<std::vector<double>>(5).value_or(std::vector<double>{})).release());
    PyTuple_SET_ITEM(t.get(), 6, to_py(a.opt<std::string>(6).value_or("")).release());
    return t.release();
}

// A result as a finished run would report it: a trade with flat fees and one with
// itemised lines, a filled and a rejected order, ratios that cannot be reported. With
// `empty`, the result of a run that stepped nothing.
PyObject* backtest_result(PyObject*, const Args& a) {
    if (a.get_or<bool>(0, false)) {
        const BacktestMetrics m = metrics::compute_metrics({}, {}, {}, {}, {}, BacktestConfig{});
        return new_backtest_result(engine::assembly::build_backtest_result(m, {}, {}, {}, {}, {})).release();
    }
    BacktestMetrics m;
    m.total_return_pct = 12.3456;
    m.sharpe_ratio = 1.25;
    m.sortino_ratio = 0.0;
    m.calmar_ratio = std::numeric_limits<double>::quiet_NaN();
    m.profit_factor = std::numeric_limits<double>::infinity();
    m.payoff_ratio = -std::numeric_limits<double>::infinity();
    m.recovery_factor = 3.0;
    m.max_drawdown_pct = 2.5;
    m.total_trades = 3;
    m.total_closed_trades = 2;
    m.total_open_trades = 1;
    m.avg_win_pct = 5.5;

    TradeRecord flat;
    flat.id = 1;
    flat.symbol = "ABC";
    flat.entry_idx = 2;
    flat.exit_idx = 5;
    flat.entry_price = 100.0;
    flat.exit_price = 105.5;
    flat.size = 100.0;
    flat.direction = -1;
    flat.pnl = 550.0;
    flat.return_pct = 5.5;
    flat.entry_time = -5;
    flat.exit_time = 7;
    flat.mae_price = 98.0;
    flat.mae_pnl = -200.0;
    TradeRecord itemised = flat;
    itemised.id = 2;
    itemised.fee_breakdown = FeeBreakdown{40.0, 25.0, 6.14, 0.2, 3.0, 8.3412};
    itemised.fees = 82.6812;
    itemised.exit_reason = ExitReason::EndOfData;
    itemised.mae_price.reset();

    Order filled;
    filled.id = 7;
    filled.client_id = "c7";
    filled.symbol = "ABC";
    filled.side = "buy";
    filled.kind = "market";
    filled.tif = "gtc";
    filled.status = "filled";
    filled.requested_qty = 10.0;
    filled.record_fill(100.0, 4.0, 3);
    filled.record_fill(101.0, 6.0, 4);
    Order rejected = filled;
    rejected.id = 8;
    rejected.kind = "limit";
    rejected.status = "rejected";
    rejected.requested_qty.reset();
    rejected.limit_price = 99.0;
    rejected.record_reject("insufficient_margin");
    return new_backtest_result(engine::assembly::build_backtest_result(m, {100.0, 101.0, 99.0}, {0.0, 0.0, 2.5},
                                                                       {0.0, 0.01, -0.25}, {flat, itemised},
                                                                       {filled, rejected}))
        .release();
}

constexpr auto kBacktestResult = function("backtest_result", {{"empty", "False"}}, nullptr);
constexpr auto kFault = function("fault", nullptr);
constexpr auto kStdException = function("std_exception", nullptr);
constexpr auto kBadAlloc = function("bad_alloc", nullptr);
constexpr auto kF64 = function("f64", {"data"}, nullptr);
constexpr auto kI64 = function("i64", {"data"}, nullptr);
constexpr auto kBool = function("boolean", {"data"}, nullptr);
constexpr auto kMatrix = function("matrix", {"data"}, nullptr);
constexpr auto kColumn = function("column", {"data"}, nullptr);
constexpr auto kCoreError = function("core_error", {"kind"}, nullptr);
constexpr auto kConvert = function("convert",
                                   {{"i32", "0"}, {"u32", "0"}, {"i64", "0"}, {"u64", "0"}, {"f64", "0.0"},
                                    {"values", "None"}, {"text", "None"}},
                                   nullptr);
constexpr auto kBind = function("bind", {"a", "b", "c", {"d", "None"}}, nullptr);

PyObject* bound(PyObject*, const Args& a) {
    Ref t = Ref::check(PyTuple_New(4));
    for (std::size_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(a.given(i) ? a.raw(i) : Py_None));
    return t.release();
}

// The converted instrument or strategy lists: per entry its name, direction, weight,
// signals, and (instruments) the address and length of the close column it reads and the
// address of the entries it reads.
Ref signal_list(std::span<const std::uint8_t> v) { return to_py(std::vector<bool>(v.begin(), v.end())); }

PyObject* instruments(PyObject*, const Args& a) {
    const auto list = unwrap(convert_basket_instruments(a.get<std::vector<BasketTuple>>(0)));
    Ref out = Ref::check(PyList_New(0));
    for (const InstrumentInput& in : list) {
        Ref row = Ref::check(Py_BuildValue("(NiNNNNNN)", to_py(in.symbol).release(), int{in.direction},
                                           to_py(in.weight).release(), signal_list(in.entries.span()).release(),
                                           signal_list(in.exits.span()).release(),
                                           to_py(reinterpret_cast<std::uintptr_t>(in.close.data())).release(),
                                           to_py(std::uint64_t{in.bars().bars()}).release(),
                                           to_py(reinterpret_cast<std::uintptr_t>(in.entries.data())).release()));
        if (PyList_Append(out.get(), row.get()) < 0) throw_error_set();
    }
    return out.release();
}

PyObject* strategies(PyObject*, const Args& a) {
    const auto list = unwrap(convert_multi_strategies(a.get<std::vector<StrategyTuple>>(0)));
    Ref out = Ref::check(PyList_New(0));
    for (const StrategyInput& s : list) {
        Ref row = Ref::check(Py_BuildValue("(NiNNN)", to_py(s.name).release(), int{s.direction},
                                           to_py(s.weight).release(), signal_list(s.entries).release(),
                                           signal_list(s.exits).release()));
        if (PyList_Append(out.get(), row.get()) < 0) throw_error_set();
    }
    return out.release();
}

constexpr auto kInstruments = function("instruments", {"instruments"}, nullptr);
constexpr auto kStrategies = function("strategies", {"strategies"}, nullptr);

PyMethodDef kMethods[] = {
    fast_method<kFault, trip_fault>(),
    fast_method<kStdException, trip_std_exception>(),
    fast_method<kBadAlloc, trip_bad_alloc>(),
    fast_method<kF64, f64>(),
    fast_method<kI64, i64>(),
    fast_method<kBool, boolean>(),
    fast_method<kMatrix, matrix>(),
    fast_method<kColumn, column>(),
    fast_method<kCoreError, core_error>(),
    fast_method<kConvert, convert>(),
    fast_method<kBind, bound>(),
    fast_method<kBacktestResult, backtest_result>(),
    fast_method<kInstruments, instruments>(),
    fast_method<kStrategies, strategies>(),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kDef = {PyModuleDef_HEAD_INIT, "_tarnwick_probe", nullptr, -1, kMethods,
                    nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tarnwick::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tarnwick_probe() {
    return PyModule_Create(&tarnwick::python::kDef);
}
