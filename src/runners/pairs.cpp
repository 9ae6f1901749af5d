#include "runners/pairs.h"

#include <cmath>
#include <utility>
#include <vector>

#include "base/format.h"
#include "domain/fees/fee_model.h"
#include "runners/column_lengths.h"
#include "runners/own_loop_metrics.h"
#include "runners/tradable_price.h"
#include "signals/processor.h"

namespace tarnwick::runners::pairs {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::check_index;
using base::err;
using domain::BacktestConfig;
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

// Round trips are the records taken two at a time (a last one alone: the pair still open
// at the end); a round trip wins when its records' pnl adds up above 0. Gross profit and
// loss are per record.
own_loop::TradeTally tally_round_trips(std::span<const TradeRecord> trades) noexcept {
    own_loop::TradeTally t;
    for (std::size_t i = 0; i < trades.size(); i += 2) {
        double sum = trades[i].pnl;
        if (i + 1 < trades.size()) sum += trades[i + 1].pnl;
        ++t.total;
        if (sum > 0.0) ++t.wins;
    }
    t.losses = t.total - t.wins;
    for (const TradeRecord& r : trades) {
        if (r.pnl > 0.0) t.gross_profit += r.pnl;
        else if (r.pnl < 0.0) t.gross_loss += -r.pnl;
    }
    return t;
}

}  // namespace

double hedge_ratio_at(const PairsRunConfig& run, std::span<const double> leg1_close,
                      std::span<const double> leg2_close, std::size_t signal_bar) {
    if (!run.dynamic_hedge || signal_bar < run.lookback) return run.hedge_ratio;
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
    if (std::abs(d) < kSingularDenominator) return run.hedge_ratio;
    const double beta = (m * sxy - sx * sy) / d;
    // Written with comparisons so that a NaN slope stays NaN.
    if (beta < kMinHedgeRatio) return kMinHedgeRatio;
    if (beta > kMaxHedgeRatio) return kMaxHedgeRatio;
    return beta;
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

Result<RunOutput, OwnError> run(const PairsRunConfig& run, const BarSeries& leg1, const BarSeries& leg2,
                                const SignalInput& signals) {
    if (auto st = check_lengths(run, leg1, leg2, signals); !st.ok()) return err(std::move(st).error());
    const std::size_t n = leg1.close.size();
    const BacktestConfig& cfg = run.config;
    const FeeModel fees = resolve_fee_model(cfg);
    // Only next-bar-open timing changes a run: signals act one bar later, at both opens.
    const bool next_open = cfg.effective_fill_timing() == FillTiming::NextBarOpen;
    const std::span<const double> fill1 = next_open ? leg1.open : leg1.close;
    const std::span<const double> fill2 = next_open ? leg2.open : leg2.close;
    const LegSides sides{signals.direction, static_cast<std::int8_t>(-signals.direction)};
    const std::string leg1_symbol = base::fmt::format("{}_LEG1", signals.symbol);
    const std::string leg2_symbol = base::fmt::format("{}_LEG2", signals.symbol);

    double cash = cfg.initial_capital;
    std::uint64_t next_id = 0;
    own_loop::Curves curves(n, cfg.initial_capital);
    std::vector<TradeRecord> trades;
    PairHolding h;  // the open pair, valid while `open`
    bool open = false;
    bool exit_due = false;  // an exit signalled on a bar where a leg had no tradable price
    LastTradable mark1, mark2;

    signals::processor::Stream processor;
    signals::processor::Flags pending;  // the previous bar's flags, under next-bar-open timing
    for (std::size_t i = 0; i < n; ++i) {
        const signals::processor::Flags now = processor.next(signals.entries[i] != 0, signals.exits[i] != 0);
        const signals::processor::Flags flags = next_open ? std::exchange(pending, now) : now;
        const double p1 = fill1[i];
        const double p2 = fill2[i];
        // The pair opens and closes as a whole: both legs need a tradable price.
        const bool fillable = is_tradable_price(p1) && is_tradable_price(p2);

        exit_due = open && (exit_due || flags.exit);
        if (exit_due && fillable) {
            const double gross = leg_gross(sides, h, p1, p2);
            const double fee = fees.fee(p1, h.q1, -sides.d1 == 1) + fees.fee(p2, h.q2, -sides.d2 == 1);
            const double net = gross - h.entry_fees - fee;
            const double notional = h.n1 + h.n2;
            trades.push_back(leg_record(next_id, leg1_symbol, h.entry_bar, i, h.e1, p1, h.q1, sides.d1,
                                        leg1.timestamps, net, h.entry_fees, fee, notional));
            trades.push_back(leg_record(next_id + 1, leg2_symbol, h.entry_bar, i, h.e2, p2, h.q2, sides.d2,
                                        leg2.timestamps, net, h.entry_fees, fee, notional));
            next_id += 2;
            cash += notional + gross - fee;
            open = false;
            exit_due = false;
        }
        if (flags.entry && !open) {
            // The regression window ends at the bar that carried the signal.
            const std::size_t signal_bar = next_open ? i - 1 : i;
            const double beta = hedge_ratio_at(run, leg1.close, leg2.close, signal_bar);
            const double half = 0.5 * cash;
            const double q1 = half / p1;
            const double q2 = beta * half / p2;
            // A price that is not tradable, or a ratio or cash that is not finite, would hold
            // infinite or NaN units: the pair is not opened, and the signal is not carried to
            // a later bar. As with any entry, the signals still count it as open until the
            // next exit flag.
            if (fillable && std::isfinite(q1) && std::isfinite(q2)) {
                h.entry_bar = i;
                h.e1 = p1;
                h.e2 = p2;
                h.q1 = q1;
                h.q2 = q2;
                h.n1 = p1 * q1;
                h.n2 = p2 * q2;
                h.entry_fees = fees.fee(p1, q1, sides.d1 == 1) + fees.fee(p2, q2, sides.d2 == 1);
                cash -= h.entry_fees + h.n1 + h.n2;
                open = true;
                // The marks' fallback when this bar closes on a gap.
                mark1.see(p1);
                mark2.see(p2);
            }
        }
        const double c1 = mark1.at(leg1.close[i]);
        const double c2 = mark2.at(leg2.close[i]);
        double equity = cash;
        if (open) equity = cash + (h.n1 + h.n2 + leg_move(sides.d1, c1, h.e1, h.q1) + leg_move(sides.d2, c2, h.e2, h.q2));
        curves.mark(i, equity);
    }

    if (open) {
        // Still open after the last bar: reported as one record for the whole pair, valued
        // at the last tradable closes and not sold (no exit fees), leaving the cash and the
        // curves as they are; its pnl is the pair's part of the equity change.
        const std::size_t last = n - 1;
        const double c1 = *mark1.last();
        const double c2 = *mark2.last();
        const double gross = leg_gross(sides, h, c1, c2);
        const double notional = h.n1 + h.n2;
        TradeRecord t;
        t.id = next_id;
        t.symbol = signals.symbol;
        t.entry_idx = h.entry_bar;
        t.exit_idx = last;
        t.entry_price = h.e1;
        t.exit_price = c1;
        t.size = h.q1 + h.q2;
        t.direction = sides.d1;
        t.pnl = gross - h.entry_fees;
        t.return_pct = notional > 0.0 ? 100.0 * t.pnl / notional : 0.0;
        t.entry_time = leg1.timestamps[h.entry_bar];
        t.exit_time = leg1.timestamps[last];
        t.fees = h.entry_fees;
        t.entry_fees = h.entry_fees;
        t.exit_fees = 0.0;
        t.exit_reason = ExitReason::EndOfData;
        trades.push_back(std::move(t));
    }

    const own_loop::TradeTally tally = tally_round_trips(trades);
    return own_loop::finish(cfg, std::move(curves), leg1.timestamps, std::move(trades), tally);
}

}  // namespace tarnwick::runners::pairs
