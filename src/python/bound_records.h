// The record classes that more than one binding takes or hands out, bound once for every file.
#pragma once

#include "domain/backtest_config.h"
#include "domain/instrument_config.h"
#include "domain/instrument_spec.h"
#include "engine/backtest_result.h"
#include "python/classes.h"
#include "python/records.h"

namespace tarnwick::python {

template <>
struct Bound<domain::BacktestConfig> {
    static constexpr const char* name = "BacktestConfig";
    static PyTypeObject* type() { return backtest_config_type(); }
};

template <>
struct Bound<domain::InstrumentConfig> {
    static constexpr const char* name = "InstrumentConfig";
    static PyTypeObject* type() { return instrument_config_type(); }
};

template <>
struct Bound<domain::InstrumentSpec> {
    static constexpr const char* name = "InstrumentSpec";
    static PyTypeObject* type() { return instrument_spec_type(); }
};

template <>
struct Bound<engine::BacktestResult> {
    static constexpr const char* name = "BacktestResult";
    static PyTypeObject* type() { return backtest_result_type(); }
};

template <>
struct Bound<engine::ReportedMetrics> {
    static constexpr const char* name = "BacktestMetrics";
    static PyTypeObject* type() { return backtest_metrics_type(); }
};

template <>
struct Bound<domain::TradeRecord> {
    static constexpr const char* name = "Trade";
    static PyTypeObject* type() { return trade_type(); }
};

template <>
struct Bound<domain::Order> {
    static constexpr const char* name = "Order";
    static PyTypeObject* type() { return order_type(); }
};

}  // namespace tarnwick::python
