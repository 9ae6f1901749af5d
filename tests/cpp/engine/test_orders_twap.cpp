// TWAP schedules: slice sizes and ids, one slice per due step, completion, cancellation,
// the argument checks, and slices building one position under netting.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

#include "order_fixtures.h"

namespace tarnwick {

using domain::BacktestConfig;
using domain::FillTiming;
using engine::Kernel;
using engine::KernelEvent;
using engine::KernelEventKind;
using engine::OmsType;
using engine::OrderStatus;
using engine::TwapArgs;
using engine::twap_slice_units;

namespace {

using namespace testing_support;

TwapArgs twap(double units, std::uint32_t slices, std::int64_t interval = 10) {
    TwapArgs a;
    a.units = units;
    a.side = "buy";
    a.slices = slices;
    a.interval_ns = interval;
    a.client_id = "t1";
    return a;
}

// Steps bars at timestamps 0, 5, 10, ..., collecting every event.
std::vector<KernelEvent> run_bars(Kernel& k, int bars) {
    std::vector<KernelEvent> all;
    for (int i = 0; i < bars; ++i) {
        const auto& ev = k.step(static_cast<std::uint64_t>(i), flat_bar(5 * i, 100.0), {}, false);
        all.insert(all.end(), ev.begin(), ev.end());
    }
    return all;
}

TEST(Twap, SliceSizesTakeTheRemainderOnTheLastSlice) {
    EXPECT_EQ(twap_slice_units(3.0, 0, 3), 1.0);
    EXPECT_EQ(twap_slice_units(3.0, 2, 3), 1.0);
    EXPECT_EQ(twap_slice_units(7.0, 0, 1), 7.0);
}

TEST(Twap, HedgingScheduleSendsOneSlicePerDueStepAndCompletesOnce) {
    Kernel k(order_config({}, OmsType::Hedging));
    auto algo = k.submit_twap(twap(10.0, 3));
    ASSERT_TRUE(algo.ok());
    EXPECT_EQ(*algo, 0u);  // algo ids count on their own
    const auto all = run_bars(k, 6);  // due at ts 0, 10 and 20 (steps 0, 2 and 4)
    // Sizes 3.3333333333333335, 3.3333333333333335 and the remainder 3.333333333333333.
    std::vector<std::tuple<double, std::string, std::uint64_t>> fills;
    for (const auto& e : of_kind(all, KernelEventKind::OrderFilled)) fills.emplace_back(e.size, e.text, e.idx);
    EXPECT_EQ(fills, (std::vector<std::tuple<double, std::string, std::uint64_t>>{
                         {10.0 / 3.0, "t1#0", 0}, {20.0 / 3.0 - 10.0 / 3.0, "t1#1", 2}, {10.0 - 20.0 / 3.0, "t1#2", 4}}));
    const auto started = of_kind(all, KernelEventKind::AlgoStarted);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].text, "t1");
    const auto completed = of_kind(all, KernelEventKind::AlgoCompleted);
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].idx, 4u);
    EXPECT_EQ(completed[0].id, 0u);
    EXPECT_TRUE(completed[0].text.empty());
    EXPECT_EQ(k.ledger().size(), 3u);  // each slice its own position
    EXPECT_TRUE(k.twap_schedules().empty());
    for (const auto& o : k.orders()) EXPECT_EQ(o.algo_id, 0u);
}

TEST(TwapMends, NettingSlicesBuildOnePosition) {
    Kernel k(order_config());
    ASSERT_TRUE(k.submit_twap(twap(10.0, 3)).ok());
    const auto all = run_bars(k, 6);
    EXPECT_TRUE(of_kind(all, KernelEventKind::OrderRejected).empty());
    EXPECT_EQ(of_kind(all, KernelEventKind::OrderFilled).size(), 3u);
    ASSERT_EQ(k.ledger().size(), 1u);
    // 3.3333333333333335 + 3.3333333333333335 + 3.333333333333333
    EXPECT_EQ(k.position()->size, 10.0);
    for (const auto& o : k.orders()) EXPECT_EQ(o.status, OrderStatus::Filled);
}

TEST(TwapMends, ASlicedPositionStillRefusesOtherOrders) {
    Kernel k(order_config());
    ASSERT_TRUE(k.submit_twap(twap(4.0, 2)).ok());
    (void)k.step(0, flat_bar(0, 100.0), {}, false);
    const auto other = submit(k, order_args("buy", "market", 1, 1.0));
    const auto rejects = of_kind(events_of(k.step(1, flat_bar(5, 100.0), {}, false)), KernelEventKind::OrderRejected);
    ASSERT_EQ(rejects.size(), 1u);
    EXPECT_EQ(rejects[0].id, other);
    EXPECT_EQ(rejects[0].reason, "position_open");
}

TEST(Twap, CancelStopsTheScheduleAndItsWorkingSlices) {
    BacktestConfig bc;
    bc.fill_timing = FillTiming::NextBarOpen;  // slices wait a bar, so one is working
    Kernel k(order_config(bc));
    auto algo = k.submit_twap(twap(6.0, 3));
    ASSERT_TRUE(algo.ok());
    (void)k.step(0, flat_bar(0, 100.0), {}, false);
    ASSERT_EQ(k.open_order_ids().size(), 1u);
    EXPECT_TRUE(k.cancel_twap(*algo, 7));
    EXPECT_FALSE(k.cancel_twap(*algo, 7));
    EXPECT_FALSE(k.cancel_twap(42, 7));
    EXPECT_TRUE(k.open_order_ids().empty());
    const auto ev = events_of(k.step(1, flat_bar(5, 100.0), {}, false));
    EXPECT_EQ(kinds_of(ev), (std::vector<std::string>{"order_canceled", "algo_completed"}));
    EXPECT_EQ(ev[0].idx, 7u);
    EXPECT_FALSE(k.in_position());
}

struct TwapRefusal {
    const char* label;
    TwapArgs args;
    const char* message;
};

class TwapArguments : public ::testing::TestWithParam<TwapRefusal> {};

TEST_P(TwapArguments, RefusedInCheckOrder) {
    Kernel k(order_config());
    auto r = k.submit_twap(GetParam().args);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), GetParam().message);
    EXPECT_TRUE(k.pending_events().empty());
    EXPECT_TRUE(k.twap_schedules().empty());
}

TwapArgs with(TwapArgs a, auto edit) {
    edit(a);
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, TwapArguments,
    ::testing::Values(
        TwapRefusal{"capital_side", with(twap(1, 1), [](auto& a) { a.side = "BUY"; }),
                    "side must be 'buy' or 'sell', got BUY"},
        TwapRefusal{"zero_slices", twap(1, 0), "slices must be >= 1"},
        TwapRefusal{"slices_before_interval", twap(1, 0, 0), "slices must be >= 1"},
        TwapRefusal{"zero_interval", twap(1, 2, 0), "interval must be > 0"},
        TwapRefusal{"nan_units", twap(std::numeric_limits<double>::quiet_NaN(), 2),
                    "total units must be finite and > 0"},
        TwapRefusal{"infinite_units", twap(std::numeric_limits<double>::infinity(), 2),
                    "total units must be finite and > 0"},
        TwapRefusal{"negative_units", twap(-1, 2), "total units must be finite and > 0"}),
    [](const ::testing::TestParamInfo<TwapRefusal>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tarnwick
