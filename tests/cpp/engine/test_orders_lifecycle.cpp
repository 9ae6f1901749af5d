// The order status machine through kernel steps: acceptance, time in force, post-only and
// reduce-only, routing under netting and hedging, one-cancels-other groups, parent and
// child orders, cancels and modifications, and the mended faults of the lifecycle.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "order_fixtures.h"

namespace tarnwick {

using domain::BacktestConfig;
using domain::FillTiming;
using domain::InstrumentSpec;
using engine::Kernel;
using engine::KernelConfig;
using engine::KernelEvent;
using engine::KernelEventKind;
using engine::OmsType;
using engine::OrderRequestArgs;
using engine::OrderStatus;
using engine::SizeMode;

namespace {

using namespace testing_support;
using Kinds = std::vector<std::string>;

constexpr std::int64_t kDay = 86400000000000LL;
constexpr std::int64_t kHour = 3600000000000LL;

OrderRequestArgs limit_args(const char* side, double limit, std::uint64_t idx = 0,
                            std::optional<double> units = 10.0) {
    OrderRequestArgs a = order_args(side, "limit", idx, units);
    a.limit_price = limit;
    return a;
}

// A long of `units` opened by a market order filled at 100 on step 0.
std::uint64_t open_long(Kernel& k, double units = 10.0) {
    const auto id = submit(k, order_args("buy", "market", 0, units));
    (void)k.step(0, flat_bar(0, 100.0), {}, false);
    EXPECT_EQ(status_of(k, id), OrderStatus::Filled);
    return id;
}

TEST(OrderLifecycle, MarketOrderStaysSubmittedUntilDueThenAcceptsAndFills) {
    Kernel k(order_config());
    const auto id = submit(k, order_args("buy", "market", 3));
    EXPECT_TRUE(k.pending_events().empty());  // no acceptance at submission
    EXPECT_TRUE(run(k, 2, flat_bar(2, 100.0)).empty());
    EXPECT_EQ(status_of(k, id), OrderStatus::Submitted);
    const auto ev = run(k, 3, flat_bar(3, 101.0));
    EXPECT_EQ(kinds_of(ev), (Kinds{"order_accepted", "order_filled", "entered"}));
    EXPECT_EQ(ev[1].price, 101.0);  // same-bar-close timing: the close
    EXPECT_EQ(status_of(k, id), OrderStatus::Filled);
}

TEST(OrderLifecycle, NextBarOpenAnnouncesOnTheBarAndFillsAtTheNextOpen) {
    BacktestConfig bc;
    bc.fill_timing = FillTiming::NextBarOpen;
    Kernel k(order_config(bc));
    submit(k, order_args("buy", "market", 0));
    EXPECT_EQ(kinds_of(run(k, 0, bar(0, 99, 101, 98, 100))), (Kinds{"order_accepted"}));
    const auto ev = run(k, 1, bar(1, 102, 103, 101, 102.5));
    EXPECT_EQ(kinds_of(ev), (Kinds{"order_filled", "entered"}));
    EXPECT_EQ(ev[0].price, 102.0);
}

TEST(OrderLifecycle, SellLimitClosingALongGivesUpTheLimitSlippageDownToItsLimit) {
    BacktestConfig bc;
    bc.limit_slippage = 0.001;
    Kernel k(order_config(bc));
    open_long(k);
    const auto id = submit(k, limit_args("sell", 100.0));
    // Opened through the limit at 101: 101 - 101 x 0.001 = 100.899, still above 100.
    const auto exits = of_kind(run(k, 1, bar(1, 101, 101.5, 100, 100.5)), KernelEventKind::Exited);
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_DOUBLE_EQ(exits[0].trade->exit_price, 100.899);
    EXPECT_EQ(status_of(k, id), OrderStatus::Filled);
    EXPECT_FALSE(k.in_position());
}

TEST(OrderLifecycle, PostOnlyIsTestedOnlyOnTheFirstEvent) {
    Kernel k(order_config());
    OrderRequestArgs a = limit_args("buy", 100.0);
    a.post_only = true;
    const auto marketable = submit(k, a);  // 100 >= the next open 99.5
    a.submitted_idx = 1;
    const auto resting = submit(k, a);  // first walked on bar 2
    const auto rejects = of_kind(run(k, 1, bar(1, 99.5, 100.2, 99, 99.8)), KernelEventKind::OrderRejected);
    ASSERT_EQ(rejects.size(), 1u);
    EXPECT_EQ(rejects[0].id, marketable);
    EXPECT_EQ(rejects[0].reason, "post_only");
    EXPECT_EQ(rejects[0].text, "c");
    (void)run(k, 2, bar(2, 101, 102, 100.5, 101));  // open above 100: not marketable
    EXPECT_EQ(status_of(k, resting), OrderStatus::Accepted);
    const auto fills = of_kind(run(k, 3, bar(3, 99, 100, 98, 99)), KernelEventKind::OrderFilled);
    ASSERT_EQ(fills.size(), 1u);  // marketable now, not tested again: a maker opened through
    EXPECT_EQ(fills[0].price, 99.0);
}

TEST(OrderLifecycle, ImmediateOrdersAreCanceledWhenTheFirstEventMissesThem) {
    Kernel k(order_config());
    std::vector<std::uint64_t> ids;
    for (const char* tif : {"ioc", "fok", "gtc"}) {
        OrderRequestArgs a = limit_args("buy", 95.0);
        a.tif = tif;
        ids.push_back(submit(k, a));
    }
    EXPECT_EQ(count_kind(run(k, 1, bar(1, 100, 101, 99, 100)), KernelEventKind::OrderCanceled), 2u);
    EXPECT_EQ(status_of(k, ids[0]), OrderStatus::Canceled);
    EXPECT_EQ(status_of(k, ids[1]), OrderStatus::Canceled);
    EXPECT_EQ(status_of(k, ids[2]), OrderStatus::Accepted);
}

struct ExpiryCase {
    const char* label;
    const char* tif;
    std::int64_t submitted_ts;
    std::int64_t tz_offset;
    std::int64_t event_ts;
    bool expires;
};

class OrderExpiry : public ::testing::TestWithParam<ExpiryCase> {};

TEST_P(OrderExpiry, DayAndGoodTillDate) {
    const ExpiryCase& c = GetParam();
    BacktestConfig bc;
    bc.session_tz_offset_ns = c.tz_offset;
    Kernel k(order_config(bc));
    OrderRequestArgs a = limit_args("buy", 50.0);
    a.submitted_ts = c.submitted_ts;
    a.tif = c.tif;
    a.expire_ns = 5 * kHour;
    const auto id = submit(k, a);
    EXPECT_EQ(count_kind(run(k, 1, flat_bar(c.event_ts, 100.0)), KernelEventKind::OrderExpired), c.expires ? 1u : 0u);
    EXPECT_EQ(status_of(k, id), c.expires ? OrderStatus::Expired : OrderStatus::Accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Tif, OrderExpiry,
    ::testing::Values(
        ExpiryCase{"day_same_day", "day", 1 * kHour, 0, 23 * kHour, false},
        ExpiryCase{"day_next_day", "day", 1 * kHour, 0, kDay + kHour, true},
        // 23:00 and 01:00 UTC fall on one local day two hours east: 01:00 and 03:00.
        ExpiryCase{"day_shifted_by_offset", "day", kDay - kHour, 2 * kHour, kDay + kHour, false},
        // Before the epoch floor division still puts -1h on day -1.
        ExpiryCase{"day_before_epoch", "day", -kHour, 0, kHour, true},
        ExpiryCase{"gtd_before_expiry", "gtd", 0, 0, 5 * kHour - 1, false},
        ExpiryCase{"gtd_at_expiry", "gtd", 0, 0, 5 * kHour, true},
        ExpiryCase{"gtc_never", "gtc", 0, 0, 10 * kDay, false}),
    [](const ::testing::TestParamInfo<ExpiryCase>& info) { return std::string(info.param.label); });

TEST(OrderLifecycle, TimedMarketOrdersFillOnBarsOnlyAtTheirPrice) {
    Kernel k(order_config({}, OmsType::Hedging));
    OrderRequestArgs a = order_args("buy", "market", 0);
    a.tif = "at_open";
    const auto at_open = submit(k, a);
    a.tif = "at_close";
    submit(k, a);
    EXPECT_EQ(status_of(k, at_open), OrderStatus::Accepted);  // accepted at submission
    EXPECT_EQ(count_kind(run(k, 1, flat_bar(1, 100.0), true), KernelEventKind::OrderFilled), 0u);
    const auto fills = of_kind(run(k, 2, bar(2, 101, 103, 100, 102)), KernelEventKind::OrderFilled);
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fills[0].price, 101.0);
    EXPECT_EQ(fills[1].price, 102.0);
}

TEST(OrderLifecycle, NettingClosesAgainstThePositionAndRefusesASecondOpening) {
    Kernel k(order_config());
    open_long(k, 6.0);
    const auto sell = submit(k, order_args("sell", "market", 1, 10.0));
    const auto exits = of_kind(run(k, 1, flat_bar(1, 101.0)), KernelEventKind::Exited);
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].trade->size, 6.0);  // min(10 requested, 6 held)
    EXPECT_EQ(status_of(k, sell), OrderStatus::Filled);

    open_long(k, 6.0);  // a fresh kernel would do too; ids keep counting
    const std::uint64_t before = k.rejected_entries();
    const auto buy = submit(k, order_args("buy", "market", 2));
    EXPECT_EQ(reject_reasons(run(k, 2, flat_bar(2, 100.0))), (Kinds{"position_open"}));
    EXPECT_EQ(status_of(k, buy), OrderStatus::Rejected);
    EXPECT_EQ(k.rejected_entries(), before + 1);
}

TEST(OrderLifecycle, OrdersWithoutASizeCloseTheWholePositionOrAreInvalid) {
    Kernel flat(order_config());
    submit(flat, order_args("buy", "market", 0, std::nullopt));
    EXPECT_EQ(reject_reasons(run(flat, 0, flat_bar(0, 100.0))), (Kinds{"invalid_qty"}));

    Kernel held(order_config());
    open_long(held, 7.0);
    submit(held, order_args("sell", "market", 1, std::nullopt));
    const auto exits = of_kind(run(held, 1, flat_bar(1, 100.0)), KernelEventKind::Exited);
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].trade->size, 7.0);
}

TEST(OrderLifecycle, ReduceOnlyRouting) {
    OrderRequestArgs a = order_args("sell", "market", 0);
    a.reduce_only = true;
    for (OmsType oms : {OmsType::Hedging, OmsType::Netting}) {  // flat netting: nothing to reduce
        Kernel k(order_config({}, oms));
        submit(k, a);
        EXPECT_EQ(reject_reasons(run(k, 0, flat_bar(0, 100.0))), (Kinds{"reduce_only"}));
    }
    Kernel netting(order_config());
    open_long(netting, 4.0);
    a.submitted_idx = 1;
    submit(netting, a);
    EXPECT_EQ(count_kind(run(netting, 1, flat_bar(1, 100.0)), KernelEventKind::Exited), 1u);
    EXPECT_FALSE(netting.in_position());
}

// A long of 10 with a sell target at 105 and a sell stop at 95 for 5 each, linked with
// the ids in the given order.
std::pair<std::uint64_t, std::uint64_t> bracket(Kernel& k, bool stop_first) {
    open_long(k);
    const auto t = submit(k, limit_args("sell", 105.0, 0, 5.0));
    OrderRequestArgs stop = order_args("sell", "stop_market", 0, 5.0);
    stop.trigger_price = 95.0;
    const auto s = submit(k, stop);
    const std::array<std::uint64_t, 2> group = stop_first ? std::array{s, t} : std::array{t, s};
    k.link_oco(group);
    return {t, s};
}

TEST(OrderLifecycle, OneCancelsOtherOnTheFillingStepOnly) {
    Kernel k(order_config());
    const auto [t, s] = bracket(k, true);
    EXPECT_EQ(*k.find_order(t)->oco_group, t);  // the smaller id names the group
    (void)run(k, 1, bar(1, 100, 104, 96, 100));  // neither reached
    const auto ev = run(k, 2, bar(2, 100, 106, 99, 105));
    EXPECT_EQ(kinds_of(ev), (Kinds{"order_filled", "exited", "order_canceled"}));
    EXPECT_EQ(ev[2].id, s);
    EXPECT_EQ(status_of(k, s), OrderStatus::Canceled);
}

TEST(OrderLifecycle, BothSiblingsReachedOnOneBarFillOnlyTheFirst) {
    Kernel k(order_config());
    const auto [t, s] = bracket(k, false);
    EXPECT_EQ(count_kind(run(k, 1, bar(1, 100, 106, 94, 100)), KernelEventKind::OrderFilled), 1u);
    EXPECT_EQ(status_of(k, t), OrderStatus::Filled);
    EXPECT_EQ(status_of(k, s), OrderStatus::Canceled);
    EXPECT_EQ(k.position()->size, 5.0);  // only one of the pair traded
}

TEST(OrderLifecycle, LinkOcoNamesTheGroupAfterTheSmallestId) {
    Kernel k(order_config());
    for (int i = 0; i < 13; ++i) submit(k, limit_args("buy", 90.0));
    const std::array<std::uint64_t, 4> ids{12, 7, 9, 99};  // 99 is unknown and skipped
    k.link_oco(ids);
    k.link_oco(std::span<const std::uint64_t>{});
    for (std::uint64_t id = 0; id < 13; ++id) {
        const bool member = id == 7 || id == 9 || id == 12;
        EXPECT_EQ(k.find_order(id)->oco_group, member ? std::optional<std::uint64_t>(7) : std::nullopt) << id;
    }
}

TEST(OrderLifecycle, ChildWaitsForItsParentAndIsReleasedByTheCompletingFill) {
    Kernel k(order_config());
    const auto p = submit(k, limit_args("buy", 100.0));
    OrderRequestArgs child = limit_args("sell", 110.0);
    child.parent_id = p;
    const auto c = submit(k, child);
    EXPECT_EQ(status_of(k, c), OrderStatus::Submitted);
    const auto ev = run(k, 1, bar(1, 101, 102, 99, 101));
    // The parent's acceptance (queued at submission), its fill, then the child's release.
    EXPECT_EQ(kinds_of(ev), (Kinds{"order_accepted", "order_filled", "entered", "order_accepted"}));
    EXPECT_EQ(ev[3].id, c);
    EXPECT_EQ(count_kind(run(k, 2, bar(2, 108, 111, 107, 110)), KernelEventKind::Exited), 1u);
    EXPECT_EQ(status_of(k, c), OrderStatus::Filled);
}

TEST(OrderLifecycle, ChildOfACanceledParentIsCanceledOnTheNextEvent) {
    Kernel k(order_config());
    const auto p = submit(k, limit_args("buy", 90.0));
    OrderRequestArgs child = order_args("sell", "market", 0);
    child.parent_id = p;
    const auto c = submit(k, child);
    EXPECT_TRUE(k.cancel_order(0, p));
    const auto cancels = of_kind(run(k, 1, flat_bar(1, 100.0)), KernelEventKind::OrderCanceled);
    ASSERT_EQ(cancels.size(), 2u);  // the queued parent cancel, then the child
    EXPECT_EQ(cancels[1].id, c);
    EXPECT_EQ(cancels[1].idx, 1u);
}

TEST(OrderLifecycle, CancelsReportOnlyWorkingOrders) {
    Kernel k(order_config());
    EXPECT_FALSE(k.cancel_order(0, 42));
    EXPECT_TRUE(k.cancel_all_orders(0).empty());
    EXPECT_TRUE(k.pending_events().empty());
    EXPECT_FALSE(k.cancel_order(1, open_long(k)));
    const auto x = submit(k, limit_args("sell", 120.0, 1));
    const auto y = submit(k, limit_args("sell", 120.0, 1));
    EXPECT_EQ(k.open_order_ids(), (std::vector<std::uint64_t>{x, y}));
    EXPECT_EQ(k.cancel_all_orders(5), (std::vector<std::uint64_t>{x, y}));
    EXPECT_TRUE(k.open_order_ids().empty());
    const auto ev = run(k, 2, flat_bar(2, 100.0));
    EXPECT_EQ(kinds_of(ev), (Kinds{"order_accepted", "order_accepted", "order_canceled", "order_canceled"}));
    EXPECT_EQ(ev[2].idx, 5u);
}

TEST(OrderLifecycle, ModifyFollowsTheKindsPriceTable) {
    Kernel k(order_config());
    const auto market = submit(k, order_args("buy", "market", 5));
    EXPECT_FALSE(*k.modify_order(market, std::nullopt, std::nullopt, 101.0, std::nullopt));
    const auto limit = submit(k, limit_args("buy", 100.0));
    EXPECT_TRUE(*k.modify_order(limit, 3.0, std::nullopt, std::nullopt, std::nullopt));
    EXPECT_EQ(k.find_order(limit)->size_value, 3.0);
    EXPECT_FALSE(*k.modify_order(limit, std::nullopt, std::nullopt, 101.0, 99.0));
    EXPECT_EQ(*k.find_order(limit)->prices.limit_price, 101.0);  // replaced before the refusal
    EXPECT_TRUE(*k.modify_order(limit, std::nullopt, 0.5, std::nullopt, std::nullopt));
    EXPECT_EQ(k.find_order(limit)->size_mode, SizeMode::SizeFrac);

    OrderRequestArgs sl = limit_args("buy", 104.0);
    sl.kind = "stop_limit";
    sl.trigger_price = 105.0;
    const auto stop_limit = submit(k, sl);
    // Triggers at 105 inside the bar; neither 105 nor the close 105 is within 104.
    (void)run(k, 1, bar(1, 100, 105.5, 100.5, 105));
    ASSERT_EQ(status_of(k, stop_limit), OrderStatus::Triggered);
    EXPECT_FALSE(*k.modify_order(stop_limit, std::nullopt, std::nullopt, 107.0, 104.0));
    EXPECT_EQ(*k.find_order(stop_limit)->prices.limit_price, 107.0);
    EXPECT_EQ(*k.find_order(stop_limit)->prices.trigger_price, 105.0);
    EXPECT_FALSE(*k.modify_order(999, 1.0, std::nullopt, std::nullopt, std::nullopt));
}

TEST(OrderLifecycle, InstrumentExpiryCancelsEveryWorkingOrder) {
    KernelConfig kc = order_config();
    kc.instrument = *InstrumentSpec::futures_contract({.terms = {.symbol = "F"}, .expiration_ns = 10});
    Kernel k(kc);
    const auto resting = submit(k, limit_args("buy", 90.0));
    const auto market = submit(k, order_args("buy", "market", 5));
    EXPECT_EQ(kinds_of(run(k, 1, flat_bar(10, 100.0))), (Kinds{"order_accepted", "order_canceled", "order_canceled"}));
    EXPECT_EQ(status_of(k, resting), OrderStatus::Canceled);
    EXPECT_EQ(status_of(k, market), OrderStatus::Canceled);
}

TEST(OrderLifecycle, AModifiedLimitIsWhatTheNextWalkUses) {
    Kernel k(order_config());
    const auto id = submit(k, limit_args("buy", 95.0));
    (void)run(k, 1, bar(1, 100, 101, 98, 100));
    EXPECT_TRUE(*k.modify_order(id, 4.0, std::nullopt, 98.5, std::nullopt));
    const auto fills = of_kind(run(k, 2, bar(2, 100, 101, 98, 100)), KernelEventKind::OrderFilled);
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].price, 98.5);
    EXPECT_EQ(fills[0].size, 4.0);
}

// ---- mended faults ----------------------------------------------------------------

TEST(OrderLifecycleMends, ACompleteFillOfAStillSubmittedChildEndsFilledAndFillsOnce) {
    Kernel k(order_config());
    const auto parent = open_long(k);
    // Submitted after its parent already filled: nothing releases it, so it is still
    // "submitted" when the walk fills it at the next open.
    OrderRequestArgs child = order_args("sell", "market", 0, 10.0);
    child.parent_id = parent;
    const auto c = submit(k, child);
    EXPECT_EQ(status_of(k, c), OrderStatus::Submitted);
    EXPECT_EQ(count_kind(run(k, 1, bar(1, 102, 103, 101, 102)), KernelEventKind::OrderFilled), 1u);
    EXPECT_EQ(status_of(k, c), OrderStatus::Filled);
    open_long(k);  // a new position the child must not close again
    EXPECT_EQ(count_kind(run(k, 2, flat_bar(2, 100.0)), KernelEventKind::OrderFilled), 0u);
    EXPECT_TRUE(k.in_position());
}

TEST(OrderLifecycleMends, ASubmittedOrderExpiresOnce) {
    Kernel k(order_config());
    k.set_margin_call(true);  // refuses every entry and ends those steps early
    OrderRequestArgs a = order_args("buy", "market", 0);
    a.tif = "gtd";
    a.expire_ns = 3;
    const auto id = submit(k, a);
    std::vector<KernelEvent> all;
    for (std::uint64_t i = 0; i < 6; ++i) {
        const auto& ev = k.step(i, flat_bar(static_cast<std::int64_t>(i), 100.0), entry(), false);
        all.insert(all.end(), ev.begin(), ev.end());
    }
    const auto expired = of_kind(all, KernelEventKind::OrderExpired);
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(expired[0].idx, 3u);
    EXPECT_EQ(status_of(k, id), OrderStatus::Expired);
}

TEST(OrderLifecycleMends, MarketOrdersForEarlierIndicesAreStillDue) {
    Kernel late(order_config());
    const auto id = submit(late, order_args("buy", "market", 0));
    EXPECT_EQ(kinds_of(run(late, 2, flat_bar(2, 103.0))), (Kinds{"order_accepted", "order_filled", "entered"}));
    EXPECT_EQ(status_of(late, id), OrderStatus::Filled);

    // A refused entry gate ends its step before due orders; the next step fills them.
    Kernel gated(order_config());
    gated.set_margin_call(true);
    const auto held = submit(gated, order_args("buy", "market", 0));
    (void)gated.step(0, flat_bar(0, 100.0), entry(), false);
    EXPECT_EQ(status_of(gated, held), OrderStatus::Submitted);
    gated.set_margin_call(false);
    (void)run(gated, 1, flat_bar(1, 101.0));
    EXPECT_EQ(status_of(gated, held), OrderStatus::Filled);
}

TEST(OrderLifecycleMends, HedgingRecordsTheOpeningOrderOnTheNewPosition) {
    Kernel k(order_config({}, OmsType::Hedging));
    const auto first = submit(k, order_args("buy", "market", 0, 2.0));
    (void)run(k, 0, flat_bar(0, 100.0));
    const auto second = submit(k, order_args("buy", "market", 1, 3.0));
    (void)run(k, 1, flat_bar(1, 101.0));
    const auto& ps = k.ledger().positions();
    ASSERT_EQ(ps.size(), 2u);
    EXPECT_EQ(ps[0].opening_order_id, first);
    EXPECT_EQ(ps[1].opening_order_id, second);
    EXPECT_EQ(ps[1].size, 3.0);
}

}  // namespace
}  // namespace tarnwick
