#include "strategies/portfolio.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "core/core_session.h"
#include "core/format.h"
#include "core/kernel.h"
#include "core/result_assembly.h"
#include "indicators/volatility.h"
#include "metrics/metrics.h"
#include "signals/processor.h"
#include "strategies/tradable_price.h"

namespace tarnwick::strategies::portfolio {

namespace engine = tarnwick::portfolio::engine;

Result<Allocation, OwnError> parse_allocation(std::string_view text) {
    if (text == "equal_weight") return Allocation::EqualWeight;
    if (text == "full") return Allocation::Full;
    return err(OwnError{fmt::format("unknown allocation '{}'; expected 'equal_weight' or 'full'", text)});
}

std::string_view name(Allocation a) noexcept {
    switch (a) {
        case Allocation::EqualWeight: return "equal_weight";
        case Allocation::Full: return "full";
    }
    return "equal_weight";
}

namespace {

using engine::BarSeries;

struct Book {
    std::optional<InstrumentConfig> overrides;
    std::vector<std::uint8_t> entries, exits;  // effective, after processing (and the open shift)
    std::vector<double> atr;                   // empty when no rule needs one
    std::uint64_t trades = 0;
    double pnl = 0.0;
    std::uint64_t rejected = 0;
    bool exit_due = false;  // an effective exit met on a bar without a tradable fill price
    LastTradable mark;      // the close the book is valued at across gaps
};

Status<OwnError> check_inputs(std::span<const InstrumentSeries> instruments) {
    if (instruments.empty()) return err(OwnError{"run_portfolio_backtest requires at least one instrument"});
    const std::size_t n = instruments.front().bars.bars();
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        const std::size_t len = instruments[i].bars.bars();
        if (len != n) {
            return err(OwnError{
                fmt::format("all instruments must have the same number of bars; instrument {} has {}, expected {}", i,
                            len, n)});
        }
    }
    return Unit{};
}

std::vector<double> atr_series(const BarSeries& bars, std::optional<std::uint64_t> period) {
    if (!period) return {};
    const std::size_t n = bars.bars();
    auto atr = indicators::volatility::atr(bars.high.first(n), bars.low.first(n), bars.close, *period);
    if (!atr.ok()) return std::vector<double>(n, 0.0);
    return std::move(atr).value();
}

}  // namespace

Result<PortfolioResult, OwnError> run(const PortfolioRunConfig& run, std::string_view allocation_text,
                                      std::span<const InstrumentSeries> instruments) {
    if (auto st = check_inputs(instruments); !st.ok()) return err(std::move(st).error());
    auto allocation = parse_allocation(allocation_text);
    if (!allocation.ok()) return err(std::move(allocation).error());
    for (const InstrumentSeries& in : instruments) {
        if (auto st = engine::check_lengths(in.bars, in.signals); !st.ok()) {
            return err(OwnError{fmt::format("instrument '{}': {}", in.signals.symbol, st.error().message())});
        }
    }

    const BacktestConfig& config = run.config;
    const std::size_t n = instruments.front().bars.bars();
    const std::size_t k = instruments.size();
    const engine::SingleRunConfig resolved = engine::SingleRunConfig::from(config);

    // Under next-bar-open timing the runner moves the signals one bar later itself and the
    // kernels act at the open without deferring: a kernel is stepped only on bars where it
    // can act, so an intent parked inside it would wait for an unrelated later step.
    const bool at_next_open = config.effective_fill_timing() == FillTiming::NextBarOpen;
    BacktestConfig kernel_config = config;
    if (at_next_open) kernel_config.fill_timing = FillTiming::SameBarOpenLookahead;

    std::vector<Book> books(k);
    std::vector<Kernel> kernels;
    kernels.reserve(k);
    for (std::size_t i = 0; i < k; ++i) {
        const InstrumentSeries& in = instruments[i];
        Book& b = books[i];
        b.overrides = config_for(run.instrument_configs, in.signals.symbol);
        auto processed = signals::processor::process(in.signals.entries, in.signals.exits);
        if (!processed.ok()) return err(std::move(processed).error());
        b.entries = std::move(processed.value().entries);
        b.exits = std::move(processed.value().exits);
        if (at_next_open && n > 0) {
            std::rotate(b.entries.rbegin(), b.entries.rbegin() + 1, b.entries.rend());
            std::rotate(b.exits.rbegin(), b.exits.rbegin() + 1, b.exits.rend());
            b.entries[0] = 0;
            b.exits[0] = 0;
        }
        b.atr = atr_series(in.bars, engine::resolve_atr_period(config, b.overrides));

        KernelConfig kc;
        kc.config = kernel_config;
        kc.symbol = in.signals.symbol;
        kc.direction = in.signals.direction;
        kc.price_source = resolved.price_source;
        kc.slippage = resolved.slippage;
        kc.instrument_config = b.overrides;
        kc.fee_model = resolved.fee_model;
        kernels.emplace_back(std::move(kc));
    }

    // A cap of 0 means no cap, as in the kernel configuration.
    const std::uint64_t cap = config.max_positions.value_or(0);
    const bool kill_switch = config.max_drawdown_pct && *config.max_drawdown_pct > 0.0;
    double pool = config.initial_capital;
    double peak = config.initial_capital;
    bool halted = false;
    std::optional<std::uint64_t> halted_at;
    std::uint64_t rejected_total = 0;
    Curve equity(n, config.initial_capital);
    Curve returns(n, 0.0);
    Curve drawdown(n, 0.0);
    std::vector<TradeRecord> trades;

    auto bar_of = [](const BarSeries& bars, std::size_t t) {
        return OhlcvBar{bars.timestamps[t], bars.open[t], bars.high[t], bars.low[t], bars.close[t], bars.volume[t]};
    };
    auto book_trade = [&](Book& b, TradeRecord&& trade) {
        ++b.trades;
        b.pnl += trade.pnl;
        trades.push_back(std::move(trade));
    };
    // Takes back whatever the kernel holds after a step: proceeds of a close, the unspent
    // part of a loan.
    auto settle = [&](Kernel& kernel) {
        pool += kernel.cash();
        kernel.set_cash(0.0);
    };

    // The price a signal fill of instrument i takes on bar t; a bar without a tradable one
    // takes no signal fill: the entry is dropped, the exit waits for the next bar.
    auto signal_fill_price = [&](std::size_t i, std::size_t t, bool opening) {
        return reference_price(resolved.price_source, bar_of(instruments[i].bars, t), instruments[i].signals.direction,
                               opening);
    };

    BarSignal sig;
    for (std::size_t t = 0; t < n; ++t) {
        const auto idx = static_cast<std::uint64_t>(t);
        // Exit pass.
        for (std::size_t i = 0; i < k; ++i) {
            Kernel& kernel = kernels[i];
            if (!kernel.in_position()) continue;
            Book& b = books[i];
            b.exit_due = b.exit_due || b.exits[t] != 0;
            sig = BarSignal{};
            sig.exit = b.exit_due && tradable(signal_fill_price(i, t, false));
            sig.atr = t < b.atr.size() ? b.atr[t] : 0.0;
            kernel.set_cash(0.0);
            for (const KernelEvent& e : kernel.step(idx, bar_of(instruments[i].bars, t), sig, false)) {
                if (e.kind == KernelEventKind::Exited && e.trade) book_trade(b, TradeRecord(*e.trade));
            }
            settle(kernel);
            if (!kernel.in_position()) b.exit_due = false;
        }

        std::uint64_t open = 0;
        for (const Kernel& kernel : kernels) open += kernel.in_position() ? 1 : 0;

        // Entry pass.
        for (std::size_t i = 0; i < k; ++i) {
            Kernel& kernel = kernels[i];
            Book& b = books[i];
            if (kernel.in_position() || b.entries[t] == 0) continue;
            if (halted || (cap > 0 && open >= cap)) {
                ++b.rejected;
                ++rejected_total;
                continue;
            }
            const double fill_price = signal_fill_price(i, t, true);
            if (!tradable(fill_price)) continue;
            double allotment = pool;
            if (*allocation == Allocation::EqualWeight) {
                const std::uint64_t slots = cap > 0 ? cap : static_cast<std::uint64_t>(k);
                if (slots <= open) continue;
                allotment = pool / static_cast<double>(slots - open);
            }
            if (!(allotment > 0.0)) continue;
            sig = BarSignal{};
            sig.entry = true;
            sig.atr = t < b.atr.size() ? b.atr[t] : 0.0;
            kernel.set_cash(allotment);
            bool entered = false;
            for (const KernelEvent& e : kernel.step(idx, bar_of(instruments[i].bars, t), sig, false)) {
                entered = entered || e.kind == KernelEventKind::Entered;
            }
            pool -= allotment - kernel.cash();
            kernel.set_cash(0.0);
            if (entered) {
                ++open;
                b.mark.see(fill_price);  // the mark's fallback when this bar closes on a gap
            }
        }

        // Mark: each kernel values its own book, so a short in a cash account counts as
        // its collateral plus its open profit, not as a long holding. A close that is not
        // tradable leaves the book at its last tradable close.
        double eq = pool;
        for (std::size_t i = 0; i < k; ++i) {
            const double close = books[i].mark.at(instruments[i].bars.close[t]);
            if (kernels[i].in_position()) eq += kernels[i].marked_value(close);
        }
        equity[t] = eq;
        peak = std::max(peak, eq);  // a NaN equity keeps the peak
        drawdown[t] = drawdown_pct(peak, eq);
        if (t > 0 && equity[t - 1] != 0.0) returns[t] = (eq - equity[t - 1]) / equity[t - 1];
        if (!halted && kill_switch && peak > 0.0 && drawdown[t] >= *config.max_drawdown_pct) {
            halted = true;
            halted_at = idx;
        }
    }

    if (n > 0) {
        for (std::size_t i = 0; i < k; ++i) {
            Kernel& kernel = kernels[i];
            if (!kernel.in_position()) continue;
            const BarSeries& bars = instruments[i].bars;
            kernel.set_cash(0.0);
            const double last = books[i].mark.at(bars.close[n - 1]);
            for (TradeRecord& trade : kernel.force_close_all(n - 1, bars.timestamps[n - 1], last)) {
                book_trade(books[i], std::move(trade));
            }
            settle(kernel);
        }
        equity[n - 1] = pool;
    }

    const BacktestMetrics metrics = metrics::compute_metrics(
        equity, drawdown, returns, instruments.front().bars.timestamps.first(n), trades, config);

    PortfolioResult out;
    out.per_instrument.reserve(k);
    for (std::size_t i = 0; i < k; ++i) {
        out.per_instrument.push_back(
            {instruments[i].signals.symbol, books[i].trades, books[i].pnl, books[i].rejected});
    }
    out.result = result::build_backtest_result(metrics, std::move(equity), std::move(drawdown), std::move(returns),
                                               std::move(trades), {});
    out.rejected_entries = rejected_total;
    out.halted = halted;
    out.halted_at = halted_at;
    return out;
}

}  // namespace tarnwick::strategies::portfolio
