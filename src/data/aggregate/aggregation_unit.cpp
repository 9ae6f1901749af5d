#include "data/aggregate/aggregation_unit.h"

#include <utility>

namespace tarnwick::data::aggregate {
namespace {

using U = AggregationUnit;

constexpr std::pair<std::string_view, U> kSpellings[] = {
    {"ms", U::Millisecond},
    {"millisecond", U::Millisecond},
    {"s", U::Second},
    {"sec", U::Second},
    {"second", U::Second},
    {"m", U::Minute},
    {"min", U::Minute},
    {"minute", U::Minute},
    {"h", U::Hour},
    {"hour", U::Hour},
    {"d", U::Day},
    {"day", U::Day},
    {"w", U::Week},
    {"week", U::Week},
    {"month", U::Month},
    {"y", U::Year},
    {"year", U::Year},
    {"tick", U::Tick},
    {"volume", U::Volume},
    {"value", U::Value},
    {"renko", U::Renko},
    {"tick_imbalance", U::TickImbalance},
    {"tick_runs", U::TickRuns},
    {"volume_imbalance", U::VolumeImbalance},
    {"volume_runs", U::VolumeRuns},
    {"value_imbalance", U::ValueImbalance},
    {"value_runs", U::ValueRuns},
};

}  // namespace

std::optional<AggregationUnit> parse_aggregation_unit(std::string_view text) {
    for (const auto& [spelling, unit] : kSpellings) {
        if (spelling == text) return unit;
    }
    return std::nullopt;
}

std::string_view name(AggregationUnit unit) {
    switch (unit) {
        case U::Millisecond: return "millisecond";
        case U::Second: return "second";
        case U::Minute: return "minute";
        case U::Hour: return "hour";
        case U::Day: return "day";
        case U::Week: return "week";
        case U::Month: return "month";
        case U::Year: return "year";
        case U::Tick: return "tick";
        case U::Volume: return "volume";
        case U::Value: return "value";
        case U::Renko: return "renko";
        case U::TickImbalance: return "tick_imbalance";
        case U::TickRuns: return "tick_runs";
        case U::VolumeImbalance: return "volume_imbalance";
        case U::VolumeRuns: return "volume_runs";
        case U::ValueImbalance: return "value_imbalance";
        case U::ValueRuns: return "value_runs";
    }
    return {};
}

}  // namespace tarnwick::data::aggregate
