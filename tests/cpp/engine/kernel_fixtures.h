// Small builders shared by the kernel, ledger and core-session tests.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/core_session.h"
#include "engine/kernel.h"
#include "engine/kernel_config.h"

namespace tarnwick::testing_support {

inline domain::OhlcvBar bar(std::int64_t ts, double o, double h, double l, double c, double v = 1000.0) {
    return domain::OhlcvBar{ts, o, h, l, c, v};
}
inline domain::OhlcvBar flat_bar(std::int64_t ts, double p) { return bar(ts, p, p, p, p); }

inline domain::BarSignal entry() {
    domain::BarSignal s;
    s.entry = true;
    return s;
}
inline domain::BarSignal exit_signal() {
    domain::BarSignal s;
    s.exit = true;
    return s;
}

// Defaults of the acceptance scenarios: fees 0.001, cash account, same-bar close,
// capital 100000, lot size 1 through the instrument override.
inline engine::KernelConfig base_config(domain::BacktestConfig bc = {}, std::int8_t direction = 1) {
    domain::InstrumentConfig ic;
    ic.lot_size = 1.0;
    return engine::KernelConfig::for_session(bc, "TEST", direction, ic);
}

inline std::vector<engine::KernelEvent> events_of(const std::vector<engine::KernelEvent>& ev) { return ev; }

inline std::size_t count_kind(const std::vector<engine::KernelEvent>& ev, engine::KernelEventKind kind) {
    std::size_t n = 0;
    for (const auto& e : ev) n += e.kind == kind ? 1 : 0;
    return n;
}

}  // namespace tarnwick::testing_support
