// Fixed-duration bars aligned to the Unix epoch in an offset clock. A bar is stamped
// with the end of its window, so a bar stamped t holds only records before t; a record
// exactly on a boundary opens the next bar.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "data/aggregate/bar_builder.h"
#include "data/aggregate/wide_time.h"

namespace tarnwick::aggregate {

class TimeBarBuilder final : public BarBuilder {
public:
    // window_ns > 0; align_offset_ns is added to every timestamp before bucketing (an
    // offset of +5:30 makes day bars IST calendar days).
    TimeBarBuilder(WideNs window_ns, std::int64_t align_offset_ns);

    std::optional<OhlcvBar> push(const SourceRecord& record) override;
    std::optional<OhlcvBar> flush() override;

private:
    std::optional<OhlcvBar> stamped(std::optional<std::pair<WideNs, PartialBar>> done) const noexcept;

    WideNs window_;
    std::int64_t align_offset_ns_;
    BucketBar<WideNs> bar_;
};

}  // namespace tarnwick::aggregate
