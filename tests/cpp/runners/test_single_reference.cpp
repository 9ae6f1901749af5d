// The single driver against a plain loop: the raw signals through the processor bar by
// bar, the ATR series when a rule needs it, every bar stepped through the core session.
// The driver finds the effective signals ahead and hands the stretches between them to
// the session whole while the kernel is quiet; on random runs (gaps, shorts, raw flags the
// processor ignores, every stop and target rule, both fill timings, sizes, lots, fee
// segments, the drawdown halt and the position cap) both must give the same run, bit for
// bit. Each row runs kSeeds runs; TARNWICK_REFERENCE_SEEDS asks for more.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/bit_fixtures.h"
#include "engine/core_session.h"
#include "indicators/volatility.h"
#include "runners/batch_single.h"
#include "runners/single_driver.h"
#include "signals/processor.h"

namespace tarnwick::runners::single {
namespace {

using domain::BacktestConfig;
using domain::BarSignal;
using domain::FillTiming;
using domain::InstrumentConfig;
using domain::StopRule;
using domain::TargetRule;
using domain::TradeRecord;
using engine::CoreSession;
using engine::RunOutput;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kSeeds = 25;

using testing_support::bits;
using testing_support::bits_of;
using testing_support::curve_bits;
using testing_support::reference_seeds;

struct Inputs {
    std::vector<std::int64_t> ts;
    std::vector<double> open, high, low, close, volume, sizes;
    std::vector<std::uint8_t> entries, exits;
    BacktestConfig config;
    std::optional<InstrumentConfig> instrument;
    std::int8_t direction = 1;
    bool with_sizes = false;

    BarSeries bars() const { return {ts, open, high, low, close, volume}; }
    SignalInput signals() const {
        SignalInput s;
        s.symbol = "R";
        s.entries = entries;
        s.exits = exits;
        if (with_sizes) s.position_sizes = std::span<const double>(sizes);
        s.direction = direction;
        return s;
    }
};

// What a row switches on; every run of the row draws the rest.
struct Switches {
    double gaps = 0.0;
    double signal_rate = 0.01;
    double crash_rate = 0.0;
    std::function<void(std::mt19937_64&, Inputs&)> shape;
};

Inputs random_inputs(std::mt19937_64& rng, const Switches& sw) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> move(0.0, 0.01);
    const double gaps[] = {kNaN, 0.0, kInf, -1.0};
    Inputs in;
    const std::size_t n = rng() % 3000;
    double price = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        price *= 1.0 + move(rng);
        if (u(rng) < sw.crash_rate) price *= 0.6;
        const double open = price * (1.0 + move(rng) / 3.0);
        in.ts.push_back(static_cast<std::int64_t>(i) * 60'000'000'000);
        in.open.push_back(u(rng) < sw.gaps ? gaps[rng() % 4] : open);
        in.high.push_back(std::max(open, price) * (1.0 + std::fabs(move(rng))));
        in.low.push_back(std::min(open, price) * (1.0 - std::fabs(move(rng))));
        in.close.push_back(u(rng) < sw.gaps ? gaps[rng() % 4] : price);
        in.volume.push_back(1000.0 + 9000.0 * u(rng));
        in.sizes.push_back(0.05 + 0.95 * u(rng));
        // Any byte but 0 is a set flag; both on one bar, and raw flags the processor
        // ignores (entries while it holds, exits while it is flat), come up as often.
        in.entries.push_back(u(rng) < sw.signal_rate ? static_cast<std::uint8_t>(1 + rng() % 255) : 0);
        in.exits.push_back(u(rng) < sw.signal_rate ? static_cast<std::uint8_t>(1 + rng() % 255) : 0);
    }
    in.direction = u(rng) < 0.3 ? -1 : 1;
    in.with_sizes = u(rng) < 0.3;
    in.config.fees = u(rng) < 0.2 ? 0.0 : 0.001;
    if (sw.shape) sw.shape(rng, in);
    return in;
}

// The plain loop.
RunOutput every_bar(const Inputs& in) {
    const SingleRunConfig run = SingleRunConfig::from(in.config);
    const BarSeries bars = in.bars();
    const SignalInput signals = in.signals();
    CoreSession session(kernel_config(run, signals, in.instrument));
    const std::size_t n = bars.bars();
    session.read_timestamps_from(bars.timestamps.first(n));
    const std::vector<double> atr = atr_series(bars, resolve_atr_period(in.config, in.instrument));
    signals::processor::Stream processor;
    for (std::size_t i = 0; i < n; ++i) {
        const auto flags = processor.next(in.entries[i] != 0, in.exits[i] != 0);
        BarSignal sig;
        sig.entry = flags.entry;
        sig.exit = flags.exit;
        sig.atr = atr.empty() ? 0.0 : atr[i];
        if (in.with_sizes) sig.size_mult = in.sizes[i];
        session.step(i, {bars.timestamps[i], bars.open[i], bars.high[i], bars.low[i], bars.close[i], bars.volume[i]},
                     sig);
    }
    return std::move(session).finish();
}

void expect_same(const RunOutput& got, const RunOutput& want) {
    EXPECT_EQ(curve_bits(got.equity_curve), curve_bits(want.equity_curve));
    EXPECT_EQ(curve_bits(got.drawdown_curve), curve_bits(want.drawdown_curve));
    EXPECT_EQ(curve_bits(got.returns), curve_bits(want.returns));
    ASSERT_EQ(got.trades.size(), want.trades.size());
    for (std::size_t j = 0; j < want.trades.size(); ++j) {
        EXPECT_EQ(bits_of(got.trades[j]), bits_of(want.trades[j])) << "trade " << j;
    }
    EXPECT_EQ(got.orders.size(), want.orders.size());
    EXPECT_EQ(bits_of(got.metrics), bits_of(want.metrics));
}

struct Row {
    const char* name;
    Switches switches;
};

class SingleAgainstEveryBar : public ::testing::TestWithParam<Row> {};

TEST_P(SingleAgainstEveryBar, SameRunBitForBit) {
    const Row& row = GetParam();
    std::mt19937_64 rng(std::hash<std::string>{}(row.name));
    std::size_t trades = 0;
    for (int seed = 0, count = reference_seeds(kSeeds); seed < count; ++seed) {
        const Inputs in = random_inputs(rng, row.switches);
        SCOPED_TRACE(::testing::Message() << row.name << " run " << seed << ", " << in.close.size() << " bars");
        auto got = run_backtest(SingleRunConfig::from(in.config), in.bars(), in.signals(), in.instrument);
        ASSERT_TRUE(got.ok()) << got.error().message();
        const RunOutput want = every_bar(in);
        expect_same(*got, want);
        trades += want.trades.size();
        // A batch item runs the same road.
        batch_single::PreparedSingleItem item;
        item.item_id = "i";
        item.config = in.config;
        item.instrument_config = in.instrument;
        item.symbol = "R";
        item.entries = in.entries;
        item.exits = in.exits;
        if (in.with_sizes) item.position_sizes = std::span<const double>(in.sizes);
        item.direction = in.direction;
        auto batch = batch_single::run_item(item, in.bars());
        ASSERT_TRUE(batch.ok());
        expect_same(*batch, want);
        if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
    EXPECT_GT(trades, 0u);
}

std::vector<Row> rows() {
    std::vector<Row> out;
    const auto add = [&](const char* name, const std::function<void(Switches&)>& set) {
        Row row{name, {}};
        set(row.switches);
        out.push_back(std::move(row));
    };
    add("sparse_signals", [](Switches& s) { s.signal_rate = 0.005; });
    add("dense_signals", [](Switches& s) { s.signal_rate = 0.3; });
    add("gaps_in_opens_and_closes", [](Switches& s) {
        s.gaps = 0.03;
        s.signal_rate = 0.02;
    });
    add("next_bar_open_over_gaps", [](Switches& s) {
        s.gaps = 0.05;
        s.signal_rate = 0.02;
        s.shape = [](std::mt19937_64&, Inputs& in) { in.config.fill_timing = FillTiming::NextBarOpen; };
    });
    add("open_lookahead", [](Switches& s) {
        s.shape = [](std::mt19937_64&, Inputs& in) { in.config.fill_timing = FillTiming::SameBarOpenLookahead; };
    });
    add("stop_and_target_rules", [](Switches& s) {
        s.gaps = 0.01;
        s.shape = [](std::mt19937_64& g, Inputs& in) {
            switch (g() % 4) {
                case 0: in.config.stop = StopRule::fixed(0.02); break;
                case 1: in.config.stop = StopRule::trailing(0.03); break;
                case 2: in.config.stop = StopRule::atr(2.0, 1 + g() % 20); break;
                default: break;
            }
            switch (g() % 4) {
                case 0: in.config.target = TargetRule::fixed(0.04); break;
                case 1: in.config.target = TargetRule::atr(3.0, 1 + g() % 20); break;
                case 2: in.config.target = TargetRule::risk_reward(1.5); break;
                default: break;
            }
            in.config.bar_path_adaptive = g() % 2 == 0;
        };
    });
    add("lots_capital_and_overrides", [](Switches& s) {
        s.shape = [](std::mt19937_64& g, Inputs& in) {
            InstrumentConfig ic;
            ic.lot_size = 7.0;
            if (g() % 2) ic.alloted_capital = 30000.0;
            if (g() % 2) ic.stop = StopRule::fixed(0.01);
            if (g() % 3 == 0) ic.target = TargetRule::atr(1.0, 5);
            in.instrument = ic;
        };
    });
    add("fee_segments_and_slippage", [](Switches& s) {
        s.shape = [](std::mt19937_64& g, Inputs& in) {
            const char* segments[] = {"NSE", "NSE-DELIVERY", "NFO", "MCX", "CDS"};
            in.config.fee_segment = segments[g() % 5];
            in.config.slippage = 0.0005;
        };
    });
    add("drawdown_halt_and_position_cap", [](Switches& s) {
        s.signal_rate = 0.02;
        s.crash_rate = 0.003;
        s.shape = [](std::mt19937_64& g, Inputs& in) {
            in.config.max_drawdown_pct = g() % 2 ? 5.0 : 20.0;
            in.config.max_positions = g() % 2;
        };
    });
    return out;
}

INSTANTIATE_TEST_SUITE_P(Table, SingleAgainstEveryBar, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick::runners::single
