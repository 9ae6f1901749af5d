#include "runners/options.h"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "base/format.h"
#include "base/saturate.h"
#include "base/text.h"
#include "runners/column_lengths.h"
#include "runners/own_loop_curves.h"
#include "runners/tradable_price.h"
#include "signals/processor.h"

namespace tarnwick::runners::options {

using base::OwnError;
using base::Result;
using base::Status;
using base::ascii_lower;
using base::err;
using base::sat_cast_u64;
using domain::BacktestConfig;
using domain::CostSegment;
using domain::ExitReason;
using domain::FeeBreakdown;
using domain::FillCharge;
using domain::FillTiming;
using domain::OptionRight;
using domain::TradeRecord;
using domain::is_tradable_price;
using domain::parse_option_right;
using domain::resolve_fee_model;
using domain::segment_fill_charges;
using engine::RunOutput;

namespace {

struct StrikeName {
    std::string_view text;
    StrikeSelection value;
};

constexpr StrikeName kStrikes[] = {
    {"atm", {StrikeSelection::Kind::Atm, 0}},  {"itm1", {StrikeSelection::Kind::Itm, 1}},
    {"itm2", {StrikeSelection::Kind::Itm, 2}}, {"otm1", {StrikeSelection::Kind::Otm, 1}},
    {"otm2", {StrikeSelection::Kind::Otm, 2}},
};

// The open position: whole contracts bought at one bar's premium.
struct Holding {
    std::uint64_t contracts = 0;
    double units = 0.0;  // contracts x lot size
    std::size_t entry_bar = 0;
    double premium = 0.0;
    double fees = 0.0;
    std::optional<FeeBreakdown> breakdown;
};

// The account of one run: its cash and the holding it has open. A short position
// receives the premium at its entry and pays it back at its exit. (The closed trades are
// kept by the caller: the book's own fields then stay where the loop can keep them.)
class Book {
public:
    Book(const OptionsRunConfig& run, const SignalInput& signals, std::span<const std::int64_t> timestamps)
        : run_(run), signals_(signals), timestamps_(timestamps), cash_(run.config.initial_capital) {}

    bool holding() const noexcept { return open_.has_value(); }
    // Cash plus the holding marked at `premium`.
    double equity(double premium) const noexcept { return open_ ? cash_ + d() * premium * open_->units : cash_; }
    double cash() const noexcept { return cash_; }

    // Buys on bar i as many whole contracts as the size rule gives at `premium`; false when
    // that is none.
    bool open(std::size_t i, double premium) {
        const std::uint64_t contracts = run_.size.contracts(cash_, premium, run_.lot_size);
        if (contracts == 0) return false;
        const FillCharge entry = leg_costs(run_, contracts, signals_.direction, true, premium);
        Holding h;
        h.contracts = contracts;
        h.units = static_cast<double>(contracts) * static_cast<double>(run_.lot_size);
        h.entry_bar = i;
        h.premium = premium;
        h.fees = entry.total;
        h.breakdown = entry.breakdown;
        cash_ -= d() * premium * h.units + entry.total;
        open_ = h;
        return true;
    }

    // Closes the holding on bar i at `premium`; its trade.
    TradeRecord close(std::size_t i, double premium, ExitReason reason) {
        const FillCharge exit = leg_costs(run_, open_->contracts, signals_.direction, false, premium);
        cash_ += d() * premium * open_->units - exit.total;
        TradeRecord t = record(i, premium, exit, reason);
        open_.reset();
        return t;
    }

private:
    double d() const noexcept { return static_cast<double>(signals_.direction); }

    TradeRecord record(std::size_t exit_bar, double exit_premium, const FillCharge& exit, ExitReason reason) {
        const Holding& h = *open_;
        TradeRecord t;
        t.id = next_id_++;
        t.symbol = signals_.symbol;
        t.entry_idx = h.entry_bar;
        t.exit_idx = exit_bar;
        t.entry_price = h.premium;
        t.exit_price = exit_premium;
        t.size = h.units;
        t.direction = signals_.direction;
        t.pnl = d() * (exit_premium - h.premium) * h.units - (h.fees + exit.total);
        const double cost = h.premium * h.units;
        t.return_pct = cost > 0.0 ? t.pnl / cost * 100.0 : 0.0;
        t.entry_time = timestamps_[h.entry_bar];
        t.exit_time = timestamps_[exit_bar];
        t.fees = h.fees + exit.total;
        t.entry_fees = h.fees;
        t.exit_fees = exit.total;
        if (h.breakdown && exit.breakdown) {
            t.fee_breakdown = *h.breakdown + *exit.breakdown;
        } else if (h.breakdown) {
            t.fee_breakdown = h.breakdown;
        } else {
            t.fee_breakdown = exit.breakdown;
        }
        t.exit_reason = reason;
        return t;
    }

    const OptionsRunConfig& run_;
    const SignalInput& signals_;
    std::span<const std::int64_t> timestamps_;
    double cash_;
    std::optional<Holding> open_;
    std::uint64_t next_id_ = 0;
};

}  // namespace

Result<OptionRight, OwnError> parse_option_type(std::string_view text) {
    const std::string lower = ascii_lower(text);
    auto right = parse_option_right(lower);
    if (!right.ok()) {
        return err(OwnError{base::fmt::format("unknown option_type {}; expected call/ce/c or put/pe/p", lower)});
    }
    return right.value();
}

Result<StrikeSelection, OwnError> parse_strike_selection(std::string_view text) {
    const std::string lower = ascii_lower(text);
    for (const StrikeName& s : kStrikes) {
        if (lower == s.text) return s.value;
    }
    return err(
        OwnError{base::fmt::format("unknown strike_selection {}; expected atm, otm1, otm2, itm1 or itm2", lower)});
}

std::string_view name(StrikeSelection s) noexcept {
    for (const StrikeName& n : kStrikes) {
        if (n.value.kind == s.kind && n.value.level == s.level) return n.text;
    }
    return "atm";
}

std::string_view name(SizeKind kind) noexcept {
    switch (kind) {
        case SizeKind::Contracts: return "contracts";
        case SizeKind::Percent: return "percent";
        case SizeKind::Notional: return "notional";
        case SizeKind::Risk: return "risk";
    }
    return "percent";
}

Result<SizeType, OwnError> parse_size_type(std::string_view text, double size_value) {
    const std::string lower = ascii_lower(text);
    for (const SizeKind kind : {SizeKind::Percent, SizeKind::Contracts, SizeKind::Notional, SizeKind::Risk}) {
        if (lower != name(kind)) continue;
        SizeType s;
        s.kind = kind;
        s.value = size_value;
        if (kind == SizeKind::Contracts) s.count = sat_cast_u64(size_value);
        return s;
    }
    return err(
        OwnError{base::fmt::format("unknown size_type {}; expected percent, contracts, notional or risk", lower)});
}

std::uint64_t SizeType::contracts(double cash, double premium, std::uint64_t lot_size) const noexcept {
    const double unit_cost = premium * static_cast<double>(lot_size);
    switch (kind) {
        case SizeKind::Contracts: return count;
        case SizeKind::Percent:
        case SizeKind::Risk: return sat_cast_u64(cash * value / unit_cost);
        case SizeKind::Notional: return sat_cast_u64(value / unit_cost);
    }
    return 0;
}

OptionsRunConfig attach_fee_model(OptionsRunConfig run) {
    run.fee_model = resolve_fee_model(run.config);
    return run;
}

FillCharge leg_costs(const OptionsRunConfig& run, std::uint64_t contracts, std::int8_t direction, bool entering,
                     double premium) noexcept {
    const double units = static_cast<double>(contracts) * static_cast<double>(run.lot_size);
    const std::optional<CostSegment> segment = run.fee_model.cost_segment();
    if (!segment) return {run.fee_model.fee(premium, units, direction == 1), std::nullopt};
    const bool is_buy = (direction == 1) == entering;
    const FeeBreakdown lines = segment_fill_charges(*segment, std::fabs(premium * units), is_buy);
    return {lines.total(), lines};
}

Status<OwnError> check_lengths(const BarSeries& bars, std::span<const double> option_prices,
                               std::optional<std::span<const double>> option_open_prices,
                               const SignalInput& signals) {
    const std::size_t n = option_prices.size();
    if (bars.close.size() != n) {
        return err(OwnError{base::fmt::format(
            "OHLCV and option prices must have same length: close {}, option_prices {}", bars.close.size(), n)});
    }
    if (signals.entries.size() != n) {
        return err(
            OwnError{base::fmt::format("option prices and signals must have same length: option_prices {}, entries {}",
                                       n, signals.entries.size())});
    }
    if (option_open_prices && option_open_prices->size() != n) {
        return err(OwnError{base::fmt::format(
            "option_open_prices must match the premium series: option_open_prices {}, option_prices {}",
            option_open_prices->size(), n)});
    }
    if (auto st = signals::processor::check_lengths(signals.entries.size(), signals.exits.size()); !st.ok()) {
        return err(std::move(st).error());
    }
    return covers("timestamps", bars.timestamps.size(), "option_prices", n);
}

Result<RunOutput, OwnError> run(const OptionsRunConfig& run, const BarSeries& bars,
                                std::span<const double> option_prices,
                                std::optional<std::span<const double>> option_open_prices,
                                const SignalInput& signals) {
    if (auto st = check_lengths(bars, option_prices, option_open_prices, signals); !st.ok()) {
        return err(std::move(st).error());
    }
    const std::size_t n = option_prices.size();
    const BacktestConfig& cfg = run.config;
    // Only next-bar-open timing changes a run: the effective signals act one bar later,
    // at the bar's opening premium when one is given.
    const bool next_open = cfg.effective_fill_timing() == FillTiming::NextBarOpen;
    const std::span<const double> fill_prices = next_open && option_open_prices ? *option_open_prices : option_prices;

    Book book(run, signals, bars.timestamps);
    std::vector<TradeRecord> trades;
    own_loop::Curves curves(n, cfg.initial_capital);
    bool exit_due = false;  // an exit signalled on a bar without a tradable premium
    LastTradable mark;
    signals::processor::Stream processor;
    signals::processor::Flags pending;  // the previous bar's flags, under next-bar-open timing
    for (std::size_t i = 0; i < n; ++i) {
        const signals::processor::Flags now = processor.next(signals.entries[i] != 0, signals.exits[i] != 0);
        const signals::processor::Flags flags = next_open ? std::exchange(pending, now) : now;
        const double fill = fill_prices[i];

        exit_due = book.holding() && (exit_due || flags.exit);
        if (exit_due && is_tradable_price(fill)) {
            trades.push_back(book.close(i, fill, ExitReason::Signal));
            exit_due = false;
        }
        // A premium that is not tradable buys nothing, and the signal is not carried to a
        // later bar; nor does a count of 0 buy anything. The processor still counts the
        // position as open, so later entries wait for an exit. The mark falls back on the
        // fill when this bar closes on a gap.
        if (flags.entry && !book.holding() && is_tradable_price(fill) && book.open(i, fill)) mark.see(fill);
        curves.mark(i, book.equity(mark.at(option_prices[i])));
    }

    if (book.holding()) {
        // Settled at the last closing premium whatever the timing (the last tradable one
        // when the series ends in a gap); the last sample then shows the cash it leaves.
        const std::size_t last = n - 1;
        trades.push_back(book.close(last, mark.at(option_prices[last]), ExitReason::EndOfData));
        curves.restate_last(book.cash());
    }

    const metrics::TradeTally tally = metrics::tally_per_record(trades);
    return own_loop::finish(cfg, std::move(curves), bars.timestamps, std::move(trades), tally);
}

}  // namespace tarnwick::runners::options
