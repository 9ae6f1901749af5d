// Whole-array aggregation: one builder run over every row, held-back bars drained after
// each push, one flush at the end.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/bar.h"
#include "core/errors.h"
#include "core/result.h"
#include "data/aggregate/bar_builder_factory.h"

namespace tarnwick::aggregate {

struct BarColumns {
    std::span<const std::int64_t> timestamps;  // nanoseconds since the Unix epoch
    std::span<const double> open, high, low, close, volume;
};

// Tick rows: last traded price and the buy- and sell-initiated quantity traded since the
// previous row (deltas, not running totals).
struct TickRows {
    std::span<const std::int64_t> timestamps;
    std::span<const double> ltp, buy_qty_delta, sell_qty_delta;
};

// Coarser bars from finer ones. Columns of unequal length are refused before the builder
// is built, so that fault is reported even alongside an unknown unit.
Result<std::vector<OhlcvBar>, OwnError> aggregate_bars(const BarColumns& bars, const BuilderSpec& spec);

// Bars from trade prints: each row with ltp > 0 is a print of size |buy| + |sell| and
// signed size |buy| - |sell|; other rows (a missing price) are skipped.
Result<std::vector<OhlcvBar>, OwnError> bars_from_ticks(const TickRows& ticks, const BuilderSpec& spec);

}  // namespace tarnwick::aggregate
