// Each order kind against hand-built bars: when it triggers and at which price it fills.
// Orders are submitted at index 0 and first walked on the bar at index 1.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "order_fixtures.h"

namespace tarnwick {
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
};

class OrderKindTable : public ::testing::TestWithParam<KindCase> {};

TEST_P(OrderKindTable, TriggersAndFillsAtTheHandComputedPrice) {
    const KindCase& c = GetParam();
    Kernel k(order_config());
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
        // Touched orders: a buy touches on the low, a sell on the high.
        KindCase{"buy_if_touched", "buy", "market_if_touched", 99.0, {}, {b(101, 102, 98.5, 100)}, 1, 99.0},
        KindCase{"sell_if_touched", "sell", "market_if_touched", 101.0, {},
                 {b(100, 100.9, 99, 100), b(100, 101.5, 99, 101)}, 2, 101.0},
        // Stop-limit: triggers on bar 1 (high 105.5 >= 105), rests at 106 and fills on bar 2.
        KindCase{"buy_stop_limit", "buy", "stop_limit", 105.0, 106.0,
                 {b(100, 105.5, 99, 105), b(107, 108, 105.5, 107)}, 2, 106.0, true},
        // Limit-if-touched: low 98.9 touches 99, then the 98 limit is reached on bar 2.
        KindCase{"buy_limit_if_touched", "buy", "limit_if_touched", 99.0, 98.0,
                 {b(100, 101, 98.9, 99), b(99, 99.5, 97.5, 98)}, 2, 98.0, true},
        KindCase{"market_to_limit_at_open", "buy", "market_to_limit", {}, {}, {b(101, 102, 100, 101)}, 1, 101.0},
        // Trailing sell, 2.0 below the highest high: bar 1 high 101 -> stop 99 (low 99.5
        // holds); bar 2 high 104 -> stop 102, low 101.5 fires, fill min(103, 102).
        KindCase{"trailing_sell_price", "sell", "trailing_stop_market", {}, {},
                 {b(100, 101, 99.5, 100), b(103, 104, 101.5, 102)}, 2, 102.0, false, 2.0},
        // Trailing sell, 50 bps: high 200 -> stop 200 - 50 x 200 / 10000 = 199; the lower
        // high of bar 2 leaves the extreme at 200 and its low 198.5 fires at 199.
        KindCase{"trailing_sell_bps", "sell", "trailing_stop_market", {}, {},
                 {b(199.5, 200, 199.2, 199.5), b(199.1, 199.5, 198.5, 199)}, 2, 199.0, false, 50.0, "bps"},
        // Trailing buy stop-limit: low 99 -> stop 100, high 100.5 triggers with limit
        // 100 + 0.5; bar 2's low 100.2 reaches the 100.5 limit.
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
