// Bars that close once a count of ticks, traded volume or traded value reaches a
// threshold; the record that reaches it closes the bar and stamps it.
#pragma once

#include <cstdint>
#include <optional>

#include "data/aggregate/bar_builder.h"

namespace tarnwick::aggregate {

struct CountThreshold {
    enum class Kind : std::uint8_t { Tick, Volume, Value };
    Kind kind;
    std::uint64_t ticks = 0;  // Tick: records per bar
    double amount = 0.0;      // Volume: summed volume; Value: summed volume x close
};

class CountBarBuilder final : public BarBuilder {
public:
    explicit CountBarBuilder(CountThreshold threshold) : threshold_(threshold) {}

    std::optional<OhlcvBar> push(const SourceRecord& record) override;
    // Ends the bar in progress stamped with the latest record; counting goes on after.
    std::optional<OhlcvBar> flush() override;

private:
    CountThreshold threshold_;
    double accumulated_ = 0.0;  // NaN once a NaN was added: that bar closes only at flush
    std::uint64_t ticks_ = 0;
    std::int64_t last_ts_ = 0;
    PartialBar partial_;
};

}  // namespace tarnwick::aggregate
