// A basket traded as one strategy in a bar loop of its own: a vote across the
// instruments' raw signals gives one entry and one exit column; at a basket entry every
// instrument opens on the same bar with a weight share of the cash, at a basket exit every
// open instrument closes on the same bar.
//
// No kernel: stop and target rules, slippage, position and drawdown limits and margin do
// not apply. Fills are charged by the run's fee model (an entry on the instrument's own
// side, an exit on the opposite side) and carry no slippage; the cash is not checked, so
// fees may take it below zero. Figures are the reduced set of the own-loop engines.
#pragma once

#include <span>

#include "base/errors.h"
#include "base/result.h"
#include "domain/backtest_config.h"
#include "domain/fees/fee_model.h"
#include "engine/core_session.h"
#include "runners/instrument_series.h"
#include "signals/synchronizer.h"

namespace tarnwick::runners::basket {

struct BasketRunConfig {
    domain::BacktestConfig config;
    InstrumentConfigs instrument_configs;  // only lot_size and alloted_capital are read
    signals::synchronizer::SyncMode sync_mode = signals::synchronizer::SyncMode::All;
    domain::FeeModel fee_model = domain::FeeModel::fraction(0.001);

    // The configuration copied, the fee model it resolves.
    static BasketRunConfig from(const domain::BacktestConfig& config, InstrumentConfigs instrument_configs,
                                signals::synchronizer::SyncMode mode);
};

// Checked instrument by instrument before anything is read: its closes against the
// first's ("All instruments must have same number of bars"), its entries against them
// ("Signals must match OHLCV length"), its timestamps, open, high, low and volume against
// its closes ("instrument 'A': high has 3 values, close has 5"), and its weight, which
// must be a finite number >= 0; then the exit columns among themselves (the
// synchroniser) and against the entries (the signal processor).
//
// An empty basket is no error: no trades and empty curves. Under next-bar-open timing the
// basket's effective signals act one bar later and fills take the bar's open. Fills need
// a tradable price (finite, above 0): an instrument without one on a basket entry bar is
// skipped, one without one on a basket exit bar closes on the next bar that has one
// (until then the basket holds and no new entry is taken), and marks use the last
// tradable close. Each record carries its entry fee; the trades still open after the last
// bar are recorded at the last tradable close without an exit fee (EndOfData), leaving
// the cash and the curves as they are, so the records add up to the equity change.
base::Result<engine::RunOutput, base::OwnError> run(const BasketRunConfig& run,
                                                    std::span<const InstrumentSeries> instruments);

}  // namespace tarnwick::runners::basket
