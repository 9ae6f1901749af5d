// The feed pieces a session's schedule is built from, where Python sees only part of
// them: the signed size of a print, the merge keys, and the payload words kept inside.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "data/events/tick_expansion.h"
#include "data/feed/schedule.h"
#include "runners/session/portfolio_session.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;

namespace tarnwick {

using data::FeedEvent;
using data::FeedEventKind;
using data::ScheduleEntry;
using data::ScheduleKind;
using data::TickColumns;
using data::TickRow;
using data::merge_streams;
using data::tick_events_from_columns;
using domain::BacktestConfig;
using domain::BarSignal;
using domain::OhlcvBar;
using engine::AccountSetup;
using engine::OmsType;
using runners::PortfolioSession;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TickColumns columns(std::vector<double> ltp, std::vector<double> buy, std::vector<double> sell,
                    std::vector<double> ltq) {
    const std::size_t n = ltp.size();
    TickColumns c;
    for (std::size_t i = 0; i < n; ++i) c.timestamps.push_back(static_cast<std::int64_t>(i) * 10);
    c.ltp = std::move(ltp);
    c.buy_qty_delta = std::move(buy);
    c.sell_qty_delta = std::move(sell);
    c.ltq = std::move(ltq);
    c.bid = c.ask = c.oi = c.bid_qty = c.ask_qty = std::vector<double>(n, 0.0);
    return c;
}

struct PrintCase {
    double ltp, buy, sell, ltq;
    bool prints;
    double size, signed_size;
};

class TickPrint : public ::testing::TestWithParam<PrintCase> {};

TEST_P(TickPrint, SizeAndSignedSizeFromTheDeltas) {
    const PrintCase& p = GetParam();
    const auto events = tick_events_from_columns(columns({p.ltp}, {p.buy}, {p.sell}, {p.ltq}), 2, 7, 8);
    ASSERT_EQ(events.size(), p.prints ? 1u : 0u);
    if (!p.prints) return;
    const FeedEvent& e = events[0];
    EXPECT_EQ(e.kind, FeedEventKind::Trade);
    EXPECT_EQ(e.instrument, 2u);
    EXPECT_EQ(e.stream, 7u);
    EXPECT_EQ(e.payload[0], p.ltp);
    EXPECT_EQ(e.payload[1], p.size);
    EXPECT_EQ(e.payload[2], p.signed_size);
}

INSTANTIATE_TEST_SUITE_P(Rows, TickPrint,
                         ::testing::Values(
                             // |-5| + |3| = 8 traded, |-5| - |3| = 2 net buying.
                             PrintCase{100.0, -5.0, 3.0, 0.0, true, 8.0, 2.0},
                             // A reported last quantity wins over the deltas; the net stays.
                             PrintCase{100.0, -5.0, 3.0, 4.0, true, 4.0, 2.0},
                             PrintCase{101.0, -2.0, 7.0, 0.0, true, 9.0, -5.0},
                             PrintCase{101.0, 0.0, 0.0, -1.0, true, 0.0, 0.0},
                             PrintCase{0.0, 1.0, 1.0, 1.0, false, 0.0, 0.0},
                             PrintCase{kNaN, 1.0, 1.0, 1.0, false, 0.0, 0.0}),
                         [](const auto& i) {
                             const PrintCase& p = i.param;
                             return row_name("ltp", p.ltp, "buy", p.buy, "sell", p.sell, "ltq", p.ltq);
                         });

TEST(TickExpansion, QuotesFollowTheirRowsPrintOnTheirOwnStream) {
    TickColumns c = columns({10.0, 0.0, 11.0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0});
    c.bid = {9.0, 9.5, 0.0};
    c.ask = {11.0, 10.5, 12.0};
    c.bid_qty = {3.0, 0.0, 0.0};
    const auto events = tick_events_from_columns(c, 0, 0, 1);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, FeedEventKind::Trade);
    EXPECT_EQ(events[1].kind, FeedEventKind::Quote);
    EXPECT_EQ(events[1].stream, 1u);
    EXPECT_EQ(events[1].payload[2], 3.0);
    EXPECT_TRUE(std::isnan(events[1].payload[3]));
    EXPECT_EQ(events[2].kind, FeedEventKind::Quote);
    EXPECT_TRUE(std::isnan(events[2].payload[2]));
    EXPECT_EQ(events[3].kind, FeedEventKind::Trade);
    EXPECT_EQ(events[3].ts, 20);
}

TEST(TickExpansion, ShortColumnsLimitTheRows) {
    TickColumns c = columns({10.0, 11.0}, {0, 0}, {0, 0}, {0, 0});
    c.oi.pop_back();
    EXPECT_EQ(c.rows(), 1u);
    EXPECT_EQ(tick_events_from_columns(c, 0, 0, 1).size(), 1u);
}

FeedEvent ev(FeedEventKind kind, std::int64_t ts, std::uint32_t instrument, std::uint32_t stream, double tag) {
    return FeedEvent{kind, ts, {tag, 0, 0, 0, 0}, instrument, stream};
}

TEST(Merge, TimestampThenKindThenStreamThenSequence) {
    const std::vector<std::vector<FeedEvent>> streams = {
        {ev(FeedEventKind::Bar, 5, 0, 0, 1.0), ev(FeedEventKind::Bar, 6, 0, 0, 2.0)},
        {ev(FeedEventKind::Bar, 5, 1, 1, 3.0)},
        {ev(FeedEventKind::Trade, 5, 1, 2, 4.0), ev(FeedEventKind::Trade, 5, 1, 2, 5.0)},
        {ev(FeedEventKind::Quote, 5, 1, 3, 6.0)},
        {ev(FeedEventKind::Depth, 5, 0, 4, 7.0), ev(FeedEventKind::Depth, -1, 0, 4, 8.0)},
    };
    std::vector<ScheduleEntry> schedule;
    std::vector<std::uint64_t> counts = {0, 0};
    merge_streams(streams, schedule, counts);
    std::vector<double> tags;
    for (const auto& e : schedule) tags.push_back(e.payload[0]);
    // The depth at -1 is released only after its predecessor at 5, so it comes right after it.
    EXPECT_EQ(tags, (std::vector<double>{4.0, 5.0, 6.0, 7.0, 8.0, 1.0, 3.0, 2.0}));
    EXPECT_EQ(schedule[0].kind, ScheduleKind::Trade);
    EXPECT_EQ(schedule[2].kind, ScheduleKind::Quote);
    EXPECT_EQ(schedule[3].kind, ScheduleKind::Book);
    std::vector<std::uint64_t> local;
    for (const auto& e : schedule) local.push_back(e.local_idx);
    EXPECT_EQ(local, (std::vector<std::uint64_t>{0, 1, 2, 0, 1, 2, 3, 3}));
    EXPECT_EQ(counts, (std::vector<std::uint64_t>{4, 4}));
}

TEST(Session, PushedPrintsKeepTheirSignedSizeAndOpenInterest) {
    PortfolioSession s(BacktestConfig{}, AccountSetup{});
    s.add_instrument("X", 1, std::nullopt, std::nullopt, OmsType::Netting);
    TickRow row;
    row.ltp = 101.0;
    row.buy_qty_delta = -2.0;
    row.sell_qty_delta = 7.0;
    row.oi = 40.0;
    ASSERT_TRUE(s.push_tick(0, 3, row).ok());
    ASSERT_EQ(s.schedule().size(), 1u);
    const ScheduleEntry& e = s.schedule()[0];
    EXPECT_EQ(e.kind, ScheduleKind::Trade);
    EXPECT_EQ(e.payload[1], 9.0);
    EXPECT_EQ(e.payload[2], -5.0);
    EXPECT_EQ(e.payload[3], 40.0);
}

TEST(Session, CurvesKeepOneLengthAndTheHaltLatchesOnce) {
    BacktestConfig cfg;
    cfg.fees = 0.0;
    cfg.max_drawdown_pct = 10.0;
    PortfolioSession s(cfg, AccountSetup{});
    s.add_instrument("X", 1, std::nullopt, std::nullopt, OmsType::Netting);
    std::int64_t t = 0;
    for (double p : {100.0, 95.0, 89.0, 80.0, 120.0}) ASSERT_TRUE(s.push_bar(0, OhlcvBar{++t, p, p, p, p, 1.0}).ok());
    BarSignal in;
    in.entry = true;
    s.apply_current(in);
    while (s.remaining() > 0) s.apply_current(BarSignal{});
    EXPECT_EQ(s.equity_curve().size(), 5u);
    EXPECT_EQ(s.drawdown_curve().size(), 5u);
    EXPECT_EQ(s.returns().size(), 5u);
    // 1000 units: 89 is the first close 10 % or more below the 100000 peak.
    ASSERT_TRUE(s.halted_at().has_value());
    EXPECT_EQ(*s.halted_at(), 2u);
    EXPECT_DOUBLE_EQ(s.drawdown_curve()[3], 20.0);
    EXPECT_DOUBLE_EQ(s.returns()[1], -0.05);
}

}  // namespace
}  // namespace tarnwick
