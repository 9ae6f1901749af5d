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
#include "python/declare.h"
#include "python/fields.h"
#include "python/listing.h"
#include "python/records.h"
#include "python/registration.h"
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

PyObject* trip_fault() { fault("probe: invariant broken"); }

PyObject* trip_std_exception() { throw std::out_of_range("probe: vector index"); }

PyObject* trip_bad_alloc() { throw std::bad_alloc(); }

Ref f64(ArrayF64 data) { return from_vec(std::move(data.data)); }
Ref i64(ArrayI64 data) { return from_vec(std::move(data.data)); }
Ref boolean(ArrayBool data) { return from_vec_bool(std::move(data.data)); }
Ref matrix(ArrayF64x2 data) { return from_matrix(std::move(data.m)); }

// The values a column view reads, and the address it reads them from.
Ref column(const Column<double>& c) {
    std::vector<double> values(c.span().begin(), c.span().end());
    Ref t = Ref::check(PyTuple_New(2));
    PyTuple_SET_ITEM(t.get(), 0, to_py(values).release());
    PyTuple_SET_ITEM(t.get(), 1, to_py(reinterpret_cast<std::uintptr_t>(c.data())).release());
    return t;
}

PyObject* core_error(std::uint32_t kind) {
    if (kind == 0) raise_value_error(CoreError::index_out_of_bounds(7, 5));
    if (kind == 1) raise_value_error(PortfolioError::cross_section_too_small(3, 5));
    raise_value_error(AggregateError::zero_step());
}

// Echoes converted values, one parameter per engine type.
Ref convert(std::int32_t i32, std::uint32_t u32, std::int64_t i64v, std::uint64_t u64, double f64v,
            std::optional<std::vector<double>> values, std::optional<std::string> text) {
    Ref t = Ref::check(PyTuple_New(7));
    PyTuple_SET_ITEM(t.get(), 0, to_py(i32).release());
    PyTuple_SET_ITEM(t.get(), 1, to_py(u32).release());
    PyTuple_SET_ITEM(t.get(), 2, to_py(i64v).release());
    PyTuple_SET_ITEM(t.get(), 3, to_py(u64).release());
    PyTuple_SET_ITEM(t.get(), 4, to_py(f64v).release());
    PyTuple_SET_ITEM(t.get(), 5, to_py(values.value_or(std::vector<double>{})).release());
    PyTuple_SET_ITEM(t.get(), 6, to_py(text.value_or("")).release());
    return t;
}

// A result as a finished run would report it: a trade with flat fees and one with
// itemised lines, a filled and a rejected order, ratios that cannot be reported. With
// `empty`, the result of a run that stepped nothing.
Ref backtest_result(bool empty) {
    if (empty) {
        const BacktestMetrics m = metrics::compute_metrics({}, {}, {}, {}, {}, BacktestConfig{});
        return new_backtest_result(engine::assembly::build_backtest_result(m, {}, {}, {}, {}, {}));
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
                                                                       {filled, rejected}));
}

// The arguments exactly as bound: the objects given, None for one left out.
Ref bound(Object a, Object b, Object c, Object d) {
    Ref t = Ref::check(PyTuple_New(4));
    Object given[] = {a, b, c, d};
    for (std::size_t i = 0; i < 4; ++i) {
        PyTuple_SET_ITEM(t.get(), i, Py_NewRef(given[i].object != nullptr ? given[i].object : Py_None));
    }
    return t;
}

// The converted instrument or strategy lists: per entry its name, direction, weight,
// signals, and (instruments) the address and length of the close column it reads and the
// address of the entries it reads.
Ref signal_list(std::span<const std::uint8_t> v) { return to_py(std::vector<bool>(v.begin(), v.end())); }

Ref instruments(std::vector<BasketTuple> given) {
    const auto list = unwrap(convert_basket_instruments(std::move(given)));
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
    return out;
}

Ref strategies(std::vector<StrategyTuple> given) {
    const auto list = unwrap(convert_multi_strategies(std::move(given)));
    Ref out = Ref::check(PyList_New(0));
    for (const StrategyInput& s : list) {
        Ref row = Ref::check(Py_BuildValue("(NiNNN)", to_py(s.name).release(), int{s.direction},
                                           to_py(s.weight).release(), signal_list(s.entries).release(),
                                           signal_list(s.exits).release()));
        if (PyList_Append(out.get(), row.get()) < 0) throw_error_set();
    }
    return out;
}

// What the binding layer declares, for tools/gen_stub.py: every callable with its
// parameters' annotations and defaults, every attribute's annotation, and the aliases.
Ref declarations() {
    // Asking for every family links every bindings file into this module, and so lists it.
    for (Registrations (*family)() : registration_families()) static_cast<void>(family());
    const Listing& l = listing();
    Ref callables = list_of(l.callables.size(), [&](std::size_t i) {
        const ListedCallable& c = l.callables[i];
        Ref params = list_of(c.params.size(), [&](std::size_t k) {
            const ListedParam& p = c.params[k];
            return Ref::check(Py_BuildValue("(ssNs)", p.name.c_str(), p.annotation.c_str(),
                                            to_py(p.has_default).release(), p.default_text.c_str()));
        });
        return Ref::check(Py_BuildValue("(siNs)", c.display.c_str(), static_cast<int>(c.kind), params.release(),
                                        c.returns.c_str()));
    });
    Ref attributes = list_of(l.attributes.size(), [&](std::size_t i) {
        const ListedAttribute& a = l.attributes[i];
        return Ref::check(Py_BuildValue("(sssN)", a.owner.c_str(), a.name.c_str(), a.annotation.c_str(),
                                        to_py(a.writable).release()));
    });
    Ref aliases = list_of(l.aliases.size(), [&](std::size_t i) {
        return Ref::check(Py_BuildValue("(ss)", l.aliases[i].name.c_str(), l.aliases[i].definition.c_str()));
    });
    return Ref::check(Py_BuildValue("{sNsNsN}", "callables", callables.release(), "attributes", attributes.release(),
                                    "aliases", aliases.release()));
}

// The names module start-up adds after the constants, family by family in the order the
// binding layer lists its families: one list of names per family.
Ref registration_rows() {
    const auto families = registration_families();
    return list_of(families.size(), [&](std::size_t f) {
        const Registrations rows = families[f]();
        return list_of(rows.size(), [&](std::size_t r) {
            if (rows[r].type == nullptr) return to_py(rows[r].function->ml_name);
            PyTypeObject* tp = rows[r].type();
            if (tp == nullptr) throw_error_set();
            return Ref::check(PyType_GetName(tp));
        });
    });
}

constexpr Returns kAny{"object"};

constexpr auto kBacktestResult = function<backtest_result>("backtest_result", {{"empty", false}}, kAny, nullptr);
constexpr auto kFault = function<trip_fault>("fault", kAny, nullptr);
constexpr auto kStdException = function<trip_std_exception>("std_exception", kAny, nullptr);
constexpr auto kBadAlloc = function<trip_bad_alloc>("bad_alloc", kAny, nullptr);
constexpr auto kF64 = function<f64>("f64", {"data"}, kAny, nullptr);
constexpr auto kI64 = function<i64>("i64", {"data"}, kAny, nullptr);
constexpr auto kBool = function<boolean>("boolean", {"data"}, kAny, nullptr);
constexpr auto kMatrix = function<matrix>("matrix", {"data"}, kAny, nullptr);
constexpr auto kColumn = function<column>("column", {"data"}, kAny, nullptr);
constexpr auto kCoreError = function<core_error>("core_error", {"kind"}, kAny, nullptr);
constexpr auto kConvert = function<convert>("convert",
                                            {{"i32", 0}, {"u32", 0}, {"i64", 0}, {"u64", 0}, {"f64", 0.0},
                                             {"values", None}, {"text", None}},
                                            kAny, nullptr);
constexpr auto kBind = function<bound>("bind", {"a", "b", "c", {"d", None}}, kAny, nullptr);
constexpr auto kInstruments = function<instruments>("instruments", {"instruments"}, kAny, nullptr);
constexpr auto kStrategies = function<strategies>("strategies", {"strategies"}, kAny, nullptr);
constexpr auto kDeclarations = function<declarations>("declarations", kAny, nullptr);
constexpr auto kRegistrationRows = function<registration_rows>("registration_rows", kAny, nullptr);

PyMethodDef kMethods[] = {
    fast_method<kFault>(),       fast_method<kStdException>(),  fast_method<kBadAlloc>(),
    fast_method<kF64>(),         fast_method<kI64>(),           fast_method<kBool>(),
    fast_method<kMatrix>(),      fast_method<kColumn>(),        fast_method<kCoreError>(),
    fast_method<kConvert>(),     fast_method<kBind>(),          fast_method<kBacktestResult>(),
    fast_method<kInstruments>(), fast_method<kStrategies>(),    fast_method<kDeclarations>(),
    fast_method<kRegistrationRows>(),
    kMethodEnd,
};

PyModuleDef kDef = {PyModuleDef_HEAD_INIT, "_tarnwick_probe", nullptr, -1, kMethods,
                    nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tarnwick::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tarnwick_probe() {
    return PyModule_Create(&tarnwick::python::kDef);
}
