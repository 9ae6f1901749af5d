// The price of a fill at a level: slippage never takes a limit fill past its limit, a
// position's target that the bar opens through exits at the open, and a level worked out
// from a percentage is touched by a bar whose extreme equals the intended level.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "engine/orders/price_grid.h"
#include "order_fixtures.h"

namespace tarnwick {

using domain::BacktestConfig;
using domain::ExitReason;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using domain::StopRule;
using domain::TargetRule;
using engine::Kernel;
using engine::KernelConfig;
using engine::KernelEventKind;
using engine::OmsType;
using engine::OrderRequestArgs;
using engine::PriceGrid;

namespace {

using namespace testing_support;

// ---- slippage stops at the limit ----------------------------------------------------

struct CapCase {
    const char* label;
    const char* side;
    const char* kind;
    std::optional<double> trigger;
    std::optional<double> limit;
    double slippage;        // the ledger's fraction (apply_slippage on)
    double limit_slippage;  // the walk's fraction
    double prob_slippage;   // one tick of `tick` with this probability
    double tick;
    OhlcvBar bar;  // stepped at index 1
    double fill_price;
    std::optional<double> prior_close = std::nullopt;  // trailing orders trail from it
    std::optional<double> offset = std::nullopt;
    double limit_offset = 0.0;
};

void PrintTo(const CapCase& c, std::ostream* os) { *os << c.label; }

class SlippageCap : public ::testing::TestWithParam<CapCase> {};

TEST_P(SlippageCap, ALimitFillNeverPassesItsLimit) {
    const CapCase& c = GetParam();
    BacktestConfig bc;
    bc.slippage = c.slippage;
    bc.limit_slippage = c.limit_slippage;
    bc.fill_prob_slippage = c.prob_slippage;
    Kernel k(order_config(bc, OmsType::Netting, c.tick));
    if (c.prior_close) (void)k.step(0, flat_bar(0, *c.prior_close), {}, false);
    OrderRequestArgs a = order_args(c.side, c.kind, 0);
    a.trigger_price = c.trigger;
    a.limit_price = c.limit;
    a.offset = c.offset;
    a.limit_offset = c.limit_offset;
    submit(k, a);
    const auto fills = of_kind(events_of(k.step(1, c.bar, {}, false)), KernelEventKind::OrderFilled);
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_DOUBLE_EQ(fills[0].price, c.fill_price);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SlippageCap,
    ::testing::Values(
        // A buy limit at 99 reached inside the bar: 99 x 1.01 = 99.99 is past the limit.
        CapCase{"limit_slippage_capped", "buy", "limit", {}, 99.0, 0.0, 0.01, 0.0, 0.0, bar(1, 100, 100.5, 98, 99),
                99.0},
        CapCase{"ledger_slippage_capped", "buy", "limit", {}, 99.0, 0.01, 0.0, 0.0, 0.0, bar(1, 100, 100.5, 98, 99),
                99.0},
        CapCase{"sell_limit_capped", "sell", "limit", {}, 101.0, 0.0, 0.01, 0.0, 0.0, bar(1, 100, 101.5, 99.5, 101),
                101.0},
        // Opened through at 97: 97 x 1.01 = 97.97 is still within 99 and stands.
        CapCase{"slippage_within_the_limit_stands", "buy", "limit", {}, 99.0, 0.0, 0.01, 0.0, 0.0,
                bar(1, 97, 98, 96, 97), 97.97},
        // Opened through at 98.5: 98.5 x 1.01 = 99.485, capped at 99.
        CapCase{"opened_through_then_capped", "buy", "limit", {}, 99.0, 0.0, 0.01, 0.0, 0.0,
                bar(1, 98.5, 99.5, 98, 99), 99.0},
        // Stop-limit filled at its 105 trigger: 105 x 1.02 = 107.1, capped at the 106 limit.
        CapCase{"stop_limit_capped", "buy", "stop_limit", 105.0, 106.0, 0.02, 0.0, 0.0, 0.0,
                bar(1, 101, 107, 100, 106), 106.0},
        // Limit-if-touched filled at its 99 trigger, one tick of 0.25 up to 99.25, then 1%:
        // 100.2425, capped at the 99.25 limit.
        CapCase{"touched_limit_tick_capped", "buy", "limit_if_touched", 99.0, 99.25, 0.01, 0.0, 1.0, 0.25,
                bar(1, 100, 100.5, 98, 99.25), 99.25},
        // Trailing sell stop-limit from the last close 100: stop 98, limit 97.5; triggered
        // at 98 inside the bar and filled there, 98 x 0.99 = 97.02 capped at 97.5.
        CapCase{"trailing_stop_limit_capped", "sell", "trailing_stop_limit", {}, {}, 0.0, 0.01, 0.0, 0.0,
                bar(1, 99, 99.5, 97, 97.2), 97.5, 100.0, 2.0, 0.5},
        // Touched market orders are not limits: 99 x 1.01 = 99.99 stands.
        CapCase{"market_if_touched_not_capped", "buy", "market_if_touched", 99.0, {}, 0.0, 0.01, 0.0, 0.0,
                bar(1, 100, 100.5, 98, 99), 99.99}),
    [](const ::testing::TestParamInfo<CapCase>& info) { return std::string(info.param.label); });

// ---- position stops and targets -------------------------------------------------------

struct ExitCase {
    const char* label;
    std::int8_t direction;
    std::optional<double> stop_pct;
    std::optional<double> target_pct;
    double tick;
    double entry;
    OhlcvBar bar;  // the bar after the entry
    std::optional<double> exit_price;
    ExitReason reason = ExitReason::TakeProfit;
    double limit_slippage = 0.0;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.label; }

class PositionExitPrices : public ::testing::TestWithParam<ExitCase> {};

TEST_P(PositionExitPrices, ExitAtWhatTheBarTraded) {
    const ExitCase& c = GetParam();
    BacktestConfig bc;
    bc.fees = 0.0;
    bc.limit_slippage = c.limit_slippage;
    if (c.stop_pct) bc.stop = StopRule::fixed(*c.stop_pct);
    if (c.target_pct) bc.target = TargetRule::fixed(*c.target_pct);
    KernelConfig kc = KernelConfig::for_session(bc, "X", c.direction);
    if (c.tick > 0.0) kc.instrument = *InstrumentSpec::equity({.terms = {.symbol = "X", .price_increment = c.tick}});
    Kernel k(kc);
    (void)k.step(0, flat_bar(0, c.entry), entry(), false);
    ASSERT_TRUE(k.in_position());
    const auto exits = of_kind(events_of(k.step(1, c.bar, {}, false)), KernelEventKind::Exited);
    if (!c.exit_price) {
        EXPECT_TRUE(exits.empty());
        return;
    }
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].trade->exit_price, *c.exit_price);
    EXPECT_EQ(exits[0].trade->exit_reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PositionExitPrices,
    ::testing::Values(
        // A 10% target on 100 (110.00000000000001) and a bar opening at 115: the bar never
        // traded 110, so the exit is at its open.
        ExitCase{"target_opened_through", 1, {}, 0.10, 0.0, 100.0, bar(1, 115, 116, 114, 115), 115.0},
        ExitCase{"short_target_opened_through", -1, {}, 0.10, 0.0, 100.0, bar(1, 85, 86, 84, 85), 85.0},
        // Reached inside the bar: at the level, kept within the bar (high exactly 110).
        ExitCase{"target_touched_exactly", 1, {}, 0.10, 0.0, 100.0, bar(1, 105, 110, 104, 108), 110.0},
        // A 3% stop on 120 is 116.39999999999999; a low of exactly 116.4 touches it.
        ExitCase{"stop_touched_exactly", 1, 0.03, {}, 0.0, 120.0, bar(1, 118, 119, 116.4, 117), 116.4,
                 ExitReason::StopLoss},
        ExitCase{"stop_short_of_the_level", 1, 0.03, {}, 0.0, 120.0, bar(1, 118, 119, 116.41, 117), std::nullopt},
        // With a cent tick the levels compare in whole cents and fill on the grid.
        ExitCase{"target_in_ticks", 1, {}, 0.10, 0.01, 100.0, bar(1, 105, 110, 104, 108), 110.0},
        ExitCase{"stop_in_ticks", 1, 0.03, {}, 0.01, 120.0, bar(1, 118, 119, 116.4, 117), 116.4,
                 ExitReason::StopLoss},
        // The target's slippage stays as it was: 115 - 115 x 0.01 on an open through it.
        ExitCase{"target_slippage_from_the_open", 1, {}, 0.10, 0.0, 100.0, bar(1, 115, 116, 114, 115), 113.85,
                 ExitReason::TakeProfit, 0.01}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.label); });

// Every whole-cent level a percentage rule means is touched by a bar reaching that cent:
// 10% targets over entries 1.0, 1.1, ..., 200.0 and 3% stops under entries 1, 2, ..., 2000.
TEST(PositionExitPrices, EveryWholeCentTouchCounts) {
    auto fires = [](std::int8_t dir, bool target, double pct, double entry_price, double level) {
        BacktestConfig bc;
        bc.fees = 0.0;
        if (target) bc.target = TargetRule::fixed(pct);
        else bc.stop = StopRule::fixed(pct);
        Kernel k(KernelConfig::for_session(bc, "X", dir));
        (void)k.step(0, flat_bar(0, entry_price), entry(), false);
        // A bar opening at the entry whose extreme is the level, written as the decimal it is.
        const double e = entry_price;
        const OhlcvBar b = target ? bar(1, e, level, e, e) : bar(1, e, e, level, e);
        const auto exits = of_kind(events_of(k.step(1, b, {}, false)), KernelEventKind::Exited);
        return exits.size() == 1 && exits[0].trade->exit_price == level;
    };
    int missed_targets = 0;
    for (int tenths = 10; tenths <= 2000; ++tenths) {
        const double entry_price = std::stod(std::to_string(tenths / 10) + "." + std::to_string(tenths % 10));
        const int cents = tenths * 11;  // entry x 1.1 in cents
        const double level = std::stod(std::to_string(cents / 100) + "." + std::to_string(cents / 10 % 10) +
                                       std::to_string(cents % 10));
        if (!fires(1, true, 0.10, entry_price, level)) ++missed_targets;
    }
    EXPECT_EQ(missed_targets, 0);
    int missed_stops = 0;
    for (int whole = 1; whole <= 2000; ++whole) {
        const int cents = whole * 97;  // entry x 0.97 in cents
        const double level = std::stod(std::to_string(cents / 100) + "." + std::to_string(cents / 10 % 10) +
                                       std::to_string(cents % 10));
        if (!fires(1, false, 0.03, static_cast<double>(whole), level)) ++missed_stops;
    }
    EXPECT_EQ(missed_stops, 0);
}

// ---- the grid itself ----------------------------------------------------------------

struct GridCase {
    const char* label;
    double tick;
    double price;
    double level;
    bool at_or_above;
    bool at_or_below;
};

class PriceGridTouches : public ::testing::TestWithParam<GridCase> {};

TEST_P(PriceGridTouches, ComparesAsTheLevelWasMeant) {
    const GridCase& c = GetParam();
    const PriceGrid g{c.tick};
    EXPECT_EQ(g.at_or_above(c.price, c.level), c.at_or_above) << c.label;
    EXPECT_EQ(g.at_or_below(c.price, c.level), c.at_or_below) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PriceGridTouches,
    ::testing::Values(
        // 110.00000000000001 is one ulp over 110; 4 ulps of slack cover it, 5 do not.
        GridCase{"ulp_over", 0.0, 110.0, 110.00000000000001, true, true},
        GridCase{"five_ulps_short", 0.0, 110.0, 110.0 + 5 * 1.4210854715202004e-14, false, true},
        GridCase{"clearly_below", 0.0, 109.99, 110.0, false, true},
        GridCase{"ulp_under", 0.0, 116.4, 116.39999999999999, true, true},
        // In whole ticks: 109.996 is the 110.00 tick; 109.994 is 109.99.
        GridCase{"same_tick", 0.01, 109.996, 110.0, true, true},
        GridCase{"tick_below", 0.01, 109.994, 110.0, false, true},
        // A level between ticks is met at the tick beyond it: a falling price at 95.69,
        // a rising one at 95.70.
        GridCase{"between_ticks_at_the_upper", 0.01, 95.70, 95.6987, true, false},
        GridCase{"between_ticks_at_the_lower", 0.01, 95.69, 95.6987, false, true},
        GridCase{"nan_never", 0.0, std::nan(""), 110.0, false, false}),
    [](const ::testing::TestParamInfo<GridCase>& info) { return std::string(info.param.label); });

TEST(PriceGridTouches, FillsStayOnTheGridAndInsideTheBar) {
    EXPECT_EQ((PriceGrid{0.0}.fill_at(110.00000000000001, true, 104.0, 110.0)), 110.0);
    EXPECT_EQ((PriceGrid{0.0}.fill_at(116.39999999999999, false, 116.4, 119.0)), 116.4);
    EXPECT_EQ((PriceGrid{0.05}.fill_at(100.02, false, 99.0, 101.0)), 100.0);
    EXPECT_DOUBLE_EQ((PriceGrid{0.05}.fill_at(100.02, true, 99.0, 101.0)), 100.05);
    EXPECT_EQ((PriceGrid{0.0}.fill_at(100.0, true, std::nan(""), std::nan(""))), 100.0);
}

}  // namespace
}  // namespace tarnwick
