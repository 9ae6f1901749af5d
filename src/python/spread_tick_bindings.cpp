// Spread and tick backtests from Python: run_spread_backtest, run_tick_backtest and
// batch_spread_backtest. The single runs copy every array at the call's start; the batch
// copies the shared timestamps and reads its items' own copies in place, borrowed until
// the runs are over. The engines never see Python memory.
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
#include "python/numpy_bridge.h"
#include "python/registration.h"
#include "python/spread_leg_converter.h"
#include "python/without_gil.h"
#include "runners/spreads.h"
#include "runners/tick.h"

namespace tarnwick::python {

using base::CachedAllocator;
using domain::BacktestConfig;
using domain::check_fees;
using domain::check_positive;
using domain::check_slippage_fraction;
using domain::resolve_fee_model;
using engine::RunOutput;

namespace {

namespace spreads = runners::spreads;
namespace tick = runners::tick;

// ---------------------------------------------------------------------------
// run_spread_backtest

constexpr auto kSpread = function(
    "run_spread_backtest", {"timestamps", "underlying_close", "legs_premiums", "leg_configs", "entries", "exits",
                            {"config", "None"}, {"spread_type", "\"custom\""}, {"max_loss", "None"},
                            {"target_profit", "None"}, {"leg_expiry_timestamps", "None"},
                            {"legs_open_premiums", "None"}}, "Run spread backtest (multi-leg options).");

PyObject* run_spread_backtest(PyObject*, const Args& a) {
    const std::vector<std::int64_t> timestamps = a.get<ArrayI64>(0).data;
    // Taken like every other argument, but no rule of the run reads the underlying.
    const ArrayF64 underlying_close = a.get<ArrayF64>(1);
    const std::vector<std::vector<double>> premiums = owned_series(a.get<std::vector<ArrayF64>>(2));
    const std::vector<runners::SpreadLegInput> legs = a.get<std::vector<runners::SpreadLegInput>>(3);
    const std::vector<std::uint8_t> entries = a.get<ArrayBool>(4).data;
    const std::vector<std::uint8_t> exits = a.get<ArrayBool>(5).data;
    const BacktestConfig config = a.opt<BacktestConfig>(6).value_or(BacktestConfig{});
    const std::string spread_type = a.get_or<std::string>(7, "custom");
    const std::optional<double> max_loss = a.opt<double>(8);
    const std::optional<double> target_profit = a.opt<double>(9);
    std::optional<std::vector<std::int64_t>> expiries = a.opt<std::vector<std::int64_t>>(10);
    std::optional<std::vector<std::vector<double>>> open_premiums;
    if (auto open = a.opt<std::vector<ArrayF64>>(11)) open_premiums = owned_series(std::move(*open));

    if (open_premiums) unwrap(spreads::check_open_premiums(premiums, *open_premiums));
    spreads::SpreadRunConfig run;
    run.legs = unwrap(spreads::parse_legs(legs, spreads::LegMessage::Single));
    if (expiries) unwrap(spreads::check_expiry_count(expiries->size(), legs.size()));
    run.spread_type = spreads::parse_spread_type(spread_type);
    run.config = config;
    run.max_loss = max_loss;
    run.target_profit = target_profit;
    run.leg_expiries = std::move(expiries);
    run.fee_model = resolve_fee_model(config);

    spreads::SpreadMarket market{timestamps, premiums, std::nullopt, entries, exits};
    if (open_premiums) market.legs_open_premiums = std::span<const std::vector<double>>(*open_premiums);
    unwrap(spreads::check_market(run.legs.size(), market));
    return new_run_result(spreads::run(run, market)).release();
}

// ---------------------------------------------------------------------------
// run_tick_backtest

constexpr auto kTick = function(
    "run_tick_backtest", {"timestamps", "ltp", "bid", "ask", "buy_qty_delta", "sell_qty_delta", "oi", "entries",
                          "exits", {"symbol", "\"TICK\""}, {"initial_capital", "100000.0"}, {"fees", "0.001"},
                          {"slippage", "0.0"}, {"stop_loss_pct", "5.0"}, {"take_profit_pct", "10.0"},
                          {"max_hold_seconds", "1800"}, {"entry_cooldown_ticks", "10"}, {"max_trades", "..."},
                          {"lot_size", "1"}, {"quantity", "1"}, {"fee_segment", "None"}},
    "Run tick-level backtest on a single instrument.\n\n"
    "All arrays must be the same length N (one element per tick).\n"
    "`buy_qty_delta` and `sell_qty_delta` must already be per-tick deltas \xe2\x80\x94\n"
    "pass the difference from the previous tick, not the broker feed's cumulative totals.\n"
    "`entries` / `exits` are caller-computed boolean signal arrays.\n\n"
    "Returns a `BacktestResult` with the same fields as `run_single_backtest`.");

PyObject* run_tick_backtest(PyObject*, const Args& a) {
    const ArrayI64 timestamps = a.get<ArrayI64>(0);
    const ArrayF64 ltp = a.get<ArrayF64>(1);
    const ArrayF64 bid = a.get<ArrayF64>(2);
    const ArrayF64 ask = a.get<ArrayF64>(3);
    // The order-flow columns are taken and length-checked like the others; no rule of the
    // run reads them.
    const ArrayF64 buy_qty_delta = a.get<ArrayF64>(4);
    const ArrayF64 sell_qty_delta = a.get<ArrayF64>(5);
    const ArrayF64 oi = a.get<ArrayF64>(6);
    const ArrayBool entries = a.get<ArrayBool>(7);
    const ArrayBool exits = a.get<ArrayBool>(8);

    tick::TickRunConfig config;
    config.symbol = a.get_or<std::string>(9, "TICK");
    config.initial_capital = a.get_or<double>(10, 100000.0);
    config.fees = a.get_or<double>(11, 0.001);
    config.slippage = a.get_or<double>(12, 0.0);
    unwrap(check_positive("initial_capital", config.initial_capital));
    unwrap(check_fees(config.fees));
    unwrap(check_slippage_fraction("slippage", config.slippage));
    config.stop_loss_pct = a.get_or<double>(13, 5.0);
    config.take_profit_pct = a.get_or<double>(14, 10.0);
    config.max_hold_seconds = a.get_or<std::uint64_t>(15, 1800);
    config.entry_cooldown_ticks = a.get_or<std::uint64_t>(16, 10);
    config.max_trades = a.get_or<std::uint64_t>(17, std::numeric_limits<std::uint64_t>::max());
    config.lot_size = a.get_or<std::uint32_t>(18, 1);
    config.quantity = a.get_or<std::int64_t>(19, 1);
    config.fee_segment = a.opt<std::string>(20);

    const tick::TickColumns columns{timestamps.data, ltp.data,           bid.data,
                                    ask.data,        entries.data,       exits.data,
                                    buy_qty_delta.data, sell_qty_delta.data, oi.data};
    return new_run_result(unwrap(tick::run(config, columns))).release();
}

// ---------------------------------------------------------------------------
// batch_spread_backtest

constexpr auto kBatch = function(
    "batch_spread_backtest", {"timestamps", "underlying_close", "items", {"config", "None"}},
    "Run multiple spread backtests in parallel on the worker pool.\n\n"
    "Shared data (timestamps, underlying_close) is converted once, then each\n"
    "item is backtested on its own worker thread with the GIL released.\n\n"
    "Returns a list of (strategy_id, BacktestResult) tuples.");

PyObject* batch_spread_backtest(PyObject*, const Args& a) {
    // The shared timestamps are copied out of Python here, while the lock is held (batches
    // tend to come one after another over series of one length: the block is recycled).
    const Column<std::int64_t> given = a.get<Column<std::int64_t>>(0);
    const std::vector<std::int64_t, CachedAllocator<std::int64_t>> timestamps(given.span().begin(),
                                                                              given.span().end());
    const Column<double> underlying_close = a.get<Column<double>>(1);  // checked, read by no run
    // The items already own copies of their arrays (taken when they were made); they are
    // read in place, held and borrowed until the runs are over.
    const std::vector<Held<runners::BatchSpreadItem>> items = a.get<std::vector<Held<runners::BatchSpreadItem>>>(2);
    const BacktestConfig config = a.opt<BacktestConfig>(3).value_or(BacktestConfig{});
    spreads::check_batch_output_size(items.size(), timestamps.size());

    // Every item is prepared and checked before any runs; the first that fails, in input
    // order, ends the call.
    std::vector<spreads::PreparedSpreadItem> prepared;
    prepared.reserve(items.size());
    for (const Held<runners::BatchSpreadItem>& item : items) {
        prepared.push_back(unwrap(spreads::prepare_batch_item(item.value(), config, timestamps)));
    }

    std::vector<RunOutput> runs = [&] {
        WithoutGil released;
        return spreads::run_batch(prepared, timestamps);
    }();

    return list_of(runs.size(), [&](std::size_t i) {
        return pair_of(to_py(prepared[i].strategy_id), new_run_result(std::move(runs[i])));
    }).release();
}

}  // namespace

Registrations spread_tick_run_rows() {
    static constexpr Registration rows[] = {
        function_row<kSpread, run_spread_backtest>(),
        function_row<kTick, run_tick_backtest>(),
    };
    return rows;
}

Registrations spread_batch_rows() {
    static constexpr Registration rows[] = {function_row<kBatch, batch_spread_backtest>()};
    return rows;
}

}  // namespace tarnwick::python
