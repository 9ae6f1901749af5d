#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/core_session.h"
#include "indicators/volatility.h"
#include "runners/batch_single.h"
#include "runners/single_driver.h"
#include "signals/processor.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;
using namespace tarnwick;
using namespace tarnwick::base;
using namespace tarnwick::domain;
using namespace tarnwick::engine;
using runners::single::BarSeries;
using runners::single::SignalInput;

namespace {

std::vector<std::uint8_t> bits(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

struct ProcessCase {
    std::vector<std::uint8_t> entries, exits, want_entries, want_exits;
};

class SingleDriverProcess : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(SingleDriverProcess, EffectiveSignalsAlternate) {
    const ProcessCase& c = GetParam();
    auto r = signals::processor::process(c.entries, c.exits);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->entries, c.want_entries);
    EXPECT_EQ(r->exits, c.want_exits);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SingleDriverProcess,
    ::testing::Values(
        ProcessCase{bits({1, 1, 0, 0}), bits({0, 0, 1, 1}), bits({1, 0, 0, 0}), bits({0, 0, 1, 0})},
        // Bar 1 closes and bar 2 opens again; bar 2's exit is ignored because the state was flat.
        ProcessCase{bits({1, 0, 1}), bits({0, 1, 1}), bits({1, 0, 1}), bits({0, 1, 0})},
        // Entry and exit together: while flat the entry wins, while holding nothing happens.
        ProcessCase{bits({1, 1, 0}), bits({1, 1, 1}), bits({1, 0, 0}), bits({0, 0, 1})},
        // Exits while flat are ignored; any non-zero byte is a set flag.
        ProcessCase{bits({0, 0, 7, 0}), bits({255, 1, 0, 2}), bits({0, 0, 1, 0}), bits({0, 0, 0, 1})},
        ProcessCase{{}, {}, {}, {}}),
    [](const auto& i) {
        // A set flag reads 1 whatever its byte: "entries_1100_exits_0011".
        auto flags = [](const std::vector<std::uint8_t>& v) {
            std::string s;
            for (const std::uint8_t b : v) s += b != 0 ? '1' : '0';
            return s.empty() ? std::string("none") : s;
        };
        return row_name("entries", flags(i.param.entries), "exits", flags(i.param.exits));
    });

TEST(SingleDriverProcess, StreamMatchesTheColumns) {
    const auto e = bits({1, 0, 1, 1, 0, 1, 0, 0, 1});
    const auto x = bits({0, 1, 1, 0, 1, 1, 1, 0, 1});
    auto cols = signals::processor::process(e, x);
    ASSERT_TRUE(cols.ok());
    signals::processor::Stream s;
    for (std::size_t i = 0; i < e.size(); ++i) {
        const auto f = s.next(e[i] != 0, x[i] != 0);
        EXPECT_EQ(f.entry, cols->entries[i] != 0) << i;
        EXPECT_EQ(f.exit, cols->exits[i] != 0) << i;
        EXPECT_FALSE(f.entry && f.exit);
    }
}

// Long columns, so that the block scans cross block boundaries and stop in tails: the
// columns, the signal bars and the cursor's signals all follow the bar-by-bar processor.
class SingleDriverProcessLong : public ::testing::TestWithParam<double> {};

TEST_P(SingleDriverProcessLong, ColumnsAndBarsFollowTheStream) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam() * 1e6));
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (const std::size_t n : {1003u, 4096u, 77u}) {
        std::vector<std::uint8_t> e(n), x(n);
        for (std::size_t i = 0; i < n; ++i) {
            e[i] = u(rng) < GetParam() ? static_cast<std::uint8_t>(1 + rng() % 255) : 0;
            x[i] = u(rng) < GetParam() ? static_cast<std::uint8_t>(1 + rng() % 255) : 0;
        }
        auto cols = signals::processor::process(e, x);
        auto bars = signals::processor::signal_bars(e, x);
        ASSERT_TRUE(cols.ok() && bars.ok());
        std::vector<std::size_t> want_bars;
        signals::processor::Stream s;
        for (std::size_t i = 0; i < n; ++i) {
            const auto f = s.next(e[i] != 0, x[i] != 0);
            ASSERT_EQ(cols->entries[i], f.entry ? 1 : 0) << i;
            ASSERT_EQ(cols->exits[i], f.exit ? 1 : 0) << i;
            if (f.entry || f.exit) want_bars.push_back(i);
        }
        EXPECT_EQ(bars.value(), want_bars);
        signals::processor::Cursor cursor(e, x);
        for (std::size_t j = 0; j < want_bars.size(); ++j) {
            const auto sig = cursor.next();
            ASSERT_EQ(sig.bar, want_bars[j]) << j;
            ASSERT_EQ(sig.entry, cols->entries[sig.bar] != 0) << j;
        }
        // Once the signals run out the cursor stays at the end.
        EXPECT_EQ(cursor.next().bar, n);
        EXPECT_EQ(cursor.next().bar, n);
    }
}

INSTANTIATE_TEST_SUITE_P(Densities, SingleDriverProcessLong, ::testing::Values(0.001, 0.02, 0.3, 0.9),
                         [](const auto& i) { return row_name("density", i.param); });

TEST(SingleDriverProcess, LengthsMustAgree) {
    auto r = signals::processor::process(bits({1, 0, 0}), bits({0, 1}));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text, "Entry and exit arrays must have same length: entries 3, exits 2");
}

// ---------------------------------------------------------------------------

struct AtrCase {
    std::optional<StopRule> stop;
    std::optional<TargetRule> target;
    std::optional<StopRule> stop_override;
    std::optional<TargetRule> target_override;
    std::optional<std::uint64_t> want;
};

class SingleDriverAtrPeriod : public ::testing::TestWithParam<AtrCase> {};

std::string rule_name(const std::optional<StopRule>& r) {
    if (!r) return "none";
    switch (r->kind) {
        case StopRule::Kind::Fixed: return "fixed";
        case StopRule::Kind::Trailing: return "trailing";
        case StopRule::Kind::Atr: return row_name("atr", r->period);
    }
    return "unknown";
}

std::string rule_name(const std::optional<TargetRule>& r) {
    if (!r) return "none";
    switch (r->kind) {
        case TargetRule::Kind::Fixed: return "fixed";
        case TargetRule::Kind::Atr: return row_name("atr", r->period);
        case TargetRule::Kind::RiskReward: return "risk_reward";
    }
    return "unknown";
}

TEST_P(SingleDriverAtrPeriod, OverridesThenStopThenTarget) {
    const AtrCase& c = GetParam();
    BacktestConfig cfg;
    cfg.stop = c.stop;
    cfg.target = c.target;
    std::optional<InstrumentConfig> inst;
    if (c.stop_override || c.target_override) inst = InstrumentConfig{.stop = c.stop_override, .target = c.target_override};
    EXPECT_EQ(runners::single::resolve_atr_period(cfg, inst), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SingleDriverAtrPeriod,
    ::testing::Values(AtrCase{std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
                      AtrCase{StopRule::atr(2.0, 14), TargetRule::atr(3.0, 20), std::nullopt, std::nullopt, 14},
                      AtrCase{StopRule::fixed(2.0), TargetRule::atr(3.0, 20), std::nullopt, std::nullopt, 20},
                      // A fixed stop override hides the configuration's ATR stop; its ATR target remains.
                      AtrCase{StopRule::atr(2.0, 5), TargetRule::atr(2.0, 10), StopRule::fixed(1.0), std::nullopt,
                              10},
                      AtrCase{std::nullopt, std::nullopt, StopRule::atr(1.0, 7), std::nullopt, 7},
                      AtrCase{StopRule::trailing(2.0), TargetRule::risk_reward(2.0), std::nullopt, std::nullopt,
                              std::nullopt}),
    [](const auto& i) {
        // "stop_atr_14_target_fixed", then the overrides when there are any.
        const AtrCase& c = i.param;
        const bool overridden = c.stop_override || c.target_override;
        return row_name("stop", rule_name(c.stop), "target", rule_name(c.target), overridden ? "override_stop" : "",
                        overridden ? rule_name(c.stop_override) : "", overridden ? "override_target" : "",
                        overridden ? rule_name(c.target_override) : "");
    });

// ---------------------------------------------------------------------------

struct Bars {
    std::vector<std::int64_t> ts;
    std::vector<double> open, high, low, close, volume;
    explicit Bars(std::vector<double> c) : close(std::move(c)) {
        for (std::size_t i = 0; i < close.size(); ++i) {
            ts.push_back(static_cast<std::int64_t>(i) * 86'400'000'000'000);
            open.push_back(close[i]);
            high.push_back(close[i] + 1.0);
            low.push_back(close[i] - 1.0);
            volume.push_back(100.0);
        }
    }
    BarSeries view() const { return {ts, open, high, low, close, volume}; }
};

TEST(SingleDriver, LengthChecksComeFirstInOrder) {
    Bars b({100.0, 101.0, 102.0});
    const auto three = bits({1, 0, 0});
    const auto two = bits({0, 1});
    const std::vector<double> short_sizes{1.0, 1.0};
    struct Case {
        std::span<const std::uint8_t> entries, exits;
        std::size_t ts_len;
        std::optional<std::span<const double>> sizes;
        std::string want;
    };
    const Case cases[] = {
        {two, two, 3, std::nullopt, "OHLCV and signals must have same length: close 3, entries 2"},
        {three, two, 3, std::nullopt, "Entry and exit arrays must have same length: entries 3, exits 2"},
        {three, three, 1, std::nullopt, "Data length mismatch: expected 3, got 1"},
        {three, three, 3, std::span<const double>(short_sizes), "Data length mismatch: expected 3, got 2"},
    };
    for (const Case& c : cases) {
        BarSeries bars = b.view();
        bars.timestamps = bars.timestamps.first(c.ts_len);
        SignalInput s{.symbol = "X", .entries = c.entries, .exits = c.exits, .position_sizes = c.sizes};
        auto r = runners::single::run_backtest(runners::single::SingleRunConfig::from({}), bars, s, std::nullopt);
        ASSERT_FALSE(r.ok()) << c.want;
        EXPECT_EQ(r.error().text, c.want);
    }
}

TEST(SingleDriver, ZeroBarsBuildAndFinishTheSession) {
    Bars b({});
    SignalInput s{.symbol = "X"};
    auto r = runners::single::run_backtest(runners::single::SingleRunConfig::from({}), b.view(), s, std::nullopt);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->trades.empty());
    EXPECT_TRUE(r->equity_curve.empty());
}

TEST(SingleDriver, SizesScaleEntriesAndLongerSizesAreIgnored) {
    Bars b({100.0, 100.0, 110.0});
    const auto e = bits({1, 0, 0});
    const auto x = bits({0, 0, 1});
    const std::vector<double> sizes{0.5, 9.0, 9.0, 9.0};  // one value past the bars
    BacktestConfig cfg;
    cfg.fees = 0.0;
    SignalInput s{.symbol = "X", .entries = e, .exits = x, .position_sizes = std::span<const double>(sizes)};
    auto r = runners::single::run_backtest(runners::single::SingleRunConfig::from(cfg), b.view(), s, std::nullopt);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->trades.size(), 1u);
    EXPECT_DOUBLE_EQ(r->trades[0].size, 500.0);  // half of 100000 at 100, no fees
    EXPECT_DOUBLE_EQ(r->trades[0].pnl, 5000.0);  // 500 x (110 - 100)
}

// ---------------------------------------------------------------------------

// Items read their columns in place: the test keeps them alive in `columns`.
std::vector<std::vector<std::uint8_t>> columns;

runners::batch_single::PreparedSingleItem item(std::string id, std::vector<std::uint8_t> e,
                                               std::vector<std::uint8_t> x) {
    runners::batch_single::PreparedSingleItem p;
    p.item_id = std::move(id);
    p.symbol = "X";
    p.entries = columns.emplace_back(std::move(e));
    p.exits = columns.emplace_back(std::move(x));
    return p;
}

TEST(SingleDriverBatch, UnvalidatedItemsReportTheLowestFailingIndex) {
    Bars b({100.0, 101.0, 102.0});
    std::vector<runners::batch_single::PreparedSingleItem> items;
    for (int k = 0; k < 6; ++k) items.push_back(item(std::to_string(k), bits({1, 0, 0}), bits({0, 0, 1})));
    items[4].exits = items[4].exits.first(2);
    items[2].entries = items[2].entries.first(2);
    auto all = runners::batch_single::run_all(items, b.view());
    ASSERT_FALSE(all.ok());
    EXPECT_EQ(all.error().first, 2u);
    EXPECT_EQ(all.error().second.text, "OHLCV and signals must have same length: close 3, entries 2");
    EXPECT_FALSE(runners::batch_single::check_item(items[2], 3).ok());
    EXPECT_TRUE(runners::batch_single::check_item(items[0], 3).ok());
}

}  // namespace

// ---------------------------------------------------------------------------
// The driver hands stretches without signals to the session in one go. Stepping every
// bar through CoreSession::step, as a plain loop would, must give the same run bit for
// bit, whatever rules, sides, timings and gaps in the data.

struct StretchCase {
    const char* name;
    std::int8_t direction;
    std::optional<StopRule> stop;
    std::optional<TargetRule> target;
    std::optional<FillTiming> timing;
    std::optional<double> max_drawdown_pct;
    double signal_rate;
};

RunOutput step_every_bar(const runners::single::SingleRunConfig& run, const BarSeries& bars,
                         const SignalInput& signals) {
    CoreSession session(runners::single::kernel_config(run, signals, std::nullopt));
    const std::size_t n = bars.bars();
    session.read_timestamps_from(bars.timestamps.first(n));
    session.reserve(n);
    std::vector<double> atr;
    if (auto period = runners::single::resolve_atr_period(run.config, std::nullopt)) {
        atr = indicators::volatility::atr(bars.high, bars.low, bars.close, *period).value();
    }
    signals::processor::Stream processor;
    for (std::size_t i = 0; i < n; ++i) {
        const auto flags = processor.next(signals.entries[i] != 0, signals.exits[i] != 0);
        BarSignal sig;
        sig.entry = flags.entry;
        sig.exit = flags.exit;
        sig.atr = atr.empty() ? 0.0 : atr[i];
        session.step(i, {bars.timestamps[i], bars.open[i], bars.high[i], bars.low[i], bars.close[i], bars.volume[i]},
                     sig);
    }
    return std::move(session).finish();
}

bool same_bits(const Curve& a, const Curve& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

class SingleDriverStretches : public ::testing::TestWithParam<StretchCase> {};

TEST_P(SingleDriverStretches, MatchStepping) {
    const StretchCase& c = GetParam();
    std::mt19937_64 rng(7);
    std::normal_distribution<double> move(0.0, 0.005);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const std::size_t n = 3000;
    std::vector<std::int64_t> ts(n);
    std::vector<double> open(n), high(n), low(n), close(n), volume(n, 1e4);
    std::vector<std::uint8_t> entries(n), exits(n);
    double price = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        price *= 1.0 + move(rng);
        ts[i] = static_cast<std::int64_t>(i) * 60'000'000'000;
        open[i] = price * (1.0 + 0.3 * move(rng));
        close[i] = price;
        high[i] = std::max(open[i], close[i]) * 1.01;
        low[i] = std::min(open[i], close[i]) * 0.99;
        // Gaps in the data, and one-bar crashes that trip a drawdown limit while holding.
        if (unit(rng) < 0.01) close[i] = std::nan("");
        if (unit(rng) < 0.005) high[i] = std::nan("");
        if (i % 500 == 499) close[i] = price * 0.2;
        entries[i] = unit(rng) < c.signal_rate;
        exits[i] = unit(rng) < c.signal_rate;
    }
    BarSeries bars{ts, open, high, low, close, volume};
    BacktestConfig cfg;
    cfg.stop = c.stop;
    cfg.target = c.target;
    cfg.fill_timing = c.timing;
    cfg.max_drawdown_pct = c.max_drawdown_pct;
    const auto run = runners::single::SingleRunConfig::from(cfg);
    SignalInput s{.symbol = "X", .entries = entries, .exits = exits, .direction = c.direction};

    auto fast = runners::single::run_backtest(run, bars, s, std::nullopt);
    ASSERT_TRUE(fast.ok());
    const RunOutput slow = step_every_bar(run, bars, s);
    EXPECT_TRUE(same_bits(fast->equity_curve, slow.equity_curve));
    EXPECT_TRUE(same_bits(fast->drawdown_curve, slow.drawdown_curve));
    EXPECT_TRUE(same_bits(fast->returns, slow.returns));
    ASSERT_EQ(fast->trades.size(), slow.trades.size());
    ASSERT_FALSE(slow.trades.empty());
    for (std::size_t k = 0; k < slow.trades.size(); ++k) {
        const TradeRecord& a = fast->trades[k];
        const TradeRecord& b = slow.trades[k];
        EXPECT_EQ(a.exit_idx, b.exit_idx) << k;
        EXPECT_EQ(a.exit_reason, b.exit_reason) << k;
        EXPECT_EQ(std::memcmp(&a.pnl, &b.pnl, sizeof(double)), 0) << k;
        EXPECT_EQ(a.mae_pnl, b.mae_pnl) << k;
        EXPECT_EQ(a.mfe_pnl, b.mfe_pnl) << k;
    }
    EXPECT_EQ(fast->metrics.sharpe_ratio, slow.metrics.sharpe_ratio);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SingleDriverStretches,
    ::testing::Values(StretchCase{"plain_long", 1, {}, {}, {}, {}, 0.01},
                      StretchCase{"plain_short", -1, {}, {}, {}, {}, 0.01},
                      StretchCase{"dense", 1, {}, {}, {}, {}, 0.3},
                      StretchCase{"next_open", 1, {}, {}, FillTiming::NextBarOpen, {}, 0.01},
                      StretchCase{"fixed_stop_and_target", 1, StopRule::fixed(3.0), TargetRule::fixed(5.0), {}, {},
                                  0.01},
                      StretchCase{"trailing_short", -1, StopRule::trailing(4.0), {}, {}, {}, 0.01},
                      StretchCase{"atr_stop", 1, StopRule::atr(2.0, 14), {}, {}, {}, 0.01},
                      StretchCase{"drawdown_halt", 1, {}, {}, {}, 30.0, 0.01}),
    [](const auto& info) { return std::string(info.param.name); });
