#include "runners/pairs.h"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "base/format.h"
#include "domain/fees/fee_model.h"
#include "runners/column_lengths.h"
#include "runners/own_loop_curves.h"
#include "runners/tradable_price.h"
#include "signals/processor.h"

namespace tarnwick::runners::pairs {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::check_index;
using base::err;
using domain::ExitReason;
using domain::FeeModel;
using domain::FillTiming;
using domain::TradeRecord;
using domain::is_tradable_price;
using domain::resolve_fee_model;
using engine::RunOutput;

namespace {

// Both legs of the open pair, at the entry bar's fill prices.
struct PairHolding {
    std::size_t entry_bar = 0;
    double e1 = 0.0, e2 = 0.0;  // entry prices
    double q1 = 0.0, q2 = 0.0;  // units
    double n1 = 0.0, n2 = 0.0;  // entry notionals
    double entry_fees = 0.0;    // both legs' entry fees, already out of the cash
};

struct LegSides {
    std::int8_t d1;  // leg 1's direction, the run's
    std::int8_t d2;  // leg 2's, against it
};

// One leg's gain at `price`: direction x (price - entry) x units.
double leg_move(std::int8_t direction, double price, double entry, double units) noexcept {
    return static_cast<double>(direction) * (price - entry) * units;
}

double leg_gross(const LegSides& s, const PairHolding& h, double p1, double p2) noexcept {
    return leg_move(s.d1, p1, h.e1, h.q1) + leg_move(s.d2, p2, h.e2, h.q2);
}

// The two records of a signal exit share the pair's net result, its entry fees and its
// exit fees equally, so that the records of a round trip add up to its cash change.
TradeRecord leg_record(std::uint64_t id, std::string symbol, std::size_t entry_bar, std::size_t exit_bar,
                       double entry_price, double exit_price, double size, std::int8_t direction,
                       std::span<const std::int64_t> timestamps, double net, double entry_fees, double exit_fees,
                       double notional) {
    TradeRecord t;
    t.id = id;
    t.symbol = std::move(symbol);
    t.entry_idx = entry_bar;
    t.exit_idx = exit_bar;
    t.entry_price = entry_price;
    t.exit_price = exit_price;
    t.size = size;
    t.direction = direction;
    t.pnl = net / 2.0;
    t.return_pct = notional > 0.0 ? 50.0 * net / notional : 0.0;
    t.entry_time = timestamps[entry_bar];
    t.exit_time = timestamps[exit_bar];
    t.entry_fees = entry_fees / 2.0;
    t.exit_fees = exit_fees / 2.0;
    t.fees = t.entry_fees + t.exit_fees;
    t.exit_reason = ExitReason::Signal;
    return t;
}

}  // namespace

HedgeRatio hedge_ratio_at(const PairsRunConfig& run, std::span<const double> leg1_close,
                          std::span<const double> leg2_close, std::size_t signal_bar) {
    const HedgeRatio fixed{run.hedge_ratio, false};
    if (!run.dynamic_hedge || signal_bar < run.lookback) return fixed;
    check_index(signal_bar, leg1_close.size());
    check_index(signal_bar, leg2_close.size());
    double sx = 0.0, sy = 0.0, sxy = 0.0, sxx = 0.0;
    for (std::size_t k = signal_bar - run.lookback; k <= signal_bar; ++k) {
        const double x = leg2_close[k];
        const double y = leg1_close[k];
        sx += x;
        sy += y;
        sxy += x * y;
        sxx += x * x;
    }
    const double m = static_cast<double>(run.lookback + 1);
    const double d = m * sxx - sx * sx;
    if (std::abs(d) < kSingularDenominator) return fixed;
    const double beta = (m * sxy - sx * sy) / d;
    // Written with comparisons so that a NaN slope stays NaN.
    if (beta < kMinHedgeRatio) return {kMinHedgeRatio, true};
    if (beta > kMaxHedgeRatio) return {kMaxHedgeRatio, true};
    return {beta, true};
}

Status<OwnError> check_lengths(const PairsRunConfig& run, const BarSeries& leg1, const BarSeries& leg2,
                               const SignalInput& signals) {
    const std::size_t n = leg1.close.size();
    if (leg2.close.size() != n) {
        return err(OwnError{
            base::fmt::format("pair legs must have same length: leg1_close {}, leg2_close {}", n, leg2.close.size())});
    }
    if (signals.entries.size() != n) {
        return err(OwnError{base::fmt::format("OHLCV and signals must have same length: close {}, entries {}", n,
                                              signals.entries.size())});
    }
    if (auto st = signals::processor::check_lengths(signals.entries.size(), signals.exits.size()); !st.ok()) {
        return err(std::move(st).error());
    }
    if (auto st = covers("leg1_timestamps", leg1.timestamps.size(), "leg1_close", n); !st.ok()) return st;
    if (auto st = covers("leg2_timestamps", leg2.timestamps.size(), "leg1_close", n); !st.ok()) return st;
    // The opens are read only when fills take them.
    if (run.config.effective_fill_timing() != FillTiming::NextBarOpen) return Unit{};
    if (auto st = covers("leg1_open", leg1.open.size(), "leg1_close", n); !st.ok()) return st;
    return covers("leg2_open", leg2.open.size(), "leg1_close", n);
}

namespace {

// The bar loop of one pair over one cash balance: on each bar a due exit, then an entry,
// then the equity at the marks. The pair opens and closes as a whole, at both legs' fill
// prices of the bar (the opens under next-bar-open timing, else the closes).
class PairsLoop {
public:
    PairsLoop(const PairsRunConfig& run, const BarSeries& leg1, const BarSeries& leg2, const SignalInput& signals)
        : run_(run),
          leg1_(leg1),
          leg2_(leg2),
          signals_(signals),
          fees_(resolve_fee_model(run.config)),
          next_open_(run.config.effective_fill_timing() == FillTiming::NextBarOpen),
          fill1_(next_open_ ? leg1.open : leg1.close),
          fill2_(next_open_ ? leg2.open : leg2.close),
          sides_{signals.direction, static_cast<std::int8_t>(-signals.direction)},
          leg1_symbol_(base::fmt::format("{}_LEG1", signals.symbol)),
          leg2_symbol_(base::fmt::format("{}_LEG2", signals.symbol)),
          n_(leg1.close.size()),
          curves_(n_, run.config.initial_capital),
          cash_(run.config.initial_capital) {}

    // Only next-bar-open timing changes a run: signals act one bar later, at both opens.
    void run() {
        signals::processor::Stream processor;
        signals::processor::Flags pending;  // the previous bar's flags, under next-bar-open timing
        for (std::size_t i = 0; i < n_; ++i) {
            const signals::processor::Flags now =
                processor.next(signals_.entries[i] != 0, signals_.exits[i] != 0);
            const signals::processor::Flags flags = next_open_ ? std::exchange(pending, now) : now;
            const double p1 = fill1_[i];
            const double p2 = fill2_[i];
            const bool fillable = is_tradable_price(p1) && is_tradable_price(p2);
            exit_due_ = open_ && (exit_due_ || flags.exit);
            if (exit_due_ && fillable) close_pair(i, p1, p2);
            if (flags.entry && !open_) open_pair(i, p1, p2, fillable);
            curves_.mark(i, equity_at(i));
        }
        if (open_) record_open_at_end();
    }

    RunOutput finish() && {
        const metrics::TradeTally tally = metrics::tally_round_trips(trades_);
        return own_loop::finish(run_.config, std::move(curves_), leg1_.timestamps, std::move(trades_), tally);
    }

private:
    // Both legs sold at the bar's fill prices: two records sharing the pair's result.
    void close_pair(std::size_t i, double p1, double p2) {
        const PairHolding& h = h_;
        const double gross = leg_gross(sides_, h, p1, p2);
        const double fee = fees_.fee(p1, h.q1, -sides_.d1 == 1) + fees_.fee(p2, h.q2, -sides_.d2 == 1);
        const double net = gross - h.entry_fees - fee;
        const double notional = h.n1 + h.n2;
        trades_.push_back(leg_record(next_id_, leg1_symbol_, h.entry_bar, i, h.e1, p1, h.q1, sides_.d1,
                                     leg1_.timestamps, net, h.entry_fees, fee, notional));
        trades_.push_back(leg_record(next_id_ + 1, leg2_symbol_, h.entry_bar, i, h.e2, p2, h.q2, sides_.d2,
                                     leg2_.timestamps, net, h.entry_fees, fee, notional));
        next_id_ += 2;
        cash_ += notional + gross - fee;
        open_ = false;
        exit_due_ = false;
    }

    // Half the cash to leg 1; leg 2 the fixed ratio's share of the other half, or the
    // estimated slope's multiple of leg 1's units.
    void open_pair(std::size_t i, double p1, double p2, bool fillable) {
        // The regression window ends at the bar that carried the signal.
        const std::size_t signal_bar = next_open_ ? i - 1 : i;
        const HedgeRatio beta = hedge_ratio_at(run_, leg1_.close, leg2_.close, signal_bar);
        const double half = 0.5 * cash_;
        const double q1 = half / p1;
        const double q2 = beta.per_unit ? beta.ratio * q1 : beta.ratio * half / p2;
        // A price that is not tradable, or a ratio or cash that is not finite, would hold
        // infinite or NaN units: the pair is not opened, and the signal is not carried to
        // a later bar. As with any entry, the signals still count it as open until the
        // next exit flag.
        if (!fillable || !std::isfinite(q1) || !std::isfinite(q2)) return;
        PairHolding& h = h_;
        h.entry_bar = i;
        h.e1 = p1;
        h.e2 = p2;
        h.q1 = q1;
        h.q2 = q2;
        h.n1 = p1 * q1;
        h.n2 = p2 * q2;
        h.entry_fees = fees_.fee(p1, q1, sides_.d1 == 1) + fees_.fee(p2, q2, sides_.d2 == 1);
        cash_ -= h.entry_fees + h.n1 + h.n2;
        open_ = true;
        // The marks' fallback when this bar closes on a gap.
        mark1_.see(p1);
        mark2_.see(p2);
    }

    double equity_at(std::size_t i) {
        const double c1 = mark1_.at(leg1_.close[i]);
        const double c2 = mark2_.at(leg2_.close[i]);
        if (!open_) return cash_;
        const PairHolding& h = h_;
        return cash_ + (h.n1 + h.n2 + leg_move(sides_.d1, c1, h.e1, h.q1) + leg_move(sides_.d2, c2, h.e2, h.q2));
    }

    // Still open after the last bar: reported as one record for the whole pair, valued
    // at the last tradable closes and not sold (no exit fees), leaving the cash and the
    // curves as they are; its pnl is the pair's part of the equity change.
    void record_open_at_end() {
        const PairHolding& h = h_;
        const std::size_t last = n_ - 1;
        const double c1 = *mark1_.last();
        const double c2 = *mark2_.last();
        const double gross = leg_gross(sides_, h, c1, c2);
        const double notional = h.n1 + h.n2;
        TradeRecord t;
        t.id = next_id_;
        t.symbol = signals_.symbol;
        t.entry_idx = h.entry_bar;
        t.exit_idx = last;
        t.entry_price = h.e1;
        t.exit_price = c1;
        t.size = h.q1 + h.q2;
        t.direction = sides_.d1;
        t.pnl = gross - h.entry_fees;
        t.return_pct = notional > 0.0 ? 100.0 * t.pnl / notional : 0.0;
        t.entry_time = leg1_.timestamps[h.entry_bar];
        t.exit_time = leg1_.timestamps[last];
        t.fees = h.entry_fees;
        t.entry_fees = h.entry_fees;
        t.exit_fees = 0.0;
        t.exit_reason = ExitReason::EndOfData;
        trades_.push_back(std::move(t));
    }

    const PairsRunConfig& run_;
    const BarSeries& leg1_;
    const BarSeries& leg2_;
    const SignalInput& signals_;
    const FeeModel fees_;
    const bool next_open_;
    const std::span<const double> fill1_;
    const std::span<const double> fill2_;
    const LegSides sides_;
    const std::string leg1_symbol_;
    const std::string leg2_symbol_;
    const std::size_t n_;
    own_loop::Curves curves_;
    std::vector<TradeRecord> trades_;
    double cash_;
    std::uint64_t next_id_ = 0;
    PairHolding h_;  // the open pair, valid while `open_`
    bool open_ = false;
    bool exit_due_ = false;  // an exit signalled on a bar where a leg had no tradable price
    LastTradable mark1_, mark2_;
};

}  // namespace

Result<RunOutput, OwnError> run(const PairsRunConfig& run, const BarSeries& leg1, const BarSeries& leg2,
                                const SignalInput& signals) {
    if (auto st = check_lengths(run, leg1, leg2, signals); !st.ok()) return err(std::move(st).error());
    PairsLoop loop(run, leg1, leg2, signals);
    loop.run();
    return std::move(loop).finish();
}

}  // namespace tarnwick::runners::pairs
