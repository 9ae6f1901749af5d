// The step's phases one at a time: settlement, deferred signals, exits, requested
// closes, the margin check, the entry gate and the core session's samples.
#include <gtest/gtest.h>

#include <cmath>
#include <span>
#include <vector>

#include "kernel_fixtures.h"
#include "test_names.h"

using tarnwick::testing_support::number_name;
using tarnwick::testing_support::row_name;
using tarnwick::testing_support::RowLabel;

namespace tarnwick {

using domain::BacktestConfig;
using domain::BarSignal;
using domain::ExitReason;
using domain::FillTiming;
using domain::InstrumentConfig;
using domain::InstrumentSpec;
using domain::OptionRight;
using domain::StopRule;
using domain::TargetRule;
using engine::AccountType;
using engine::CoreSession;
using engine::EntryRejectReason;
using engine::Kernel;
using engine::KernelConfig;
using engine::KernelEvent;
using engine::KernelEventKind;
using engine::OpenOutcome;
using engine::RunOutput;

namespace {

using namespace testing_support;

KernelConfig zero_fee_config(std::int8_t direction = 1) {
    BacktestConfig bc;
    bc.fees = 0.0;
    return base_config(bc, direction);
}

KernelConfig margin_config(KernelConfig kc, double leverage = 1.0) {
    kc.account_type = AccountType::Margin;
    kc.leverage = leverage;
    return kc;
}

// Opens `units` at `price` with explicit size and no levels.
OpenOutcome hold(Kernel& k, double price, double units, int direction = 1) {
    return k.open_position({.direction = direction, .reference = price, .units = units});
}

TEST(KernelStep, ConstructionDerivesTimingLatencyAndRules) {
    BacktestConfig bc;
    bc.upon_bar_close = false;
    bc.order_latency_ns = -5;
    bc.stop = StopRule::fixed(0.02);
    InstrumentConfig ic;
    ic.target = TargetRule::fixed(0.1);
    Kernel k(KernelConfig::for_session(bc, "A", 1, ic));
    EXPECT_EQ(k.fill_timing(), FillTiming::NextBarOpen);
    EXPECT_EQ(k.order_latency_ns(), 0);
    ASSERT_TRUE(k.stop_rule());  // no stop override: the configuration's stays
    EXPECT_EQ(k.stop_rule()->value, 0.02);
    EXPECT_EQ(k.target_rule()->value, 0.1);
}

TEST(KernelStep, InstrumentLotSizeAppliesOnlyWithoutOverride) {
    auto spec = *InstrumentSpec::futures_contract({.terms = {.symbol = "F", .lot_size = 25.0}, .expiration_ns = 1000});
    KernelConfig with_override = base_config();  // lot 1 override
    with_override.instrument = spec;
    EXPECT_EQ(*Kernel(with_override).lot_size(), 1.0);
    KernelConfig without = KernelConfig::for_session({}, "F", 1);
    without.instrument = spec;
    EXPECT_EQ(*Kernel(without).lot_size(), 25.0);
}

TEST(KernelStep, QueuedEventsComeFirstAndTheBufferEmpties) {
    Kernel k(base_config());
    KernelEvent queued;
    queued.kind = KernelEventKind::AlgoStarted;
    queued.idx = 7;
    k.queue_event(queued);
    const auto& ev = k.step(0, flat_bar(0, 100.0), entry(), false);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, KernelEventKind::AlgoStarted);
    EXPECT_EQ(ev[0].idx, 7u);
    EXPECT_EQ(ev[1].kind, KernelEventKind::Entered);
    EXPECT_TRUE(k.step(1, flat_bar(1, 100.0), {}, false).empty());
}

TEST(KernelStep, ExpirySettlesRejectsTheEntryAndStops) {
    auto spec = *InstrumentSpec::futures_contract({.terms = {.symbol = "F", .lot_size = 1.0}, .expiration_ns = 2});
    KernelConfig kc = zero_fee_config();
    kc.instrument = spec;
    CoreSession s(std::move(kc));
    (void)s.step(0, flat_bar(0, 50.0), entry());
    auto ev = events_of(s.step(2, flat_bar(2, 55.0), entry()));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, KernelEventKind::Exited);
    EXPECT_EQ(ev[0].trade->exit_price, 55.0);  // no underlying: the bar's close
    EXPECT_EQ(ev[0].trade->exit_reason, ExitReason::Settlement);
    EXPECT_EQ(ev[1].reject_reason(), EntryRejectReason::Expired);
    // Flat afterwards: a later entry is still refused, exactly once.
    ev = events_of(s.step(3, flat_bar(3, 55.0), entry()));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].reject_reason(), EntryRejectReason::Expired);
}

struct SettleCase {
    OptionRight right;
    bool binary;
    double underlying;
    double fee_rate;
    double price;
    double fee;
};

class OptionSettlement : public ::testing::TestWithParam<SettleCase> {};

TEST_P(OptionSettlement, PaysIntrinsicValue) {
    const auto c = GetParam();
    auto spec = *InstrumentSpec::option({.terms = {.symbol = "O"},
                                         .strike = 100.0,
                                         .right = c.right == OptionRight::Call ? "call" : "put",
                                         .expiration_ns = 1,
                                         .multiplier = 2.0,
                                         .binary = c.binary});
    spec.settlement_fee = c.fee_rate;
    KernelConfig kc = zero_fee_config();
    kc.instrument = spec;
    Kernel k(std::move(kc));
    (void)hold(k, 3.0, 10.0);
    k.set_underlying_price(c.underlying);
    const auto& ev = k.step(1, flat_bar(1, 2.0), {}, false);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].trade->exit_price, c.price);
    EXPECT_DOUBLE_EQ(ev[0].trade->exit_fees, c.fee);
}

// fee = rate * size 10 * price * multiplier 2
INSTANTIATE_TEST_SUITE_P(Cases, OptionSettlement,
                         ::testing::Values(SettleCase{OptionRight::Call, false, 104.0, 0.0, 4.0, 0.0},
                                           SettleCase{OptionRight::Put, false, 104.0, 0.0, 0.0, 0.0},
                                           SettleCase{OptionRight::Put, false, 97.5, 0.01, 2.5, 0.5},
                                           SettleCase{OptionRight::Call, true, 104.0, 0.0, 1.0, 0.0},
                                           SettleCase{OptionRight::Call, true, 100.0, 0.0, 0.0, 0.0}),
                         [](const auto& i) {
                             const SettleCase& c = i.param;
                             return row_name(c.binary ? "binary" : "", c.right == OptionRight::Call ? "call" : "put",
                                             "underlying", c.underlying, c.fee_rate > 0.0 ? "fee" : "",
                                             c.fee_rate > 0.0 ? number_name(c.fee_rate) : "");
                         });

TEST(KernelStep, NextBarOpenExitActsBeforeTheNextBarsStops) {
    BacktestConfig bc;
    bc.fees = 0.0;
    bc.fill_timing = FillTiming::NextBarOpen;
    CoreSession s(base_config(bc));
    (void)s.step(0, flat_bar(0, 100.0), entry());
    (void)s.step(1, flat_bar(1, 100.0), {});
    ASSERT_TRUE(s.kernel().in_position());
    ASSERT_TRUE(s.kernel().set_stop_price(95.0, std::nullopt));
    EXPECT_TRUE(s.step(2, flat_bar(2, 100.0), exit_signal()).empty());
    // Bar 3 opens at 99 and trades down through the stop: the deferred exit takes 99 first.
    auto ev = events_of(s.step(3, bar(3, 99, 99, 90, 91), {}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].trade->exit_price, 99.0);
    EXPECT_EQ(ev[0].trade->exit_reason, ExitReason::Signal);
}

TEST(KernelStep, TradePrintsNeverDefer) {
    BacktestConfig bc;
    bc.fill_timing = FillTiming::NextBarOpen;
    Kernel k(base_config(bc));
    const auto& ev = k.step(0, flat_bar(0, 100.0), entry(), true);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, KernelEventKind::Entered);
    EXPECT_TRUE(k.last_step_was_print());
}

TEST(KernelStep, RuleLevelsFromAtrAndRiskReward) {
    BacktestConfig bc;
    bc.stop = StopRule::atr(2.0, 14);
    bc.target = TargetRule::risk_reward(3.0);
    Kernel k(base_config(bc));
    BarSignal sig = entry();
    sig.atr = 1.5;
    (void)k.step(0, flat_bar(0, 100.0), sig, false);
    EXPECT_EQ(k.current_atr(), 1.5);
    EXPECT_EQ(*k.position()->stop_price, 97.0);     // 100 - 2 * 1.5
    EXPECT_EQ(*k.position()->target_price, 109.0);  // 100 + |100 - 97| * 3
}

TEST(KernelStep, RequestedCloseSkipsAPositionAlreadyExited) {
    BacktestConfig bc;
    bc.stop = StopRule::fixed(0.05);
    CoreSession s(base_config(bc));
    (void)s.step(0, flat_bar(0, 100.0), entry());
    s.kernel().request_close(0);
    s.kernel().request_close(42);  // unknown: ignored
    auto ev = events_of(s.step(1, bar(1, 93, 96, 92, 94), {}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].trade->exit_reason, ExitReason::StopLoss);
}

TEST(KernelStep, RequestedCloseExitsAtThePriceSource) {
    CoreSession s(base_config());
    (void)s.step(0, flat_bar(0, 100.0), entry());
    s.kernel().request_close(0);
    auto ev = events_of(s.step(1, bar(1, 100, 104, 99, 103), {}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].trade->exit_price, 103.0);
    EXPECT_EQ(ev[0].trade->exit_reason, ExitReason::Signal);
}

TEST(KernelStep, MarginCallFiresOnceWithoutLiquidation) {
    CoreSession s(margin_config(base_config(), 4.0));
    (void)s.step(0, flat_bar(0, 100.0), entry());
    auto ev = events_of(s.step(1, flat_bar(1, 85.0), {}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, KernelEventKind::MarginCall);
    EXPECT_TRUE(s.kernel().margin_call());
    EXPECT_TRUE(s.kernel().in_position());
    EXPECT_TRUE(s.step(2, flat_bar(2, 80.0), {}).empty());
}

TEST(KernelStep, CashAccountNeverCallsMargin) {
    CoreSession s(base_config());
    (void)s.step(0, flat_bar(0, 100.0), entry());
    EXPECT_TRUE(s.step(1, flat_bar(1, 1.0), {}).empty());
    EXPECT_EQ(s.kernel().margin_requirement(1.0), 0.0);
}

struct RequirementCase {
    double leverage;
    double margin_init;
    double margin_maint;
    double requirement;  // 10 units marked at 50
};

class MaintenanceRequirement : public ::testing::TestWithParam<RequirementCase> {};

TEST_P(MaintenanceRequirement, FollowsTheRates) {
    const auto c = GetParam();
    KernelConfig kc = margin_config(zero_fee_config(), c.leverage);
    kc.instrument = *InstrumentSpec::equity(
        {.terms = {.symbol = "E", .margin_init = c.margin_init, .margin_maint = c.margin_maint}});
    Kernel k(std::move(kc));
    (void)hold(k, 100.0, 10.0);
    EXPECT_DOUBLE_EQ(k.margin_requirement(50.0), c.requirement);
}

INSTANTIATE_TEST_SUITE_P(Cases, MaintenanceRequirement,
                         ::testing::Values(RequirementCase{1.0, 0.0, 0.0, 0.0},     // rate 1: none
                                           RequirementCase{0.5, 0.0, 0.0, 0.0},     // below 1 counts as 1
                                           RequirementCase{4.0, 0.0, 0.0, 62.5},    // 500 * 0.125
                                           RequirementCase{1.0, 0.2, 0.0, 50.0},    // 500 * 0.1
                                           RequirementCase{4.0, 0.0, 0.3, 150.0}),  // 500 * 0.3
                         [](const auto& i) {
                             return row_name("leverage", i.param.leverage, "initial", i.param.margin_init,
                                             "maintenance", i.param.margin_maint);
                         });

TEST(KernelAccount, ShortOptionLocksSpanMarginFromTheStrike) {
    KernelConfig kc = margin_config(base_config({}, -1));
    kc.instrument = *InstrumentSpec::option(
        {.terms = {.symbol = "P"}, .strike = 100.0, .right = "put", .expiration_ns = 99, .span_pct = 0.1,
         .exposure_pct = 0.05});
    Kernel k(std::move(kc));
    ASSERT_EQ(hold(k, 5.0, 10.0, -1).kind, OpenOutcome::Kind::Opened);
    // (0.1 + 0.05) * 100 * 1 per unit, 10 units; fee 5 * 10 * 0.001 = 0.05
    EXPECT_DOUBLE_EQ(k.locked_margin_total(), 150.0);
    EXPECT_DOUBLE_EQ(k.cash(), 100000.0 - 0.05);
    // The short contributes its locked amount whatever the mark.
    EXPECT_DOUBLE_EQ(k.margin_requirement(50.0), 150.0);
}

TEST(KernelAccount, TooLittleMarginForOneLotIsInsufficientMargin) {
    BacktestConfig bc;
    bc.initial_capital = 10.0;
    KernelConfig kc = margin_config(base_config(bc));
    kc.instrument = *InstrumentSpec::equity({.terms = {.symbol = "E", .margin_init = 0.5}});
    Kernel k(std::move(kc));
    // 10 / (100 * (0.001 + 0.5)) = 0.1996 -> lot 1 -> 0
    const auto& ev = k.step(0, flat_bar(0, 100.0), entry(), false);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].reject_reason(), EntryRejectReason::InsufficientMargin);
    // Without an instrument rate the same shortfall is a zero size.
    Kernel cash_k(base_config(bc));
    EXPECT_EQ(cash_k.step(0, flat_bar(0, 100.0), entry(), false)[0].reject_reason(), EntryRejectReason::ZeroSize);
}

TEST(KernelAccount, AllottedCapitalCapsTheEntry) {
    KernelConfig kc = base_config();
    kc.instrument_config->alloted_capital = 10010.0;
    Kernel k(std::move(kc));
    const auto& ev = k.step(0, flat_bar(0, 100.0), entry(), false);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].size, 100.0);  // 10010 / 100.1
}

TEST(KernelStep, EntryGateOrderAndCounter) {
    auto spec = *InstrumentSpec::futures_contract(
        {.terms = {.symbol = "F", .lot_size = 1.0}, .expiration_ns = 1000, .activation_ns = 5});
    KernelConfig kc = base_config();
    kc.instrument = spec;
    Kernel k(std::move(kc));
    k.set_margin_call(true);
    auto ev = events_of(k.step(0, flat_bar(0, 100.0), entry(), false));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].reject_reason(), EntryRejectReason::Inactive);  // checked before the margin call
    ev = events_of(k.step(1, flat_bar(6, 100.0), entry(), false));
    EXPECT_EQ(ev[0].reject_reason(), EntryRejectReason::MarginCall);
    k.set_margin_call(false);
    k.set_drawdown_halt(true);
    ev = events_of(k.step(2, flat_bar(7, 100.0), entry(), false));
    EXPECT_EQ(ev[0].reject_reason(), EntryRejectReason::DrawdownHalt);
    k.set_drawdown_halt(false);
    k.set_max_positions(2);
    k.set_portfolio_open_count(2);
    ev = events_of(k.step(3, flat_bar(8, 100.0), entry(), false));
    EXPECT_EQ(ev[0].reject_reason(), EntryRejectReason::MaxPositions);
    k.set_portfolio_open_count(1);
    ev = events_of(k.step(4, flat_bar(9, 100.0), entry(), false));
    EXPECT_EQ(ev[0].kind, KernelEventKind::Entered);
    EXPECT_EQ(k.rejected_entries(), 4u);
}

TEST(CoreSessionSamples, DrawdownHaltAtEqualityAndReturns) {
    BacktestConfig bc;
    bc.fees = 0.0;
    bc.max_drawdown_pct = 10.0;
    CoreSession s(base_config(bc));
    (void)s.step(0, flat_bar(0, 100.0), entry());  // 1000 units, cash 0
    (void)s.step(1, flat_bar(1, 90.0), exit_signal());
    EXPECT_EQ(s.drawdown_curve()[1], 10.0);  // (100000 - 90000) / 100000 * 100
    EXPECT_TRUE(s.kernel().drawdown_halt());
    EXPECT_EQ(s.returns()[0], 0.0);
    EXPECT_EQ(s.returns()[1], -0.1);  // (90000 - 100000) / 100000
    auto ev = events_of(s.step(2, flat_bar(2, 90.0), entry()));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].reject_reason(), EntryRejectReason::DrawdownHalt);
}

TEST(CoreSessionSamples, LimitsThatMeanNothingStayUnset) {
    BacktestConfig bc;
    bc.max_positions = 0;
    bc.max_drawdown_pct = 0.0;
    CoreSession s(base_config(bc));
    EXPECT_FALSE(s.kernel().max_positions());
    EXPECT_FALSE(s.kernel().max_drawdown_pct());
    EXPECT_EQ(s.equity(), 100000.0);
}

TEST(CoreSessionSamples, FinishWithoutStepsIsEmpty) {
    CoreSession s(base_config());
    RunOutput out = std::move(s).finish();
    EXPECT_TRUE(out.trades.empty());
    EXPECT_TRUE(out.equity_curve.empty());
    EXPECT_TRUE(out.returns.empty());
}

TEST(CoreSessionSamples, ReturnAfterAZeroSampleIsZero) {
    BacktestConfig bc;
    bc.fees = 0.0;
    // A cash short of 1000 at 100 is worth 1000 x (200 - mark): nothing at 200.
    CoreSession s(base_config(bc, -1));
    (void)s.step(0, flat_bar(0, 100.0), entry());
    (void)s.step(1, flat_bar(1, 200.0), {});
    (void)s.step(2, flat_bar(2, 190.0), {});
    EXPECT_EQ(s.equity_curve()[1], 0.0);
    EXPECT_EQ(s.equity_curve()[2], 10000.0);
    EXPECT_EQ(s.returns()[2], 0.0);
}

// An account that has gone below zero: each return is the change over the magnitude of
// the equity before it, so it has the sign of the change. Fees 0, capital 100000, the
// entry at bar 0's close.
struct BelowZeroCase {
    const char* label;
    int direction;
    double leverage;  // 0: cash account
    bool quiet;       // bars after the entry handed to the session as one quiet stretch
    std::vector<double> closes;
    std::vector<double> equity;
    std::vector<double> returns;
};

class ReturnsBelowZero : public ::testing::TestWithParam<BelowZeroCase> {};

TEST_P(ReturnsBelowZero, FollowTheChange) {
    const BelowZeroCase& c = GetParam();
    KernelConfig kc = zero_fee_config(static_cast<std::int8_t>(c.direction));
    if (c.leverage > 0.0) kc = margin_config(std::move(kc), c.leverage);
    CoreSession s(std::move(kc));
    const std::vector<double>& px = c.closes;
    (void)s.step(0, flat_bar(0, px[0]), entry());
    ASSERT_TRUE(s.kernel().in_position());
    if (c.quiet) {
        ASSERT_TRUE(s.kernel().quiet());
        std::vector<std::int64_t> ts;
        for (std::size_t i = 1; i < px.size(); ++i) ts.push_back(static_cast<std::int64_t>(i));
        const std::span<const double> rest(px.data() + 1, px.size() - 1);
        s.step_quiet(1, {.timestamps = ts, .open = rest, .high = rest, .low = rest, .close = rest, .volume = rest});
    } else {
        for (std::size_t i = 1; i < px.size(); ++i) (void)s.step(i, flat_bar(static_cast<std::int64_t>(i), px[i]), {});
    }
    EXPECT_EQ(std::vector<double>(s.equity_curve().begin(), s.equity_curve().end()), c.equity);
    ASSERT_EQ(s.returns().size(), c.returns.size());
    for (std::size_t i = 0; i < c.returns.size(); ++i) EXPECT_DOUBLE_EQ(s.returns()[i], c.returns[i]) << i;
}

// A cash short of 1000 at 100 is worth 1000 x (200 - close); the margin long at leverage
// 2 holds 2000 units and is worth 100000 + 2000 x (close - 100).
INSTANTIATE_TEST_SUITE_P(
    Cases, ReturnsBelowZero,
    ::testing::Values(
        BelowZeroCase{"short_losing_past_the_account", -1, 0.0, false, {100, 100, 250, 300, 350},
                      {100000, 100000, -50000, -100000, -150000}, {0.0, 0.0, -1.5, -1.0, -0.5}},
        BelowZeroCase{"short_losing_past_the_account_quietly", -1, 0.0, true, {100, 100, 250, 300, 350},
                      {100000, 100000, -50000, -100000, -150000}, {0.0, 0.0, -1.5, -1.0, -0.5}},
        // From -50000 up to -30000 is a gain of 20000 on 50000; down to -100000 a loss of
        // 70000 on 30000.
        BelowZeroCase{"short_recovering_below_zero_quietly", -1, 0.0, true, {100, 250, 230, 300},
                      {100000, -50000, -30000, -100000}, {0.0, -1.5, 0.4, -7.0 / 3.0}},
        BelowZeroCase{"margin_long_below_zero", 1, 2.0, false, {100, 40, 45, 30},
                      {100000, -20000, -10000, -40000}, {0.0, -1.2, 0.5, -3.0}}),
    RowLabel{});

TEST(KernelAccount, LiquidationChargesTheExitFee) {
    // The end-of-data close, which charges none, is checked with the finished run.
    Kernel k(base_config());
    (void)hold(k, 100.0, 10.0);
    auto liq = k.liquidate_all(1, flat_bar(1, 110.0));
    ASSERT_EQ(liq.size(), 1u);
    EXPECT_NEAR(liq[0].trade->exit_fees, 1.1, 1e-15);  // 10 x 110 x 0.001
    EXPECT_EQ(liq[0].trade->exit_reason, ExitReason::Liquidation);
}

TEST(KernelAccount, AdoptionBooksNotionalAndRefusesWhatItCannotHold) {
    // The refusals' exact texts are asserted where they surface, at the portfolio session's
    // Python face.
    Kernel k(base_config());
    EXPECT_FALSE(k.adopt_position(0, 0.0, 2.0));  // needs positive price and size
    ASSERT_TRUE(k.adopt_position(0, 50.0, 10.0));
    EXPECT_EQ(k.free_capital(), 99500.0);  // 100000 - 50 * 10
    EXPECT_FALSE(k.adopt_position(0, 50.0, 1.0));  // a position is already open
    EXPECT_FALSE(Kernel(margin_config(base_config(), 2.0)).adopt_position(0, 50.0, 1.0));  // posted margin unknown
}

TEST(KernelAccount, LevelSetters) {
    Kernel k(base_config());
    EXPECT_TRUE(k.set_stop_price(90.0, std::nullopt));  // flat: nothing happens
    EXPECT_EQ(k.set_stop_price(90.0, 42).error().message(), "unknown position id 42");
    (void)k.open_position({.reference = 100.0, .units = 1.0, .stop_price = 95.0});
    ASSERT_TRUE(k.set_stop_price(std::nullopt, std::nullopt));
    EXPECT_FALSE(k.position()->stop_price);
    ASSERT_TRUE(k.set_target_price(120.0, 0));
    EXPECT_EQ(*k.position()->target_price, 120.0);
}

}  // namespace
}  // namespace tarnwick
