// Fill models on bars and trade prints: limit fill probability with its seeded draws, the
// one-tick slip, queue positions against the depth book, partial fills, fill-or-kill and
// immediate-or-cancel on prints, order latency, and run-to-run determinism.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "engine/orders/order_snapshots.h"
#include "order_fixtures.h"

namespace tarnwick {

using domain::BacktestConfig;
using domain::OhlcvBar;
using domain::Order;
using engine::CoreSession;
using engine::DepthBook;
using engine::FillRandom;
using engine::Kernel;
using engine::KernelEvent;
using engine::KernelEventKind;
using engine::OmsType;
using engine::OrderRequestArgs;
using engine::OrderSnapshots;
using engine::OrderStatus;

namespace {

using namespace testing_support;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

OhlcvBar print(std::int64_t ts, double price, double size) { return bar(ts, price, price, price, price, size); }

std::uint64_t buy_limit(Kernel& k, double limit, double units = 10.0, const char* tif = "gtc") {
    OrderRequestArgs a = order_args("buy", "limit", 0, units);
    a.limit_price = limit;
    a.tif = tif;
    return submit(k, a);
}

std::vector<KernelEvent> fills_at(Kernel& k, std::uint64_t idx, const OhlcvBar& b, bool print = false) {
    return of_kind(k.step(idx, b, {}, print), KernelEventKind::OrderFilled);
}

// ---- limit fill probability -----------------------------------------------------

struct ProbabilityCase {
    const char* label;
    double probability;
    std::uint64_t seed;
    std::optional<std::uint64_t> fill_bar;
};

class LimitFillProbability : public ::testing::TestWithParam<ProbabilityCase> {};

TEST_P(LimitFillProbability, SeededDrawsDecideTheBar) {
    const ProbabilityCase& c = GetParam();
    BacktestConfig bc;
    bc.fill_prob_limit = c.probability;
    bc.fill_seed = c.seed;
    Kernel k(order_config(bc));
    const auto id = buy_limit(k, 100.0);
    std::optional<std::uint64_t> filled_on;
    for (std::uint64_t i = 1; i <= 3; ++i) {
        const auto fills = fills_at(k, i, bar(static_cast<std::int64_t>(i), 101, 102, 99.5, 101));
        if (!fills.empty() && !filled_on) filled_on = i;
    }
    EXPECT_EQ(filled_on, c.fill_bar);
    EXPECT_EQ(status_of(k, id), c.fill_bar ? OrderStatus::Filled : OrderStatus::Accepted);
    if (!(c.probability < 1.0)) {
        EXPECT_EQ(k.fill_random_state(), c.seed);  // certain: no model, no draw
    }
}

// SplitMix64 draws, computed independently: seed 0 gives 0.883, 0.432, ...; seed 3
// gives 0.113 first; seed 1 gives 0.567, 0.746, 0.971 (never below 0.5).
INSTANTIATE_TEST_SUITE_P(
    Seeds, LimitFillProbability,
    ::testing::Values(ProbabilityCase{"seed0_second_bar", 0.5, 0, 2}, ProbabilityCase{"seed3_first_bar", 0.5, 3, 1},
                      ProbabilityCase{"seed1_never", 0.5, 1, std::nullopt},
                      ProbabilityCase{"certain_without_draw", 1.0, 1, 1},
                      ProbabilityCase{"above_one_without_draw", 1.5, 1, 1},
                      ProbabilityCase{"nan_means_certain", kNaN, 1, 1},
                      ProbabilityCase{"zero_never", 0.0, 3, std::nullopt}),
    [](const ::testing::TestParamInfo<ProbabilityCase>& info) { return std::string(info.param.label); });

TEST(FillModels, TheGeneratorMatchesTheMixer) {
    FillRandom r(0);
    EXPECT_DOUBLE_EQ(r.next(), 0.8833108082136426);
    EXPECT_DOUBLE_EQ(r.next(), 0.43152799704850997);
    EXPECT_EQ(r.state(), 2 * 0x9E3779B97F4A7C15ULL);
}

// ---- one-tick slip ----------------------------------------------------------------

TEST(FillModels, NonRestingFillsSlipOneTickAgainstTheTrader) {
    BacktestConfig bc;
    bc.fill_prob_slippage = 1.0;
    Kernel k(order_config(bc, OmsType::Hedging, 0.05));
    submit(k, order_args("buy", "market_to_limit", 0));
    submit(k, order_args("sell", "market_to_limit", 0));
    OrderRequestArgs stop = order_args("buy", "stop_market", 0);
    stop.trigger_price = 100.5;
    submit(k, stop);
    const auto fills = fills_at(k, 1, bar(1, 101, 102, 100, 101));
    ASSERT_EQ(fills.size(), 3u);
    EXPECT_EQ(fills[0].price, 101.0 + 0.05);
    EXPECT_EQ(fills[1].price, 101.0 - 0.05);
    EXPECT_EQ(fills[2].price, 101.0 + 0.05);  // the stop decided at the open 101, over its trigger
}

TEST(FillModels, MarketOrdersSlipOneTickToo) {
    // The market orders' price is the event's close (same-bar close): 101.0.
    BacktestConfig bc;
    bc.fill_prob_slippage = 1.0;
    Kernel k(order_config(bc, OmsType::Hedging, 0.05));
    submit(k, order_args("buy", "market", 0));
    submit(k, order_args("sell", "market", 0));
    const auto fills = fills_at(k, 0, flat_bar(0, 101.0));
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_DOUBLE_EQ(fills[0].price, 101.05);
    EXPECT_DOUBLE_EQ(fills[1].price, 100.95);
}

TEST(FillModels, SlipDrawsEvenWithoutAnIncrement) {
    BacktestConfig bc;
    bc.fill_prob_slippage = 0.5;
    bc.fill_seed = 5;
    Kernel k(order_config(bc));
    submit(k, order_args("buy", "market", 0));
    const auto fills = fills_at(k, 0, flat_bar(0, 100.0));
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].price, 100.0);  // no instrument: nothing to move by
    EXPECT_NE(k.fill_random_state(), 5u);
}

// ---- queue positions ----------------------------------------------------------------

// A kernel with the queue model and, unless `bid_size` is zero, one bid level shown.
Kernel queue_kernel(double limit_slippage = 0.0, double bid = 100.0, double bid_size = 300.0) {
    BacktestConfig bc;
    bc.queue_fill_model = true;
    bc.limit_slippage = limit_slippage;
    Kernel k(order_config(bc));
    if (bid_size > 0.0) {
        const std::array<double, 1> bp{bid}, bs{bid_size};
        k.apply_depth(0, bp, bs, {}, {});
    }
    return k;
}

TEST(QueueFills, OrderWaitsForTheSizeDisplayedAheadOfIt) {
    Kernel k = queue_kernel();
    const auto id = buy_limit(k, 100.0);
    EXPECT_TRUE(fills_at(k, 1, print(1, 100.0, 100.0), true).empty());
    EXPECT_TRUE(fills_at(k, 2, print(2, 100.0, 150.0), true).empty());
    ASSERT_NE(k.order_queues().find(id), nullptr);
    EXPECT_EQ(k.order_queues().find(id)->traded, 250.0);
    const auto fills = fills_at(k, 3, print(3, 100.0, 60.0), true);
    ASSERT_EQ(fills.size(), 1u);  // 310 traded > 300 ahead
    EXPECT_EQ(fills[0].price, 100.0);
    EXPECT_EQ(k.order_queues().find(id), nullptr);
}

TEST(QueueFills, APrintThroughTheLimitFillsAtOnceAtTheLimit) {
    Kernel k = queue_kernel(0.01);
    buy_limit(k, 100.0);
    const auto fills = fills_at(k, 1, print(1, 99.5, 1.0), true);
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].price, 100.0);  // the queue fills at L, without the walk's limit slippage
}

TEST(QueueFills, ALimitBetterThanTheBestBidHasNothingAhead) {
    Kernel k = queue_kernel(0.0, 99.5, 500.0);
    buy_limit(k, 100.0);
    EXPECT_EQ(fills_at(k, 1, print(1, 100.0, 1.0), true).size(), 1u);
}

TEST(QueueFills, WithoutABookTheProbabilityDecides) {
    Kernel k = queue_kernel(0.01, 0.0, 0.0);
    buy_limit(k, 100.0);
    const auto fills = fills_at(k, 1, print(1, 100.0, 1.0), true);
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].price, 100.0);  // 100 + 100 x 0.01, kept at the limit
}

TEST(QueueFills, AQuoteShortensTheQueueToTheDisplayedSize) {
    Kernel k = queue_kernel();
    const auto id = buy_limit(k, 100.0);
    (void)k.step(1, print(1, 100.0, 100.0), {}, true);  // ahead 300, traded 100
    k.apply_quote(2, 100.0, 50.0, 100.5, 10.0);
    EXPECT_EQ(k.order_queues().find(id)->ahead, 150.0);  // 50 shown + 100 traded
    EXPECT_EQ(fills_at(k, 2, print(3, 100.0, 60.0), true).size(), 1u);
}

TEST(QueueFills, AQuoteBelowTheOrderClearsItsQueue) {
    Kernel k = queue_kernel();
    const auto id = buy_limit(k, 100.0);
    (void)k.step(1, print(1, 100.0, 20.0), {}, true);
    k.apply_quote(2, 99.0, 500.0, 101.0, 10.0);
    EXPECT_EQ(k.order_queues().find(id)->ahead, 20.0);  // ahead = traded
    EXPECT_EQ(fills_at(k, 2, print(3, 100.0, 1.0), true).size(), 1u);
}

TEST(DepthBook, QuotesAndSnapshotsReplaceTheLevels) {
    DepthBook book;
    EXPECT_EQ(book.bid_count(), 0);
    book.apply_quote(5, 0.0, 10.0, 101.0, -1.0);
    EXPECT_EQ(book.bid_count(), 0);  // a bid of 0 leaves the side empty
    ASSERT_EQ(book.ask_count(), 1);
    EXPECT_TRUE(std::isnan(book.asks()[0].size));  // a negative size is no size
    EXPECT_EQ(book.timestamp(), 5);
    const std::array<double, 6> bp{100, 99.5, 99, 98.5, 98, 97.5}, bs{1, 2, 3, 4, 5, 6};
    const std::array<double, 2> ap{100.5, 101}, as{7, 8};
    book.apply_depth(9, bp, bs, ap, as);
    EXPECT_EQ(book.bid_count(), 5);  // at most five levels a side
    EXPECT_EQ(book.ask_count(), 2);
    EXPECT_EQ(book.level_at(true, 99.0)->size, 3.0);
    EXPECT_EQ(book.level_at(true, 97.5), nullptr);
    EXPECT_EQ(*book.best(false), 100.5);
}

// ---- partial fills and immediate orders on prints --------------------------------------

Kernel partial_kernel() {
    BacktestConfig bc;
    bc.partial_fills = true;
    return Kernel(order_config(bc));
}

TEST(PartialFills, EachPrintFillsAtMostItsSize) {
    Kernel k = partial_kernel();
    const auto id = buy_limit(k, 100.0, 100.0);
    std::vector<double> sizes;
    const std::array<double, 4> prints{30.0, 50.0, 40.0, 40.0};
    for (std::size_t i = 0; i < prints.size(); ++i) {
        for (const auto& e : fills_at(k, i + 1, print(static_cast<std::int64_t>(i + 1), 100.0, prints[i]), true)) {
            sizes.push_back(e.size);
        }
        if (i == 0) {
            EXPECT_EQ(status_of(k, id), OrderStatus::PartiallyFilled);
        }
    }
    EXPECT_EQ(sizes, (std::vector<double>{30.0, 50.0, 20.0}));  // 100 - 30 - 50 = 20 left for the third
    EXPECT_EQ(status_of(k, id), OrderStatus::Filled);
    EXPECT_EQ(k.position()->size, 100.0);
}

TEST(PartialFills, FillOrKillIsCanceledAndImmediateOrCancelKeepsItsPart) {
    Kernel k = partial_kernel();
    const auto fok = buy_limit(k, 100.0, 100.0, "fok");
    auto ev = events_of(k.step(1, print(1, 100.0, 30.0), {}, true));
    EXPECT_TRUE(of_kind(ev, KernelEventKind::OrderFilled).empty());
    EXPECT_EQ(status_of(k, fok), OrderStatus::Canceled);

    Kernel j = partial_kernel();
    const auto ioc = buy_limit(j, 100.0, 100.0, "ioc");
    ev = events_of(j.step(1, print(1, 100.0, 30.0), {}, true));
    EXPECT_EQ(kinds_of(ev), (std::vector<std::string>{"order_accepted", "order_filled", "entered", "order_canceled"}));
    EXPECT_EQ(status_of(j, ioc), OrderStatus::Canceled);
    EXPECT_EQ(j.find_order(ioc)->filled_qty, 30.0);
}

TEST(PartialFills, BarsAndPlainPrintsFillTheWholeQuantity) {
    Kernel k(order_config());
    buy_limit(k, 100.0, 100.0);
    const auto fills = fills_at(k, 1, print(1, 100.0, 30.0), true);
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].size, 100.0);
}

TEST(OrderSnapshotMends, AnOrderFilledInTwoSlicesReportsItsFinalStatus) {
    Kernel k = partial_kernel();
    const auto id = submit(k, order_args("buy", "market", 0, 10.0));
    OrderSnapshots snaps;
    for (const auto& [idx, price, size] : std::array<std::tuple<std::uint64_t, double, double>, 2>{
             {{1, 100.0, 4.0}, {2, 101.0, 6.0}}}) {
        for (const auto& e : k.step(idx, print(static_cast<std::int64_t>(idx), price, size), {}, true)) {
            snaps.record(e, k.orders(), "ABC");
        }
    }
    const auto reports = snaps.reports(k.orders(), "ABC");
    ASSERT_EQ(reports.size(), 1u);
    const Order& o = reports[0];
    EXPECT_EQ(o.id, id);
    EXPECT_EQ(o.status, "filled");
    EXPECT_EQ(o.filled_qty, 10.0);
    EXPECT_DOUBLE_EQ(*o.avg_fill_price, 100.6);  // (4 x 100 + 6 x 101) / 10
    EXPECT_EQ(o.fill_slices, 2u);
    EXPECT_EQ(o.last_fill_idx, 2u);
    EXPECT_EQ(o.symbol, "ABC");
    EXPECT_EQ(k.position()->size, 10.0);
}

TEST(OrderSnapshots, RejectionsCarryTheirReasonAndUntouchedOrdersReportAsTheyStand) {
    CoreSession s(order_config());
    submit(s.kernel(), order_args("buy", "market", 0, std::nullopt));  // nothing to size: invalid
    OrderRequestArgs frac = order_args("buy", "limit", 0, std::nullopt);
    frac.size_frac = 0.5;
    frac.limit_price = 50.0;
    submit(s.kernel(), frac);
    (void)s.step(0, flat_bar(0, 100.0), {});
    const auto reports = s.order_reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].status, "rejected");
    EXPECT_EQ(reports[0].reject_reason, "invalid_qty");
    EXPECT_EQ(reports[0].filled_qty, 0.0);
    EXPECT_FALSE(reports[0].avg_fill_price);
    EXPECT_EQ(reports[1].status, "accepted");
    EXPECT_FALSE(reports[1].requested_qty);  // a capital fraction states no units
    EXPECT_EQ(reports[1].limit_price, 50.0);
}

// ---- latency and determinism ----------------------------------------------------------

TEST(FillModels, PrintsWaitForTheOrderLatency) {
    BacktestConfig bc;
    bc.order_latency_ns = 10;
    Kernel k(order_config(bc, OmsType::Hedging));
    const auto market = submit(k, order_args("buy", "market", 0));
    const auto limit = buy_limit(k, 100.0);
    EXPECT_TRUE(fills_at(k, 1, print(9, 100.0, 1.0), true).empty());
    EXPECT_EQ(fills_at(k, 2, print(10, 100.0, 1.0), true).size(), 2u);
    EXPECT_EQ(status_of(k, market), OrderStatus::Filled);
    EXPECT_EQ(status_of(k, limit), OrderStatus::Filled);
}

std::vector<std::tuple<std::uint64_t, double, double>> seeded_run(std::uint64_t seed) {
    BacktestConfig bc;
    bc.fill_seed = seed;
    bc.fill_prob_limit = 0.3;
    bc.fill_prob_slippage = 0.5;
    Kernel k(order_config(bc, OmsType::Hedging, 0.5));
    std::vector<std::tuple<std::uint64_t, double, double>> fills;
    for (std::uint64_t i = 0; i < 40; ++i) {
        if (i % 4 == 0) {
            buy_limit(k, 100.0, 1.0);
            OrderRequestArgs a = order_args("buy", "stop_market", i, 1.0);
            a.trigger_price = 101.0;
            submit(k, a);
        }
        for (const auto& e : k.step(i + 1, bar(static_cast<std::int64_t>(i), 100.5, 101.5, 99.5, 100.5), {}, false)) {
            if (e.kind == KernelEventKind::OrderFilled) fills.emplace_back(e.id, e.price, e.size);
        }
    }
    return fills;
}

TEST(FillModels, TheSameSeedAndEventsGiveTheSameFills) {
    const auto a = seeded_run(42);
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, seeded_run(42));
    bool slipped = false;
    for (const auto& [id, price, size] : a) slipped = slipped || price == 101.5;  // stop at 101 + one 0.5 tick
    EXPECT_TRUE(slipped);
}

}  // namespace
}  // namespace tarnwick
