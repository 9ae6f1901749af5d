// Spread and tick backtests from Python: run_spread_backtest, run_tick_backtest and
// batch_spread_backtest. The single runs copy every array they run on at the call's start
// (the underlying closes, which no rule reads, are only checked); the batch copies the
// shared timestamps and reads its items' own copies in place, borrowed until the runs are
// over. The engines never see Python memory.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/block_cache.h"
#include "domain/backtest_config.h"
#include "domain/fees/fee_model.h"
#include "engine/backtest_result.h"
#include "python/batch_item_records.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/declare.h"
#include "python/numpy_bridge.h"
#include "python/registration.h"
#include "python/spread_leg_converter.h"
#include "python/without_gil.h"
#include "runners/batch_output_size.h"
#include "runners/spreads.h"
#include "runners/tick.h"

namespace tarnwick::python {

using base::CachedAllocator;
using domain::BacktestConfig;
using domain::resolve_fee_model;
using engine::RunOutput;

namespace {

namespace spreads = runners::spreads;
namespace tick = runners::tick;

constexpr Returns kResult{"BacktestResult"};

// ---------------------------------------------------------------------------
// run_spread_backtest

// The underlying is checked like every other argument, but no rule of the run reads it.
Ref run_spread_backtest(const ArrayI64& timestamps, const Column<double>& /*underlying_close*/,
                        std::vector<ArrayF64> legs_premiums, const std::vector<runners::SpreadLegInput>& leg_configs,
                        const ArrayBool& entries, const ArrayBool& exits, std::optional<BacktestConfig>&& given,
                        const std::string& spread_type, std::optional<double> max_loss,
                        std::optional<double> target_profit, std::optional<std::vector<std::int64_t>> expiries,
                        std::optional<std::vector<ArrayF64>> legs_open_premiums) {
    const std::vector<std::vector<double>> premiums = owned_series(std::move(legs_premiums));
    const BacktestConfig config = std::move(given).value_or(BacktestConfig{});
    std::optional<std::vector<std::vector<double>>> open_premiums;
    if (legs_open_premiums) open_premiums = owned_series(std::move(*legs_open_premiums));

    if (open_premiums) unwrap(spreads::check_open_premiums(premiums, *open_premiums));
    spreads::SpreadRunConfig run;
    run.legs = unwrap(spreads::parse_legs(leg_configs, spreads::LegMessage::Single));
    if (expiries) unwrap(spreads::check_expiry_count(expiries->size(), leg_configs.size()));
    run.spread_type = spreads::parse_spread_type(spread_type);
    run.config = config;
    run.max_loss = max_loss;
    run.target_profit = target_profit;
    run.leg_expiries = std::move(expiries);
    run.fee_model = resolve_fee_model(config);

    spreads::SpreadMarket market{timestamps.data, premiums, std::nullopt, entries.data, exits.data};
    if (open_premiums) market.legs_open_premiums = std::span<const std::vector<double>>(*open_premiums);
    unwrap(spreads::check_market(run.legs.size(), market));
    return new_run_result(spreads::run(run, market));
}

constexpr auto kSpread = function<run_spread_backtest>(
    "run_spread_backtest",
    {"timestamps", "underlying_close", "legs_premiums", "leg_configs", "entries", "exits", {"config", None},
     {"spread_type", "custom"}, {"max_loss", None}, {"target_profit", None}, {"leg_expiry_timestamps", None},
     {"legs_open_premiums", None}},
    kResult, "Run spread backtest (multi-leg options).");

// ---------------------------------------------------------------------------
// run_tick_backtest

// The order-flow columns are taken and length-checked like the others; no rule of the run
// reads them.
Ref run_tick_backtest(const ArrayI64& timestamps, const ArrayF64& ltp, const ArrayF64& bid, const ArrayF64& ask,
                      const ArrayF64& buy_qty_delta, const ArrayF64& sell_qty_delta, const ArrayF64& oi,
                      const ArrayBool& entries, const ArrayBool& exits, std::string symbol, double initial_capital,
                      double fees, double slippage, double stop_loss_pct, double take_profit_pct,
                      std::uint64_t max_hold_seconds, std::uint64_t entry_cooldown_ticks, std::uint64_t max_trades,
                      std::uint32_t lot_size, std::int64_t quantity, std::optional<std::string> fee_segment) {
    tick::TickRunConfig config;
    config.symbol = std::move(symbol);
    config.initial_capital = initial_capital;
    config.fees = fees;
    config.slippage = slippage;
    config.stop_loss_pct = stop_loss_pct;
    config.take_profit_pct = take_profit_pct;
    config.max_hold_seconds = max_hold_seconds;
    config.entry_cooldown_ticks = entry_cooldown_ticks;
    config.max_trades = max_trades;
    config.lot_size = lot_size;
    config.quantity = quantity;
    config.fee_segment = std::move(fee_segment);

    const tick::TickColumns columns{timestamps.data, ltp.data,           bid.data,
                                    ask.data,        entries.data,       exits.data,
                                    buy_qty_delta.data, sell_qty_delta.data, oi.data};
    return new_run_result(unwrap(tick::run(config, columns)));
}

constexpr auto kTick = function<run_tick_backtest>(
    "run_tick_backtest",
    {"timestamps", "ltp", "bid", "ask", "buy_qty_delta", "sell_qty_delta", "oi", "entries", "exits",
     {"symbol", "TICK"}, {"initial_capital", 100000.0}, {"fees", 0.001}, {"slippage", 0.0}, {"stop_loss_pct", 5.0},
     {"take_profit_pct", 10.0}, {"max_hold_seconds", 1800}, {"entry_cooldown_ticks", 10},
     {"max_trades", Shown{"...", std::numeric_limits<std::uint64_t>::max()}}, {"lot_size", 1}, {"quantity", 1},
     {"fee_segment", None}},
    kResult,
    "Run tick-level backtest on a single instrument.\n\n"
    "All arrays must be the same length N (one element per tick).\n"
    "`buy_qty_delta` and `sell_qty_delta` must already be per-tick deltas \xe2\x80\x94\n"
    "pass the difference from the previous tick, not the broker feed's cumulative totals.\n"
    "`entries` / `exits` are caller-computed boolean signal arrays.\n\n"
    "Returns a `BacktestResult` with the same fields as `run_single_backtest`.\n\n"
    "`stop_loss_pct` and `take_profit_pct` are percent of the entry fill, 0 or\n"
    "above; `inf` sets no stop or no target. `fees` is a fraction within (-1, 1).");

// ---------------------------------------------------------------------------
// batch_spread_backtest

// The items already own copies of their arrays (taken when they were made); they are read
// in place, held and borrowed until the runs are over. The underlying is checked, read by
// no run.
Ref batch_spread_backtest(const Column<std::int64_t>& given, const Column<double>& /*underlying_close*/,
                          const std::vector<Held<runners::BatchSpreadItem>>& items,
                          std::optional<BacktestConfig>&& config) {
    // The shared timestamps are copied out of Python here, while the lock is held (batches
    // tend to come one after another over series of one length: the block is recycled).
    const std::vector<std::int64_t, CachedAllocator<std::int64_t>> timestamps(given.span().begin(),
                                                                              given.span().end());
    const BacktestConfig run_config = std::move(config).value_or(BacktestConfig{});
    runners::check_batch_output_size(items.size(), timestamps.size());

    // Every item is prepared and checked before any runs; the first that fails, in input
    // order, ends the call.
    std::vector<spreads::PreparedSpreadItem> prepared;
    prepared.reserve(items.size());
    for (const Held<runners::BatchSpreadItem>& item : items) {
        prepared.push_back(unwrap(spreads::prepare_batch_item(item.value(), run_config, timestamps)));
    }

    std::vector<RunOutput> runs = [&] {
        WithoutGil released;
        return spreads::run_batch(prepared, timestamps);
    }();

    return list_of(runs.size(), [&](std::size_t i) {
        return pair_of(to_py(prepared[i].strategy_id), new_run_result(std::move(runs[i])));
    });
}

constexpr auto kBatch = function<batch_spread_backtest>(
    "batch_spread_backtest", {"timestamps", "underlying_close", "items", {"config", None}},
    Returns{"list[tuple[str, BacktestResult]]"},
    "Run multiple spread backtests in parallel on the worker pool.\n\n"
    "Shared data (timestamps, underlying_close) is converted once, then each\n"
    "item is backtested on its own worker thread with the GIL released.\n\n"
    "Returns a list of (strategy_id, BacktestResult) tuples.");

}  // namespace

Registrations spread_tick_run_rows() {
    static constexpr Registration rows[] = {
        function_row<kSpread>(),
        function_row<kTick>(),
    };
    return rows;
}

Registrations spread_batch_rows() {
    static constexpr Registration rows[] = {function_row<kBatch>()};
    return rows;
}

}  // namespace tarnwick::python
