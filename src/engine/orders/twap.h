// A TWAP schedule: a total quantity sent as equal market slices, one per due step, each
// at least `interval_ns` after the previous one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "base/result.h"
#include "engine/orders/order_request.h"

namespace tarnwick::engine {

struct TwapSchedule {
    std::string client_id;  // slices are "{client_id}#{k}"
    std::uint64_t algo_id = 0;
    double total_units = 0.0;
    std::int64_t interval_ns = 0;
    std::uint32_t slices = 0;
    std::int64_t next_due_ns = 0;  // nanoseconds since the Unix epoch
    std::uint32_t slices_done = 0;
    OrderSide side = OrderSide::Buy;
    bool reduce_only = false;
    bool active = true;

    bool complete() const noexcept { return slices_done >= slices; }
    bool due(std::int64_t timestamp) const noexcept { return active && !complete() && timestamp >= next_due_ns; }
};

// Units the first `k` slices add up to: k x total / slices, and the total itself once
// every slice is counted.
double twap_cumulative_units(double total, std::uint32_t k, std::uint32_t slices) noexcept;
// Units of slice `k` (from 0): the cumulative target after the slice less the one before
// it, the last slice taking whatever remains of the total. Where quantities trade in
// whole lots the kernel rounds each cumulative target down to whole lots first, so the
// remainder carries into the later slices.
double twap_slice_units(double total, std::uint32_t k, std::uint32_t slices) noexcept;

// The checks of a new schedule, in order: side, slice count, interval, total units.
struct TwapArgs {
    double units = 0.0;
    std::string_view side;
    std::uint32_t slices = 0;
    std::int64_t interval_ns = 0;
    std::uint64_t submitted_idx = 0;
    std::int64_t submitted_ts = 0;
    std::string_view client_id;
    bool reduce_only = false;
};
base::Result<TwapSchedule, base::OwnError> make_twap_schedule(const TwapArgs& args, std::uint64_t algo_id);

}  // namespace tarnwick::engine
