// Order-flow bars: each record's size is signed as buying or selling (by its signed size,
// or by the tick rule when that is unknown) and summed per side; an imbalance bar closes
// when |buy - sell| reaches the threshold, a runs bar when either side alone does.
#pragma once

#include <cstdint>
#include <optional>

#include "data/aggregate/bar_builder.h"

namespace tarnwick::aggregate {

enum class FlowMagnitude : std::uint8_t { Tick, Volume, Value };
enum class FlowRule : std::uint8_t { Imbalance, Runs };

class FlowBarBuilder final : public BarBuilder {
public:
    FlowBarBuilder(FlowMagnitude magnitude, FlowRule rule, double threshold)
        : magnitude_(magnitude), rule_(rule), threshold_(threshold) {}

    std::optional<OhlcvBar> push(const SourceRecord& record) override;
    // Ends the bar in progress stamped with the latest record; the tick-rule memory stays.
    std::optional<OhlcvBar> flush() override;

private:
    double sign_of(const SourceRecord& record) noexcept;

    FlowMagnitude magnitude_;
    FlowRule rule_;
    double threshold_;
    std::optional<double> prev_close_;
    double prev_sign_ = 1.0;  // the last sign the tick rule gave
    std::int64_t last_ts_ = 0;
    double buy_ = 0.0;
    double sell_ = 0.0;
    PartialBar partial_;
};

}  // namespace tarnwick::aggregate
