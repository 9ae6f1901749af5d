// Gaps in the prices (NaN, 0, negative, infinite): nothing fills at such a price, an
// entry due on it opens nothing, an exit due on it waits for the next tradable price, the
// mark keeps the last tradable price, and no cash, equity or metric turns into NaN. Fees
// are 0 throughout, so 100000 of capital buys 1000 units at 100.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "engine/order_fixtures.h"
#include "runners/portfolio.h"
#include "runners/session/portfolio_session.h"
#include "runners/single_driver.h"

namespace tarnwick {

using base::Curve;
using domain::BacktestConfig;
using domain::BarSignal;
using domain::ExitReason;
using domain::FillTiming;
using domain::OhlcvBar;
using domain::StopRule;
using domain::TradeRecord;
using engine::AccountSetup;
using engine::AccountType;
using engine::CoreSession;
using engine::Kernel;
using engine::KernelConfig;
using engine::KernelEventKind;
using engine::OmsType;
using engine::OrderRequestArgs;
using engine::RunOutput;
using engine::is_working;
using runners::PortfolioResult;
using runners::PortfolioSession;

namespace {

using namespace testing_support;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

BacktestConfig no_fees(FillTiming timing = FillTiming::SameBarClose) {
    BacktestConfig bc;
    bc.fees = 0.0;
    bc.fill_timing = timing;
    return bc;
}

struct GapStep {
    OhlcvBar bar;
    bool entry = false;
    bool exit = false;
};

struct GapCase {
    const char* label;
    FillTiming timing;
    std::optional<double> stop_pct;  // a fixed stop rule, as a fraction
    std::vector<GapStep> steps;      // stepped at indices 0, 1, ...
    // The one trade of the run (none when no position ever opened).
    std::optional<std::uint64_t> exit_idx;
    double exit_price;
    ExitReason reason;
    Curve equity;  // one sample per step
};

void PrintTo(const GapCase& c, std::ostream* os) { *os << c.label; }

GapStep at(double o, double h, double l, double c, bool entry = false, bool exit = false) {
    return GapStep{bar(0, o, h, l, c), entry, exit};
}
GapStep flat(double p, bool entry = false, bool exit = false) { return at(p, p, p, p, entry, exit); }

class PriceGaps : public ::testing::TestWithParam<GapCase> {};

TEST_P(PriceGaps, NothingFillsAtAGapAndTheMarkHoldsTheLastTradablePrice) {
    const GapCase& c = GetParam();
    BacktestConfig bc = no_fees(c.timing);
    if (c.stop_pct) bc.stop = StopRule::fixed(*c.stop_pct);
    CoreSession s(base_config(bc));
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        BarSignal sig;
        sig.entry = c.steps[i].entry;
        sig.exit = c.steps[i].exit;
        OhlcvBar b = c.steps[i].bar;
        b.timestamp = static_cast<std::int64_t>(i);
        (void)s.step(i, b, sig);
        EXPECT_TRUE(std::isfinite(s.kernel().cash())) << c.label << " bar " << i;
    }
    EXPECT_EQ(s.equity_curve(), c.equity) << c.label;
    RunOutput out = std::move(s).finish();
    if (!c.exit_idx) {
        EXPECT_TRUE(out.trades.empty()) << c.label;
        return;
    }
    ASSERT_EQ(out.trades.size(), 1u) << c.label;
    const TradeRecord& t = out.trades[0];
    EXPECT_EQ(t.exit_idx, *c.exit_idx) << c.label;
    EXPECT_EQ(t.exit_price, c.exit_price) << c.label;
    EXPECT_EQ(t.exit_reason, c.reason) << c.label;
    EXPECT_TRUE(std::isfinite(out.metrics.total_return_pct)) << c.label;
    EXPECT_TRUE(std::isfinite(out.metrics.ulcer_index)) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Gaps, PriceGaps,
    ::testing::Values(
        // The exit signal meets a missing bar: the position is marked at 100 there and
        // leaves at the next close, 110.
        GapCase{"exit_on_a_missing_bar",
                FillTiming::SameBarClose,
                {},
                {flat(100, true), flat(kNaN, false, true), flat(110), flat(120)},
                2,
                110.0,
                ExitReason::Signal,
                {100000, 100000, 110000, 110000}},
        GapCase{"exit_on_a_zero_close",
                FillTiming::SameBarClose,
                {},
                {flat(100, true), at(104, 105, 103, 0.0, false, true), at(90, 115, 90, 110), flat(120)},
                2,
                110.0,
                ExitReason::Signal,
                {100000, 100000, 110000, 110000}},
        GapCase{"exit_waits_over_two_gaps",
                FillTiming::SameBarClose,
                {},
                {flat(100, true), flat(kNaN, false, true), flat(-1.0), flat(kInf), flat(90)},
                4,
                90.0,
                ExitReason::Signal,
                {100000, 100000, 100000, 100000, 90000}},
        // Next-bar open: the exit decided on bar 1 is due at bar 2's open, which is missing;
        // it waits for bar 3's open, 108. Bar 2 is marked at its tradable close.
        GapCase{"deferred_exit_without_an_open",
                FillTiming::NextBarOpen,
                {},
                {flat(100, true), flat(100, false, true), at(kNaN, 106, 104, 105), at(108, 109, 107, 108)},
                3,
                108.0,
                ExitReason::Signal,
                {100000, 100000, 105000, 108000}},
        // A 5% stop (95) reached on a bar without an open fills at the stop itself.
        GapCase{"stop_on_a_bar_without_an_open",
                FillTiming::SameBarClose,
                0.05,
                {flat(100, true), at(kNaN, 97, 90, 92)},
                1,
                95.0,
                ExitReason::StopLoss,
                {100000, 95000}},
        // The data ends in a gap: the end-of-data close takes the last tradable close.
        GapCase{"end_of_data_in_a_gap",
                FillTiming::SameBarClose,
                {},
                {flat(100, true), flat(110), flat(kNaN)},
                2,
                110.0,
                ExitReason::EndOfData,
                {100000, 110000, 110000}},
        // An entry on a missing bar opens nothing and is not carried to the next bar.
        GapCase{"entry_on_a_missing_bar_is_dropped",
                FillTiming::SameBarClose,
                {},
                {flat(kNaN, true), flat(100), flat(110)},
                {},
                0.0,
                ExitReason::Signal,
                {100000, 100000, 100000}},
        GapCase{"deferred_entry_without_an_open_is_dropped",
                FillTiming::NextBarOpen,
                {},
                {flat(100, true), at(kNaN, 101, 99, 100), flat(110)},
                {},
                0.0,
                ExitReason::Signal,
                {100000, 100000, 100000}}),
    [](const ::testing::TestParamInfo<GapCase>& info) { return std::string(info.param.label); });

// ---- next-bar open: an exit that waited goes before the entry due with it ------------

struct WaitedTrade {
    std::uint64_t entry_idx;
    double entry_price;
    std::uint64_t exit_idx;
    double exit_price;
    ExitReason reason;
};

struct WaitCase {
    const char* label;
    std::vector<double> open;  // closes 100, 101, ..., one per open
    std::vector<WaitedTrade> trades;
};

void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.label; }

class ExitBeforeEntry : public ::testing::TestWithParam<WaitCase> {};

// Entries decided on bars 0 and 4, the exit on bar 3; each acts at the next bar's open.
// Without fees the whole 100000 buys 1000 units at 100, and 1000 again at 104 from the
// 104000 the exit leaves when it waits for 104.
TEST_P(ExitBeforeEntry, WaitedExitFillsAtTheNextTradableOpenAheadOfItsEntry) {
    const WaitCase& c = GetParam();
    CoreSession s(base_config(no_fees(FillTiming::NextBarOpen)));
    for (std::size_t i = 0; i < c.open.size(); ++i) {
        const double close = 100.0 + static_cast<double>(i);
        const double o = c.open[i];
        BarSignal sig;
        sig.entry = i == 0 || i == 4;
        sig.exit = i == 3;
        const bool gap = std::isnan(o);
        (void)s.step(i, bar(static_cast<std::int64_t>(i), o, gap ? close : std::max(o, close),
                            gap ? close : std::min(o, close), close),
                     sig);
    }
    const RunOutput out = std::move(s).finish();
    ASSERT_EQ(out.trades.size(), c.trades.size());
    for (std::size_t j = 0; j < c.trades.size(); ++j) {
        const TradeRecord& t = out.trades[j];
        const WaitedTrade& w = c.trades[j];
        EXPECT_EQ(t.entry_idx, w.entry_idx) << "trade " << j;
        EXPECT_EQ(t.entry_price, w.entry_price) << "trade " << j;
        EXPECT_EQ(t.exit_idx, w.exit_idx) << "trade " << j;
        EXPECT_EQ(t.exit_price, w.exit_price) << "trade " << j;
        EXPECT_EQ(t.exit_reason, w.reason) << "trade " << j;
        EXPECT_EQ(t.size, 1000.0) << "trade " << j;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Opens, ExitBeforeEntry,
    ::testing::Values(
        // The exit due at bar 4 finds no open and waits for bar 5's, 104, where the entry
        // decided on bar 4 is due too: the exit goes first and the entry opens at 104.
        WaitCase{"exit_waits_over_a_missing_open",
                 {100, 100, 101, 102, kNaN, 104, 105, 106},
                 {{1, 100.0, 5, 104.0, ExitReason::Signal}, {5, 104.0, 7, 107.0, ExitReason::EndOfData}}},
        // The same bars with a tradable open at bar 4: the exit fills there, the entry at 104.
        WaitCase{"exit_at_a_tradable_open",
                 {100, 100, 101, 102, 104, 104, 105, 106},
                 {{1, 100.0, 4, 104.0, ExitReason::Signal}, {5, 104.0, 7, 107.0, ExitReason::EndOfData}}},
        // Bar 5 has no open either: the entry due there opens nothing, and the exit waits
        // on for bar 6's open.
        WaitCase{"entry_due_on_a_missing_open_too",
                 {100, 100, 101, 102, kNaN, kNaN, 105, 106},
                 {{1, 100.0, 6, 105.0, ExitReason::Signal}}}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.label); });

TEST(PriceGaps, RequestedCloseWaitsForATradablePrice) {
    CoreSession s(base_config(no_fees()));
    (void)s.step(0, flat_bar(0, 100.0), entry());
    const std::uint64_t id = s.kernel().position()->position_id;
    s.kernel().request_close(id);
    EXPECT_EQ(count_kind(events_of(s.step(1, flat_bar(1, kNaN), {})), KernelEventKind::Exited), 0u);
    EXPECT_FALSE(s.kernel().quiet());  // the waiting close keeps the kernel busy
    const auto ev = events_of(s.step(2, flat_bar(2, 103.0), {}));
    ASSERT_EQ(count_kind(ev, KernelEventKind::Exited), 1u);
    EXPECT_EQ(ev.back().trade->exit_price, 103.0);
    EXPECT_EQ(s.kernel().cash(), 103000.0);
}

TEST(PriceGaps, MarketOrderWaitsForATradablePrice) {
    Kernel k(order_config());
    const auto id = submit(k, order_args("buy", "market", 1));
    EXPECT_TRUE(of_kind(k.step(1, flat_bar(1, kNaN), {}, false), KernelEventKind::OrderFilled).empty());
    EXPECT_TRUE(is_working(status_of(k, id)));
    const auto fills = of_kind(k.step(2, flat_bar(2, 101.0), {}, false), KernelEventKind::OrderFilled);
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].price, 101.0);
    EXPECT_EQ(k.cash(), 100000.0 - 1010.0);
}

TEST(PriceGaps, StopOrderOnABarWithoutAnOpenFillsAtItsTrigger) {
    Kernel k(order_config());
    OrderRequestArgs a = order_args("buy", "stop_market", 0);
    a.trigger_price = 105.0;
    submit(k, a);
    const auto fills = of_kind(k.step(1, bar(1, kNaN, 107, 104, 106), {}, false), KernelEventKind::OrderFilled);
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].price, 105.0);
}

TEST(PriceGaps, LiquidationInAGapTakesTheLastTradablePrice) {
    BacktestConfig bc = no_fees();
    KernelConfig kc = base_config(bc);
    kc.account_type = AccountType::Margin;
    kc.leverage = 4.0;
    Kernel k(kc);
    (void)k.step(0, flat_bar(0, 100.0), {}, false);
    (void)k.open_position({.reference = 100.0, .units = 1000.0});
    const auto ev = k.liquidate_all(1, flat_bar(1, kNaN));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].trade->exit_price, 100.0);
    EXPECT_EQ(k.cash(), 100000.0);
}

// ---- the single-instrument driver: gaps inside a stretch stepped in one go ----------

TEST(PriceGaps, QuietStretchMarksGapsAtTheLastTradableClose) {
    const std::vector<std::int64_t> ts = {0, 1, 2, 3, 4, 5};
    const std::vector<double> close = {100, 110, kNaN, 120, 0.0, kNaN};
    const std::vector<double> vol(close.size(), 1000.0);
    const std::vector<std::uint8_t> entries = {1, 0, 0, 0, 0, 0};
    const std::vector<std::uint8_t> exits(close.size(), 0);
    runners::single::BarSeries bars{ts, close, close, close, close, vol};
    runners::single::SignalInput sig{"X", entries, exits, std::nullopt, 1.0, 1};
    auto out =
        runners::single::run_backtest(runners::single::SingleRunConfig::from(no_fees()), bars, sig, std::nullopt);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out->equity_curve, (Curve{100000, 110000, 110000, 120000, 120000, 120000}));
    ASSERT_EQ(out->trades.size(), 1u);
    EXPECT_EQ(out->trades[0].exit_price, 120.0);
    EXPECT_EQ(out->trades[0].exit_reason, ExitReason::EndOfData);
    for (double r : out->returns) EXPECT_TRUE(std::isfinite(r));
}

// ---- the shared-capital runner: its kernels carry the waiting exit ------------------

TEST(PriceGaps, PortfolioRunnerExitFillsAtTheNextFiniteClose) {
    const std::vector<std::int64_t> ts = {0, 1, 2, 3, 4};
    const std::vector<double> close = {100, 100, kNaN, 110, 120};
    const std::vector<double> vol(close.size(), 1000.0);
    const std::vector<std::uint8_t> entries = {1, 0, 0, 0, 0};
    const std::vector<std::uint8_t> exits = {0, 0, 1, 0, 0};
    runners::InstrumentSeries in{{ts, close, close, close, close, vol}, {"A", entries, exits, std::nullopt, 1.0, 1}};
    runners::portfolio::PortfolioRunConfig run{no_fees(), {}};
    auto out = runners::portfolio::run(run, "equal_weight", std::span(&in, 1));
    ASSERT_TRUE(out.ok()) << out.error().message();
    const auto& trades = out->result.trades;
    ASSERT_EQ(trades.size(), 1u);
    EXPECT_EQ(trades[0].exit_idx, 3u);
    EXPECT_EQ(trades[0].exit_price, 110.0);
    EXPECT_EQ(trades[0].exit_reason, ExitReason::Signal);
    EXPECT_EQ(out->result.equity_curve, (Curve{100000, 100000, 100000, 110000, 110000}));
}

// ---- the portfolio session -----------------------------------------------------------

TEST(PriceGaps, PortfolioSessionExitWaitsAndEquityStaysANumber) {
    PortfolioSession s(no_fees(), AccountSetup{});
    s.add_instrument("X", 1, std::nullopt, std::nullopt, OmsType::Netting);
    std::int64_t t = 0;
    for (double p : {100.0, kNaN, 104.0, kNaN}) ASSERT_TRUE(s.push_bar(0, OhlcvBar{++t, p, p, p, p, 1.0}).ok());
    BarSignal in;
    in.entry = true;
    s.apply_current(in);
    BarSignal out;
    out.exit = true;
    s.apply_current(out);  // the exit meets a missing bar
    EXPECT_EQ(s.equity(), 100000.0);
    const auto& ev = s.apply_current(BarSignal{});
    ASSERT_EQ(count_kind(ev, KernelEventKind::Exited), 1u);
    s.apply_current(BarSignal{});
    EXPECT_EQ(s.equity_curve(), (Curve{100000, 100000, 104000, 104000}));
    PortfolioResult r = std::move(s).finish();
    ASSERT_EQ(r.result.trades.size(), 1u);
    EXPECT_EQ(r.result.trades[0].exit_price, 104.0);
}

TEST(PriceGaps, PortfolioSessionEndOfDataInAGap) {
    PortfolioSession s(no_fees(), AccountSetup{});
    s.add_instrument("X", 1, std::nullopt, std::nullopt, OmsType::Netting);
    std::int64_t t = 0;
    for (double p : {100.0, 107.0, kNaN}) ASSERT_TRUE(s.push_bar(0, OhlcvBar{++t, p, p, p, p, 1.0}).ok());
    BarSignal in;
    in.entry = true;
    s.apply_current(in);
    while (s.remaining() > 0) s.apply_current(BarSignal{});
    PortfolioResult r = std::move(s).finish();
    ASSERT_EQ(r.result.trades.size(), 1u);
    EXPECT_EQ(r.result.trades[0].exit_price, 107.0);
    EXPECT_EQ(r.result.equity_curve, (Curve{100000, 107000, 107000}));
}

}  // namespace
}  // namespace tarnwick
