// The shared-capital portfolio runner against a plain reference: every bar stepped in
// order, every held kernel stepped on every bar, the pool marked bar by bar. The runner
// steps only the bars where something can happen; on random instruments (gaps, shorts,
// stops, targets, caps, the kill-switch, every fill timing) both must give the same
// curves, trades and counts, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "domain/capital.h"
#include "engine/core_session.h"
#include "engine/kernel.h"
#include "indicators/volatility.h"
#include "runner_fixtures.h"
#include "runners/portfolio.h"
#include "runners/tradable_price.h"
#include "signals/processor.h"

namespace tarnwick::runners::portfolio {

using domain::BacktestConfig;
using domain::BarSignal;
using domain::FeeBreakdown;
using domain::FillTiming;
using domain::InstrumentConfig;
using domain::OhlcvBar;
using domain::StopRule;
using domain::TargetRule;
using domain::TradeRecord;
using domain::is_tradable_price;
using engine::BacktestResult;
using engine::Kernel;
using engine::KernelConfig;
using engine::KernelEvent;
using engine::KernelEventKind;
using engine::drawdown_pct;
using engine::reference_price;

namespace {

using namespace tarnwick::testing_support;
namespace engine = tarnwick::runners::single;
using engine::BarSeries;

OhlcvBar bar_at(const BarSeries& b, std::size_t t) {
    return {b.timestamps[t], b.open[t], b.high[t], b.low[t], b.close[t], b.volume[t]};
}

// The runner's rules walked bar by bar over every kernel.
PortfolioResult reference_run(const PortfolioRunConfig& run, Allocation allocation,
                              const std::vector<InstrumentSeries>& ins) {
    const BacktestConfig& config = run.config;
    const std::size_t n = ins.front().bars.bars(), k = ins.size();
    const auto resolved = engine::SingleRunConfig::from(config);
    const bool at_next_open = config.effective_fill_timing() == FillTiming::NextBarOpen;
    std::vector<Kernel> kernels;
    std::vector<std::vector<std::uint8_t>> entries(k), exits(k);
    std::vector<std::vector<double>> atr(k);
    std::vector<LastTradable> marks(k);  // every close seen, bar by bar
    std::vector<bool> due(k, false);
    PortfolioResult out;
    for (std::size_t i = 0; i < k; ++i) {
        const auto overrides = config_for(run.instrument_configs, ins[i].signals.symbol);
        signals::processor::Stream stream;
        entries[i].assign(n, 0);
        exits[i].assign(n, 0);
        for (std::size_t t = 0; t < n; ++t) {
            const auto f = stream.next(ins[i].signals.entries[t] != 0, ins[i].signals.exits[t] != 0);
            entries[i][t] = f.entry;
            exits[i][t] = f.exit;
        }
        if (const auto period = engine::resolve_atr_period(config, overrides)) {
            auto a = indicators::volatility::atr(ins[i].bars.high.first(n), ins[i].bars.low.first(n),
                                                 ins[i].bars.close, *period);
            atr[i] = a.ok() ? std::move(a).value() : std::vector<double>(n, 0.0);
        }
        KernelConfig kc = engine::kernel_config(resolved, ins[i].signals, overrides);
        kc.config = config;
        kernels.emplace_back(std::move(kc));
        out.per_instrument.push_back({ins[i].signals.symbol, 0, 0.0, 0});
    }
    const std::uint64_t cap = config.max_positions.value_or(0);
    const bool kill_switch = config.max_drawdown_pct && *config.max_drawdown_pct > 0.0;
    double pool = config.initial_capital, peak = config.initial_capital;
    BacktestResult& r = out.result;
    auto book = [&](std::size_t i, const TradeRecord& trade) {
        ++out.per_instrument[i].trades;
        out.per_instrument[i].pnl += trade.pnl;
        r.trades.push_back(trade);
    };
    auto fill_price = [&](std::size_t i, std::size_t t, bool opening) {
        return reference_price(resolved.price_source, bar_at(ins[i].bars, t), ins[i].signals.direction, opening);
    };
    auto atr_at = [&](std::size_t i, std::size_t t) { return t < atr[i].size() ? atr[i][t] : 0.0; };
    // At the next open an entry signalled on bar t - 1 fills on bar t.
    auto entry_due = [&](std::size_t i, std::size_t t) {
        return at_next_open ? t > 0 && entries[i][t - 1] != 0 : entries[i][t] != 0;
    };
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t i = 0; i < k; ++i) {
            if (!kernels[i].in_position()) continue;
            BarSignal sig;
            if (at_next_open) {
                sig.exit = exits[i][t] != 0;
            } else {
                due[i] = due[i] || exits[i][t] != 0;
                sig.exit = due[i] && is_tradable_price(fill_price(i, t, false));
            }
            sig.atr = atr_at(i, t);
            kernels[i].set_cash(0.0);
            for (const KernelEvent& e : kernels[i].step(t, bar_at(ins[i].bars, t), sig, false)) {
                if (e.kind == KernelEventKind::Exited && e.trade) book(i, *e.trade);
            }
            pool += kernels[i].cash();
            kernels[i].set_cash(0.0);
            if (!kernels[i].in_position()) due[i] = false;
        }
        std::uint64_t open = 0;
        for (const Kernel& kernel : kernels) open += kernel.in_position() ? 1 : 0;
        for (std::size_t i = 0; i < k; ++i) {
            if (kernels[i].in_position() || !entry_due(i, t)) continue;
            if (out.halted || (cap > 0 && open >= cap)) {
                ++out.per_instrument[i].rejected_entries;
                ++out.rejected_entries;
                continue;
            }
            const double price = fill_price(i, t, true);
            const std::uint64_t slots = cap > 0 ? cap : k;
            if (!is_tradable_price(price) || (allocation == Allocation::EqualWeight && slots <= open)) continue;
            const double allotment = allocation == Allocation::Full ? pool : pool / static_cast<double>(slots - open);
            if (!(allotment > 0.0) || domain::is_dust_capital(allotment, config.initial_capital)) continue;
            if (at_next_open) {
                // The signal bar's step, which parks the entry in the flat kernel.
                BarSignal signalled;
                signalled.entry = true;
                signalled.atr = atr_at(i, t - 1);
                (void)kernels[i].step(t - 1, bar_at(ins[i].bars, t - 1), signalled, false);
            }
            BarSignal sig;
            sig.entry = !at_next_open;
            sig.exit = at_next_open && exits[i][t] != 0;
            sig.atr = atr_at(i, t);
            kernels[i].set_cash(allotment);
            bool entered = false;
            for (const KernelEvent& e : kernels[i].step(t, bar_at(ins[i].bars, t), sig, false)) {
                entered = entered || e.kind == KernelEventKind::Entered;
                if (e.kind == KernelEventKind::Exited && e.trade) book(i, *e.trade);
            }
            pool -= allotment - kernels[i].cash();
            kernels[i].set_cash(0.0);
            if (entered) {
                ++open;
                // Before any tradable close a position is marked at its opening price.
                if (!marks[i].last()) marks[i].see(price);
            }
        }
        double eq = pool;
        for (std::size_t i = 0; i < k; ++i) {
            const double close = marks[i].at(ins[i].bars.close[t]);
            if (kernels[i].in_position()) eq += kernels[i].marked_value(close);
        }
        r.equity_curve.push_back(eq);
        peak = std::max(peak, eq);
        r.drawdown_curve.push_back(drawdown_pct(peak, eq));
        const double before = t > 0 ? r.equity_curve[t - 1] : 0.0;
        r.returns.push_back(before != 0.0 ? (eq - before) / std::fabs(before) : 0.0);
        if (!out.halted && kill_switch && peak > 0.0 && r.drawdown_curve[t] >= *config.max_drawdown_pct) {
            out.halted = true;
            out.halted_at = t;
        }
    }
    for (std::size_t i = 0; n > 0 && i < k; ++i) {
        if (!kernels[i].in_position()) continue;
        const double last = marks[i].at(ins[i].bars.close[n - 1]);
        for (const TradeRecord& trade : kernels[i].force_close_all(n - 1, ins[i].bars.timestamps[n - 1], last)) {
            book(i, trade);
        }
        pool += kernels[i].cash();
    }
    if (n > 0) r.equity_curve.back() = pool;
    return out;
}

// Every field of a trade, doubles as their bits.
std::vector<std::uint64_t> bits_of(const TradeRecord& t) {
    auto b = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    auto o = [&](const std::optional<double>& v) { return v ? b(*v) : 0x7ff4'dead'0000'0000ULL; };
    std::vector<std::uint64_t> out = {t.id, t.entry_idx, t.exit_idx, b(t.entry_price), b(t.exit_price), b(t.size),
                                      static_cast<std::uint64_t>(t.direction), b(t.pnl), b(t.return_pct),
                                      static_cast<std::uint64_t>(t.entry_time), static_cast<std::uint64_t>(t.exit_time),
                                      b(t.fees), b(t.entry_fees), b(t.exit_fees),
                                      static_cast<std::uint64_t>(t.exit_reason), o(t.mae_price), o(t.mfe_price),
                                      o(t.mae_pnl), o(t.mfe_pnl)};
    if (t.fee_breakdown) {
        const FeeBreakdown& f = *t.fee_breakdown;
        for (double v : {f.brokerage, f.stt, f.exchange_txn, f.sebi_fee, f.stamp_duty, f.gst}) out.push_back(b(v));
    }
    return out;
}

template <class C>
std::vector<std::uint64_t> bits_of(const C& curve) {
    std::vector<std::uint64_t> out;
    for (double v : curve) out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}

// Random walks with gaps (NaN, 0, infinity, a negative print), sparse random signals.
std::vector<Instrument> random_instruments(std::mt19937_64& rng, std::size_t k, std::size_t n, double density) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> step(0.0, 0.02);
    const double gaps[] = {kNaN, 0.0, kInf, -1.0};
    std::vector<Instrument> out(k);
    for (std::size_t i = 0; i < k; ++i) {
        std::vector<double> close(n), open(n);
        double c = 100.0;
        for (std::size_t t = 0; t < n; ++t) {
            c *= 1.0 + step(rng);
            close[t] = c;
            open[t] = c * (1.0 + step(rng) / 4.0);
            if (u(rng) < 0.003) close[t] = gaps[rng() % 4];
            if (u(rng) < 0.003) open[t] = gaps[rng() % 4];
        }
        Instrument& in = out[i];
        in.bars = Bars::from(close, open);
        for (std::size_t t = 0; t < n; ++t) {
            in.bars.high[t] = std::max(close[t], open[t]) * 1.004;
            in.bars.low[t] = std::min(close[t], open[t]) * 0.996;
        }
        in.entries = flags(n);
        in.exits = flags(n);
        for (std::size_t t = 0; t < n; ++t) {
            in.entries[t] = u(rng) < density ? static_cast<std::uint8_t>(1 + rng() % 255) : 0;
            in.exits[t] = u(rng) < density ? 1 : 0;
        }
        in.direction = u(rng) < 0.25 ? -1 : 1;
        in.symbol = "S" + std::to_string(i % 3);
    }
    return out;
}

struct ReferenceCase {
    std::string name;
    std::size_t max_instruments;
    void (*configure)(PortfolioRunConfig&);
    Allocation allocation;
};

void PrintTo(const ReferenceCase& c, std::ostream* os) { *os << c.name; }

class PortfolioAgainstReference : public ::testing::TestWithParam<ReferenceCase> {};

TEST_P(PortfolioAgainstReference, SameRunBitForBit) {
    const ReferenceCase& c = GetParam();
    std::mt19937_64 rng(std::hash<std::string>{}(c.name));
    const std::size_t lengths[] = {0, 1, 3, 70, 900, 4500};
    for (int seed = 0; seed < 12; ++seed) {
        const std::size_t n = lengths[static_cast<std::size_t>(seed) % 6];
        const std::size_t k = 1 + rng() % c.max_instruments;
        const double density = seed % 2 ? 0.01 : 0.08;
        const auto instruments = random_instruments(rng, k, n, density);
        const auto series = series_of(instruments);
        PortfolioRunConfig run;
        run.config.fees = 0.001;
        c.configure(run);
        auto got = portfolio::run(run, name(c.allocation), series);
        ASSERT_TRUE(got.ok()) << got.error().message();
        const PortfolioResult want = reference_run(run, c.allocation, series);
        const BacktestResult& g = got.value().result;
        SCOPED_TRACE(::testing::Message() << "seed " << seed << ", " << k << " instruments, " << n << " bars");
        EXPECT_EQ(bits_of(g.equity_curve), bits_of(want.result.equity_curve));
        EXPECT_EQ(bits_of(g.drawdown_curve), bits_of(want.result.drawdown_curve));
        EXPECT_EQ(bits_of(g.returns), bits_of(want.result.returns));
        ASSERT_EQ(g.trades.size(), want.result.trades.size());
        for (std::size_t j = 0; j < g.trades.size(); ++j) {
            EXPECT_EQ(g.trades[j].symbol, want.result.trades[j].symbol) << "trade " << j;
            EXPECT_EQ(bits_of(g.trades[j]), bits_of(want.result.trades[j])) << "trade " << j;
        }
        for (std::size_t i = 0; i < k; ++i) {
            const auto& a = got.value().per_instrument[i];
            const auto& b = want.per_instrument[i];
            EXPECT_EQ(std::tie(a.symbol, a.trades, a.rejected_entries), std::tie(b.symbol, b.trades, b.rejected_entries));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(a.pnl), std::bit_cast<std::uint64_t>(b.pnl));
        }
        EXPECT_EQ(got.value().rejected_entries, want.rejected_entries);
        EXPECT_EQ(got.value().halted_at, want.halted_at);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PortfolioAgainstReference,
    ::testing::Values(
        ReferenceCase{"EqualWeightAtTheClose", 12, [](PortfolioRunConfig&) {}, Allocation::EqualWeight},
        ReferenceCase{"FullAtTheNextOpen", 8,
                      [](PortfolioRunConfig& r) { r.config.fill_timing = FillTiming::NextBarOpen; }, Allocation::Full},
        // The entry's levels meet the rest of its fill bar; a parked exit goes before them.
        ReferenceCase{"StopTargetCapAndKillSwitchAtTheNextOpen", 12,
                      [](PortfolioRunConfig& r) {
                          r.config.fill_timing = FillTiming::NextBarOpen;
                          r.config.stop = StopRule::fixed(0.01);
                          r.config.target = TargetRule::fixed(0.015);
                          r.config.max_positions = 3;
                          r.config.max_drawdown_pct = 4.0;
                      },
                      Allocation::EqualWeight},
        ReferenceCase{"TrailingStopAtrTargetAtTheNextOpen", 8,
                      [](PortfolioRunConfig& r) {
                          r.config.stop = StopRule::trailing(0.01);
                          r.config.target = TargetRule::atr(2.0, 5);
                          r.config.fill_timing = FillTiming::NextBarOpen;
                      },
                      Allocation::Full},
        ReferenceCase{"AtrStopRiskRewardAtTheNextOpen", 8,
                      [](PortfolioRunConfig& r) {
                          r.config.stop = StopRule::atr(1.5, 3);
                          r.config.target = TargetRule::risk_reward(2.0);
                          r.config.upon_bar_close = false;
                      },
                      Allocation::EqualWeight},
        ReferenceCase{"CapAndKillSwitch", 12,
                      [](PortfolioRunConfig& r) {
                          r.config.max_positions = 3;
                          r.config.max_drawdown_pct = 4.0;
                      },
                      Allocation::EqualWeight},
        // Levels on every position: the kernels are stepped on every held bar.
        ReferenceCase{"FixedStopAndTarget", 8,
                      [](PortfolioRunConfig& r) {
                          r.config.stop = StopRule::fixed(2.0);
                          r.config.target = TargetRule::fixed(3.0);
                      },
                      Allocation::EqualWeight},
        ReferenceCase{"TrailingStopAtrTarget", 8,
                      [](PortfolioRunConfig& r) {
                          r.config.stop = StopRule::trailing(1.5);
                          r.config.target = TargetRule::atr(2.0, 5);
                          r.config.fill_timing = FillTiming::SameBarOpenLookahead;
                      },
                      Allocation::Full},
        // One symbol in three has its own lot size, capital and stop; the others are quiet.
        ReferenceCase{"OverridesOnOneSymbol", 12,
                      [](PortfolioRunConfig& r) {
                          InstrumentConfig ic;
                          ic.lot_size = 5.0;
                          ic.alloted_capital = 30000.0;
                          ic.stop = StopRule::fixed(1.0);
                          r.instrument_configs.emplace("S1", ic);
                          r.config.slippage = 0.0005;
                          r.config.max_drawdown_pct = 10.0;
                      },
                      Allocation::EqualWeight},
        // Small chunks of bars: many instruments share the value buffer.
        ReferenceCase{"ManyInstruments", 90,
                      [](PortfolioRunConfig& r) { r.config.fee_segment = std::string("NSE"); },
                      Allocation::EqualWeight}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick::runners::portfolio
