// What module start-up adds: every bindings file exports its classes and functions as
// rows, family by family, and the module adds the families in one fixed order, which is
// also the order of __all__. A new function or class is one row in its file's family;
// module start-up stays as it is.
#pragma once

#include <span>

#include "python/declare.h"
#include "python/records.h"

namespace tarnwick::python {

// One addition to the module: a class (its type factory) or a function (its method record).
struct Registration {
    PyTypeObject* (*type)();
    PyMethodDef* function;
};

using Registrations = std::span<const Registration>;

// The class bound to record `T`.
template <class T>
constexpr Registration class_row() {
    return {&Bound<T>::type, nullptr};
}

// The method record of a module function, made once for the life of the process.
template <const auto& C>
inline PyMethodDef kFunctionRecord = fast_method<C>();

template <const auto& C>
constexpr Registration function_row() {
    static_assert(C.kind == CallKind::function, "a module row holds a module function");
    return {nullptr, &kFunctionRecord<C>};
}

// The families, in the order the module adds them. A file exports more than one where that
// order puts other files' classes or functions between its own.
Registrations input_record_rows();
Registrations run_result_rows();
Registrations portfolio_result_rows();
Registrations single_run_rows();
Registrations basket_portfolio_run_rows();
Registrations options_pairs_run_rows();
Registrations multi_run_rows();
Registrations spread_tick_run_rows();
Registrations instrument_spec_rows();
Registrations streaming_indicator_rows();
Registrations bar_aggregation_rows();
Registrations kernel_session_rows();
Registrations portfolio_session_rows();
Registrations session_record_rows();
Registrations atr_period_rows();
Registrations spread_batch_item_rows();
Registrations spread_batch_rows();
Registrations single_batch_rows();
Registrations monte_carlo_rows();
Registrations portfolio_analytics_class_rows();
Registrations cross_section_class_rows();
Registrations portfolio_analytics_function_rows();
Registrations cross_section_function_rows();
Registrations indicator_function_rows();

// The families above, in that order.
std::span<Registrations (*const)()> registration_families();

}  // namespace tarnwick::python
