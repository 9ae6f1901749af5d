#include "data/aggregate/renko_bar_builder.h"

#include "base/fault.h"

namespace tarnwick::data::aggregate {

using base::fault;

RenkoBarBuilder::RenkoBarBuilder(double brick) : brick_(brick) {
    if (!(brick_ > 0.0) || !std::isfinite(brick_)) fault("renko brick must be finite and positive");
}

// The grid line at or below price. A quotient too large for a double (a brick near the
// smallest subnormal) would make the anchor infinite; the price itself serves then.
double RenkoBarBuilder::grid_floor(double price) const noexcept {
    const double line = std::floor(price / brick_) * brick_;
    return std::isfinite(line) ? line : price;
}

}  // namespace tarnwick::data::aggregate
