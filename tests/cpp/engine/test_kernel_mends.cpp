// Guards against faults that would otherwise refuse affordable entries, mis-mark cash
// shorts, divide by a zero peak or let bad numbers or rounding residue open positions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "base/saturate.h"
#include "kernel_fixtures.h"
#include "test_names.h"

using tarnwick::testing_support::RowLabel;

namespace tarnwick {

using base::sat_add;
using base::sat_cast_i64;
using base::sat_cast_u64;
using base::sat_sub;
using domain::BacktestConfig;
using domain::BarSignal;
using domain::InstrumentSpec;
using engine::AccountType;
using engine::CoreSession;
using engine::EntryRejectReason;
using engine::Kernel;
using engine::KernelConfig;
using engine::KernelEventKind;
using engine::OmsType;
using engine::OpenOutcome;
using engine::drawdown_pct;

namespace {

using namespace testing_support;

TEST(KernelMends, AllInEntryIsNotRefusedByRounding) {
    // Unrounded all-in size at 101: q = 100000 / (101 * 1.001); its cost recomputed as
    // value + fee lands a hair above the capital.
    const double q = 100000.0 / (101.0 * (1.0 + 0.001));
    const double value = 101.0 * q;
    ASSERT_GT(value + value * 0.001, 100000.0);
    Kernel k(KernelConfig::for_session({}, "X", 1));  // no lot size: the fractional size stands
    const auto& ev = k.step(0, flat_bar(0, 101.0), entry(), false);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, KernelEventKind::Entered);
    EXPECT_EQ(ev[0].size, q);
    EXPECT_NEAR(k.cash(), 0.0, 1e-6);
}

TEST(KernelMends, AllInEntryUnderACostSegmentFitsTheCapital) {
    BacktestConfig bc;
    bc.fees = 0.0;
    bc.fee_segment = "NSE";
    Kernel k(base_config(bc));
    const auto& ev = k.step(0, flat_bar(0, 100.0), entry(), false);
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_EQ(ev[0].kind, KernelEventKind::Entered);
    // A buy of 999 units at 100 (value 99900) under equity_intraday costs
    // brokerage 20 + exchange 3.06693 + sebi 0.0999 + stamp 2.997 + gst 0.18 * 23.16683
    // = about 30.33, so 999 units fit (99930.33) and 1000 (100030.34) do not.
    EXPECT_EQ(ev[0].size, 999.0);
    EXPECT_GE(k.cash(), 0.0);
    ASSERT_TRUE(k.ledger().positions()[0].entry_fee_breakdown);
}

TEST(KernelMends, CashShortIsMarkedByItsPnl) {
    BacktestConfig bc;
    bc.fees = 0.0;
    CoreSession s(base_config(bc, -1));
    (void)s.step(0, flat_bar(0, 100.0), entry());  // 1000 units short, cash 0
    EXPECT_EQ(s.kernel().cash(), 0.0);
    (void)s.step(1, flat_bar(1, 90.0), {});
    EXPECT_EQ(s.equity(), 110000.0);  // 1000 * (2 * 100 - 90)
    auto ev = events_of(s.step(2, flat_bar(2, 120.0), exit_signal()));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].trade->pnl, -20000.0);       // (120 - 100) * 1000 * -1
    EXPECT_EQ(s.kernel().cash(), 80000.0);       // 1000 * (200 - 120)
    EXPECT_EQ(s.equity(), 80000.0);
}

TEST(KernelMends, CashShortForceCloseAndPartialClose) {
    BacktestConfig bc;
    bc.fees = 0.0;
    Kernel k(base_config(bc, -1));
    auto open = k.open_position({.direction = -1, .reference = 50.0, .units = 10.0});
    // partial: 4 units at 40 credit 4 * (100 - 40) = 240
    (void)k.close_by_order(1, 1, open.position_id, 0.0, 4.0, 40.0);
    EXPECT_EQ(k.cash(), 100000.0 - 500.0 + 240.0);
    // rest: 6 units at 45 credit 6 * (100 - 45) = 330
    (void)k.force_close_all(2, 2, 45.0);
    EXPECT_EQ(k.cash(), 100000.0 - 500.0 + 240.0 + 330.0);  // pnl 40 + 30
}

TEST(KernelMends, NonPositivePeakGivesZeroDrawdown) {
    EXPECT_EQ(drawdown_pct(0.0, -5.0), 0.0);
    EXPECT_EQ(drawdown_pct(-10.0, -20.0), 0.0);
    EXPECT_EQ(drawdown_pct(200.0, 150.0), 25.0);
    BacktestConfig bc;
    bc.initial_capital = 0.0;
    CoreSession s(base_config(bc));
    (void)s.step(0, flat_bar(0, 100.0), {});
    EXPECT_EQ(s.drawdown_curve()[0], 0.0);
}

struct BadEntry {
    const char* label;
    double price;
    std::optional<double> size_mult;
};

class BadNumbersNeverOpen : public ::testing::TestWithParam<BadEntry> {};

TEST_P(BadNumbersNeverOpen, RejectedAsZeroSize) {
    const auto c = GetParam();
    Kernel k(base_config());
    BarSignal sig = entry();
    sig.size_mult = c.size_mult;
    const auto& ev = k.step(0, flat_bar(0, c.price), sig, false);
    ASSERT_EQ(ev.size(), 1u) << c.label;
    EXPECT_EQ(ev[0].reject_reason(), EntryRejectReason::ZeroSize) << c.label;
    EXPECT_FALSE(k.in_position());
    EXPECT_EQ(k.cash(), 100000.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadNumbersNeverOpen,
    ::testing::Values(BadEntry{"nan price", std::nan(""), std::nullopt}, BadEntry{"zero price", 0.0, std::nullopt},
                      BadEntry{"negative price", -5.0, std::nullopt},
                      BadEntry{"inf price", std::numeric_limits<double>::infinity(), std::nullopt},
                      BadEntry{"nan size", 100.0, std::nan("")}, BadEntry{"negative size", 100.0, -0.5},
                      BadEntry{"zero size", 100.0, 0.0}),
    RowLabel{});

TEST(KernelMends, ExplicitBadUnitsNeverOpen) {
    Kernel k(base_config());
    for (double units : {std::nan(""), -1.0, 0.0, std::numeric_limits<double>::infinity()}) {
        auto out = k.open_position({.reference = 100.0, .units = units});
        EXPECT_EQ(out.kind, OpenOutcome::Kind::Rejected) << units;
    }
    EXPECT_FALSE(k.in_position());
}

TEST(KernelMends, TimestampArithmeticSaturates) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(sat_add(kMax - 1, 5), kMax);
    EXPECT_EQ(sat_add(kMin + 1, -5), kMin);
    EXPECT_EQ(sat_add(3, 4), 7);
    EXPECT_EQ(sat_sub(kMin, 1), kMin);
    EXPECT_EQ(sat_sub(kMax, -1), kMax);
    EXPECT_EQ(sat_sub(10, 4), 6);
    EXPECT_EQ(sat_cast_i64(1e300), kMax);
    EXPECT_EQ(sat_cast_i64(-1e300), kMin);
    EXPECT_EQ(sat_cast_i64(std::nan("")), 0);
    EXPECT_EQ(sat_cast_i64(-2.9), -2);
    EXPECT_EQ(sat_cast_u64(-3.0), 0u);
    EXPECT_EQ(sat_cast_u64(1e30), std::numeric_limits<std::uint64_t>::max());
}

// ---- rounding residue is no capital -------------------------------------------------

// Opens with all the available capital (size_frac 1.0), no lot size to round the dust off.
OpenOutcome all_in(Kernel& k, double price) {
    return k.open_position({.reference = price, .size_frac = 1.0});
}

struct ResidueCase {
    const char* label;
    AccountType account;
    double leverage;
    double fees;
    double margin_init;  // 0: no instrument
    EntryRejectReason reason;
};

class RoundingResidue : public ::testing::TestWithParam<ResidueCase> {};

// A hedging kernel commits the whole account at each price of 90, 90.25, ..., 110; what
// is left is rounding of either sign, and a second all-in entry sized from it is refused
// as a size of nothing, never opened at some 1e-13 units.
TEST_P(RoundingResidue, SecondAllInEntryOpensNothing) {
    const ResidueCase& c = GetParam();
    BacktestConfig bc;
    bc.fees = c.fees;
    KernelConfig kc = KernelConfig::for_session(bc, "X", 1);
    kc.oms = OmsType::Hedging;
    kc.account_type = c.account;
    kc.leverage = c.leverage;
    if (c.margin_init > 0.0) {
        kc.instrument = *InstrumentSpec::equity({.terms = {.symbol = "X", .margin_init = c.margin_init}});
    }
    for (int j = 0; j <= 80; ++j) {
        const double price = 90.0 + 0.25 * j;
        Kernel k(kc);
        ASSERT_EQ(all_in(k, price).kind, OpenOutcome::Kind::Opened) << price;
        ASSERT_LT(std::fabs(k.available_capital()), 1e-9) << price;  // only residue is left
        const double cash = k.cash();
        const OpenOutcome second = all_in(k, price);
        EXPECT_EQ(second.kind, OpenOutcome::Kind::Rejected) << price << " opened " << second.size;
        EXPECT_EQ(second.reason, c.reason) << price;
        EXPECT_EQ(k.ledger().size(), 1u) << price;
        EXPECT_EQ(k.cash(), cash) << price;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Accounts, RoundingResidue,
    ::testing::Values(ResidueCase{"cash_without_fees", AccountType::Cash, 1.0, 0.0, 0.0, EntryRejectReason::ZeroSize},
                      ResidueCase{"cash_with_fees", AccountType::Cash, 1.0, 0.001, 0.0, EntryRejectReason::ZeroSize},
                      ResidueCase{"margin_at_leverage_3", AccountType::Margin, 3.0, 0.001, 0.0,
                                  EntryRejectReason::ZeroSize},
                      // A rate the instrument sets turns a size of nothing into too little margin.
                      ResidueCase{"margin_rate_of_the_instrument", AccountType::Margin, 1.0, 0.001, 0.5,
                                  EntryRejectReason::InsufficientMargin}),
    [](const auto& info) { return std::string(info.param.label); });

struct DustCase {
    const char* label;
    double cash;
    std::optional<double> size_frac;
    std::optional<double> units;  // what opens at 100 without fees; none: refused
};

class DustCapital : public ::testing::TestWithParam<DustCase> {};

// Capital below a billionth of the 100000 the account started with (0.0001) sizes nothing.
TEST_P(DustCapital, BelowABillionthOfTheInitialCapitalSizesNothing) {
    const DustCase& c = GetParam();
    BacktestConfig bc;
    bc.fees = 0.0;
    Kernel k(KernelConfig::for_session(bc, "X", 1));
    k.set_cash(c.cash);
    const OpenOutcome out = k.open_position({.reference = 100.0, .size_frac = c.size_frac});
    if (!c.units) {
        EXPECT_EQ(out.kind, OpenOutcome::Kind::Rejected);
        EXPECT_EQ(out.reason, EntryRejectReason::ZeroSize);
        EXPECT_EQ(k.cash(), c.cash);
        return;
    }
    ASSERT_EQ(out.kind, OpenOutcome::Kind::Opened);
    EXPECT_DOUBLE_EQ(out.size, *c.units);
}

INSTANTIATE_TEST_SUITE_P(
    Amounts, DustCapital,
    ::testing::Values(DustCase{"residue_of_an_all_in_entry", 1.4551915228366852e-11, std::nullopt, std::nullopt},
                      DustCase{"just_below_a_billionth", 0.99e-4, std::nullopt, std::nullopt},
                      DustCase{"just_above_a_billionth", 1.01e-4, std::nullopt, 1.01e-6},
                      DustCase{"a_fraction_of_a_billionth", 100000.0, 1e-10, std::nullopt},
                      DustCase{"a_small_fraction_that_is_money", 100000.0, 1e-6, 1e-3}),
    [](const auto& info) { return std::string(info.param.label); });

struct UntradableLevelCase {
    const char* label;
    std::int8_t direction;
    std::optional<domain::StopRule> stop;
    std::optional<domain::TargetRule> target;
    domain::OhlcvBar exit_bar;  // meets the level at no tradable price, closes tradable
};

class UntradableLevel : public ::testing::TestWithParam<UntradableLevelCase> {};

// A stop or target met on a bar that gives its level no tradable price stays in place; the
// bar's signal exit must still close at the tradable close instead of being dropped.
TEST_P(UntradableLevel, LeavesTheSignalExitOfItsBar) {
    const UntradableLevelCase& c = GetParam();
    BacktestConfig bc;
    bc.fees = 0.0;
    bc.stop = c.stop;
    bc.target = c.target;
    CoreSession s(base_config(bc, c.direction));
    ASSERT_EQ(count_kind(events_of(s.step(0, flat_bar(0, 100.0), entry())), KernelEventKind::Entered), 1u);
    (void)s.step(1, flat_bar(1, 100.0), {});
    const auto ev = events_of(s.step(2, c.exit_bar, exit_signal()));
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_EQ(ev[0].kind, KernelEventKind::Exited);
    EXPECT_EQ(ev[0].trade->exit_idx, 2u);
    EXPECT_EQ(ev[0].trade->exit_price, c.exit_bar.close);
    EXPECT_EQ(ev[0].trade->exit_reason, domain::ExitReason::Signal);
    EXPECT_TRUE(s.kernel().ledger().empty());
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Levels, UntradableLevel,
    ::testing::Values(
        // The short's stop at 103 is met by a high of inf, and the bar traded nowhere below it.
        UntradableLevelCase{"short_stop_above_an_infinite_range", -1, domain::StopRule::fixed(0.03), std::nullopt,
                            bar(2, kNan, kInf, kInf, 104.0)},
        // The long's stop at 97 is met by a low of 0, the bar's whole range.
        UntradableLevelCase{"long_stop_below_a_zero_range", 1, domain::StopRule::fixed(0.03), std::nullopt,
                            bar(2, kNan, 0.0, 0.0, 96.0)},
        // The long's target at 105 is met by a high of inf, and nothing traded below it.
        UntradableLevelCase{"long_target_above_an_infinite_range", 1, std::nullopt, domain::TargetRule::fixed(0.05),
                            bar(2, kNan, kInf, kInf, 104.0)}),
    RowLabel{});

}  // namespace
}  // namespace tarnwick
