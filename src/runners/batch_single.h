// Many single-instrument backtests over one shared price series, run on the worker pool.
// Items are prepared and validated up front, on the calling thread; the jobs then touch
// nothing but their own item, their own output slot and the read-only shared series.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/block_cache.h"
#include "base/errors.h"
#include "base/result.h"
#include "domain/backtest_config.h"
#include "domain/instrument_config.h"
#include "engine/core_session.h"
#include "runners/single_driver.h"

namespace tarnwick::runners::batch_single {

// Owned copies of the six price columns, taken once for the whole batch (batches tend to
// come one after another over series of one length: the blocks are recycled).
struct SharedSeries {
    std::vector<std::int64_t, base::CachedAllocator<std::int64_t>> timestamps;  // nanoseconds since the Unix epoch
    base::Curve open;
    base::Curve high;
    base::Curve low;
    base::Curve close;
    base::Curve volume;

    single::BarSeries view() const noexcept { return {timestamps, open, high, low, close, volume}; }
};

// One item. Its settings are its own; its columns are read where they lie, so whoever
// prepares it keeps them alive and unchanged until the run is over.
struct PreparedSingleItem {
    std::string item_id;
    domain::BacktestConfig config;  // the item's own configuration, else the batch's, else the defaults
    std::optional<domain::InstrumentConfig> instrument_config;
    std::string symbol;
    std::span<const std::uint8_t> entries;  // non-zero is set
    std::span<const std::uint8_t> exits;
    std::optional<std::span<const double>> position_sizes;
    double weight = 1.0;
    std::int32_t direction = 1;  // as given; validation admits only 1 and -1
};

// The shared columns against close: none may be shorter ("Data length mismatch: expected
// {}, got {}", close's length first).
base::Status<base::OwnError> check_series(const single::BarSeries& bars);

// One item against a series of `bars` bars: the signal lengths, then the sizes' length,
// then the direction, each message naming the item.
base::Status<base::OwnError> check_item(const PreparedSingleItem& item, std::size_t bars);

// The run of one validated item: exactly the run run_single_backtest makes for the same
// arrays, signals and configuration.
base::Result<engine::RunOutput, base::OwnError> run_item(const PreparedSingleItem& item, const single::BarSeries& bars);

// Every item on the pool; outputs in item order whatever the worker count. An item that
// fails (only an unvalidated one can) is reported with its index, the lowest first.
base::Result<std::vector<engine::RunOutput>, std::pair<std::size_t, base::OwnError>> run_all(
    std::span<const PreparedSingleItem> items, const single::BarSeries& bars);

}  // namespace tarnwick::runners::batch_single
