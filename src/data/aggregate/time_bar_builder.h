// Fixed-duration bars aligned to the Unix epoch in an offset clock. A bar is stamped
// with the end of its window, so a bar stamped t holds only records before t; a record
// exactly on a boundary opens the next bar.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "data/aggregate/clock_bars.h"
#include "data/aggregate/wide_time.h"

namespace tarnwick::data::aggregate {

class TimeBarBuilder final : public ClockBarBuilder<TimeBarBuilder> {
public:
    // window_ns > 0; align_offset_ns is added to every timestamp before bucketing (an
    // offset of +5:30 makes day bars IST calendar days).
    TimeBarBuilder(WideNs window_ns, std::int64_t align_offset_ns);

    // The window holding timestamp t.
    ClockWindow window_of(std::int64_t t) const noexcept;

private:
    WideNs window_;
    std::int64_t align_offset_ns_;
};

}  // namespace tarnwick::data::aggregate
