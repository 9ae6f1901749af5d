#include "runners/portfolio.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <queue>
#include <utility>
#include <vector>

#include "base/format.h"
#include "domain/capital.h"
#include "engine/core_session.h"
#include "engine/kernel.h"
#include "engine/result_assembly.h"
#include "metrics/metrics.h"
#include "runners/tradable_price.h"
#include "signals/processor.h"

namespace tarnwick::runners::portfolio {

using base::Curve;
using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;
using domain::BacktestConfig;
using domain::BarSignal;
using domain::FillTiming;
using domain::InstrumentConfig;
using domain::OhlcvBar;
using domain::TradeRecord;
using domain::is_dust_capital;
using domain::is_tradable_price;
using engine::Kernel;
using engine::KernelEvent;
using engine::KernelEventKind;
using engine::PriceSource;
using engine::drawdown_pct;
using engine::reference_price;
using metrics::BacktestMetrics;

Result<Allocation, OwnError> parse_allocation(std::string_view text) {
    if (text == "equal_weight") return Allocation::EqualWeight;
    if (text == "full") return Allocation::Full;
    return err(OwnError{base::fmt::format("unknown allocation '{}'; expected 'equal_weight' or 'full'", text)});
}

std::string_view name(Allocation a) noexcept {
    switch (a) {
        case Allocation::EqualWeight: return "equal_weight";
        case Allocation::Full: return "full";
    }
    return "equal_weight";
}

namespace {

using single::BarSeries;

struct Book {
    std::optional<InstrumentConfig> overrides;
    // The bars the effective signals are stepped on: entries at even positions, exits at
    // odd ones. Under next-bar-open timing an entry is listed on the bar it fills on and
    // an exit on its own bar (its kernel parks it for the next open), so an entry and the
    // exit that follows it may share a bar.
    std::vector<std::size_t> signal_bars;
    std::vector<double> atr;                   // empty when no rule needs one
    std::uint64_t trades = 0;
    double pnl = 0.0;
    std::uint64_t rejected = 0;
    bool exit_due = false;  // an effective exit met on a bar without a tradable fill price
    LastTradable mark;      // the close the book is valued at across gaps
    std::size_t closes_seen = 0;  // the mark has seen every close before this bar

    // Between its signals a held, quiet kernel only widens its position's extremes and is
    // marked; both are caught up in stretches, so such bars cost nothing one by one.
    bool holding = false;     // the kernel holds a position (as of its last step)
    bool dense = false;       // holding, and stepped on every bar: not quiet, or an exit waits
    std::size_t widened = 0;  // the bars before this one have widened the extremes
    std::size_t valued = 0;   // the held bars before this one are in the value buffer
    std::vector<std::pair<std::size_t, std::size_t>> spans;  // valued, not yet summed: [from, to)

    double atr_at(std::size_t t) const noexcept { return t < atr.size() ? atr[t] : 0.0; }
};

Status<OwnError> check_inputs(std::span<const InstrumentSeries> instruments) {
    if (instruments.empty()) return err(OwnError{"run_portfolio_backtest requires at least one instrument"});
    const std::size_t n = instruments.front().bars.bars();
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        const std::size_t len = instruments[i].bars.bars();
        if (len != n) {
            return err(OwnError{base::fmt::format(
                "all instruments must have the same number of bars; instrument {} has {}, expected {}", i, len, n)});
        }
    }
    return Unit{};
}

OhlcvBar bar_of(const BarSeries& bars, std::size_t t) {
    return OhlcvBar{bars.timestamps[t], bars.open[t], bars.high[t], bars.low[t], bars.close[t], bars.volume[t]};
}

// One instrument's effective signals on one bar.
struct SignalEvent {
    std::size_t bar = 0;
    std::size_t instrument = 0;
    bool entry = false;
    bool exit = false;
};

// Every effective signal of the run, by bar and, within a bar, in list order: the only
// bars on which a quiet book can change. The instruments' lists are merged through a
// small heap of their next signal bars.
std::vector<SignalEvent> signal_events(std::span<const Book> books) {
    using Next = std::pair<std::size_t, std::size_t>;  // (bar, instrument)
    std::priority_queue<Next, std::vector<Next>, std::greater<>> heap;
    std::vector<std::size_t> cursor(books.size(), 0);
    std::size_t total = 0;
    for (std::size_t i = 0; i < books.size(); ++i) {
        if (!books[i].signal_bars.empty()) heap.emplace(books[i].signal_bars.front(), i);
        total += books[i].signal_bars.size();
    }
    std::vector<SignalEvent> events;
    events.reserve(total);
    while (!heap.empty()) {
        const auto [t, i] = heap.top();
        heap.pop();
        const bool entry = cursor[i] % 2 == 0;
        SignalEvent ev{t, i, entry, !entry};
        const std::vector<std::size_t>& bars = books[i].signal_bars;
        ++cursor[i];
        if (entry && cursor[i] < bars.size() && bars[cursor[i]] == t) {
            ev.exit = true;  // the exit signalled on the bar its entry fills on
            ++cursor[i];
        }
        events.push_back(ev);
        if (cursor[i] < bars.size()) heap.emplace(bars[cursor[i]], i);
    }
    return events;
}

// The bar loop over one shared pool. Bars are taken in chunks; inside a chunk only the
// bars with a signal (and every bar while some book is dense) are stepped. The books'
// marked values are gathered per instrument in a buffer and summed into the equity
// curve at the end of a chunk, instrument after instrument, which adds them to each
// bar's pool in list order as a bar-by-bar walk does.
class SharedPool {
public:
    SharedPool(const BacktestConfig& config, Allocation allocation, std::span<const InstrumentSeries> instruments,
               std::span<Book> books, std::span<Kernel> kernels, PriceSource price_source)
        : config_(config),
          at_next_open_(config.effective_fill_timing() == FillTiming::NextBarOpen),
          allocation_(allocation),
          instruments_(instruments),
          books_(books),
          kernels_(kernels),
          price_source_(price_source),
          n_(instruments.front().bars.bars()),
          k_(instruments.size()),
          cap_(config.max_positions.value_or(0)),  // 0 is no cap, as in the kernel configuration
          kill_switch_(config.max_drawdown_pct && *config.max_drawdown_pct > 0.0),
          // Chunks short enough that the value buffer (a chunk per instrument) stays near a
          // megabyte, long enough that each held book is caught up in long runs.
          chunk_(std::max<std::size_t>(64, std::min<std::size_t>(4096, (std::size_t{1} << 17) / k_))),
          pool_(config.initial_capital),
          peak_(config.initial_capital),
          values_(k_ * chunk_) {
        equity_.resize(n_);
        returns_.resize(n_);
        drawdown_.resize(n_);
    }

    void run() {
        events_ = signal_events(books_);
        for (std::size_t base = 0; base < n_; base += chunk_) {
            base_ = base;
            const std::size_t end = std::min(n_, base + chunk_);
            std::size_t t = base;
            while (t < end) {
                std::size_t e = end;
                if (dense_ > 0) {
                    e = t;
                } else if (next_event_ < events_.size()) {
                    e = std::min(end, events_[next_event_].bar);
                }
                if (e > t) quiet_bars(t, e);
                if (e == end) break;
                step_bar(e);
                t = e + 1;
            }
            settle_marks(end);
        }
        if (n_ > 0) close_at_end();
    }

    PortfolioResult finish(std::vector<std::string_view> symbols) && {
        const BacktestMetrics metrics = metrics::compute_metrics(
            equity_, drawdown_, returns_, instruments_.front().bars.timestamps.first(n_), trades_, config_);
        PortfolioResult out;
        out.per_instrument.reserve(k_);
        for (std::size_t i = 0; i < k_; ++i) {
            out.per_instrument.push_back(
                {std::string(symbols[i]), books_[i].trades, books_[i].pnl, books_[i].rejected});
        }
        out.result = engine::assembly::build_backtest_result(metrics, std::move(equity_), std::move(drawdown_),
                                                             std::move(returns_), std::move(trades_), {});
        out.rejected_entries = rejected_total_;
        out.halted = halted_;
        out.halted_at = halted_at_;
        return out;
    }

private:
    // Bars without a signal and without a dense book: every held kernel would be stepped
    // quietly and hand back its zero cash, the pool's only change.
    void quiet_bars(std::size_t from, std::size_t to) {
        if (open_ > 0) pool_ += 0.0;
        std::fill(equity_.begin() + static_cast<std::ptrdiff_t>(from), equity_.begin() + static_cast<std::ptrdiff_t>(to),
                  pool_);
    }

    void step_bar(std::size_t t) {
        // This bar's signals, and the bars of the next few asked for ahead of their steps.
        std::size_t last = next_event_;
        while (last < events_.size() && events_[last].bar == t) ++last;
        const std::span<const SignalEvent> here(events_.data() + next_event_, last - next_event_);
        const std::size_t ahead = std::min(events_.size(), last + kPrefetchAhead);
        for (std::size_t j = std::max(last, prefetched_); j < ahead; ++j) {
            instruments_[events_[j].instrument].bars.prefetch(events_[j].bar);
        }
        prefetched_ = std::max(prefetched_, ahead);
        next_event_ = last;
        exit_pass(t, here);
        entry_pass(t, here);
        equity_[t] = pool_;  // the books' marks are added when the chunk is settled
    }

    // The price a signal fill of instrument i takes on bar t; a bar without a tradable one
    // takes no signal fill: the entry is dropped, the exit waits for the next bar.
    double signal_fill_price(std::size_t i, std::size_t t, bool opening) const {
        return reference_price(price_source_, bar_of(instruments_[i].bars, t), instruments_[i].signals.direction,
                               opening);
    }

    // Steps the held books that can change on bar t: those with an exit signal, and every
    // dense one. The others would hand back zero cash from a quiet step; adding 0.0 to the
    // pool once stands for all of them (it only turns a -0.0 pool into 0.0, wherever it
    // falls among the additions, and the pool is not read in between).
    void exit_pass(std::size_t t, std::span<const SignalEvent> here) {
        std::uint64_t stepped = 0;
        const std::uint64_t held = open_;
        if (dense_ > 0) {
            // Every held book in list order, this bar's signals (in list order too) alongside.
            const SignalEvent* ev = here.data();
            const SignalEvent* const end = ev + here.size();
            for (std::size_t i = 0; i < k_; ++i) {
                while (ev != end && ev->instrument < i) ++ev;
                const bool exit_signal = ev != end && ev->instrument == i && ev->exit;
                Book& b = books_[i];
                if (!b.holding || (!b.dense && !exit_signal)) continue;
                step_held(i, t, exit_signal);
                ++stepped;
            }
        } else {
            for (const SignalEvent& ev : here) {
                if (!ev.exit || !books_[ev.instrument].holding) continue;
                step_held(ev.instrument, t, true);
                ++stepped;
            }
        }
        if (stepped < held) pool_ += 0.0;
    }

    void step_held(std::size_t i, std::size_t t, bool exit_signal) {
        Book& b = books_[i];
        Kernel& kernel = kernels_[i];
        catch_up(i, t);
        BarSignal sig;
        if (at_next_open_) {
            // Parked for the next open, where the kernel also waits out a gap itself.
            sig.exit = exit_signal;
        } else {
            b.exit_due = b.exit_due || exit_signal;
            sig.exit = b.exit_due && is_tradable_price(signal_fill_price(i, t, false));
        }
        sig.atr = b.atr_at(t);
        kernel.set_cash(0.0);
        for (const KernelEvent& e : kernel.step(static_cast<std::uint64_t>(t), bar_of(instruments_[i].bars, t), sig,
                                                false)) {
            if (e.kind == KernelEventKind::Exited && e.trade) book_trade(b, TradeRecord(*e.trade));
        }
        settle(kernel);
        b.widened = t + 1;
        if (!kernel.in_position()) {
            b.exit_due = false;
            b.holding = false;
            --open_;
        }
        set_dense(b, b.holding && (b.exit_due || !kernel.quiet()));
    }

    void entry_pass(std::size_t t, std::span<const SignalEvent> here) {
        const auto idx = static_cast<std::uint64_t>(t);
        std::uint64_t open = open_;
        for (const SignalEvent& ev : here) {
            const std::size_t i = ev.instrument;
            Book& b = books_[i];
            if (b.holding || !ev.entry) continue;
            // The kill-switch reads the curves up to the bar before.
            if (kill_switch_ && !halted_ && summed_ < t) settle_marks(t);
            if (halted_ || (cap_ > 0 && open >= cap_)) {
                ++b.rejected;
                ++rejected_total_;
                continue;
            }
            const double fill_price = signal_fill_price(i, t, true);
            if (!is_tradable_price(fill_price)) continue;
            double allotment = pool_;
            if (allocation_ == Allocation::EqualWeight) {
                const std::uint64_t slots = cap_ > 0 ? cap_ : static_cast<std::uint64_t>(k_);
                if (slots <= open) continue;
                allotment = pool_ / static_cast<double>(slots - open);
            }
            // Nothing, or the rounding residue of an entry that took the whole pool: the
            // kernel would size nothing from it either, so the entry is skipped as one
            // offered no money at all.
            if (!(allotment > 0.0) || is_dust_capital(allotment, config_.initial_capital)) continue;
            Kernel& kernel = kernels_[i];
            if (at_next_open_) park_entry(i, t);
            BarSignal sig;
            sig.entry = !at_next_open_;
            sig.exit = ev.exit;  // only at the next open: an exit of the bar it fills on, parked
            sig.atr = b.atr_at(t);
            kernel.set_cash(allotment);
            bool entered = false;
            // At the next open the entry's stop and target see the rest of its bar, and may
            // close it there.
            for (const KernelEvent& e : kernel.step(idx, bar_of(instruments_[i].bars, t), sig, false)) {
                if (e.kind == KernelEventKind::Entered) entered = true;
                if (e.kind == KernelEventKind::Exited && e.trade) book_trade(b, TradeRecord(*e.trade));
            }
            pool_ -= allotment - kernel.cash();
            kernel.set_cash(0.0);
            if (entered) {
                ++open;
                mark_from_closes(i, t, fill_price);
            }
            if (kernel.in_position()) {
                b.holding = true;
                ++open_;
                b.widened = t + 1;  // the entry bar does not widen a position opened on it
                b.valued = t;
                set_dense(b, !kernel.quiet());
            }
        }
    }

    // A kernel under next-bar-open timing takes an entry on its signal bar and fills it at
    // the next bar's open. The pool lends the cash only on the fill bar, once the gates
    // have passed, so the signal bar's step is taken then, just before the fill bar's:
    // for a flat kernel it only parks the entry, with the signal bar's ATR that the
    // levels are set from.
    void park_entry(std::size_t i, std::size_t t) {
        BarSignal sig;
        sig.entry = true;
        sig.atr = books_[i].atr_at(t - 1);
        (void)kernels_[i].step(static_cast<std::uint64_t>(t - 1), bar_of(instruments_[i].bars, t - 1), sig, false);
    }

    // A new position is marked, across gaps, at the instrument's last tradable close, as a
    // kernel stepped on every bar marks its own; before any, at the price it opened at.
    // The flat bars since the mark last saw a close are looked at from the latest back.
    void mark_from_closes(std::size_t i, std::size_t t, double fill_price) {
        Book& b = books_[i];
        const std::span<const double> close = instruments_[i].bars.close;
        for (std::size_t j = t + 1; j-- > b.closes_seen;) {
            if (is_tradable_price(close[j])) {
                b.mark.see(close[j]);
                break;
            }
        }
        b.closes_seen = t + 1;
        if (!b.mark.last()) b.mark.see(fill_price);
    }

    void set_dense(Book& b, bool dense) noexcept {
        if (b.dense != dense) dense ? ++dense_ : --dense_;
        b.dense = dense;
    }

    void book_trade(Book& b, TradeRecord&& trade) {
        ++b.trades;
        b.pnl += trade.pnl;
        trades_.push_back(std::move(trade));
    }

    // Takes back whatever the kernel holds after a step: proceeds of a close, the unspent
    // part of a loan.
    void settle(Kernel& kernel) {
        pool_ += kernel.cash();
        kernel.set_cash(0.0);
    }

    // Brings a held book up to bar `to` (exclusive): the quiet bars it was not stepped on
    // widen its extremes, and its value at each held bar's close goes to the buffer.
    void catch_up(std::size_t i, std::size_t to) {
        Book& b = books_[i];
        if (b.valued >= to) return;
        const BarSeries& bars = instruments_[i].bars;
        double* const values = values_.data() + i * chunk_;
        // The bar last stepped is valued from its mark.
        if (b.valued < b.widened) value_exactly(i, b.valued, std::min(b.widened, to));
        if (b.widened < to) {
            const std::size_t from = b.widened;
            const std::size_t m = to - from;
            double* const out = values + (from - base_);
            // The quiet step writes the kernel's equity at each close, its zero cash plus
            // the book's value there; that is the value itself bit for bit unless the value
            // is -0.0, and the close is the mark unless it is a gap.
            kernels_[i].step_quiet(bars.high.subspan(from, m), bars.low.subspan(from, m),
                                   bars.close.subspan(from, m), b.atr_at(to - 1), out);
            b.widened = to;
            if (marks_are_closes(bars.close.subspan(from, m), out)) {
                b.mark.see(bars.close[to - 1]);
            } else {
                value_exactly(i, from, to);
            }
        }
        b.spans.emplace_back(b.valued, to);
        b.valued = to;
        b.closes_seen = to;
    }

    // The book's value at its mark on each bar of [from, to), into the buffer.
    void value_exactly(std::size_t i, std::size_t from, std::size_t to) {
        Book& b = books_[i];
        double* const out = values_.data() + i * chunk_ + (from - base_);
        b.mark.at_each(instruments_[i].bars.close.subspan(from, to - from), out);
        for (std::size_t j = 0; j < to - from; ++j) out[j] = kernels_[i].marked_value(out[j]);
    }

    // Whether every close is tradable (so the mark) and every value other than zero.
    static bool marks_are_closes(std::span<const double> closes, const double* values) noexcept {
        bool nonzero = true;
        for (std::size_t j = 0; j < closes.size(); ++j) nonzero &= values[j] != 0.0;
        return nonzero && domain::all_tradable(closes);
    }

    // Completes the curves up to bar `to` (exclusive): every held book caught up, the
    // values added to the pool of each bar in list order, then drawdown, returns and the
    // kill-switch bar by bar.
    void settle_marks(std::size_t to) {
        for (std::size_t i = 0; i < k_; ++i) {
            if (books_[i].holding) catch_up(i, to);
        }
        for (std::size_t i = 0; i < k_; ++i) {
            const double* values = values_.data() + i * chunk_;
            for (const auto& [from, until] : books_[i].spans) {
                for (std::size_t t = from; t < until; ++t) equity_[t] += values[t - base_];
            }
            books_[i].spans.clear();
        }
        for (std::size_t t = summed_; t < to; ++t) {
            const double eq = equity_[t];
            peak_ = std::max(peak_, eq);  // a NaN equity keeps the peak
            drawdown_[t] = drawdown_pct(peak_, eq);
            returns_[t] = t > 0 && equity_[t - 1] != 0.0 ? engine::period_return(equity_[t - 1], eq) : 0.0;
            if (!halted_ && kill_switch_ && peak_ > 0.0 && drawdown_[t] >= *config_.max_drawdown_pct) {
                halted_ = true;
                halted_at_ = static_cast<std::uint64_t>(t);
            }
        }
        summed_ = to;
    }

    // Every position still open is closed at its last tradable close; the last equity
    // point becomes the pool.
    void close_at_end() {
        for (std::size_t i = 0; i < k_; ++i) {
            Kernel& kernel = kernels_[i];
            if (!kernel.in_position()) continue;
            const BarSeries& bars = instruments_[i].bars;
            kernel.set_cash(0.0);
            const double last = books_[i].mark.at(bars.close[n_ - 1]);
            for (TradeRecord& trade : kernel.force_close_all(n_ - 1, bars.timestamps[n_ - 1], last)) {
                book_trade(books_[i], std::move(trade));
            }
            settle(kernel);
        }
        equity_[n_ - 1] = pool_;
    }

    const BacktestConfig& config_;
    const bool at_next_open_;
    const Allocation allocation_;
    const std::span<const InstrumentSeries> instruments_;
    const std::span<Book> books_;
    const std::span<Kernel> kernels_;
    const PriceSource price_source_;
    const std::size_t n_;
    const std::size_t k_;
    const std::uint64_t cap_;
    const bool kill_switch_;
    const std::size_t chunk_;  // bars per chunk; the value buffer holds one chunk per instrument
    static constexpr std::size_t kPrefetchAhead = 4;

    double pool_;
    double peak_;
    std::uint64_t open_ = 0;   // books holding a position
    std::size_t dense_ = 0;    // books stepped on every bar
    bool halted_ = false;
    std::optional<std::uint64_t> halted_at_;
    std::uint64_t rejected_total_ = 0;
    std::size_t base_ = 0;     // first bar of the current chunk
    std::size_t summed_ = 0;   // the curves are complete before this bar
    std::vector<SignalEvent> events_;
    std::size_t next_event_ = 0;  // the first event not yet stepped
    std::size_t prefetched_ = 0;  // the events before this one have had their bars asked for
    std::vector<double> values_;
    Curve equity_;
    Curve returns_;
    Curve drawdown_;
    std::vector<TradeRecord> trades_;
};

// Every instrument's book (its overrides, its effective signal bars, its ATR series) and
// its kernel, in list order.
struct Books {
    std::vector<Book> books;
    std::vector<Kernel> kernels;
    std::vector<std::string_view> symbols;
};

// The kernels are configured as the single driver configures one. Under next-bar-open
// timing an entry is listed on the bar it fills on, where the pool lends the cash and the
// gates apply; an exit on its own bar, where its kernel parks it. A kernel holding a
// parked exit, or one waiting for a tradable price, is not quiet: it is stepped on every
// bar until it is flat.
Result<Books, OwnError> prepare_books(const PortfolioRunConfig& run, const single::SingleRunConfig& resolved,
                                      std::span<const InstrumentSeries> instruments) {
    const BacktestConfig& config = run.config;
    const std::size_t n = instruments.front().bars.bars();
    const std::size_t k = instruments.size();
    const bool at_next_open = config.effective_fill_timing() == FillTiming::NextBarOpen;

    Books out;
    out.books.resize(k);
    out.kernels.reserve(k);
    out.symbols.reserve(k);
    for (std::size_t i = 0; i < k; ++i) {
        const InstrumentSeries& in = instruments[i];
        Book& b = out.books[i];
        b.overrides = config_for(run.instrument_configs, in.signals.symbol);
        auto bars = signals::processor::signal_bars(in.signals.entries, in.signals.exits);
        if (!bars.ok()) return err(std::move(bars).error());
        b.signal_bars = std::move(bars).value();
        if (at_next_open) {
            // An entry on the last bar has no bar to fill on.
            for (std::size_t j = 0; j < b.signal_bars.size(); j += 2) ++b.signal_bars[j];
            if (!b.signal_bars.empty() && b.signal_bars.back() >= n) b.signal_bars.pop_back();
        }
        b.atr = single::atr_series(in.bars, single::resolve_atr_period(config, b.overrides));
        out.kernels.emplace_back(single::kernel_config(resolved, in.signals, b.overrides));
        out.symbols.push_back(in.signals.symbol);
    }
    return out;
}

}  // namespace

Result<PortfolioResult, OwnError> run(const PortfolioRunConfig& run, std::string_view allocation_text,
                                      std::span<const InstrumentSeries> instruments) {
    if (auto st = check_inputs(instruments); !st.ok()) return err(std::move(st).error());
    auto allocation = parse_allocation(allocation_text);
    if (!allocation.ok()) return err(std::move(allocation).error());
    for (const InstrumentSeries& in : instruments) {
        if (auto st = single::check_lengths(in.bars, in.signals); !st.ok()) {
            return err(OwnError{base::fmt::format("instrument '{}': {}", in.signals.symbol, st.error().message())});
        }
    }

    const single::SingleRunConfig resolved = single::SingleRunConfig::from(run.config);
    auto books = prepare_books(run, resolved, instruments);
    if (!books.ok()) return err(std::move(books).error());
    SharedPool pool(run.config, *allocation, instruments, books.value().books, books.value().kernels,
                    resolved.price_source);
    pool.run();
    return std::move(pool).finish(std::move(books.value().symbols));
}

}  // namespace tarnwick::runners::portfolio
