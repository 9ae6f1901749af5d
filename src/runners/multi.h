// Several signal sets over one bar series. A vote mode merges them bar by bar into one
// signal set and runs it once on the single-instrument driver, in the first strategy's
// direction and under its name; "independent" runs each set alone on an equal share of
// the capital and merges the runs: trades concatenated, equity curves summed bar by bar,
// and the reduced figures of the own-loop engines computed over the merged curves.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "base/errors.h"
#include "base/result.h"
#include "domain/backtest_config.h"
#include "engine/core_session.h"
#include "runners/single_driver.h"

namespace tarnwick::runners::multi {

// Combined entry with c of n strategies entering: Any c > 0; All c = n; Majority
// c > n / 2 (integer halving, so exactly half fails); Weighted c / n > 0.5 as floats.
// In every vote mode any one strategy's exit is the combined exit.
enum class CombineMode : std::uint8_t { Any = 0, All = 1, Majority = 2, Weighted = 3, Independent = 4 };

// Exact and case-sensitive; every unlisted text is Any.
CombineMode parse(std::string_view text) noexcept;
std::string_view name(CombineMode mode) noexcept;

// Lengths first, before any run: the six bar columns one length ("high has 3 values,
// close has 5"), then every strategy's entries as many as the bars ("All strategies must
// have same length as OHLCV") and its exits as many as its entries. No strategies, or no
// bars under "independent", give a run with no trades, empty curves and start and end
// value at the initial capital.
base::Result<engine::RunOutput, base::OwnError> run(const domain::BacktestConfig& config, const single::BarSeries& bars,
                                                    std::span<const single::SignalInput> strategies, CombineMode mode);

}  // namespace tarnwick::runners::multi
