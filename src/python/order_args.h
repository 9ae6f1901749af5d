// The order submission parameters that every session's submit_order shares, read from
// the bound arguments in parameter order starting at `first`: side, kind, submitted_idx,
// submitted_ts, client_id, units, size_frac, limit_price, trigger_price, tif, expire_ns,
// stop_price, target_price, offset, offset_kind, limit_offset, post_only, reduce_only,
// parent_id.
#pragma once

#include <cstddef>
#include <string>

#include "engine/orders/order_request.h"
#include "python/convert.h"

namespace tarnwick::python {

struct SubmittedOrder {
    std::string side, kind, client_id, tif, offset_kind;
    engine::OrderRequestArgs values;  // the texts above are filled in by `args`

    // The request viewing this object's texts; valid while the object lives unchanged.
    engine::OrderRequestArgs args() const {
        engine::OrderRequestArgs o = values;
        o.side = side;
        o.kind = kind;
        o.client_id = client_id;
        o.tif = tif;
        o.offset_kind = offset_kind;
        return o;
    }
};

inline SubmittedOrder read_submitted_order(const Args& a, std::size_t first) {
    SubmittedOrder s;
    engine::OrderRequestArgs& o = s.values;
    s.side = a.get<std::string>(first + 0);
    s.kind = a.get<std::string>(first + 1);
    o.submitted_idx = a.get<std::uint64_t>(first + 2);
    o.submitted_ts = a.get<std::int64_t>(first + 3);
    s.client_id = a.get<std::string>(first + 4);
    o.units = a.opt<double>(first + 5);
    o.size_frac = a.opt<double>(first + 6);
    o.limit_price = a.opt<double>(first + 7);
    o.trigger_price = a.opt<double>(first + 8);
    s.tif = a.get_or<std::string>(first + 9, "gtc");
    o.expire_ns = a.opt<std::int64_t>(first + 10);
    o.stop_price = a.opt<double>(first + 11);
    o.target_price = a.opt<double>(first + 12);
    o.offset = a.opt<double>(first + 13);
    s.offset_kind = a.get_or<std::string>(first + 14, "price");
    o.limit_offset = a.get_or<double>(first + 15, 0.0);
    o.post_only = a.get_or<bool>(first + 16, false);
    o.reduce_only = a.get_or<bool>(first + 17, false);
    o.parent_id = a.opt<std::uint64_t>(first + 18);
    return s;
}

}  // namespace tarnwick::python
