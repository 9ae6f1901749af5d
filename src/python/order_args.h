// The order parameters that both sessions' methods share, as the groups their bodies take:
// the nineteen of submit_order, and the new amounts of modify_order. Each list of
// parameters is written once here and spliced into both sessions' declarations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "engine/orders/order_request.h"
#include "python/object.h"
#include "python/signature.h"

namespace tarnwick::python {

// One submission as the caller gave it, its members in parameter order.
struct SubmittedOrder {
    std::string side, kind;
    std::uint64_t submitted_idx = 0;
    std::int64_t submitted_ts = 0;
    std::string client_id;
    std::optional<double> units, size_frac, limit_price, trigger_price;
    std::string tif;
    std::optional<std::int64_t> expire_ns;
    std::optional<double> stop_price, target_price, offset;
    std::string offset_kind;
    double limit_offset = 0.0;
    bool post_only = false;
    bool reduce_only = false;
    std::optional<std::uint64_t> parent_id;

    static constexpr auto members = std::tuple{
        &SubmittedOrder::side,         &SubmittedOrder::kind,         &SubmittedOrder::submitted_idx,
        &SubmittedOrder::submitted_ts, &SubmittedOrder::client_id,    &SubmittedOrder::units,
        &SubmittedOrder::size_frac,    &SubmittedOrder::limit_price,  &SubmittedOrder::trigger_price,
        &SubmittedOrder::tif,          &SubmittedOrder::expire_ns,    &SubmittedOrder::stop_price,
        &SubmittedOrder::target_price, &SubmittedOrder::offset,       &SubmittedOrder::offset_kind,
        &SubmittedOrder::limit_offset, &SubmittedOrder::post_only,    &SubmittedOrder::reduce_only,
        &SubmittedOrder::parent_id,
    };

    // The request viewing this object's texts; valid while the object lives unchanged.
    engine::OrderRequestArgs args() const {
        engine::OrderRequestArgs o;
        o.side = side;
        o.kind = kind;
        o.submitted_idx = submitted_idx;
        o.submitted_ts = submitted_ts;
        o.client_id = client_id;
        o.units = units;
        o.size_frac = size_frac;
        o.limit_price = limit_price;
        o.trigger_price = trigger_price;
        o.tif = tif;
        o.expire_ns = expire_ns;
        o.stop_price = stop_price;
        o.target_price = target_price;
        o.offset = offset;
        o.offset_kind = offset_kind;
        o.limit_offset = limit_offset;
        o.post_only = post_only;
        o.reduce_only = reduce_only;
        o.parent_id = parent_id;
        return o;
    }
};

inline constexpr Param kSubmittedOrderParams[] = {
    "side",
    "kind",
    "submitted_idx",
    "submitted_ts",
    "client_id",
    {"units", None},
    {"size_frac", None},
    {"limit_price", None},
    {"trigger_price", None},
    {"tif", "gtc"},
    {"expire_ns", None},
    {"stop_price", None},
    {"target_price", None},
    {"offset", None},
    {"offset_kind", "price"},
    {"limit_offset", 0.0},
    {"post_only", false},
    {"reduce_only", false},
    {"parent_id", None},
};

// A working order's new amounts; each one left out stays as it is.
struct OrderChange {
    std::optional<double> units, size_frac, limit_price, trigger_price;

    static constexpr auto members = std::tuple{&OrderChange::units, &OrderChange::size_frac,
                                               &OrderChange::limit_price, &OrderChange::trigger_price};

    // Judged before the session's state: a finished session reports this first.
    void check() const {
        if (units && size_frac) raise(PyExc_ValueError, "pass units or size_frac, not both");
    }
};

inline constexpr Param kOrderChangeParams[] = {
    {"units", None}, {"size_frac", None}, {"limit_price", None}, {"trigger_price", None}};

}  // namespace tarnwick::python
