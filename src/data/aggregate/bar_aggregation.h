// Whole-array aggregation: one builder run over every row, held-back bars drained after
// each push, one flush at the end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/errors.h"
#include "base/result.h"
#include "base/unfilled.h"
#include "data/aggregate/bar_builder_factory.h"
#include "data/aggregate/source_rows.h"
#include "domain/bar.h"

namespace tarnwick::data::aggregate {

// The bars of a whole-array call, one column per field; bar i is element i of each.
// Columns sized ahead (resize) are left unwritten until their bars are put there.
struct OhlcvColumns {
    base::Unfilled<std::int64_t> timestamps;
    base::Unfilled<double> open, high, low, close, volume;

    std::size_t size() const noexcept { return timestamps.size(); }
    void append(const domain::OhlcvBar& bar) {
        timestamps.push_back(bar.timestamp);
        open.push_back(bar.open);
        high.push_back(bar.high);
        low.push_back(bar.low);
        close.push_back(bar.close);
        volume.push_back(bar.volume);
    }
    // Bar i of columns already sized to hold it.
    void put(std::size_t i, const domain::OhlcvBar& bar) noexcept {
        timestamps[i] = bar.timestamp;
        open[i] = bar.open;
        high[i] = bar.high;
        low[i] = bar.low;
        close[i] = bar.close;
        volume[i] = bar.volume;
    }
};

// Columns for `bricks` Renko bricks, to be filled with put. A call's bricks are counted
// before any is made, as one row can make thousands: a count that cannot be held fails
// here, at once, with OutOfMemory naming the byte count, not after the memory has run out.
// All six columns are allocated before any is written, so that none holds its pages
// while a later one is refused.
OhlcvColumns brick_columns(std::uint64_t bricks);

// How far a call may cut its rows for the worker pool: into at most `parts` pieces of
// at least `min_rows` rows, and for a one-pass scan that the pool feeds, into blocks of
// `block_rows` rows. The bars never depend on it.
struct RowSplit {
    std::size_t parts = 1;
    std::size_t min_rows = 1;
    std::size_t block_rows = kScanBlockRows;

    // Blocks of a scan small enough that the few the pool works ahead on stay in cache.
    static constexpr std::size_t kScanBlockRows = 16384;

    // One piece per pool worker, each of a few hundred thousand rows at least: below
    // that, handing out the work costs more than it saves.
    static RowSplit pool();
    std::size_t parts_for(std::size_t n) const noexcept {
        const std::size_t most = n / (min_rows > 0 ? min_rows : 1);
        return std::max<std::size_t>(1, std::min(parts, most));
    }
};

// Coarser bars from finer ones. Columns of unequal length are refused before the builder
// is built, so that fault is reported even alongside an unknown unit.
base::Result<OhlcvColumns, base::OwnError> aggregate_bars(const BarColumns& bars, const BuilderSpec& spec,
                                                          const RowSplit& split = RowSplit::pool());

// Bars from trade prints: each row with ltp > 0 is a print of size |buy| + |sell| and
// signed size |buy| - |sell|; other rows (a missing price) are skipped.
base::Result<OhlcvColumns, base::OwnError> bars_from_ticks(const TickRows& ticks, const BuilderSpec& spec,
                                                           const RowSplit& split = RowSplit::pool());

}  // namespace tarnwick::data::aggregate
