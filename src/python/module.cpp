// Module start-up: one module object per process, filled from one registration table
// whose order is also the order of __all__.
#include <atomic>
#include <cstdint>

#include "python/classes.h"
#include "python/entry.h"
#include "python/object.h"

namespace tarnwick::python {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tarnwick", "Python module entry point", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* module_cell = nullptr;                // the one module of this process
std::atomic<std::int64_t> first_interpreter{-1};  // the interpreter that imported it first

// One addition to the module: a class (type factory) or a function (method record).
struct Registration {
    PyTypeObject* (*type)();
    PyMethodDef* function;
};

Registration class_row(PyTypeObject* (*type)()) { return {type, nullptr}; }
Registration function_row(PyMethodDef* def) { return {nullptr, def}; }

struct Constant {
    const char* name;
    double value;
    bool is_int;
    long long int_value;
};

constexpr Constant kConstants[] = {
    {"SESSION_NSE", 375.0, false, 0},
    {"SESSION_MCX", 870.0, false, 0},
    {"SESSION_CDS", 480.0, false, 0},
    {"SESSION_CONTINUOUS", 0.0, false, 0},
    {"IST_OFFSET_NS", 0.0, true, 19800000000000LL},
};

// Appends `name` to __all__ (created on first use), then sets the attribute.
void add(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    if (all == nullptr) {
        Ref fresh = Ref::check(PyList_New(0));
        if (PyModule_AddObjectRef(module, "__all__", fresh.get()) < 0) throw_error_set();
        all = fresh.get();
    }
    if (PyList_Append(all, name) < 0) throw_error_set();
    if (PyObject_SetAttr(module, name, value) < 0) throw_error_set();
}

void register_all(PyObject* module) {
    for (const Constant& c : kConstants) {
        Ref value = Ref::check(c.is_int ? PyLong_FromLongLong(c.int_value) : PyFloat_FromDouble(c.value));
        Ref name = Ref::check(PyUnicode_FromString(c.name));
        add(module, name.get(), value.get());
    }
    const Registration table[] = {
        class_row(backtest_config_type),
        class_row(instrument_config_type),
        class_row(stop_config_type),
        class_row(target_config_type),
        class_row(backtest_result_type),
        class_row(backtest_metrics_type),
        class_row(trade_type),
        class_row(order_type),
        class_row(portfolio_result_type),
        class_row(instrument_summary_type),
        function_row(run_single_backtest_function()),
        function_row(run_basket_backtest_function()),
        function_row(run_portfolio_backtest_function()),
        function_row(run_options_backtest_function()),
        function_row(run_pairs_backtest_function()),
        function_row(run_multi_backtest_function()),
        function_row(run_spread_backtest_function()),
        function_row(run_tick_backtest_function()),
        class_row(instrument_spec_type),
        class_row(indicator_type),
        class_row(bar_aggregator_type),
        function_row(aggregate_bars_function()),
        function_row(bars_from_ticks_function()),
        class_row(kernel_session_type),
        class_row(portfolio_session_type),
        class_row(engine_event_type),
        class_row(position_snapshot_type),
        function_row(resolve_atr_period_function()),
        class_row(batch_spread_item_type),
        function_row(batch_spread_backtest_function()),
        class_row(batch_single_item_type),
        function_row(batch_single_backtest_function()),
        function_row(simulate_portfolio_mc_function()),
        class_row(risk_model_type),
        class_row(optimizer_config_type),
        class_row(optimization_result_type),
        class_row(risk_contributions_type),
        class_row(optimize_item_type),
        class_row(rebalance_sim_result_type),
        class_row(rank_ic_type),
        function_row(estimate_covariance_function()),
        function_row(optimize_portfolio_function()),
        function_row(batch_optimize_portfolios_function()),
        function_row(compute_risk_contributions_function()),
        function_row(winsorize_panel_function()),
        function_row(zscore_panel_function()),
        function_row(rank_panel_function()),
        function_row(momentum_panel_function()),
        function_row(composite_scores_function()),
        function_row(rank_ic_function()),
        function_row(simulate_rebalance_policy_function()),
        function_row(indian_cost_schedule_function()),
        function_row(compute_tick_entry_signals_function()),
        function_row(compute_tick_exit_signals_function()),
        function_row(tick_spread_pct_function()),
        function_row(buy_sell_imbalance_delta_function()),
        function_row(return_window_function()),
        function_row(realized_vol_rolling_function()),
        function_row(oi_position_pct_function()),
        function_row(tick_velocity_function()),
        function_row(sma_function()),
        function_row(ema_function()),
        function_row(rsi_function()),
        function_row(macd_function()),
        function_row(stochastic_function()),
        function_row(atr_function()),
        function_row(bollinger_bands_function()),
        function_row(adx_function()),
        function_row(vwap_function()),
        function_row(supertrend_function()),
        function_row(rolling_min_function()),
        function_row(rolling_max_function()),
    };
    Ref modname = Ref::check(PyModule_GetNameObject(module));
    for (const Registration& row : table) {
        if (row.type != nullptr) {
            PyTypeObject* tp = row.type();
            if (tp == nullptr) throw_error_set();
            Ref name = Ref::check(PyType_GetName(tp));
            add(module, name.get(), reinterpret_cast<PyObject*>(tp));
        } else {
            Ref fn = Ref::check(PyCFunction_NewEx(row.function, module, modname.get()));
            Ref name = Ref::check(PyObject_GetAttrString(fn.get(), "__name__"));
            add(module, name.get(), fn.get());
        }
    }
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) {
        if (!PyErr_Occurred()) raise(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw_error_set();
    }
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "_tarnwick cannot be imported from a sub-interpreter: it was already loaded by another "
              "interpreter of this process");
    }
    if (module_cell != nullptr) return Py_NewRef(module_cell);
    Ref module = Ref::check(PyModule_Create2(&module_def, 1013));
    register_all(module.get());
    if (module_cell == nullptr) module_cell = Py_NewRef(module.get());
    return Py_NewRef(module_cell);
}

}  // namespace
}  // namespace tarnwick::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tarnwick() {
    return tarnwick::python::guarded([] { return tarnwick::python::init_module(); });
}
