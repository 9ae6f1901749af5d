// Builders shared by the order-engine tests: kernels with zero fees, order submissions
// by kind, and event filters.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel_fixtures.h"

namespace tarnwick::testing_support {

// Zero fees and no lot size, so fills and positions carry exactly the order's numbers.
inline KernelConfig order_config(domain::BacktestConfig bc = {}, OmsType oms = OmsType::Netting,
                                 double price_increment = 0.0) {
    bc.fees = 0.0;
    KernelConfig kc = KernelConfig::for_session(bc, "TEST", 1);
    kc.oms = oms;
    if (price_increment > 0.0) {
        kc.instrument = *domain::InstrumentSpec::equity({.symbol = "TEST", .price_increment = price_increment});
    }
    return kc;
}

inline OrderRequestArgs order_args(std::string_view side, std::string_view kind, std::uint64_t idx = 0,
                                   std::optional<double> units = 10.0) {
    OrderRequestArgs a;
    a.side = side;
    a.kind = kind;
    a.submitted_idx = idx;
    a.submitted_ts = static_cast<std::int64_t>(idx);
    a.client_id = "c";
    a.units = units;
    return a;
}

inline std::uint64_t submit(Kernel& k, const OrderRequestArgs& a) {
    auto id = k.submit_order(a);
    EXPECT_TRUE(id.ok()) << (id.ok() ? "" : id.error().message());
    return id.ok() ? *id : ~0ull;
}

inline std::vector<KernelEvent> of_kind(const std::vector<KernelEvent>& ev, KernelEventKind kind) {
    std::vector<KernelEvent> out;
    for (const auto& e : ev) {
        if (e.kind == kind) out.push_back(e);
    }
    return out;
}

// The kinds of the events in order, as their texts, for compact sequence checks.
inline std::vector<std::string> kinds_of(const std::vector<KernelEvent>& ev) {
    std::vector<std::string> out;
    for (const auto& e : ev) out.emplace_back(name(e.kind));
    return out;
}

inline OrderStatus status_of(const Kernel& k, std::uint64_t id) { return k.find_order(id)->status; }

// One step with no signal, its events copied out of the kernel's buffer.
inline std::vector<KernelEvent> run(Kernel& k, std::uint64_t idx, const domain::OhlcvBar& b, bool print = false) {
    return events_of(k.step(idx, b, {}, print));
}

// The reasons of the step's order rejections, in order.
inline std::vector<std::string> reject_reasons(const std::vector<KernelEvent>& ev) {
    std::vector<std::string> out;
    for (const auto& e : of_kind(ev, KernelEventKind::OrderRejected)) out.push_back(e.reason);
    return out;
}

}  // namespace tarnwick::testing_support
