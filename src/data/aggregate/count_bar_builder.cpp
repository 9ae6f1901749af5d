#include "data/aggregate/count_bar_builder.h"

namespace tarnwick::aggregate {

std::optional<OhlcvBar> CountBarBuilder::push(const SourceRecord& record) {
    partial_.absorb(record);
    ++ticks_;
    last_ts_ = record.timestamp;
    bool complete = false;
    switch (threshold_.kind) {
        case CountThreshold::Kind::Tick: complete = ticks_ >= threshold_.ticks; break;
        case CountThreshold::Kind::Volume:
            accumulated_ += record.volume;
            complete = accumulated_ >= threshold_.amount;
            break;
        case CountThreshold::Kind::Value:
            accumulated_ += record.volume * record.close;
            complete = accumulated_ >= threshold_.amount;
            break;
    }
    if (!complete) return std::nullopt;
    ticks_ = 0;
    accumulated_ = 0.0;
    return partial_.take(record.timestamp);
}

std::optional<OhlcvBar> CountBarBuilder::flush() {
    ticks_ = 0;
    accumulated_ = 0.0;
    return partial_.take(last_ts_);
}

}  // namespace tarnwick::aggregate
