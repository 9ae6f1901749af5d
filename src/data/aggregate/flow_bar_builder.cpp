#include "data/aggregate/flow_bar_builder.h"

#include <cmath>

namespace tarnwick::aggregate {

// +1 buying, -1 selling, NaN unknown. An unknown signed size (either zero) falls back to
// the tick rule: an uptick buys, a downtick sells, an unchanged or incomparable price
// repeats the rule's previous sign.
double FlowBarBuilder::sign_of(const SourceRecord& record) noexcept {
    const double s = record.signed_size;
    if (s > 0.0) return 1.0;
    if (s < 0.0) return -1.0;
    if (std::isnan(s)) return s;
    if (!prev_close_ || record.close > *prev_close_) {
        prev_sign_ = 1.0;
    } else if (record.close < *prev_close_) {
        prev_sign_ = -1.0;
    }
    return prev_sign_;
}

std::optional<OhlcvBar> FlowBarBuilder::push(const SourceRecord& record) {
    const double sign = sign_of(record);
    prev_close_ = record.close;
    last_ts_ = record.timestamp;
    double size = 1.0;
    switch (magnitude_) {
        case FlowMagnitude::Tick: break;
        case FlowMagnitude::Volume: size = record.volume; break;
        case FlowMagnitude::Value: size = record.volume * record.close; break;
    }
    // A NaN sign is not >= 0, so an unknown direction counts as selling.
    if (sign >= 0.0) {
        buy_ += size;
    } else {
        sell_ += size;
    }
    partial_.absorb(record);
    bool complete = false;
    switch (rule_) {
        case FlowRule::Imbalance: complete = std::fabs(buy_ - sell_) >= threshold_; break;
        case FlowRule::Runs: complete = std::fmax(buy_, sell_) >= threshold_; break;
    }
    if (!complete) return std::nullopt;
    buy_ = 0.0;
    sell_ = 0.0;
    return partial_.take(record.timestamp);
}

std::optional<OhlcvBar> FlowBarBuilder::flush() {
    buy_ = 0.0;
    sell_ = 0.0;
    return partial_.take(last_ts_);
}

}  // namespace tarnwick::aggregate
