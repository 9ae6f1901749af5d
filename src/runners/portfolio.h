// Several instruments against one shared cash pool, each on a kernel of its own that
// owns no money: the pool lends a kernel cash for exactly one step and takes back what
// the kernel holds afterwards. Two portfolio rules gate every entry before the kernel
// sees it: a cap on the instruments holding a position (`max_positions`; 0 is no cap) and
// a drawdown kill-switch (`max_drawdown_pct`).
//
// Each bar: exits first (only kernels holding a position are stepped), then entries in
// list order (only flat kernels with an effective entry that passed the gates), then the
// pool is marked: pool cash plus every kernel's book at the bar's close.
//
// Signal fills need a tradable price (finite, above 0) on their bar: an entry without one
// is dropped, an exit without one waits for the next bar that has one, and books are
// marked, and closed at the end of the data, at their last tradable close.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "base/errors.h"
#include "base/result.h"
#include "domain/backtest_config.h"
#include "runners/instrument_series.h"
#include "runners/portfolio_result.h"

namespace tarnwick::runners::portfolio {

// EqualWeight divides the pool across the slots that could still open (max_positions
// when set above 0, else the number of instruments); Full lends each entry the whole pool.
enum class Allocation : std::uint8_t { EqualWeight = 0, Full = 1 };

// Exact: "equal_weight" or "full" ("unknown allocation '{}'; expected 'equal_weight' or 'full'").
base::Result<Allocation, base::OwnError> parse_allocation(std::string_view text);
std::string_view name(Allocation a) noexcept;

struct PortfolioRunConfig {
    domain::BacktestConfig config;
    InstrumentConfigs instrument_configs;
};

// In this order: at least one instrument ("run_portfolio_backtest requires at least one
// instrument"); every instrument's closes as many as the first's; the allocation text;
// then each instrument's own columns (entries as many as its closes, exits as many as its
// entries, the other price columns at least as many). Nothing runs before all pass.
//
// Under next-bar-open timing a bar's effective signals act on the following bar, at its
// open, and the gates are applied on that bar; as in a single run, an exit goes before
// that bar's stops and targets, and an entry's levels meet the rest of the bar.
// `halted_at` is the bar at which the drawdown kill-switch fired; from the next bar on
// every effective entry of a flat instrument is refused (and counted), while open
// positions still close.
base::Result<PortfolioResult, base::OwnError> run(const PortfolioRunConfig& run, std::string_view allocation,
                                                  std::span<const InstrumentSeries> instruments);

}  // namespace tarnwick::runners::portfolio
