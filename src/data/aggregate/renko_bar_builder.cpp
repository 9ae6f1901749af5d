#include "data/aggregate/renko_bar_builder.h"

#include <algorithm>
#include <cmath>

#include "core/fault.h"
#include "core/saturate.h"

namespace tarnwick::aggregate {

RenkoBarBuilder::RenkoBarBuilder(double brick) : brick_(brick) {
    if (!(brick_ > 0.0) || !std::isfinite(brick_)) fault("renko brick must be finite and positive");
}

// The grid line at or below price. A quotient too large for a double (a brick near the
// smallest subnormal) would make the anchor infinite; the price itself serves then.
double RenkoBarBuilder::grid_floor(double price) const noexcept {
    const double line = std::floor(price / brick_) * brick_;
    return std::isfinite(line) ? line : price;
}

std::optional<OhlcvBar> RenkoBarBuilder::pop() noexcept {
    if (head_ == pending_.size()) return std::nullopt;
    const OhlcvBar out = pending_[head_++];
    if (head_ == pending_.size()) {
        pending_.clear();
        head_ = 0;
    }
    return out;
}

std::optional<OhlcvBar> RenkoBarBuilder::push(const SourceRecord& record) {
    const double close = record.close;
    // A close that is not a finite price moves no brick and must not become the anchor:
    // a NaN or infinite anchor would stop every later brick.
    if (!std::isfinite(close)) return std::nullopt;
    if (!anchor_) {
        anchor_ = grid_floor(close);
        return std::nullopt;
    }
    const std::uint64_t n = sat_cast_u64(std::floor(std::fabs(close - *anchor_) / brick_));
    if (n == 0) return std::nullopt;
    const std::uint64_t count = std::min(n, kRenkoMaxBricksPerPush);
    const bool up = close > *anchor_;
    double open = *anchor_;
    for (std::uint64_t i = 0; i < count; ++i) {
        const double shut = up ? open + brick_ : open - brick_;
        const double volume = i + 1 == count ? record.volume : 0.0;
        pending_.push_back({record.timestamp, open, std::max(open, shut), std::min(open, shut), shut, volume});
        open = shut;
    }
    anchor_ = n > kRenkoMaxBricksPerPush ? grid_floor(close) : open;
    return pop();
}

}  // namespace tarnwick::aggregate
