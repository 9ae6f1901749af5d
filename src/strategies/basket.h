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

#include "core/backtest_config.h"
#include "core/core_session.h"
#include "core/errors.h"
#include "core/fees/fee_model.h"
#include "core/result.h"
#include "signals/synchronizer.h"
#include "strategies/instrument_series.h"

namespace tarnwick::strategies::basket {

struct BasketRunConfig {
    BacktestConfig config;
    InstrumentConfigs instrument_configs;  // only lot_size and alloted_capital are read
    signals::synchronizer::SyncMode sync_mode = signals::synchronizer::SyncMode::All;
    FeeModel fee_model = FeeModel::fraction(0.001);

    // The configuration copied, the fee model it resolves.
    static BasketRunConfig from(const BacktestConfig& config, InstrumentConfigs instrument_configs,
                                signals::synchronizer::SyncMode mode);
};

// Lengths, in this order: every instrument's closes against the first's ("All instruments
// must have same number of bars"), then its entries ("Signals must match OHLCV length")
// and its timestamps and open ("Data length mismatch: expected {}, got {}"; they may be
// longer, not shorter); then the exit columns among themselves (the synchroniser) and
// against the entries (the signal processor).
//
// An empty basket is no error: no trades and empty curves. Under next-bar-open timing the
// basket's effective signals act one bar later and fills take the bar's open; the trades
// still open after the last bar are recorded at the last close (EndOfData) without
// changing the cash or the curves.
Result<RunOutput, OwnError> run(const BasketRunConfig& run, std::span<const InstrumentSeries> instruments);

}  // namespace tarnwick::strategies::basket
