// The tick engine: fills only at tradable prices, stop and target distances at the ends of
// their range, the refusal of a bad setting, and the refusal of any column whose
// length differs from the last prices'. Expected values are worked by hand in each row's
// comment.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "runner_fixtures.h"
#include "runners/tick.h"
#include "test_names.h"

using tarnwick::testing_support::row_name;

namespace tarnwick::runners::tick {

using domain::ExitReason;

namespace {

using namespace tarnwick::testing_support;

// The columns of a scenario, one second apart; bid and ask half a point around the last
// price unless given.
struct Ticks {
    std::vector<std::int64_t> ts;
    std::vector<double> ltp, bid, ask, flow;
    std::vector<std::uint8_t> entries, exits;

    Ticks(std::vector<double> last, std::vector<std::size_t> in, std::vector<std::size_t> out)
        : ltp(std::move(last)) {
        const std::size_t n = ltp.size();
        for (std::size_t i = 0; i < n; ++i) {
            ts.push_back(static_cast<std::int64_t>(i) * 1'000'000'000);
            bid.push_back(ltp[i] - 0.5);
            ask.push_back(ltp[i] + 0.5);
        }
        flow.assign(n, 0.0);
        entries = flags(n, in);
        exits = flags(n, out);
    }
    TickColumns columns() const { return {ts, ltp, bid, ask, entries, exits, flow, flow, flow}; }
};

struct Case {
    std::string name;
    Ticks ticks;
    std::vector<Trip> trips;
    double stop_loss_pct = 5.0;
    double take_profit_pct = 10.0;
};

// Failures name the row, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class TickScenario : public ::testing::TestWithParam<Case> {};

TEST_P(TickScenario, FillsAtTradablePricesOnly) {
    const Case& c = GetParam();
    TickRunConfig cfg;
    cfg.fees = 0.0;
    cfg.stop_loss_pct = c.stop_loss_pct;
    cfg.take_profit_pct = c.take_profit_pct;
    auto out = run(cfg, c.ticks.columns());
    ASSERT_TRUE(out.ok()) << out.error().message();
    expect_trips(out.value().trades, c.trips);
    for (const double v : out.value().equity_curve) EXPECT_TRUE(std::isfinite(v));
}

Ticks with_quotes(Ticks t, std::vector<double> bid, std::vector<double> ask) {
    t.bid = std::move(bid);
    t.ask = std::move(ask);
    return t;
}

const Case kCases[] = {
    // No ask and no last price on tick 0: no entry there, and the signal is not carried.
    {"EntryWithoutAPriceTakesNothing", Ticks({kNaN, 100, 101}, {0}, {}), {}},
    // The next flagged tick enters at its ask 100.5 and is closed at the end at the bid 100.5.
    {"TheNextFlaggedTickEnters", Ticks({kNaN, 100, 101}, {0, 1}, {}), {{1, 2, 100.5, 0.0, ExitReason::EndOfData}}},
    // An infinite ask falls back to the last price 100.
    {"AnInfiniteAskFallsBackToTheLastPrice", with_quotes(Ticks({100, 102}, {0}, {1}), {99.5, 101.5}, {kInf, 102.5}),
     {{0, 1, 101.5, 1.5, ExitReason::Signal}}},
    // Entered at 100.5; the exit signal of tick 2 meets neither a bid nor a last price and
    // waits: tick 3 sells at its bid 102.5.
    {"ExitWithoutAPriceWaitsForTheNextTick", Ticks({100, 101, kNaN, 103}, {0}, {2}),
     {{0, 3, 102.5, 2.0, ExitReason::Signal}}},
    // A NaN last price is no stop: the stop at 95.475 fires on tick 2's 95.
    {"ANaNLastPriceTriggersNoLevel", Ticks({100, kNaN, 95}, {0}, {}), {{0, 2, 100.5 * 0.95, 100.5 * 0.95 - 100.5,
                                                                          ExitReason::StopLoss}}},
    // The data end in a gap: closed at the last tradable bid, 103.5 on tick 1.
    {"EndOfDataGapClosesAtTheLastBid", Ticks({100, 104, kNaN}, {0}, {}),
     {{0, 2, 103.5, 3.0, ExitReason::EndOfData}}},
};

INSTANTIATE_TEST_SUITE_P(Table, TickScenario, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

// Stop and target distances at the ends of their range: 0 puts the level on the entry
// fill, infinity puts none, so the other exits decide.
const Case kLevelCases[] = {
    // Entered at the ask 100.5; neither a fall to 50 nor a rise to 1000 exits, and the end
    // of the data sells at the last bid 999.5.
    {"InfinityIsNeitherStopNorTarget", Ticks({100, 50, 1000}, {0}, {}),
     {{0, 2, 999.5, 999.5 - 100.5, ExitReason::EndOfData}}, kInf, kInf},
    // With no stop the fall to 50 is held; the 10 % target 110.55 fires on tick 2's 120.
    {"InfiniteStopKeepsTheTarget", Ticks({100, 50, 120}, {0}, {}),
     {{0, 2, 110.55, 110.55 - 100.5, ExitReason::TakeProfit}}, kInf, 10.0},
    // With no target the rise to 1000 is held; the 5 % stop 95.475 fires on tick 2's 90.
    {"InfiniteTargetKeepsTheStop", Ticks({100, 1000, 90}, {0}, {}),
     {{0, 2, 95.475, 95.475 - 100.5, ExitReason::StopLoss}}, 5.0, kInf},
    // A stop of 0 sits on the entry fill 100.5: tick 1 trades there and exits flat.
    {"ZeroStopSitsOnTheEntry", Ticks({100, 100.5}, {0}, {}), {{0, 1, 100.5, 0.0, ExitReason::StopLoss}}, 0.0, 10.0},
    // A target of 0 also sits on the entry fill: tick 1's 101 is above it.
    {"ZeroTargetSitsOnTheEntry", Ticks({100, 101}, {0}, {}), {{0, 1, 100.5, 0.0, ExitReason::TakeProfit}}, 5.0, 0.0},
};

INSTANTIATE_TEST_SUITE_P(Levels, TickScenario, ::testing::ValuesIn(kLevelCases),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Column lengths

struct LengthCase {
    std::string column;
    std::size_t length;
    std::string message;
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.column; }

class TickColumnLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(TickColumnLengths, NameTheColumnAndBothLengths) {
    const LengthCase& c = GetParam();
    Ticks t({100, 100, 100, 100, 100}, {0}, {});
    std::vector<double> flow = t.flow;
    std::vector<double> buy = flow, sell = flow, oi = flow;
    if (c.column == "timestamps") t.ts.resize(c.length);
    if (c.column == "bid") t.bid.resize(c.length, 1.0);
    if (c.column == "ask") t.ask.resize(c.length, 1.0);
    if (c.column == "buy_qty_delta") buy.resize(c.length);
    if (c.column == "sell_qty_delta") sell.resize(c.length);
    if (c.column == "oi") oi.resize(c.length);
    if (c.column == "entries") t.entries.resize(c.length);
    if (c.column == "exits") t.exits.resize(c.length);
    const TickColumns cols{t.ts, t.ltp, t.bid, t.ask, t.entries, t.exits, buy, sell, oi};
    auto out = run(TickRunConfig{}, cols);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(Table, TickColumnLengths,
                         ::testing::Values(LengthCase{"timestamps", 4, "timestamps has 4 values, ltp has 5"},
                                           LengthCase{"bid", 6, "bid has 6 values, ltp has 5"},
                                           LengthCase{"ask", 3, "ask has 3 values, ltp has 5"},
                                           LengthCase{"buy_qty_delta", 4, "buy_qty_delta has 4 values, ltp has 5"},
                                           LengthCase{"sell_qty_delta", 0, "sell_qty_delta has 0 values, ltp has 5"},
                                           LengthCase{"oi", 7, "oi has 7 values, ltp has 5"},
                                           LengthCase{"entries", 4, "entries has 4 values, ltp has 5"},
                                           LengthCase{"exits", 6, "exits has 6 values, ltp has 5"}),
                         [](const auto& i) { return row_name(i.param.column, "of", i.param.length); });

TEST(TickColumnLengths, NegativeQuantityIsRefusedFirst) {
    Ticks t({100, 100}, {0}, {});
    t.exits.resize(1);
    TickRunConfig cfg;
    cfg.quantity = -2;
    auto out = run(cfg, t.columns());
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message(), "tick backtests are long-only: quantity must be >= 0, got -2");
}

// Two or more bad inputs in one call: the run reports only the first in its order of
// checks, initial_capital, fees, slippage, stop_loss_pct, take_profit_pct, quantity, then
// the columns.
struct RefusalCase {
    std::string name;
    double initial_capital = 100000.0;
    double fees = 0.001;
    double slippage = 0.0;
    double stop_loss_pct = 5.0;
    double take_profit_pct = 10.0;
    std::int64_t quantity = 1;
    bool short_exits = false;
    std::string message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class TickRefusalOrder : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(TickRefusalOrder, FirstBadInputInCheckOrderIsReported) {
    const RefusalCase& c = GetParam();
    Ticks t({100, 100, 100}, {0}, {});
    if (c.short_exits) t.exits.resize(2);
    TickRunConfig cfg;
    cfg.initial_capital = c.initial_capital;
    cfg.fees = c.fees;
    cfg.slippage = c.slippage;
    cfg.stop_loss_pct = c.stop_loss_pct;
    cfg.take_profit_pct = c.take_profit_pct;
    cfg.quantity = c.quantity;
    auto out = run(cfg, t.columns());
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TickRefusalOrder,
    ::testing::Values(
        RefusalCase{.name = "CapitalBeforeFeesAndColumns", .initial_capital = 0.0, .fees = std::nan(""),
                    .short_exits = true, .message = "initial_capital must be finite and above 0, got 0"},
        RefusalCase{.name = "CapitalBeforeQuantity", .initial_capital = -5.0, .quantity = -2,
                    .message = "initial_capital must be finite and above 0, got -5"},
        RefusalCase{.name = "FeesBeforeSlippage", .fees = -1.0, .slippage = 1.0,
                    .message = "fees must be finite and between -1 and 1, got -1"},
        // A fee of the whole traded value or more is a typo for a percent, not a fraction.
        RefusalCase{.name = "WholeValueFeesBeforeQuantity", .fees = 1.0, .quantity = -1,
                    .message = "fees must be finite and between -1 and 1, got 1"},
        RefusalCase{.name = "FivefoldFees", .fees = 5.0,
                    .message = "fees must be finite and between -1 and 1, got 5"},
        RefusalCase{.name = "SlippageBeforeQuantity", .slippage = std::nan(""), .quantity = -1,
                    .message = "slippage must be finite and within (-1, 1), got NaN"},
        RefusalCase{.name = "SlippageBeforeColumns", .slippage = -1.0, .short_exits = true,
                    .message = "slippage must be finite and within (-1, 1), got -1"},
        RefusalCase{.name = "FeesBeforeStop", .fees = 1.0, .stop_loss_pct = -5.0,
                    .message = "fees must be finite and between -1 and 1, got 1"},
        RefusalCase{.name = "SlippageBeforeStop", .slippage = 2.0, .stop_loss_pct = std::nan(""),
                    .message = "slippage must be finite and within (-1, 1), got 2"},
        // Below 0 the stop sits above the entry; NaN would quietly mean no stop.
        RefusalCase{.name = "NegativeStopBeforeTarget", .stop_loss_pct = -5.0, .take_profit_pct = -5.0,
                    .message = "stop_loss_pct must be a number at or above 0, got -5"},
        RefusalCase{.name = "NaNStop", .stop_loss_pct = std::nan(""),
                    .message = "stop_loss_pct must be a number at or above 0, got NaN"},
        RefusalCase{.name = "MinusInfiniteStop", .stop_loss_pct = -kInf,
                    .message = "stop_loss_pct must be a number at or above 0, got -inf"},
        RefusalCase{.name = "NegativeTargetBeforeQuantity", .take_profit_pct = -0.5, .quantity = -1,
                    .message = "take_profit_pct must be a number at or above 0, got -0.5"},
        RefusalCase{.name = "NaNTargetBeforeColumns", .take_profit_pct = std::nan(""), .short_exits = true,
                    .message = "take_profit_pct must be a number at or above 0, got NaN"}),
    [](const auto& i) { return i.param.name; });

}  // namespace
}  // namespace tarnwick::runners::tick
