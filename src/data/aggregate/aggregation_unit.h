// The units a bar builder aggregates by, parsed from their exact lower-case names.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick::data::aggregate {

enum class AggregationUnit : std::uint8_t {
    Millisecond,
    Second,
    Minute,
    Hour,
    Day,
    Week,
    Month,
    Year,
    Tick,
    Volume,
    Value,
    Renko,
    TickImbalance,
    TickRuns,
    VolumeImbalance,
    VolumeRuns,
    ValueImbalance,
    ValueRuns,
};

// Exact, case-sensitive match of one accepted spelling ("m" is a minute; a month has
// only its long name); none for anything else.
std::optional<AggregationUnit> parse_aggregation_unit(std::string_view text);

// The unit's long name ("minute", "tick_runs").
std::string_view name(AggregationUnit unit);

}  // namespace tarnwick::data::aggregate
