#include "data/aggregate/bar_builder_factory.h"

#include <cmath>
#include <string>
#include <utility>

#include "data/aggregate/aggregation_unit.h"

namespace tarnwick::data::aggregate {

using base::AggregateError;
using base::Result;
using base::err;
using base::fault;

namespace {

using BuilderResult = Result<AnyBarBuilder, AggregateError>;

template <class B, class... A>
BuilderResult make(A&&... args) {
    return AnyBarBuilder(std::in_place_type<B>, std::forward<A>(args)...);
}

BuilderResult time_bars(std::uint32_t step, std::int64_t unit_ns, std::int64_t offset) {
    return make<TimeBarBuilder>(WideNs{step} * unit_ns, offset);
}

BuilderResult flow_bars(FlowMagnitude magnitude, FlowRule rule, std::uint32_t step) {
    return make<FlowBarBuilder>(magnitude, rule, static_cast<double>(step));
}

BuilderResult renko_bars(const BuilderSpec& spec) {
    // A brick that is zero, negative or NaN means "one brick per step".
    const double brick = spec.brick_size > 0.0 ? spec.brick_size : static_cast<double>(spec.step);
    if (std::isinf(brick)) return err(AggregateError::invalid_param("brick_size must be finite and > 0"));
    return make<RenkoBarBuilder>(brick);
}

}  // namespace

BuilderResult make_bar_builder(const BuilderSpec& spec) {
    const std::optional<AggregationUnit> unit = parse_aggregation_unit(spec.unit);
    if (!unit) return err(AggregateError::unknown_unit(std::string(spec.unit)));
    if (spec.step == 0) return err(AggregateError::zero_step());
    const std::uint32_t step = spec.step;
    const std::int64_t offset = spec.tz_offset_ns;
    const auto amount = static_cast<double>(step);
    using U = AggregationUnit;
    using K = CountThreshold::Kind;
    switch (*unit) {
        case U::Millisecond: return time_bars(step, 1'000'000, offset);
        case U::Second: return time_bars(step, 1'000'000'000, offset);
        case U::Minute: return time_bars(step, 60'000'000'000, offset);
        case U::Hour: return time_bars(step, 3'600'000'000'000, offset);
        case U::Day: return time_bars(step, 86'400'000'000'000, offset);
        case U::Week: return time_bars(step, 604'800'000'000'000, offset);
        case U::Month: return make<CalendarBarBuilder>(step, CalendarPeriod::Month, offset);
        case U::Year: return make<CalendarBarBuilder>(step, CalendarPeriod::Year, offset);
        case U::Tick: return make<CountBarBuilder>(CountThreshold{K::Tick, step, 0.0});
        case U::Volume: return make<CountBarBuilder>(CountThreshold{K::Volume, 0, amount});
        case U::Value: return make<CountBarBuilder>(CountThreshold{K::Value, 0, amount});
        case U::Renko: return renko_bars(spec);
        case U::TickImbalance: return flow_bars(FlowMagnitude::Tick, FlowRule::Imbalance, step);
        case U::TickRuns: return flow_bars(FlowMagnitude::Tick, FlowRule::Runs, step);
        case U::VolumeImbalance: return flow_bars(FlowMagnitude::Volume, FlowRule::Imbalance, step);
        case U::VolumeRuns: return flow_bars(FlowMagnitude::Volume, FlowRule::Runs, step);
        case U::ValueImbalance: return flow_bars(FlowMagnitude::Value, FlowRule::Imbalance, step);
        case U::ValueRuns: return flow_bars(FlowMagnitude::Value, FlowRule::Runs, step);
    }
    fault("aggregation unit without a builder");
}

Result<std::unique_ptr<BarBuilder>, AggregateError> bar_builder_from_spec(const BuilderSpec& spec) {
    auto built = make_bar_builder(spec);
    if (!built.ok()) return err(std::move(built).error());
    return std::visit(
        [](auto&& b) -> std::unique_ptr<BarBuilder> {
            return std::make_unique<std::decay_t<decltype(b)>>(std::move(b));
        },
        std::move(built).value());
}

}  // namespace tarnwick::data::aggregate
