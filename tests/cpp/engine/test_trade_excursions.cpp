// A trade's favourable and adverse prices bracket its own fills: an exit filled at a gap
// open, before that bar widens the position's extremes, a settlement, a partial close or
// an add all count, and a slipped fill counts at the market price it was slipped from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernel_fixtures.h"
#include "order_fixtures.h"
#include "test_names.h"

using tarnwick::testing_support::RowLabel;

namespace tarnwick {

using domain::BacktestConfig;
using domain::BarSignal;
using domain::ExitReason;
using domain::FillTiming;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using domain::TradeRecord;
using engine::CoreSession;
using engine::Kernel;
using engine::KernelConfig;
using engine::KernelEventKind;
using engine::OpenOutcome;
using engine::RunOutput;

namespace {

using namespace testing_support;

constexpr double kGap = std::numeric_limits<double>::quiet_NaN();

// A signal-driven round trip on bars whose high and low are the larger and smaller of
// their open and close; fees 0, capital 100000, whole units.
struct RoundTrip {
    const char* label;
    int direction;
    FillTiming timing;
    double slippage;
    std::vector<double> open;
    std::vector<double> close;
    std::size_t entry_bar;
    std::size_t exit_bar;
    double entry_price;
    double exit_price;
    double mae_price;
    double mfe_price;
    double mae_pnl;
    double mfe_pnl;
};

class SignalRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(SignalRoundTrip, ExtremesBracketBothFills) {
    const RoundTrip& c = GetParam();
    BacktestConfig bc;
    bc.fees = 0.0;
    bc.slippage = c.slippage;
    bc.fill_timing = c.timing;
    CoreSession s(base_config(bc, static_cast<std::int8_t>(c.direction)));
    for (std::size_t i = 0; i < c.open.size(); ++i) {
        const double o = c.open[i], cl = c.close[i];
        BarSignal sig;
        sig.entry = i == c.entry_bar;
        sig.exit = i == c.exit_bar;
        (void)s.step(i, bar(static_cast<std::int64_t>(i), o, std::max(o, cl), std::min(o, cl), cl), sig);
    }
    const RunOutput out = std::move(s).finish();
    ASSERT_EQ(out.trades.size(), 1u);
    const TradeRecord& t = out.trades[0];
    EXPECT_EQ(t.exit_reason, ExitReason::Signal);
    EXPECT_DOUBLE_EQ(t.entry_price, c.entry_price);
    EXPECT_DOUBLE_EQ(t.exit_price, c.exit_price);
    EXPECT_EQ(*t.mae_price, c.mae_price);
    EXPECT_EQ(*t.mfe_price, c.mfe_price);
    EXPECT_DOUBLE_EQ(*t.mae_pnl, c.mae_pnl);
    EXPECT_DOUBLE_EQ(*t.mfe_pnl, c.mfe_pnl);
}

// Without slippage 100000 buys (or sells short) 1000 units at 100; with 1% slippage an
// entry fills at 101 and 100000 / 101 buys 990 whole units.
INSTANTIATE_TEST_SUITE_P(
    Cases, SignalRoundTrip,
    ::testing::Values(
        // Filled at bar 1's open (100), bars up to bar 2 reach 102, the exit fills at
        // bar 3's open 110: (110 - 100) x 1000 favourable.
        RoundTrip{"long_exit_at_a_gap_up", 1, FillTiming::NextBarOpen, 0.0, {100, 100, 101, 110, 110},
                  {100, 101, 102, 110, 110}, 0, 2, 100.0, 110.0, 100.0, 110.0, 0.0, 10000.0},
        RoundTrip{"long_exit_at_a_gap_down", 1, FillTiming::NextBarOpen, 0.0, {100, 100, 99, 90, 90},
                  {100, 99, 98, 90, 90}, 0, 2, 100.0, 90.0, 90.0, 100.0, -10000.0, 0.0},
        RoundTrip{"short_exit_at_a_gap_up", -1, FillTiming::NextBarOpen, 0.0, {100, 100, 101, 110, 110},
                  {100, 101, 102, 110, 110}, 0, 2, 100.0, 110.0, 110.0, 100.0, -10000.0, 0.0},
        RoundTrip{"short_exit_at_a_gap_down", -1, FillTiming::NextBarOpen, 0.0, {100, 100, 99, 90, 90},
                  {100, 99, 98, 90, 90}, 0, 2, 100.0, 90.0, 100.0, 90.0, 0.0, 10000.0},
        // Bar 3 has no price: the exit waits and fills at bar 4's open.
        RoundTrip{"long_exit_waiting_over_a_gap", 1, FillTiming::NextBarOpen, 0.0, {100, 100, 101, kGap, 110},
                  {100, 101, 102, kGap, 110}, 0, 2, 100.0, 110.0, 100.0, 110.0, 0.0, 10000.0},
        // The market never leaves 100; the fills at 101 and 99 are slipped, not traded.
        RoundTrip{"long_slipped_fills_on_a_flat_market", 1, FillTiming::SameBarClose, 0.01, {100, 100, 100},
                  {100, 100, 100}, 0, 2, 101.0, 99.0, 100.0, 100.0, -990.0, 0.0},
        // The exit slips from 110 to 108.9; 110 is the favourable price: (110 - 101) x 990.
        RoundTrip{"long_slipped_exit_at_a_gap_up", 1, FillTiming::NextBarOpen, 0.01, {100, 100, 101, 110, 110},
                  {100, 101, 102, 110, 110}, 0, 2, 101.0, 108.9, 100.0, 110.0, -990.0, 8910.0}),
    RowLabel{});

TEST(TradeExcursions, SettlementBeyondTheBarsCounts) {
    auto spec = *InstrumentSpec::futures_contract({.terms = {.symbol = "F", .lot_size = 1.0}, .expiration_ns = 2});
    BacktestConfig bc;
    bc.fees = 0.0;
    KernelConfig kc = base_config(bc);
    kc.instrument = spec;
    Kernel k(std::move(kc));
    ASSERT_EQ(k.open_position({.reference = 50.0, .units = 10.0}).kind, OpenOutcome::Kind::Opened);
    // Settled at the expiry bar's close, before that bar widens anything.
    const auto ev = events_of(k.step(2, flat_bar(2, 55.0), {}, false));
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_EQ(ev[0].trade->exit_reason, ExitReason::Settlement);
    EXPECT_EQ(*ev[0].trade->mfe_price, 55.0);
    EXPECT_EQ(*ev[0].trade->mfe_pnl, 50.0);  // (55 - 50) x 10
    EXPECT_EQ(*ev[0].trade->mae_price, 50.0);
}

TEST(TradeExcursions, PartialCloseAndAddReachTheirPrices) {
    Kernel k(base_config());
    const OpenOutcome open = k.open_position({.reference = 100.0, .units = 10.0});
    ASSERT_EQ(open.kind, OpenOutcome::Kind::Opened);
    ASSERT_TRUE(k.add_to_position(open.position_id, false, false, 0.0, 96.0, 10.0));
    const auto part = k.close_by_order(1, 1, open.position_id, 0.0, 5.0, 107.0);
    ASSERT_TRUE(part);
    EXPECT_EQ(*part->mae_price, 96.0);
    EXPECT_EQ(*part->mfe_price, 107.0);
    // Entry averaged to 98: (107 - 98) x 5 and (96 - 98) x 5.
    EXPECT_DOUBLE_EQ(*part->mfe_pnl, 45.0);
    EXPECT_DOUBLE_EQ(*part->mae_pnl, -10.0);
    // The part still open traded at both prices too.
    const auto rest = k.close_position_by_id(2, 2, open.position_id, ExitReason::Signal, 0.0, 100.0);
    ASSERT_TRUE(rest);
    EXPECT_EQ(*rest->mae_price, 96.0);
    EXPECT_EQ(*rest->mfe_price, 107.0);
}

TEST(TradeExcursions, ATargetsLimitSlippageIsNoTradedPrice) {
    BacktestConfig bc;
    bc.fees = 0.0;
    bc.limit_slippage = 0.5;
    Kernel k(base_config(bc));
    ASSERT_EQ(k.open_position({.reference = 100.0, .units = 10.0, .target_price = 110.0}).kind,
              OpenOutcome::Kind::Opened);
    const auto ev = events_of(k.step(1, bar(1, 100.0, 111.0, 99.0, 105.0), {}, false));
    ASSERT_EQ(ev.size(), 1u);
    const TradeRecord& t = *ev[0].trade;
    ASSERT_EQ(t.exit_reason, ExitReason::TakeProfit);
    EXPECT_EQ(t.exit_price, 55.0);  // 110 less half of it
    // The bar traded from 99 to 111; the fill at 55 was never a market price.
    EXPECT_EQ(*t.mae_price, 99.0);
    EXPECT_EQ(*t.mfe_price, 111.0);
}

TEST(TradeExcursions, AnOrdersTickSlippageIsNoTradedPrice) {
    BacktestConfig bc;
    bc.fill_prob_slippage = 1.0;  // every market fill slips one tick
    Kernel k(order_config(bc, engine::OmsType::Netting, 0.5));
    submit(k, order_args("buy", "market", 0));
    const auto bought = of_kind(events_of(k.step(0, flat_bar(0, 100.0), {}, false)), KernelEventKind::OrderFilled);
    ASSERT_EQ(bought.size(), 1u);
    ASSERT_EQ(bought[0].price, 100.5);
    submit(k, order_args("sell", "market", 1));
    const auto ev = events_of(k.step(1, flat_bar(1, 100.0), {}, false));
    const auto exits = of_kind(ev, KernelEventKind::Exited);
    ASSERT_EQ(exits.size(), 1u);
    const TradeRecord& t = *exits[0].trade;
    EXPECT_EQ(t.entry_price, 100.5);
    EXPECT_EQ(t.exit_price, 99.5);
    // Both fills traded at 100.
    EXPECT_EQ(*t.mae_price, 100.0);
    EXPECT_EQ(*t.mfe_price, 100.0);
    EXPECT_EQ(*t.mfe_pnl, 0.0);
    EXPECT_EQ(*t.mae_pnl, -5.0);  // (100 - 100.5) x 10
}

}  // namespace
}  // namespace tarnwick
