#include "engine/orders/twap.h"

#include <cmath>

#include "base/format.h"

namespace tarnwick::engine {

using base::OwnError;
using base::Result;
using base::err;

double twap_cumulative_units(double total, std::uint32_t k, std::uint32_t slices) noexcept {
    if (k >= slices) return total;
    return static_cast<double>(k) * total / static_cast<double>(slices);
}

double twap_slice_units(double total, std::uint32_t k, std::uint32_t slices) noexcept {
    return twap_cumulative_units(total, k + 1, slices) - twap_cumulative_units(total, k, slices);
}

Result<TwapSchedule, OwnError> make_twap_schedule(const TwapArgs& a, std::uint64_t algo_id) {
    if (a.side != "buy" && a.side != "sell") {
        return err(OwnError{base::fmt::format("side must be 'buy' or 'sell', got {}", a.side)});
    }
    if (a.slices == 0) return err(OwnError{"slices must be >= 1"});
    if (a.interval_ns < 1) return err(OwnError{"interval must be > 0"});
    if (!(std::isfinite(a.units) && a.units > 0.0)) return err(OwnError{"total units must be finite and > 0"});
    TwapSchedule t;
    t.client_id = std::string(a.client_id);
    t.algo_id = algo_id;
    t.total_units = a.units;
    t.interval_ns = a.interval_ns;
    t.slices = a.slices;
    t.next_due_ns = a.submitted_ts;
    t.side = a.side == "buy" ? OrderSide::Buy : OrderSide::Sell;
    t.reduce_only = a.reduce_only;
    return t;
}

}  // namespace tarnwick::engine
