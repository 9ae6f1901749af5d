// Tick-level, long-only backtest of one instrument from caller-computed entry and exit
// signals: at most one position, entered at the ask and left at the bid, with a stop
// level, a target level, an exit signal, a holding-time limit and the end of the data as
// exits, a cooldown between trades and an optional cap on their number. Its own loop, no
// kernel; the curves hold one point per closed trade, not per tick.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/result.h"
#include "domain/trade_record.h"
#include "engine/core_session.h"

namespace tarnwick::runners::tick {

struct TickRunConfig {
    std::string symbol = "TICK";
    double initial_capital = 100000.0;
    double fees = 0.001;             // flat fraction of traded value when no segment applies
    double slippage = 0.0;           // fraction added to entry fills, taken off exit fills
    double stop_loss_pct = 5.0;      // percent below the entry fill; infinity: no stop
    double take_profit_pct = 10.0;   // percent above the entry fill; infinity: no target
    std::uint64_t max_hold_seconds = 1800;  // 0: no time exit
    std::uint64_t entry_cooldown_ticks = 10;
    std::uint64_t max_trades = std::numeric_limits<std::uint64_t>::max();
    std::uint32_t lot_size = 1;  // units per lot
    std::int64_t quantity = 1;   // lots per trade; never negative
    std::optional<std::string> fee_segment;
};

// The columns the run reads, owned by the caller. Signal bytes: non-zero is set.
struct TickColumns {
    std::span<const std::int64_t> timestamps;  // nanoseconds since the Unix epoch
    std::span<const double> ltp;               // last traded price; its length is the tick count
    std::span<const double> bid;               // not tradable (NaN, <= 0, ...): no bid
    std::span<const double> ask;               // not tradable: no ask
    std::span<const std::uint8_t> entries;
    std::span<const std::uint8_t> exits;
    // Order flow: checked for its length like every column, read by no rule of the run.
    std::span<const double> buy_qty_delta;
    std::span<const double> sell_qty_delta;
    std::span<const double> oi;
};

// The values of the configuration that would make nonsense of a run, refused in this
// order: initial_capital, fees, slippage, with the messages of the backtest
// configuration's own checks; a negative or NaN stop_loss_pct or take_profit_pct (0 and
// infinity stay accepted); then a negative quantity ("tick backtests are long-only:
// quantity must be >= 0, got {}").
base::Status<base::OwnError> check_config(const TickRunConfig& config);

// Every column must have one value per tick of `ltp`, checked in parameter order before
// any tick is read ("bid has 3 values, ltp has 5").
base::Status<base::OwnError> check_columns(const TickColumns& ticks);

// The whole run: the configuration and column checks, then the scan and the result. Fills
// need a tradable price (finite, above 0): a tick whose ask and last price are both
// untradable takes no entry; stop and target levels fire on tradable last prices only; a
// signal or holding-time exit met on a tick with neither a tradable bid nor last price
// waits for the next tick that has one; and a position open at the end of the data
// closes at the last tradable exit-side price.
base::Result<engine::RunOutput, base::OwnError> run(const TickRunConfig& config, const TickColumns& ticks);

// Curves and figures from the closed trades: equity starts at initial_capital and moves
// by each trade's pnl; without trades the figures are zero but for the start and end value.
engine::RunOutput build_result(std::vector<domain::TradeRecord> trades, double initial_capital);

}  // namespace tarnwick::runners::tick
