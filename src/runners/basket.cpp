#include "runners/basket.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/format.h"
#include "runners/column_lengths.h"
#include "runners/own_loop_curves.h"
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

// The basket's effective signals: the instruments' columns combined under the sync mode
// and processed. Only next-bar-open moves a run: the signal of bar t acts at bar t + 1's
// open.
Result<signals::processor::Processed, OwnError> basket_signals(std::span<const InstrumentSeries> instruments,
                                                               signals::synchronizer::SyncMode mode, bool at_open) {
    const std::size_t k = instruments.size();
    std::vector<std::span<const std::uint8_t>> entry_cols, exit_cols;
    entry_cols.reserve(k);
    exit_cols.reserve(k);
    for (const InstrumentSeries& in : instruments) {
        entry_cols.push_back(in.signals.entries);
        exit_cols.push_back(in.signals.exits);
    }
    auto combined = signals::synchronizer::synchronize(entry_cols, exit_cols, mode);
    if (!combined.ok()) return err(std::move(combined).error());
    auto processed = signals::processor::process(combined.value().entries, combined.value().exits);
    if (!processed.ok()) return err(std::move(processed).error());
    std::vector<std::uint8_t>& entries = processed.value().entries;
    std::vector<std::uint8_t>& exits = processed.value().exits;
    const std::size_t n = entries.size();
    if (at_open && n > 0) {
        for (std::size_t t = n - 1; t > 0; --t) {
            entries[t] = entries[t - 1];
            exits[t] = exits[t - 1];
        }
        entries[0] = 0;
        exits[0] = 0;
    }
    return processed;
}

// The bar loop over one cash balance: on each bar the exits, then the entries, then the
// equity at the marks. Every instrument fills at its own price of the bar (the open under
// next-bar-open timing, else the close).
class BasketLoop {
public:
    BasketLoop(const BasketRunConfig& run, std::span<const InstrumentSeries> instruments, bool at_open)
        : run_(run),
          instruments_(instruments),
          at_open_(at_open),
          n_(instruments.front().bars.bars()),
          k_(instruments.size()),
          slots_(k_),
          marks_(k_),
          quantities_(k_, 0.0),
          curves_(n_, run.config.initial_capital),
          cash_(run.config.initial_capital) {
        overrides_.reserve(k_);
        for (const InstrumentSeries& in : instruments) {
            overrides_.push_back(config_for(run.instrument_configs, in.signals.symbol));
            total_weight_ += in.signals.weight;
        }
    }

    void run(const signals::processor::Processed& signals) {
        for (std::size_t t = 0; t < n_; ++t) {
            exit_pass(t, signals.exits[t] != 0);
            if (signals.entries[t] != 0 && all_closed()) enter_all(t);
            curves_.mark(t, equity_at(t));
        }
        if (n_ > 0) record_open_at_end();
    }

    RunOutput finish() && {
        const metrics::TradeTally tally = metrics::tally_per_record(trades_);
        return own_loop::finish(run_.config, std::move(curves_), instruments_.front().bars.timestamps.first(n_),
                                std::move(trades_), tally);
    }

private:
    double fill_price(std::size_t i, std::size_t t) const noexcept {
        const InstrumentSeries& in = instruments_[i];
        return at_open_ ? in.bars.open[t] : in.bars.close[t];
    }

    // Every open instrument on a basket exit bar; one without a tradable price there waits
    // for the next bar that has one.
    void exit_pass(std::size_t t, bool exit_signal) {
        for (std::size_t i = 0; i < k_; ++i) {
            Slot& s = slots_[i];
            if (!s.open) continue;
            s.exit_due = s.exit_due || exit_signal;
            const double p = fill_price(i, t);
            if (!s.exit_due || !is_tradable_price(p)) continue;
            const double fee = record(i, t, p, ExitReason::Signal);
            const double d = instruments_[i].signals.direction;
            cash_ += s.entry_price * s.quantity + d * (p - s.entry_price) * s.quantity - fee;
            s = Slot{};
        }
    }

    bool all_closed() const noexcept {
        bool closed = true;
        for (const Slot& s : slots_) closed = closed && !s.open;
        return closed;
    }

    // Every quantity is sized from the same cash, before any fill is paid. An instrument
    // without a tradable price on the bar is skipped.
    void enter_all(std::size_t t) {
        const double c = cash_;
        for (std::size_t i = 0; i < k_; ++i) {
            quantities_[i] = quantity_for(overrides_[i], instruments_[i].signals.weight, total_weight_, c,
                                          fill_price(i, t));
        }
        for (std::size_t i = 0; i < k_; ++i) {
            const double q = quantities_[i];
            if (!(q > 0.0)) continue;
            const InstrumentSeries& in = instruments_[i];
            const double p = fill_price(i, t);
            const double fee = run_.fee_model.fee(p, q, in.signals.direction == 1);
            cash_ -= q * p + fee;
            slots_[i] = Slot{true, false, t, p, q, fee};
            marks_[i].see(p);  // the mark's fallback when this bar closes on a gap
        }
    }

    // The cash and the open positions at their marks.
    double equity_at(std::size_t t) {
        double equity = cash_;
        for (std::size_t i = 0; i < k_; ++i) {
            const double c = marks_[i].at(instruments_[i].bars.close[t]);
            const Slot& s = slots_[i];
            if (!s.open) continue;
            const double d = instruments_[i].signals.direction;
            equity += s.entry_price * s.quantity + d * (c - s.entry_price) * s.quantity;
        }
        return equity;
    }

    // Positions still open are valued at the last tradable close, not sold: the cash and
    // the curves keep them open, and their records charge no exit fee.
    void record_open_at_end() {
        for (std::size_t i = 0; i < k_; ++i) {
            if (slots_[i].open) (void)record(i, n_ - 1, *marks_[i].last(), ExitReason::EndOfData);
        }
    }

    // A record carries the entry fee the slot paid and, for a sale, the exit fee, so that the
    // records add up to the equity change; returns the exit fee.
    double record(std::size_t i, std::size_t exit_idx, double exit_price, ExitReason reason) {
        const InstrumentSeries& in = instruments_[i];
        const Slot& s = slots_[i];
        const double d = in.signals.direction;
        const double fee = reason == ExitReason::EndOfData
                               ? 0.0
                               : run_.fee_model.fee(exit_price, s.quantity, in.signals.direction == -1);
        const double pnl = d * (exit_price - s.entry_price) * s.quantity - s.entry_fee - fee;
        const double basis = s.entry_price * s.quantity;
        TradeRecord tr;
        tr.id = next_id_++;
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
        trades_.push_back(std::move(tr));
        return fee;
    }

    const BasketRunConfig& run_;
    const std::span<const InstrumentSeries> instruments_;
    const bool at_open_;
    const std::size_t n_;
    const std::size_t k_;
    std::vector<std::optional<InstrumentConfig>> overrides_;
    double total_weight_ = -0.0;  // summed in list order
    std::vector<Slot> slots_;
    std::vector<LastTradable> marks_;
    std::vector<double> quantities_;  // the entry bar's sizes, before any is filled
    std::vector<TradeRecord> trades_;
    own_loop::Curves curves_;
    double cash_;
    std::uint64_t next_id_ = 0;
};

}  // namespace

Result<RunOutput, OwnError> run(const BasketRunConfig& run, std::span<const InstrumentSeries> instruments) {
    const BacktestConfig& config = run.config;
    if (instruments.empty()) return own_loop::empty_run(config);
    const std::size_t n = instruments.front().bars.bars();
    if (auto st = check_inputs(instruments, n); !st.ok()) return err(std::move(st).error());

    const bool at_open = config.effective_fill_timing() == FillTiming::NextBarOpen;
    auto signals = basket_signals(instruments, run.sync_mode, at_open);
    if (!signals.ok()) return err(std::move(signals).error());
    BasketLoop loop(run, instruments, at_open);
    loop.run(signals.value());
    return std::move(loop).finish();
}

}  // namespace tarnwick::runners::basket
