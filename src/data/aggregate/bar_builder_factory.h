// Turns a caller's aggregation request (step, unit text, clock offset, Renko brick) into
// one builder.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <variant>

#include "base/errors.h"
#include "base/result.h"
#include "data/aggregate/bar_builder.h"
#include "data/aggregate/calendar_bar_builder.h"
#include "data/aggregate/count_bar_builder.h"
#include "data/aggregate/flow_bar_builder.h"
#include "data/aggregate/renko_bar_builder.h"
#include "data/aggregate/time_bar_builder.h"

namespace tarnwick::data::aggregate {

struct BuilderSpec {
    std::uint32_t step = 1;         // units per bar: windows, months, years, ticks, volume, value, threshold
    std::string_view unit;          // one accepted spelling of an AggregationUnit
    std::int64_t tz_offset_ns = 0;  // time and calendar units only
    double brick_size = 0.0;        // "renko" only; not > 0 means one brick per step
};

// One builder of any kind, held by value: a caller that drives it over many records
// visits it once and then calls the concrete builder directly.
using AnyBarBuilder = std::variant<TimeBarBuilder, CalendarBarBuilder, CountBarBuilder, RenkoBarBuilder, FlowBarBuilder>;

// Fails with UnknownUnit (checked first), ZeroStep, or InvalidParam for an infinite brick.
base::Result<AnyBarBuilder, base::AggregateError> make_bar_builder(const BuilderSpec& spec);

// The same builder behind the one interface, for a caller that pushes a record at a time.
base::Result<std::unique_ptr<BarBuilder>, base::AggregateError> bar_builder_from_spec(const BuilderSpec& spec);

}  // namespace tarnwick::data::aggregate
