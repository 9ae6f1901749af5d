// Builders shared by the order-engine tests: kernels with zero fees, order submissions
// by kind, and event filters.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel_fixtures.h"

namespace tarnwick::testing_support {

// Zero fees and no lot size, so fills and positions carry exactly the order's numbers.
inline engine::KernelConfig order_config(domain::BacktestConfig bc = {}, engine::OmsType oms = engine::OmsType::Netting,
                                         double price_increment = 0.0) {
    bc.fees = 0.0;
    engine::KernelConfig kc = engine::KernelConfig::for_session(bc, "TEST", 1);
    kc.oms = oms;
    if (price_increment > 0.0) {
        kc.instrument =
            *domain::InstrumentSpec::equity({.terms = {.symbol = "TEST", .price_increment = price_increment}});
    }
    return kc;
}

inline engine::OrderRequestArgs order_args(std::string_view side, std::string_view kind, std::uint64_t idx = 0,
                                           std::optional<double> units = 10.0) {
    engine::OrderRequestArgs a;
    a.side = side;
    a.kind = kind;
    a.submitted_idx = idx;
    a.submitted_ts = static_cast<std::int64_t>(idx);
    a.client_id = "c";
    a.units = units;
    return a;
}

inline std::uint64_t submit(engine::Kernel& k, const engine::OrderRequestArgs& a) {
    auto id = k.submit_order(a);
    EXPECT_TRUE(id.ok()) << (id.ok() ? "" : id.error().message());
    return id.ok() ? *id : ~0ull;
}

inline std::vector<engine::KernelEvent> of_kind(const std::vector<engine::KernelEvent>& ev,
                                                engine::KernelEventKind kind) {
    std::vector<engine::KernelEvent> out;
    for (const auto& e : ev) {
        if (e.kind == kind) out.push_back(e);
    }
    return out;
}

// The kinds of the events in order, as their texts, for compact sequence checks.
inline std::vector<std::string> kinds_of(const std::vector<engine::KernelEvent>& ev) {
    std::vector<std::string> out;
    for (const auto& e : ev) out.emplace_back(name(e.kind));
    return out;
}

inline engine::OrderStatus status_of(const engine::Kernel& k, std::uint64_t id) { return k.find_order(id)->status; }

// One step with no signal, its events copied out of the kernel's buffer.
inline std::vector<engine::KernelEvent> run(engine::Kernel& k, std::uint64_t idx, const domain::OhlcvBar& b,
                                            bool print = false) {
    return events_of(k.step(idx, b, {}, print));
}

// The reasons of the step's order rejections, in order.
inline std::vector<std::string> reject_reasons(const std::vector<engine::KernelEvent>& ev) {
    std::vector<std::string> out;
    for (const auto& e : of_kind(ev, engine::KernelEventKind::OrderRejected)) out.push_back(e.reason);
    return out;
}

}  // namespace tarnwick::testing_support
