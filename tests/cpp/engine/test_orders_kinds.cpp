// Each order kind against hand-built bars: when it triggers and at which price it fills.
// Orders are submitted at index 0 and first walked on the bar at index 1.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "order_fixtures.h"

namespace tarnwick {

using domain::OhlcvBar;
using engine::CoreSession;
using engine::Kernel;
using engine::KernelEvent;
using engine::KernelEventKind;
using engine::OrderRequestArgs;
using engine::OrderStatus;
using engine::RunOutput;
using engine::is_working;

namespace {

using namespace testing_support;

struct KindCase {
    const char* label;
    const char* side;
    const char* kind;
    std::optional<double> trigger;
    std::optional<double> limit;
    std::vector<OhlcvBar> bars;            // stepped at indices 1, 2, ...
    std::optional<std::uint64_t> fill_idx;  // the index of the fill, none for no fill
    double fill_price;
    bool triggers = false;  // an order_triggered event precedes the fill
    std::optional<double> offset = std::nullopt;
    const char* offset_kind = "price";
    double limit_offset = 0.0;
    // A flat bar at this price stepped at index 0 before the order is sent: the last
    // close the order knows of.
    std::optional<double> prior_close = std::nullopt;
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.label; }

class OrderKindTable : public ::testing::TestWithParam<KindCase> {};

TEST_P(OrderKindTable, TriggersAndFillsAtTheHandComputedPrice) {
    const KindCase& c = GetParam();
    Kernel k(order_config());
    if (c.prior_close) (void)k.step(0, flat_bar(0, *c.prior_close), {}, false);
    OrderRequestArgs a = order_args(c.side, c.kind);
    a.trigger_price = c.trigger;
    a.limit_price = c.limit;
    a.offset = c.offset;
    a.offset_kind = c.offset_kind;
    a.limit_offset = c.limit_offset;
    const auto id = submit(k, a);
    std::vector<KernelEvent> all;
    for (std::size_t i = 0; i < c.bars.size(); ++i) {
        const auto& ev = k.step(i + 1, c.bars[i], {}, false);
        all.insert(all.end(), ev.begin(), ev.end());
    }
    const auto fills = of_kind(all, KernelEventKind::OrderFilled);
    EXPECT_EQ(of_kind(all, KernelEventKind::OrderTriggered).size(), c.triggers ? 1u : 0u);
    if (!c.fill_idx) {
        EXPECT_TRUE(fills.empty());
        EXPECT_TRUE(is_working(status_of(k, id)));
        return;
    }
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].idx, *c.fill_idx);
    EXPECT_DOUBLE_EQ(fills[0].price, c.fill_price);
    EXPECT_EQ(fills[0].size, 10.0);
    EXPECT_EQ(status_of(k, id), OrderStatus::Filled);
}

OhlcvBar b(double o, double h, double l, double c) { return bar(0, o, h, l, c); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, OrderKindTable,
    ::testing::Values(
        // Stops fill at the worse of the open and the trigger.
        KindCase{"buy_stop_gap_over", "buy", "stop_market", 105.0, {}, {b(107, 108, 106, 107)}, 1, 107.0},
        KindCase{"buy_stop_through", "buy", "stop_market", 105.0, {}, {b(100, 106, 99, 104)}, 1, 105.0},
        KindCase{"buy_stop_short_of_trigger", "buy", "stop_market", 105.0, {}, {b(100, 104.9, 99, 104)}, {}, 0.0},
        KindCase{"sell_stop_through", "sell", "stop_market", 95.0, {}, {b(97, 98, 94, 95)}, 1, 95.0},
        KindCase{"sell_stop_gap_down", "sell", "stop_market", 95.0, {}, {b(93, 94, 92, 93)}, 1, 93.0},
        // Limits fill at the limit once the bar reaches it, on the second bar here.
        KindCase{"buy_limit", "buy", "limit", {}, 100.0, {b(102, 103, 100.5, 101), b(101, 102, 99.5, 100)}, 2, 100.0},
        KindCase{"sell_limit", "sell", "limit", {}, 100.0, {b(98, 100, 97, 99)}, 1, 100.0},
        // A bar that opens through a limit fills it at the open: 105 was never traded.
        KindCase{"buy_limit_opened_through", "buy", "limit", {}, 105.0, {b(100, 101, 99, 100)}, 1, 100.0},
        KindCase{"buy_limit_gapped_under", "buy", "limit", {}, 99.0, {b(95, 96, 94, 95)}, 1, 95.0},
        KindCase{"sell_limit_opened_through", "sell", "limit", {}, 100.0, {b(103, 104, 102, 103)}, 1, 103.0},
        // Touched orders: a buy touches on the low, a sell on the high; opened through,
        // at the open.
        KindCase{"buy_if_touched", "buy", "market_if_touched", 99.0, {}, {b(101, 102, 98.5, 100)}, 1, 99.0},
        KindCase{"sell_if_touched", "sell", "market_if_touched", 101.0, {},
                 {b(100, 100.9, 99, 100), b(100, 101.5, 99, 101)}, 2, 101.0},
        KindCase{"buy_if_touched_opened_through", "buy", "market_if_touched", 99.0, {}, {b(97, 98, 96, 97)}, 1, 97.0},
        // Stop-limits fill on the bar that triggers them when it trades within the limit
        // after the trigger. Triggered at 105 inside the bar, within the 106 limit: 105.
        KindCase{"buy_stop_limit", "buy", "stop_limit", 105.0, 106.0, {b(100, 105.5, 99, 105)}, 1, 105.0, true},
        KindCase{"buy_stop_limit_trigger_bar", "buy", "stop_limit", 105.0, 106.0, {b(101, 107, 100, 106)}, 1, 105.0,
                 true},
        // Opened through both: triggered at 107, over the limit; the low 105.5 then reaches
        // the 106 limit on that bar.
        KindCase{"buy_stop_limit_opened_through_both", "buy", "stop_limit", 105.0, 106.0, {b(107, 108, 105.5, 106)}, 1,
                 106.0, true},
        // Triggered at 105 inside the bar over a 104 limit: only the close (103.5) is known
        // to come after the trigger, and it is within the limit.
        KindCase{"buy_stop_limit_close_within", "buy", "stop_limit", 105.0, 104.0, {b(100, 106, 99, 103.5)}, 1, 104.0,
                 true},
        // Same trigger, close 105 over the limit: it rests, and bar 2 reaches 104.
        KindCase{"buy_stop_limit_rests", "buy", "stop_limit", 105.0, 104.0,
                 {b(100, 106, 99, 105), b(104.5, 105, 103, 104)}, 2, 104.0, true},
        // Limit-if-touched: low 98.9 touches 99, over the 98 limit; bar 2 reaches 98.
        KindCase{"buy_limit_if_touched", "buy", "limit_if_touched", 99.0, 98.0,
                 {b(100, 101, 98.9, 99), b(99, 99.5, 97.5, 98)}, 2, 98.0, true},
        // Touched at 99, within the 99.5 limit: filled at 99 on that bar.
        KindCase{"buy_limit_if_touched_trigger_bar", "buy", "limit_if_touched", 99.0, 99.5, {b(100, 100.5, 98, 99.2)},
                 1, 99.0, true},
        KindCase{"market_to_limit_at_open", "buy", "market_to_limit", {}, {}, {b(101, 102, 100, 101)}, 1, 101.0},
        // Trailing sell 2.0 under the extreme known before each bar; no close known at
        // submission, so the first open (100) starts it: stop 98 on bar 1 (low 99.5
        // holds), 99 on bar 2 (after bar 1's high 101), 102 on bar 3 (after bar 2's high
        // 104), which bar 3 opens at: filled at the open, 102.
        KindCase{"trailing_sell_price", "sell", "trailing_stop_market", {}, {},
                 {b(100, 101, 99.5, 100), b(103, 104, 101.5, 102), b(102, 102.5, 101.8, 102)}, 3, 102.0, false, 2.0},
        // From the last close 100: bar 1 is tested against 98 (no fill, though its own
        // high 103 moves the stop to 101 afterwards); bar 2's low 100.5 reaches 101.
        KindCase{"trailing_sell_from_the_last_close", "sell", "trailing_stop_market", {}, {},
                 {b(100, 103, 99.5, 103), b(102, 102.5, 100.5, 101)}, 2, 101.0, false, 2.0, "price", 0.0, 100.0},
        // Trailing sell, 50 bps: the first open 199.5 gives 198.5025 on bar 1; its high 200
        // then gives 199, which bar 2's low 198.5 reaches (open 199.1 above it).
        KindCase{"trailing_sell_bps", "sell", "trailing_stop_market", {}, {},
                 {b(199.5, 200, 199.2, 199.5), b(199.1, 199.5, 198.5, 199)}, 2, 199.0, false, 50.0, "bps"},
        // Trailing buy stop-limit, 1.0 over the lowest low, limit 0.5 over the stop: bar 1
        // is tested against 101 (open 100 + 1); its low 99 moves the stop to 100, which
        // bar 2 opens through at 101, over the 100.5 limit; its low 100.2 then reaches it.
        KindCase{"trailing_buy_stop_limit", "buy", "trailing_stop_limit", {}, {},
                 {b(100, 100.5, 99, 100), b(101, 101.5, 100.2, 101)}, 2, 100.5, true, 1.0, "price", 0.5}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.label); });

TEST(OrderKinds, BuyStopAcceptanceThroughTheCoreSession) {
    CoreSession s(order_config());
    OrderRequestArgs a = order_args("buy", "stop_market");
    a.trigger_price = 105.0;
    const auto id = submit(s.kernel(), a);
    const auto ev = events_of(s.step(1, bar(1, 107, 108, 106, 107), {}));
    EXPECT_EQ(kinds_of(ev), (std::vector<std::string>{"order_accepted", "order_filled", "entered"}));
    EXPECT_EQ(ev[0].idx, 0u);  // the acceptance carries the submission index
    const auto orders = s.order_reports();
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_EQ(orders[0].id, id);
    EXPECT_EQ(orders[0].status, "filled");
    EXPECT_EQ(orders[0].avg_fill_price, 107.0);
    EXPECT_EQ(orders[0].fill_slices, 1u);
    EXPECT_EQ(orders[0].last_fill_idx, 1u);
    EXPECT_EQ(orders[0].trigger_price, 105.0);
    EXPECT_FALSE(orders[0].limit_price);
    RunOutput run = std::move(s).finish();
    ASSERT_EQ(run.orders.size(), 1u);
    EXPECT_EQ(run.orders[0].filled_qty, 10.0);
}

TEST(OrderKinds, TrailingExtremeOnlyRatchetsInTheOrdersFavour) {
    Kernel k(order_config());
    OrderRequestArgs a = order_args("sell", "trailing_stop_market");
    a.offset = 50.0;
    a.offset_kind = "bps";
    const auto id = submit(k, a);
    (void)k.step(1, bar(1, 199.5, 200, 199.5, 199.6), {}, false);
    EXPECT_EQ(*k.find_order(id)->trail_extreme, 200.0);
    (void)k.step(2, bar(2, 199.5, 199.8, 199.4, 199.6), {}, false);
    EXPECT_EQ(*k.find_order(id)->trail_extreme, 200.0);  // a lower high leaves it
    (void)k.step(3, bar(3, 200, 201, 200, 200.5), {}, false);  // stop 201 - 1.005 stays below the low
    EXPECT_EQ(*k.find_order(id)->trail_extreme, 201.0);
    EXPECT_TRUE(is_working(status_of(k, id)));
}

}  // namespace
}  // namespace tarnwick
