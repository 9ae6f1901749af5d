// Streaming aggregation: one builder fed one finer bar or trade print per call. After
// every push the caller drains next_pending (Renko holds back all but the first brick of
// a move) and at end of data calls flush.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/errors.h"
#include "base/result.h"
#include "data/aggregate/bar_builder.h"

namespace tarnwick::data::aggregate {

class BarAggregator {
public:
    static base::Result<BarAggregator, base::AggregateError> create(std::uint32_t step, std::string unit,
                                                                    std::int64_t tz_offset_ns, double brick_size);

    std::optional<domain::OhlcvBar> push_bar(std::int64_t timestamp, double open, double high, double low, double close,
                                             double volume);
    // signed_size: buy-initiated minus sell-initiated size; 0.0 leaves the side to the tick rule.
    std::optional<domain::OhlcvBar> push_trade(std::int64_t timestamp, double price, double size, double signed_size);
    std::optional<domain::OhlcvBar> next_pending() { return builder_->next_pending(); }
    std::optional<domain::OhlcvBar> flush() { return builder_->flush(); }

    std::uint32_t step() const noexcept { return step_; }
    const std::string& unit() const noexcept { return unit_; }  // exactly as given

private:
    BarAggregator(std::uint32_t step, std::string unit, std::unique_ptr<BarBuilder> builder)
        : step_(step), unit_(std::move(unit)), builder_(std::move(builder)) {}

    std::uint32_t step_;
    std::string unit_;
    std::unique_ptr<BarBuilder> builder_;
};

}  // namespace tarnwick::data::aggregate
