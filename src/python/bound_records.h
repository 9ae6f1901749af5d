// The record classes that other bindings take as arguments, bound once for every file.
#pragma once

#include "core/backtest_config.h"
#include "core/instrument_config.h"
#include "core/instrument_spec.h"
#include "python/classes.h"
#include "python/records.h"

namespace tarnwick::py {

template <>
struct Bound<BacktestConfig> {
    static constexpr const char* name = "BacktestConfig";
    static PyTypeObject* type() { return backtest_config_type(); }
};

template <>
struct Bound<InstrumentConfig> {
    static constexpr const char* name = "InstrumentConfig";
    static PyTypeObject* type() { return instrument_config_type(); }
};

template <>
struct Bound<InstrumentSpec> {
    static constexpr const char* name = "InstrumentSpec";
    static PyTypeObject* type() { return instrument_spec_type(); }
};

}  // namespace tarnwick::py
