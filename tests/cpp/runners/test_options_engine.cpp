// The options engine's bar loop: which way the premium flows for each direction, and what
// a fill does on a bar whose premium is not tradable. Expected values are worked by hand
// in each row's comment.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "runner_fixtures.h"
#include "runners/options.h"

namespace tarnwick::runners::options {

using domain::ExitReason;
using domain::TradeRecord;
using engine::RunOutput;

namespace {

using namespace tarnwick::testing_support;

struct Case {
    std::string name;
    std::int8_t direction;
    std::vector<double> premiums;
    std::vector<std::size_t> entries, exits;
    double fees;
    std::uint64_t lot_size;
    std::string size_type;  // its value is 1.0: all the cash, or one contract
    std::vector<double> equity;
    std::vector<Trip> trips;
};

// Failures name the row, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

RunOutput run_case(const Case& c) {
    OptionsRunConfig run;
    run.config.fees = c.fees;
    run.size = parse_size_type(c.size_type, 1.0).value();
    run.lot_size = c.lot_size;
    run = attach_fee_model(run);
    const std::size_t n = c.premiums.size();
    const Bars bars = Bars::from(std::vector<double>(n, 20000.0));
    const auto entries = flags(n, c.entries);
    const auto exits = flags(n, c.exits);
    tarnwick::runners::single::SignalInput s;
    s.symbol = "OPT";
    s.entries = entries;
    s.exits = exits;
    s.direction = c.direction;
    auto out = options::run(run, bars.series(), c.premiums, std::nullopt, s);
    EXPECT_TRUE(out.ok());
    return std::move(out).value();
}

class OptionsScenario : public ::testing::TestWithParam<Case> {};

TEST_P(OptionsScenario, CashFlowsAndFills) {
    const Case& c = GetParam();
    const RunOutput out = run_case(c);
    expect_curve(out.equity_curve, c.equity);
    expect_trips(out.trades, c.trips);
    for (const TradeRecord& t : out.trades) EXPECT_EQ(t.direction, c.direction);
    // Over a run the cash moves by exactly the records' pnl.
    EXPECT_NEAR(pnl_sum(out.trades), out.equity_curve.back() - 100000.0, 1e-9);
}

const Case kCases[] = {
    // Percent 1.0 at premium 100, lot 1000: one contract of 1000 units. The short takes in
    // 100000 at the entry (cash 200000) and is marked at cash - premium x 1000: 100000,
    // 110000; the exit pays 80000 back. pnl (100 - 80) x 1000.
    {"ShortGainsAsThePremiumFalls", -1, {100, 90, 80}, {0}, {2}, 0.0, 1000, "percent",
     {100000, 110000, 120000}, {{0, 2, 80, 20000, ExitReason::Signal}}},
    // The same contract bought: pays 100000, marked at premium x 1000.
    {"LongLosesAsThePremiumFalls", 1, {100, 90, 80}, {0}, {2}, 0.0, 1000, "percent",
     {100000, 90000, 80000}, {{0, 2, 80, -20000, ExitReason::Signal}}},
    {"ShortLosesAsThePremiumRises", -1, {100, 120, 130}, {0}, {2}, 0.0, 1000, "percent",
     {100000, 80000, 70000}, {{0, 2, 130, -30000, ExitReason::Signal}}},
    // Fees 1%: entry fee 1000 (cash 199000, marks 99000 and 109000), exit fee 800
    // (cash 199000 - 80000 - 800); pnl 20000 - 1800.
    {"ShortPaysBothFees", -1, {100, 90, 80}, {0}, {2}, 0.01, 1000, "percent",
     {99000, 109000, 118200}, {{0, 2, 80, 18200, ExitReason::Signal}}},
    // Still open at the end: bought back at the last premium.
    {"ShortSettledAtTheEnd", -1, {100, 90, 80}, {0}, {}, 0.0, 1000, "percent",
     {100000, 110000, 120000}, {{0, 2, 80, 20000, ExitReason::EndOfData}}},
    // One contract of one unit bought at 100 (cash 99900). The exit due on bar 2 meets a
    // NaN premium: it waits, bar 2 is marked at the last premium 110, bar 3 sells at 120.
    {"ExitOnANaNPremiumWaitsForTheNextOne", 1, {100, 110, kNaN, 120}, {0}, {2}, 0.0, 1, "contracts",
     {100000, 100010, 100010, 100020}, {{0, 3, 120, 20, ExitReason::Signal}}},
    {"ExitOnAnInfinitePremiumWaits", 1, {100, kInf, 105}, {0}, {1}, 0.0, 1, "contracts",
     {100000, 100000, 100005}, {{0, 2, 105, 5, ExitReason::Signal}}},
    {"ExitOnAZeroPremiumWaits", 1, {100, 0.0, 90}, {0}, {1}, 0.0, 1, "contracts",
     {100000, 100000, 99990}, {{0, 2, 90, -10, ExitReason::Signal}}},
    // A short waits the same way: received 100, bought back at 95 on bar 3.
    {"ShortExitWaitsToo", -1, {100, 98, kNaN, 95}, {0}, {2}, 0.0, 1, "contracts",
     {100000, 100002, 100002, 100005}, {{0, 3, 95, 5, ExitReason::Signal}}},
    // No entry at NaN, and the signal is not carried to bar 1.
    {"EntryOnANaNPremiumOpensNothing", 1, {kNaN, 100, 100}, {0}, {}, 0.0, 1, "contracts",
     {100000, 100000, 100000}, {}},
    // The series ends in a gap: settled at the last tradable premium, 110.
    {"EndOfDataGapSettlesAtTheLastPremium", 1, {100, 110, kNaN}, {0}, {}, 0.0, 1, "contracts",
     {100000, 100010, 100010}, {{0, 2, 110, 10, ExitReason::EndOfData}}},
};

INSTANTIATE_TEST_SUITE_P(Table, OptionsScenario, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

TEST(OptionsScenario, ShortRecordReturnsOnThePremiumReceived) {
    const RunOutput out = run_case(kCases[3]);
    ASSERT_EQ(out.trades.size(), 1u);
    const TradeRecord& t = out.trades[0];
    // 18200 on a premium of 100 x 1000; both fees on the record.
    EXPECT_NEAR(t.return_pct, 18.2, 1e-12);
    EXPECT_NEAR(t.entry_fees, 1000.0, 1e-9);
    EXPECT_NEAR(t.exit_fees, 800.0, 1e-9);
    EXPECT_EQ(out.metrics.winning_trades, 1u);
}

}  // namespace
}  // namespace tarnwick::runners::options
