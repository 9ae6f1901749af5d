// The six stop and target installers shared by BacktestConfig and InstrumentConfig.
// The object is taken for writing first, then the arguments are converted in order, and
// the rule is replaced only when every argument converted.
#pragma once

#include "core/backtest_config.h"
#include "python/records.h"

namespace tarnwick::py {

template <class T, const Signature& Sig, void (*Store)(T&, const Args&)>
PyObject* rule_setter(PyObject* self, const Args& a) {
    auto* r = as_record<T>(self);
    ExclusiveBorrow b(r->borrow);
    Store(r->value, a);
    return Py_NewRef(Py_None);
}

template <class T>
void store_fixed_stop(T& c, const Args& a) {
    c.stop = StopRule::fixed(a.get<double>(0));
}
template <class T>
void store_atr_stop(T& c, const Args& a) {
    const double m = a.get<double>(0);
    c.stop = StopRule::atr(m, a.get<std::uint64_t>(1));
}
template <class T>
void store_trailing_stop(T& c, const Args& a) {
    c.stop = StopRule::trailing(a.get<double>(0));
}
template <class T>
void store_fixed_target(T& c, const Args& a) {
    c.target = TargetRule::fixed(a.get<double>(0));
}
template <class T>
void store_atr_target(T& c, const Args& a) {
    const double m = a.get<double>(0);
    c.target = TargetRule::atr(m, a.get<std::uint64_t>(1));
}
template <class T>
void store_risk_reward_target(T& c, const Args& a) {
    c.target = TargetRule::risk_reward(a.get<double>(0));
}

}  // namespace tarnwick::py
