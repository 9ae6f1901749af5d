#include "runners/basket.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/format.h"
#include "runners/column_lengths.h"
#include "runners/own_loop_metrics.h"
#include "runners/tradable_price.h"
#include "signals/processor.h"

namespace tarnwick::runners::basket {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;
using domain::BacktestConfig;
using domain::ExitReason;
using domain::FillTiming;
using domain::InstrumentConfig;
using domain::TradeRecord;
using domain::is_tradable_price;
using domain::resolve_fee_model;
using engine::RunOutput;
using metrics::BacktestMetrics;

BasketRunConfig BasketRunConfig::from(const BacktestConfig& config, InstrumentConfigs instrument_configs,
                                      signals::synchronizer::SyncMode mode) {
    BasketRunConfig r;
    r.config = config;
    r.instrument_configs = std::move(instrument_configs);
    r.sync_mode = mode;
    r.fee_model = resolve_fee_model(config);
    return r;
}

namespace {

struct Slot {
    bool open = false;
    bool exit_due = false;  // a basket exit met this instrument on a bar without a tradable price
    std::size_t entry_idx = 0;
    double entry_price = 0.0;
    double quantity = 0.0;
    double entry_fee = 0.0;  // already out of the cash
};

Status<OwnError> check_columns(const InstrumentSeries& in, std::size_t n) {
    const std::size_t close = in.bars.close.size();
    if (close != n) {
        return err(OwnError{base::fmt::format("All instruments must have same number of bars: {} has {}, expected {}",
                                              in.signals.symbol, close, n)});
    }
    if (in.signals.entries.size() != n) {
        return err(OwnError{base::fmt::format("Signals must match OHLCV length: {} has {} entries, expected {}",
                                              in.signals.symbol, in.signals.entries.size(), n)});
    }
    if (auto st = columns_match_close(in.bars); !st.ok()) {
        return err(OwnError{base::fmt::format("instrument '{}': {}", in.signals.symbol, st.error().message())});
    }
    return Unit{};
}

// A weight is a share of the cash: a negative one would borrow it from the others, and a
// NaN or infinite one makes every share meaningless.
Status<OwnError> check_weight(const InstrumentSeries& in, std::size_t index) {
    const double w = in.signals.weight;
    if (std::isfinite(w) && w >= 0.0) return Unit{};
    return err(OwnError{base::fmt::format("weight of instrument {} ('{}') must be a finite number >= 0, got {}", index,
                                          in.signals.symbol, w)});
}

Status<OwnError> check_inputs(std::span<const InstrumentSeries> instruments, std::size_t n) {
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        if (auto st = check_columns(instruments[i], n); !st.ok()) return st;
        if (auto st = check_weight(instruments[i], i); !st.ok()) return st;
    }
    return Unit{};
}

// The run's figures when nothing was stepped: zero except the start and end values.
BacktestMetrics empty_metrics(const BacktestConfig& config) {
    const own_loop::Curves curves(0, config.initial_capital);
    return own_loop::reduced_metrics(config, curves, {}, {}, {});
}

// An instrument's quantity from its weight share of `cash` at fill price `price`, capped
// by its allotted capital and rounded down to its lot size when it has overrides.
double quantity_for(const std::optional<InstrumentConfig>& ic, double weight,
                    double total_weight, double cash, double price) {
    if (total_weight == 0.0 || !is_tradable_price(price)) return 0.0;
    double allotment = weight / total_weight * cash;
    if (!ic) return allotment / price;
    if (ic->alloted_capital) allotment = std::min(allotment, *ic->alloted_capital);
    double q = allotment / price;
    if (ic->lot_size && *ic->lot_size > 0.0) q = std::floor(q / *ic->lot_size) * *ic->lot_size;
    return q;
}

}  // namespace

Result<RunOutput, OwnError> run(const BasketRunConfig& run, std::span<const InstrumentSeries> instruments) {
    const BacktestConfig& config = run.config;
    if (instruments.empty()) {
        RunOutput out;
        out.metrics = empty_metrics(config);
        return out;
    }
    const std::size_t n = instruments.front().bars.bars();
    if (auto st = check_inputs(instruments, n); !st.ok()) return err(std::move(st).error());

    const std::size_t k = instruments.size();
    std::vector<std::span<const std::uint8_t>> entry_cols, exit_cols;
    entry_cols.reserve(k);
    exit_cols.reserve(k);
    for (const InstrumentSeries& in : instruments) {
        entry_cols.push_back(in.signals.entries);
        exit_cols.push_back(in.signals.exits);
    }
    auto combined = signals::synchronizer::synchronize(entry_cols, exit_cols, run.sync_mode);
    if (!combined.ok()) return err(std::move(combined).error());
    auto processed = signals::processor::process(combined.value().entries, combined.value().exits);
    if (!processed.ok()) return err(std::move(processed).error());
    std::vector<std::uint8_t>& entries = processed.value().entries;
    std::vector<std::uint8_t>& exits = processed.value().exits;

    // Only next-bar-open moves a run: the signal of bar t acts at bar t + 1's open.
    const bool at_open = config.effective_fill_timing() == FillTiming::NextBarOpen;
    if (at_open && n > 0) {
        for (std::size_t t = n - 1; t > 0; --t) {
            entries[t] = entries[t - 1];
            exits[t] = exits[t - 1];
        }
        entries[0] = 0;
        exits[0] = 0;
    }

    std::vector<std::optional<InstrumentConfig>> overrides;
    overrides.reserve(k);
    double total_weight = -0.0;
    for (const InstrumentSeries& in : instruments) {
        overrides.push_back(config_for(run.instrument_configs, in.signals.symbol));
        total_weight += in.signals.weight;
    }

    std::vector<Slot> slots(k);
    std::vector<LastTradable> marks(k);
    std::vector<double> quantities(k, 0.0);
    std::vector<TradeRecord> trades;
    own_loop::Curves curves(n, config.initial_capital);
    double cash = config.initial_capital;
    std::uint64_t next_id = 0;

    // A record carries the entry fee the slot paid and, for a sale, the exit fee, so that the
    // records add up to the equity change; returns the exit fee.
    auto record = [&](std::size_t i, std::size_t exit_idx, double exit_price, ExitReason reason) {
        const InstrumentSeries& in = instruments[i];
        const Slot& s = slots[i];
        const double d = in.signals.direction;
        const double fee =
            reason == ExitReason::EndOfData ? 0.0 : run.fee_model.fee(exit_price, s.quantity, in.signals.direction == -1);
        const double pnl = d * (exit_price - s.entry_price) * s.quantity - s.entry_fee - fee;
        const double basis = s.entry_price * s.quantity;
        TradeRecord tr;
        tr.id = next_id++;
        tr.symbol = in.signals.symbol;
        tr.entry_idx = s.entry_idx;
        tr.exit_idx = exit_idx;
        tr.entry_price = s.entry_price;
        tr.exit_price = exit_price;
        tr.size = s.quantity;
        tr.direction = in.signals.direction;
        tr.pnl = pnl;
        tr.return_pct = basis > 0.0 ? pnl / basis * 100.0 : 0.0;
        tr.entry_time = in.bars.timestamps[s.entry_idx];
        tr.exit_time = in.bars.timestamps[exit_idx];
        tr.fees = s.entry_fee + fee;
        tr.entry_fees = s.entry_fee;
        tr.exit_fees = fee;
        tr.exit_reason = reason;
        trades.push_back(std::move(tr));
        return fee;
    };

    for (std::size_t t = 0; t < n; ++t) {
        // Exits: every open instrument on a basket exit bar; one without a tradable price
        // there waits for the next bar that has one.
        for (std::size_t i = 0; i < k; ++i) {
            Slot& s = slots[i];
            if (!s.open) continue;
            s.exit_due = s.exit_due || exits[t] != 0;
            const InstrumentSeries& in = instruments[i];
            const double p = at_open ? in.bars.open[t] : in.bars.close[t];
            if (!s.exit_due || !is_tradable_price(p)) continue;
            const double fee = record(i, t, p, ExitReason::Signal);
            const double d = in.signals.direction;
            cash += s.entry_price * s.quantity + d * (p - s.entry_price) * s.quantity - fee;
            s = Slot{};
        }
        if (entries[t] != 0) {
            bool all_closed = true;
            for (const Slot& s : slots) all_closed = all_closed && !s.open;
            if (all_closed) {
                // Every quantity is sized from the same cash, before any fill is paid. An
                // instrument without a tradable price on the bar is skipped.
                const double c = cash;
                for (std::size_t i = 0; i < k; ++i) {
                    const InstrumentSeries& in = instruments[i];
                    const double p = at_open ? in.bars.open[t] : in.bars.close[t];
                    quantities[i] = quantity_for(overrides[i], in.signals.weight, total_weight, c, p);
                }
                for (std::size_t i = 0; i < k; ++i) {
                    const double q = quantities[i];
                    if (!(q > 0.0)) continue;
                    const InstrumentSeries& in = instruments[i];
                    const double p = at_open ? in.bars.open[t] : in.bars.close[t];
                    const double fee = run.fee_model.fee(p, q, in.signals.direction == 1);
                    cash -= q * p + fee;
                    slots[i] = Slot{true, false, t, p, q, fee};
                    marks[i].see(p);  // the mark's fallback when this bar closes on a gap
                }
            }
        }
        double equity = cash;
        for (std::size_t i = 0; i < k; ++i) {
            const double c = marks[i].at(instruments[i].bars.close[t]);
            const Slot& s = slots[i];
            if (!s.open) continue;
            const double d = instruments[i].signals.direction;
            equity += s.entry_price * s.quantity + d * (c - s.entry_price) * s.quantity;
        }
        curves.mark(t, equity);
    }

    // Positions still open are valued at the last tradable close, not sold: the cash and
    // the curves keep them open, and their records charge no exit fee.
    if (n > 0) {
        for (std::size_t i = 0; i < k; ++i) {
            if (slots[i].open) (void)record(i, n - 1, *marks[i].last(), ExitReason::EndOfData);
        }
    }

    const std::span<const std::int64_t> timestamps = instruments.front().bars.timestamps.first(n);
    RunOutput out;
    out.metrics = own_loop::reduced_metrics(config, curves, timestamps, trades, own_loop::tally_per_record(trades));
    out.equity_curve = curves.take_equity();
    out.drawdown_curve = curves.take_drawdown();
    out.returns = curves.take_returns();
    out.trades = std::move(trades);
    return out;
}

}  // namespace tarnwick::runners::basket
