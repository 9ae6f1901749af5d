// The six stop and target installers shared by BacktestConfig and InstrumentConfig.
// The object is taken for writing first, then the arguments are converted in order, then
// the percent, ratio or multiplier is checked (finite and above 0), then an ATR rule's
// period (above 0), and the rule is replaced only when all of that passed: a refused call
// leaves the previous rule. A period that does not convert keeps its OverflowError or
// TypeError whatever the multiplier.
#pragma once

#include <cstdint>

#include "domain/backtest_config.h"
#include "python/declare.h"

// What the arguments of the six installers mean, appended to both classes' docstrings.
// Adjacent string literals are the only way to join them at compile time, hence macros.
#define TW_FIXED_STOP_UNITS \
    "\n\n`percent` is a fraction of the entry price, not percent: 0.05 puts the\nstop 5 % below a long entry (above a short one). Finite and above 0."
#define TW_ATR_STOP_UNITS \
    "\n\nThe stop sits `multiplier` x ATR from the entry price. The array runners\ncompute the ATR over `period` bars; a session uses the `atr` its step is\ngiven, and sets no stop while that is 0. `multiplier` is finite and above 0."
#define TW_TRAILING_STOP_UNITS \
    "\n\n`percent` is a fraction, not percent: 0.05 keeps the stop 5 % below the\nhighest price since entry (above the lowest, for a short). Finite and\nabove 0."
#define TW_FIXED_TARGET_UNITS \
    "\n\n`percent` is a fraction of the entry price, not percent: 0.1 puts the\ntarget 10 % above a long entry (below a short one). Finite and above 0."
#define TW_ATR_TARGET_UNITS \
    "\n\nThe target sits `multiplier` x ATR from the entry price. The array runners\ncompute the ATR over `period` bars; a session uses the `atr` its step is\ngiven, and sets no target while that is 0. `multiplier` is finite and above\n0."
#define TW_RISK_REWARD_TARGET_UNITS \
    "\n\nThe target sits `ratio` times the distance to the stop rule's level\nbeyond the entry; without a stop rule no target is set. `ratio` is finite\nand above 0."

namespace tarnwick::python {

// Each installer's body: the object is already held for writing and every argument
// converted when it runs, and the rule is built (or refused) before it replaces the
// previous one, so a refusal here leaves the previous rule in place.
template <class T>
PyObject* set_fixed_stop(Exclusive<T>& self, double percent) {
    self->stop = unwrap(domain::StopRule::checked_fixed(percent));
    return Py_NewRef(Py_None);
}
template <class T>
PyObject* set_atr_stop(Exclusive<T>& self, double multiplier, std::uint64_t period) {
    self->stop = unwrap(domain::StopRule::checked_atr(multiplier, period));
    return Py_NewRef(Py_None);
}
template <class T>
PyObject* set_trailing_stop(Exclusive<T>& self, double percent) {
    self->stop = unwrap(domain::StopRule::checked_trailing(percent));
    return Py_NewRef(Py_None);
}
template <class T>
PyObject* set_fixed_target(Exclusive<T>& self, double percent) {
    self->target = unwrap(domain::TargetRule::checked_fixed(percent));
    return Py_NewRef(Py_None);
}
template <class T>
PyObject* set_atr_target(Exclusive<T>& self, double multiplier, std::uint64_t period) {
    self->target = unwrap(domain::TargetRule::checked_atr(multiplier, period));
    return Py_NewRef(Py_None);
}
template <class T>
PyObject* set_risk_reward_target(Exclusive<T>& self, double ratio) {
    self->target = unwrap(domain::TargetRule::checked_risk_reward(ratio));
    return Py_NewRef(Py_None);
}

}  // namespace tarnwick::python
