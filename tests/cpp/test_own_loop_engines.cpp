#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "strategies/options.h"
#include "strategies/own_loop_metrics.h"
#include "strategies/pairs.h"

using namespace tarnwick;
namespace opt = tarnwick::strategies::options;
namespace own = tarnwick::strategies::own_loop;
namespace pairs = tarnwick::strategies::pairs;

namespace {

// ---------------------------------------------------------------------------
// Per-fill costs of an option run under each cost segment.

struct SegmentRates {
    const char* text;       // as a user writes it in the configuration
    double brokerage_cap;   // min(0.0003 x V, cap), or a flat amount when `flat`
    bool flat;
    double stt;             // on the sell side (both sides for delivery)
    bool stt_both_sides;
    double exchange;
    double stamp;           // on the buy side
};

// The published schedule, written out independently of the engine's table.
const SegmentRates kRates[] = {
    {"NSE", 20.0, false, 0.00025, false, 3.07e-5, 3e-5},
    {"NSE-DELIVERY", 0.0, true, 0.001, true, 3.07e-5, 0.00015},
    {"NFO", 20.0, false, 0.0005, false, 1.83e-5, 2e-5},
    {"NFO-OPT", 20.0, true, 0.0015, false, 0.0003553, 3e-5},
    {"MCX", 20.0, false, 0.0001, false, 2.1e-5, 2e-5},
    {"MCX-OPT", 20.0, true, 0.0005, false, 0.000418, 3e-5},
    {"CDS", 20.0, false, 0.0, false, 3.5e-6, 1e-6},
    {"CDS-OPT", 20.0, true, 0.0, false, 0.000311, 1e-6},
};

struct CostCase {
    SegmentRates rates;
    std::int8_t direction;
    bool entering;
};

class OptionsLegCosts : public ::testing::TestWithParam<CostCase> {};

TEST_P(OptionsLegCosts, SideFollowsDirectionAndEntering) {
    const CostCase& c = GetParam();
    opt::OptionsRunConfig run;
    run.config.fee_segment = c.rates.text;
    run.lot_size = 50;
    run = opt::attach_fee_model(run);
    // 3 contracts x 50 units at 80: V = 12000 (brokerage 3.6 under the 0.03% rule).
    const double v = 12000.0;
    const bool buy = (c.direction == 1) == c.entering;
    const double brokerage = c.rates.flat ? c.rates.brokerage_cap : std::min(0.0003 * v, c.rates.brokerage_cap);
    const double stt = (!buy || c.rates.stt_both_sides) ? c.rates.stt * v : 0.0;
    const double exchange = c.rates.exchange * v;
    const double sebi = 1e-6 * v;
    const double stamp = buy ? c.rates.stamp * v : 0.0;
    const double gst = 0.18 * (brokerage + exchange + sebi);

    const FillCharge got = opt::leg_costs(run, 3, c.direction, c.entering, 80.0);
    ASSERT_TRUE(got.breakdown.has_value());
    EXPECT_DOUBLE_EQ(got.breakdown->brokerage, brokerage);
    EXPECT_DOUBLE_EQ(got.breakdown->stt, stt);
    EXPECT_DOUBLE_EQ(got.breakdown->exchange_txn, exchange);
    EXPECT_DOUBLE_EQ(got.breakdown->sebi_fee, sebi);
    EXPECT_DOUBLE_EQ(got.breakdown->stamp_duty, stamp);
    EXPECT_NEAR(got.breakdown->gst, gst, 1e-12);
    EXPECT_NEAR(got.total, brokerage + stt + exchange + sebi + stamp + gst, 1e-9);
}

std::vector<CostCase> cost_cases() {
    std::vector<CostCase> out;
    for (const SegmentRates& r : kRates) {
        for (const std::int8_t d : {std::int8_t{1}, std::int8_t{-1}}) {
            for (const bool entering : {true, false}) out.push_back({r, d, entering});
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Segments, OptionsLegCosts, ::testing::ValuesIn(cost_cases()));

TEST(OptionsLegCosts, FlatFractionIgnoresTheSide) {
    opt::OptionsRunConfig run;
    run.config.fees = 0.002;
    run.config.fee_segment = "LSE";  // no known exchange: the flat fraction
    run.lot_size = 10;
    run = opt::attach_fee_model(run);
    for (const std::int8_t d : {std::int8_t{1}, std::int8_t{-1}}) {
        const FillCharge c = opt::leg_costs(run, 4, d, d == 1, 25.0);
        EXPECT_DOUBLE_EQ(c.total, 40.0 * 25.0 * 0.002);
        EXPECT_FALSE(c.breakdown.has_value());
    }
}

// ---------------------------------------------------------------------------
// Sizing and choices

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

TEST(OptionsChoices, NamesRoundTrip) {
    for (const char* text : {"atm", "itm1", "itm2", "otm1", "otm2"}) {
        EXPECT_EQ(opt::name(opt::parse_strike_selection(text).value()), text);
    }
    for (const opt::SizeKind k :
         {opt::SizeKind::Contracts, opt::SizeKind::Percent, opt::SizeKind::Notional, opt::SizeKind::Risk}) {
        EXPECT_EQ(opt::parse_size_type(opt::name(k), 1.0).value().kind, k);
    }
    EXPECT_EQ(opt::parse_option_type("Pe").value(), OptionRight::Put);
    EXPECT_EQ(opt::parse_strike_selection("otm0").error().message(),
              "unknown strike_selection otm0; expected atm, otm1, otm2, itm1 or itm2");
}

TEST(OptionsRun, TimestampsShorterThanThePremiumsAreRefused) {
    const std::vector<double> premiums = {10.0, 11.0, 12.0};
    const std::vector<std::int64_t> ts = {1, 2};
    const std::vector<std::uint8_t> entries = {1, 0, 0}, exits = {0, 0, 1};
    opt::BarSeries bars{ts, premiums, premiums, premiums, premiums, premiums};
    opt::SignalInput signals;
    signals.entries = entries;
    signals.exits = exits;
    const auto r = opt::run(opt::attach_fee_model({}), bars, premiums, std::nullopt, signals);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "Data length mismatch: expected 3, got 2");
}

// ---------------------------------------------------------------------------
// Hedge ratio

TEST(PairsHedgeRatio, FixedRatioIsNeverClamped) {
    const std::vector<double> y = {1.0, 2.0, 3.0, 4.0};
    const std::vector<double> x = {1.0, 1.5, 2.5, 3.0};
    pairs::PairsRunConfig run;
    run.hedge_ratio = 50.0;
    run.lookback = 2;
    EXPECT_EQ(pairs::hedge_ratio_at(run, y, x, 3), 50.0);  // dynamic off
    run.dynamic_hedge = true;
    EXPECT_EQ(pairs::hedge_ratio_at(run, y, x, 1), 50.0);  // the window does not fit yet
}

TEST(PairsHedgeRatio, WindowIsLookbackPlusOneBarsEndingAtTheSignal) {
    // Over bars 1..3 leg 1 = 3 x leg 2 exactly; bar 0 is off the line.
    const std::vector<double> x = {7.0, 1.0, 2.0, 4.0};
    const std::vector<double> y = {0.0, 3.0, 6.0, 12.0};
    pairs::PairsRunConfig run;
    run.dynamic_hedge = true;
    run.lookback = 2;
    EXPECT_DOUBLE_EQ(pairs::hedge_ratio_at(run, y, x, 3), 3.0);
    // Including bar 0: slope of (7,0),(1,3),(2,6) by the normal equations.
    const double m = 3.0, sx = 10.0, sy = 9.0, sxy = 15.0, sxx = 54.0;
    const double slope = (m * sxy - sx * sy) / (m * sxx - sx * sx);  // negative: clamped up
    ASSERT_LT(slope, 0.1);
    EXPECT_EQ(pairs::hedge_ratio_at(run, y, x, 2), pairs::kMinHedgeRatio);
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

    BacktestConfig cfg;
    cfg.initial_capital = 100.0;
    const BacktestMetrics m = own::reduced_metrics(cfg, c, {}, {}, {});
    EXPECT_DOUBLE_EQ(m.max_drawdown_pct, 10.0);  // NaN skipped
    EXPECT_DOUBLE_EQ(m.total_return_pct, 20.0);
    EXPECT_DOUBLE_EQ(m.calmar_ratio, 2.0);
    EXPECT_EQ(m.omega_ratio, 0.0);
}

TEST(OwnLoopMetrics, LegacyRatiosWithoutTrades) {
    BacktestConfig cfg;
    cfg.legacy_annualization = true;
    const own::RiskRatios r = own::risk_ratios(cfg, {}, {}, {});
    EXPECT_EQ(r.sharpe, 0.0);
    EXPECT_EQ(r.sortino, 0.0);
}

TEST(OwnLoopMetrics, FallbackIs252PeriodsWithoutUsableTimestamps) {
    // Returns +1%, -1%, +2%: sample sd and Sharpe by hand, annualised over 252 periods.
    const std::vector<double> returns = {0.01, -0.01, 0.02};
    const double mean = 0.02 / 3;
    const double sd = std::sqrt(((0.01 - mean) * (0.01 - mean) + (-0.01 - mean) * (-0.01 - mean) +
                                 (0.02 - mean) * (0.02 - mean)) /
                                2);
    BacktestConfig cfg;
    const std::vector<std::int64_t> ts = {5, 5, 5};
    EXPECT_NEAR(own::risk_ratios(cfg, returns, ts, {}).sharpe, mean / sd * std::sqrt(252.0), 1e-12);
}

}  // namespace
