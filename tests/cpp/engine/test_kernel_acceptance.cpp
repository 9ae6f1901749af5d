// The end-to-end behaviours a single-instrument run must show, each computed by hand.
#include <gtest/gtest.h>

#include "kernel_fixtures.h"

namespace tarnwick {

using domain::BacktestConfig;
using domain::BarSignal;
using domain::ExitReason;
using domain::FillTiming;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using domain::StopRule;
using engine::AccountType;
using engine::CoreSession;
using engine::EntryRejectReason;
using engine::KernelConfig;
using engine::KernelEventKind;
using engine::PriceSource;
using engine::RunOutput;

namespace {

using namespace testing_support;

TEST(KernelAcceptance, AllInEntryAndSignalExit) {
    constexpr std::int64_t kDay = 86'400'000'000'000;
    CoreSession s(base_config());
    auto ev = events_of(s.step(0, flat_bar(0, 100.0), entry()));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, KernelEventKind::Entered);
    EXPECT_EQ(ev[0].price, 100.0);
    // 100000 / (100 * 1.001) = 999.000999.. -> lot 1 -> 999
    EXPECT_EQ(ev[0].size, 999.0);
    // cash = 100000 - (99900 + 99.9) = 0.1; equity = 0.1 + 999 * 100 = 99900.1
    EXPECT_NEAR(s.kernel().cash(), 0.1, 1e-9);
    EXPECT_NEAR(s.equity(), 99900.1, 1e-9);

    ev = events_of(s.step(1, flat_bar(kDay, 110.0), exit_signal()));
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_TRUE(ev[0].trade);
    // exit fee 109890 * 0.001 = 109.89; cash = 0.1 + 109890 - 109.89 = 109780.21
    EXPECT_NEAR(s.equity(), 109780.21, 1e-8);
    // pnl = 10 * 999 - (99.9 + 109.89) = 9780.21
    EXPECT_NEAR(ev[0].trade->pnl, 9780.21, 1e-8);
    EXPECT_EQ(ev[0].trade->exit_reason, ExitReason::Signal);
    RunOutput out = std::move(s).finish();
    ASSERT_EQ(out.trades.size(), 1u);
    // Figure stated for this run by the issue that asked for the session.
    EXPECT_EQ(out.metrics.sharpe_ratio, 13.509256086106294);
}

TEST(KernelAcceptance, FixedStopGapsThroughAtTheOpen) {
    BacktestConfig bc;
    bc.stop = StopRule::fixed(0.05);
    CoreSession s(base_config(bc));
    (void)s.step(0, flat_bar(0, 100.0), entry());
    ASSERT_TRUE(s.kernel().position());
    EXPECT_EQ(*s.kernel().position()->stop_price, 95.0);  // (1 - 0.05) * 100
    auto ev = events_of(s.step(1, bar(1, 93, 96, 92, 94), {}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].trade->exit_price, 93.0);  // min(open 93, stop 95)
    EXPECT_EQ(ev[0].trade->exit_reason, ExitReason::StopLoss);
}

struct LevelExitCase {
    const char* label;
    std::int8_t direction;
    bool adaptive;
    double limit_slippage;
    std::optional<double> stop;
    std::optional<double> target;
    OhlcvBar bar;
    double exit_price;
    ExitReason reason;
};

class LevelExitOnOneBar : public ::testing::TestWithParam<LevelExitCase> {};

TEST_P(LevelExitOnOneBar, ResolvesByPath) {
    const auto& c = GetParam();
    BacktestConfig bc;
    bc.bar_path_adaptive = c.adaptive;
    bc.limit_slippage = c.limit_slippage;
    CoreSession s(base_config(bc, c.direction));
    BarSignal sig = entry();
    sig.stop_price = c.stop;
    sig.target_price = c.target;
    (void)s.step(0, flat_bar(0, 100.0), sig);
    auto ev = events_of(s.step(1, c.bar, {}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_DOUBLE_EQ(ev[0].trade->exit_price, c.exit_price);
    EXPECT_EQ(ev[0].trade->exit_reason, c.reason);
    EXPECT_EQ(ev[0].trade->direction, c.direction);
}

// A down bar (open 108 > close 96) runs open, high, low: the long's target comes first;
// an up bar runs open, low, high. 110 - 110 * 0.01 = 108.9.
INSTANTIATE_TEST_SUITE_P(
    Cases, LevelExitOnOneBar,
    ::testing::Values(
        LevelExitCase{"fixed_path_stop_first", 1, false, 0.0, 95.0, 110.0, bar(1, 108, 111, 94, 96), 95.0,
                      ExitReason::StopLoss},
        LevelExitCase{"down_bar_target_first", 1, true, 0.0, 95.0, 110.0, bar(1, 108, 111, 94, 96), 110.0,
                      ExitReason::TakeProfit},
        LevelExitCase{"target_gives_up_slippage", 1, true, 0.01, 95.0, 110.0, bar(1, 108, 111, 94, 96), 108.9,
                      ExitReason::TakeProfit},
        LevelExitCase{"up_bar_low_first", 1, true, 0.0, 95.0, 110.0, bar(1, 96, 111, 94, 108), 95.0,
                      ExitReason::StopLoss},
        // max(open 108, stop 105)
        LevelExitCase{"short_stop_gaps_at_open", -1, false, 0.0, 105.0, std::nullopt, bar(1, 108, 109, 107, 108),
                      108.0, ExitReason::StopLoss}),
    [](const ::testing::TestParamInfo<LevelExitCase>& info) { return std::string(info.param.label); });

TEST(KernelAcceptance, TrailingStopRatchetsAndExits) {
    BacktestConfig bc;
    bc.stop = StopRule::trailing(0.05);
    CoreSession s(base_config(bc));
    (void)s.step(0, flat_bar(0, 100.0), entry());
    EXPECT_EQ(*s.kernel().position()->stop_price, 95.0);
    EXPECT_TRUE(s.step(1, bar(1, 116, 120, 115, 118), {}).empty());
    EXPECT_EQ(*s.kernel().position()->stop_price, 114.0);  // 0.95 * 120
    EXPECT_TRUE(s.step(2, bar(2, 117, 119, 116, 117), {}).empty());
    EXPECT_EQ(*s.kernel().position()->stop_price, 114.0);  // 0.95 * 120 still the best
    auto ev = events_of(s.step(3, bar(3, 116, 116, 113, 114), {}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].trade->exit_price, 114.0);  // min(open 116, stop 114)
    EXPECT_EQ(ev[0].trade->exit_reason, ExitReason::StopLoss);
}

TEST(KernelAcceptance, NextBarOpenFillsAtTheFollowingOpen) {
    BacktestConfig bc;
    bc.fill_timing = FillTiming::NextBarOpen;
    CoreSession s(base_config(bc));
    EXPECT_EQ(s.kernel().price_source(), PriceSource::Open);
    EXPECT_TRUE(s.step(0, bar(0, 100, 101, 99, 100.5), entry()).empty());
    auto ev = events_of(s.step(1, bar(1, 102, 103, 101, 102.5), {}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, KernelEventKind::Entered);
    EXPECT_EQ(ev[0].price, 102.0);
    EXPECT_EQ(ev[0].idx, 1u);
}

TEST(KernelAcceptance, MarginCallLiquidatesAndBlocksEntries) {
    BacktestConfig bc;
    bc.liquidate_on_margin_call = true;
    KernelConfig kc = base_config(bc);
    kc.account_type = AccountType::Margin;
    kc.leverage = 4.0;
    CoreSession s(std::move(kc));
    auto ev = events_of(s.step(0, flat_bar(0, 100.0), entry()));
    // per unit 100 * (0.001 + 0.25) = 25.1; 100000 / 25.1 = 3984.06 -> 3984
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].size, 3984.0);
    // locked 398400 * 0.25 = 99600; fee 398.4; free = 100000 - 398.4 - 99600 = 1.6
    EXPECT_NEAR(s.kernel().free_capital(), 1.6, 1e-9);

    ev = events_of(s.step(1, flat_bar(1, 85.0), {}));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, KernelEventKind::MarginCall);
    // equity 99601.6 - 15 * 3984 = 39841.6; requirement 3984 * 85 * 0.125 = 42330
    EXPECT_NEAR(ev[0].price, 39841.6, 1e-9);
    EXPECT_NEAR(ev[0].size, 42330.0, 1e-9);
    EXPECT_EQ(ev[1].kind, KernelEventKind::Exited);
    EXPECT_EQ(ev[1].trade->exit_price, 85.0);
    EXPECT_EQ(ev[1].trade->exit_reason, ExitReason::Liquidation);

    ev = events_of(s.step(2, flat_bar(2, 90.0), entry()));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, KernelEventKind::EntryRejected);
    EXPECT_EQ(ev[0].reject_reason(), EntryRejectReason::MarginCall);
    EXPECT_EQ(s.kernel().rejected_entries(), 1u);
}

TEST(KernelAcceptance, OptionSettlesAtIntrinsicValueWithoutFee) {
    auto spec =
        InstrumentSpec::option({.terms = {.symbol = "C100"}, .strike = 100.0, .right = "call", .expiration_ns = 3});
    ASSERT_TRUE(spec);
    KernelConfig kc = base_config();
    kc.instrument = *spec;
    CoreSession s(std::move(kc));
    auto ev = events_of(s.step(0, flat_bar(0, 5.0), entry()));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].price, 5.0);
    (void)s.step(1, flat_bar(1, 4.5), {});
    (void)s.step(2, flat_bar(2, 4.2), {});
    s.kernel().set_underlying_price(104.0);
    ev = events_of(s.step(3, flat_bar(3, 3.9), {}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].trade->exit_price, 4.0);  // max(104 - 100, 0)
    EXPECT_EQ(ev[0].trade->exit_reason, ExitReason::Settlement);
    EXPECT_EQ(ev[0].trade->exit_fees, 0.0);
}

TEST(KernelAcceptance, FinishClosesOpenPositionOnceAtLastClose) {
    CoreSession s(base_config());
    (void)s.step(0, flat_bar(0, 100.0), entry());
    (void)s.step(1, flat_bar(1, 105.0), {});
    RunOutput out = std::move(s).finish();
    ASSERT_EQ(out.trades.size(), 1u);
    EXPECT_EQ(out.trades[0].exit_reason, ExitReason::EndOfData);
    EXPECT_EQ(out.trades[0].exit_price, 105.0);
    EXPECT_EQ(out.trades[0].exit_fees, 0.0);
    EXPECT_EQ(out.trades[0].exit_idx, 1u);
    EXPECT_EQ(out.equity_curve.size(), 2u);
    EXPECT_EQ(out.timestamps.size(), 2u);
}

}  // namespace
}  // namespace tarnwick
