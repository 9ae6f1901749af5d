#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "runner_fixtures.h"
#include "runners/multi.h"
#include "runners/options.h"
#include "runners/own_loop_curves.h"

using namespace tarnwick;
using namespace tarnwick::domain;
using namespace tarnwick::metrics;
namespace opt = tarnwick::runners::options;
namespace own = tarnwick::runners::own_loop;

namespace {

TEST(OptionsSizing, QuotientsTruncateAndSaturate) {
    const opt::SizeType percent = opt::parse_size_type("percent", 1.0).value();
    EXPECT_EQ(percent.contracts(100000.0, 100.0, 50), 20u);
    EXPECT_EQ(percent.contracts(99999.0, 100.0, 50), 19u);
    EXPECT_EQ(percent.contracts(100000.0, 100.0, 0), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(percent.contracts(-5.0, 100.0, 1), 0u);
    EXPECT_EQ(percent.contracts(std::nan(""), 100.0, 1), 0u);
    const opt::SizeType notional = opt::parse_size_type("Notional", 1e30).value();
    EXPECT_EQ(notional.contracts(0.0, 1e-6, 1), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(opt::parse_size_type("contracts", 1e300).value().count, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(opt::parse_size_type("contracts", 3.99).value().contracts(0.0, 0.0, 0), 3u);
}

// ---------------------------------------------------------------------------
// Curves and the reduced block

TEST(OwnLoopCurves, NanEquityKeepsThePeakAndRestatingRaisesIt) {
    own::Curves c(3, 100.0);
    c.mark(0, 90.0);
    c.mark(1, std::nan(""));
    c.mark(2, 95.0);
    EXPECT_DOUBLE_EQ(c.drawdown()[0], 10.0);
    EXPECT_TRUE(std::isnan(c.drawdown()[1]));
    EXPECT_DOUBLE_EQ(c.drawdown()[2], 5.0);  // the peak is still 100
    EXPECT_TRUE(std::isnan(c.returns()[2]));
    c.restate_last(120.0);
    EXPECT_DOUBLE_EQ(c.drawdown()[2], 0.0);
    EXPECT_DOUBLE_EQ(c.equity()[2], 120.0);

    MetricsSettings settings;
    settings.initial_capital = 100.0;
    const BacktestMetrics m = reduced_metrics(settings, c.equity(), c.drawdown(), c.returns(), {}, {}, {});
    EXPECT_DOUBLE_EQ(m.max_drawdown_pct, 10.0);  // NaN skipped
    EXPECT_DOUBLE_EQ(m.total_return_pct, 20.0);
    EXPECT_DOUBLE_EQ(m.calmar_ratio, 2.0);
    EXPECT_EQ(m.omega_ratio, 0.0);
}

// Below zero a return is the change over the magnitude of the equity before it: a further
// loss stays negative, a recovery positive, and a restated last sample follows suit.
TEST(OwnLoopCurves, ReturnsBelowZeroHaveTheSignOfTheChange) {
    own::Curves c(4, 100.0);
    c.mark(0, 100.0);
    c.mark(1, -50.0);
    c.mark(2, -100.0);
    c.mark(3, -80.0);
    EXPECT_DOUBLE_EQ(c.returns()[1], -1.5);  // -150 / 100
    EXPECT_DOUBLE_EQ(c.returns()[2], -1.0);  // -50 / 50
    EXPECT_DOUBLE_EQ(c.returns()[3], 0.2);   // 20 / 100
    c.restate_last(-120.0);
    EXPECT_DOUBLE_EQ(c.returns()[3], -0.2);  // -20 / 100
}

// ---------------------------------------------------------------------------
// Fee totals of the multi-strategy runs

namespace multi = tarnwick::runners::multi;

class MultiFeeTotal : public ::testing::TestWithParam<multi::CombineMode> {};

TEST_P(MultiFeeTotal, IsTheSumOfTheRecordsFees) {
    using namespace tarnwick::testing_support;
    const Bars bars = Bars::from({100, 100, 110, 110, 110});
    const std::vector<std::uint8_t> entries = flags(5, {0});
    const std::vector<std::uint8_t> exits = flags(5, {3});
    std::vector<runners::single::SignalInput> strategies(2);
    for (runners::single::SignalInput& s : strategies) {
        s.entries = entries;
        s.exits = exits;
    }
    strategies[0].symbol = "a";
    strategies[1].symbol = "b";
    BacktestConfig cfg;
    cfg.initial_capital = 100000.0;
    cfg.fees = 0.01;
    auto out = multi::run(cfg, bars.series(), strategies, GetParam());
    ASSERT_TRUE(out.ok()) << out.error().message();
    const engine::RunOutput& r = out.value();
    double record_fees = 0.0;
    for (const TradeRecord& t : r.trades) record_fees += t.fees;
    EXPECT_DOUBLE_EQ(r.metrics.total_fees_paid, record_fees);
    // A capital C buys C / (100 x 1.01) units and pays 1% at 100 and at 110: 2.1 / 101 of
    // C. The vote runs the whole 100000 once, "independent" each half of it.
    EXPECT_NEAR(r.metrics.total_fees_paid, 210000.0 / 101.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Modes, MultiFeeTotal,
                         ::testing::Values(multi::CombineMode::Any, multi::CombineMode::All,
                                           multi::CombineMode::Majority, multi::CombineMode::Weighted,
                                           multi::CombineMode::Independent),
                         [](const auto& info) { return std::string(multi::name(info.param)); });

}  // namespace
