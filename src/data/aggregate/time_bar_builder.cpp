#include "data/aggregate/time_bar_builder.h"

#include "base/fault.h"

namespace tarnwick::data::aggregate {

using base::fault;

TimeBarBuilder::TimeBarBuilder(WideNs window_ns, std::int64_t align_offset_ns)
    : window_(window_ns), align_offset_ns_(align_offset_ns) {
    if (window_ <= 0) fault("time bar window must be positive");
}

// Window b holds the timestamps t with b * window <= t + offset < (b + 1) * window; its
// bar ends where it does.
ClockWindow TimeBarBuilder::window_of(std::int64_t t) const noexcept {
    const WideNs bucket = floor_div(WideNs{t} + align_offset_ns_, window_);
    const WideNs first = bucket * window_ - align_offset_ns_;
    const WideNs end = first + window_;
    return {saturate_ns(first), saturate_ns(end - 1), saturate_ns(end)};
}

}  // namespace tarnwick::data::aggregate
