// The six stop and target installers shared by BacktestConfig and InstrumentConfig.
// The object is taken for writing first, then the arguments are converted in order, then
// the percent, ratio or multiplier is checked (finite and above 0), and the rule is
// replaced only when all of that passed: a refused call leaves the previous rule.
#pragma once

#include <cstddef>
#include <cstdint>

#include "domain/backtest_config.h"
#include "python/records.h"

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

template <class T, void (*Store)(T&, const Args&)>
PyObject* rule_setter(PyObject* self, const Args& a) {
    auto* r = as_record<T>(self);
    ExclusiveBorrow b(r->borrow);
    Store(r->value, a);
    return Py_NewRef(Py_None);
}

// The rule's percent, ratio or multiplier, named as the installer's argument.
inline double positive_argument(const Args& a, std::size_t index, const char* name) {
    const double v = a.get<double>(index);
    unwrap(domain::check_positive(name, v));
    return v;
}

template <class T>
void store_fixed_stop(T& c, const Args& a) {
    c.stop = domain::StopRule::fixed(positive_argument(a, 0, "percent"));
}
// The period is converted before the multiplier is checked: a bad period keeps its
// OverflowError or TypeError whatever the multiplier.
template <class T>
void store_atr_stop(T& c, const Args& a) {
    const double m = a.get<double>(0);
    const std::uint64_t period = a.get<std::uint64_t>(1);
    unwrap(domain::check_positive("multiplier", m));
    c.stop = domain::StopRule::atr(m, period);
}
template <class T>
void store_trailing_stop(T& c, const Args& a) {
    c.stop = domain::StopRule::trailing(positive_argument(a, 0, "percent"));
}
template <class T>
void store_fixed_target(T& c, const Args& a) {
    c.target = domain::TargetRule::fixed(positive_argument(a, 0, "percent"));
}
template <class T>
void store_atr_target(T& c, const Args& a) {
    const double m = a.get<double>(0);
    const std::uint64_t period = a.get<std::uint64_t>(1);
    unwrap(domain::check_positive("multiplier", m));
    c.target = domain::TargetRule::atr(m, period);
}
template <class T>
void store_risk_reward_target(T& c, const Args& a) {
    c.target = domain::TargetRule::risk_reward(positive_argument(a, 0, "ratio"));
}

}  // namespace tarnwick::python
