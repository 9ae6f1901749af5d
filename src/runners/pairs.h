// A two-leg pairs trade over two aligned bar series, in a bar loop of its own.
//
// One entry signal opens both legs, leg 1 in the run's direction and leg 2 against it:
// leg 1 with half of the cash at that moment, leg 2 scaled by the hedge ratio; one exit
// signal closes both. The signals come from the caller: no spread or z-score is computed
// here. The hedge ratio is the caller's, or with dynamic hedging an ordinary
// least-squares slope of leg 1's closes on leg 2's over a trailing window, re-estimated
// at each entry.
#pragma once

#include <cstdint>
#include <span>

#include "base/errors.h"
#include "base/result.h"
#include "domain/backtest_config.h"
#include "engine/core_session.h"
#include "runners/single_driver.h"

namespace tarnwick::runners::pairs {

using single::BarSeries;
using single::SignalInput;

// Bounds of an estimated hedge ratio; a fixed ratio is used as given.
inline constexpr double kMinHedgeRatio = 0.1;
inline constexpr double kMaxHedgeRatio = 10.0;
// Below this magnitude the regression's denominator counts as singular.
inline constexpr double kSingularDenominator = 1e-10;

struct PairsRunConfig {
    domain::BacktestConfig config;
    double hedge_ratio = 1.0;     // units of leg 2 notional per unit of leg 1 notional
    std::uint64_t lookback = 20;  // the regression window is lookback + 1 bars ending at the signal bar
    bool dynamic_hedge = false;
};

// How leg 2 is sized against leg 1. The caller's ratio compares values: leg 2 gets the
// ratio times leg 1's notional. An estimated slope compares prices (leg 1 moves by the
// slope per unit move of leg 2), so it compares units: leg 2 holds the slope times leg 1's
// units, which is what leaves the pair flat when the prices move along the line.
struct HedgeRatio {
    double ratio = 1.0;
    bool per_unit = false;  // an estimated slope: leg 2 units per leg 1 unit
};

// The hedge ratio of an entry signalled at bar `signal_bar`: the fixed ratio unless
// dynamic hedging is on and the window fits; then the slope of leg 1 on leg 2 over bars
// signal_bar - lookback ..= signal_bar, clamped to [0.1, 10], or the fixed ratio when the
// window's leg 2 closes do not vary. A NaN in the window gives NaN.
HedgeRatio hedge_ratio_at(const PairsRunConfig& run, std::span<const double> leg1_close,
                          std::span<const double> leg2_close, std::size_t signal_bar);

// Every length the run relies on, checked before anything is read: leg 2's closes and
// the entries against leg 1's closes, the exits against the entries, both timestamp
// columns and, under next-bar-open timing, both open columns, which may be longer than
// leg 1's closes but not shorter.
base::Status<base::OwnError> check_lengths(const PairsRunConfig& run, const BarSeries& leg1, const BarSeries& leg2,
                                           const SignalInput& signals);

// The whole run; `signals.direction` (1 or -1) is leg 1's. The pair opens and closes as a
// whole: an entry whose fill prices are not both tradable (finite, above 0), or whose
// units would not be finite (a NaN hedge ratio, a non-finite cash), opens nothing; an exit
// on such a bar waits for the next bar where both legs have a tradable price, and the
// marks use each leg's last tradable close. Records carry the fees they paid: a signal
// exit's two records share the pair's entry fees, exit fees and net result equally; a
// pair still open at the end is one record valued at the last closes without exit fees,
// so the records add up to the equity change. The only errors are those of `check_lengths`.
base::Result<engine::RunOutput, base::OwnError> run(const PairsRunConfig& run, const BarSeries& leg1,
                                                    const BarSeries& leg2, const SignalInput& signals);

}  // namespace tarnwick::runners::pairs
