#include "data/aggregate/time_bar_builder.h"

#include "core/fault.h"

namespace tarnwick::aggregate {

TimeBarBuilder::TimeBarBuilder(WideNs window_ns, std::int64_t align_offset_ns)
    : window_(window_ns), align_offset_ns_(align_offset_ns) {
    if (window_ <= 0) fault("time bar window must be positive");
}

// A bar ends where its window does.
std::optional<OhlcvBar> TimeBarBuilder::stamped(std::optional<std::pair<WideNs, PartialBar>> done) const noexcept {
    if (!done) return std::nullopt;
    return done->second.take(saturate_ns((done->first + 1) * window_ - align_offset_ns_));
}

std::optional<OhlcvBar> TimeBarBuilder::push(const SourceRecord& record) {
    return stamped(bar_.absorb(floor_div(WideNs{record.timestamp} + align_offset_ns_, window_), record));
}

std::optional<OhlcvBar> TimeBarBuilder::flush() { return stamped(bar_.take()); }

}  // namespace tarnwick::aggregate
