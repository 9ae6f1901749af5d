// Opening a position from a request: its size (units as given, else a share of the
// available capital through the fee rate, whole lots), the refusals of what cannot be
// sized or paid for, the levels it starts with, and what the account pays.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "kernel_fixtures.h"

namespace tarnwick {

using domain::BacktestConfig;
using domain::InstrumentSpec;
using domain::StopRule;
using domain::TargetRule;
using engine::AccountType;
using engine::EntryRejectReason;
using engine::EntryRequest;
using engine::Kernel;
using engine::KernelConfig;
using engine::OpenOutcome;

namespace {

using testing_support::base_config;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Fees 0.001, a cash account of 100000, whole units.
KernelConfig plain() { return base_config(); }

KernelConfig margin_from_the_instrument() {
    KernelConfig kc = base_config();
    kc.instrument = InstrumentSpec::equity({.terms = {.symbol = "TEST", .margin_init = 0.2}}).value();
    kc.account_type = AccountType::Margin;
    return kc;
}

// A 3% stop and a 5% target on a grid of 0.5.
KernelConfig rules_on_a_grid() {
    BacktestConfig bc;
    bc.stop = StopRule::fixed(0.03);
    bc.target = TargetRule::fixed(0.05);
    KernelConfig kc = base_config(bc);
    kc.instrument = InstrumentSpec::equity({.terms = {.symbol = "TEST", .price_increment = 0.5}}).value();
    return kc;
}

// A 2% stop and a target twice as far.
KernelConfig risk_reward() {
    BacktestConfig bc;
    bc.stop = StopRule::fixed(0.02);
    bc.target = TargetRule::risk_reward(2.0);
    return base_config(bc);
}

struct OpeningCase {
    const char* meaning;
    KernelConfig (*config)();
    EntryRequest request;
    OpenOutcome::Kind kind;
    EntryRejectReason reason;  // when rejected
    double size;               // when opened
    std::optional<double> stop;
    std::optional<double> target;
    double cash;  // afterwards
};

class KernelOpening : public ::testing::TestWithParam<OpeningCase> {};

TEST_P(KernelOpening, SizesRefusesLevelsAndPays) {
    const OpeningCase& c = GetParam();
    Kernel k(c.config());
    const OpenOutcome out = k.open_position(c.request);
    ASSERT_EQ(out.kind, c.kind);
    EXPECT_NEAR(k.cash(), c.cash, 1e-9);
    if (c.kind != OpenOutcome::Kind::Opened) {
        EXPECT_EQ(out.reason, c.reason);
        EXPECT_FALSE(k.in_position());
        return;
    }
    EXPECT_EQ(out.size, c.size);
    ASSERT_TRUE(k.position());
    EXPECT_EQ(k.position()->size, c.size);
    const auto& p = k.ledger().positions()[0];
    ASSERT_EQ(p.stop_price.has_value(), c.stop.has_value());
    if (c.stop) {
        EXPECT_NEAR(*p.stop_price, *c.stop, 1e-12);
    }
    ASSERT_EQ(p.target_price.has_value(), c.target.has_value());
    if (c.target) {
        EXPECT_NEAR(*p.target_price, *c.target, 1e-12);
    }
}

using Kind = OpenOutcome::Kind;
constexpr auto kNone = EntryRejectReason::ZeroSize;  // not read for an opening

INSTANTIATE_TEST_SUITE_P(
    Requests, KernelOpening,
    ::testing::Values(
        // 10 x 100 and a fee of 1.
        OpeningCase{"units_as_given", plain, {.reference = 100.0, .units = 10.0}, Kind::Opened, kNone, 10.0,
                    std::nullopt, std::nullopt, 100000.0 - 1000.0 - 1.0},
        // 50000 buys 50000 / 100.1 = 499.5 units with their fee: 499 whole ones.
        OpeningCase{"half_the_capital", plain, {.reference = 100.0, .size_frac = 0.5}, Kind::Opened, kNone, 499.0,
                    std::nullopt, std::nullopt, 100000.0 - 49900.0 - 49.9},
        // 100000 / 100.1 = 999.0 units.
        OpeningCase{"all_the_capital", plain, {.reference = 100.0}, Kind::Opened, kNone, 999.0, std::nullopt,
                    std::nullopt, 100000.0 - 99900.0 - 99.9},
        // 1e-7 of capital is below the dust line of 1e-9 x 100000.
        OpeningCase{"dust_capital", plain, {.reference = 100.0, .size_frac = 1e-12}, Kind::Rejected,
                    EntryRejectReason::ZeroSize, 0.0, std::nullopt, std::nullopt, 100000.0},
        OpeningCase{"price_not_a_number", plain, {.reference = kNaN, .units = 1.0}, Kind::Rejected,
                    EntryRejectReason::ZeroSize, 0.0, std::nullopt, std::nullopt, 100000.0},
        // 100000 and a fee of 100 do not fit 100000.
        OpeningCase{"more_than_the_cash", plain, {.reference = 100.0, .units = 1000.0}, Kind::Rejected,
                    EntryRejectReason::InsufficientCapital, 0.0, std::nullopt, std::nullopt, 100000.0},
        OpeningCase{"nothing_to_buy_on_cash", plain, {.reference = 100.0, .units = 0.4}, Kind::Rejected,
                    EntryRejectReason::ZeroSize, 0.0, std::nullopt, std::nullopt, 100000.0},
        OpeningCase{"nothing_to_buy_on_instrument_margin", margin_from_the_instrument,
                    {.reference = 100.0, .units = 0.4}, Kind::Rejected, EntryRejectReason::InsufficientMargin, 0.0,
                    std::nullopt, std::nullopt, 100000.0},
        // The margin account locks 0.2 x 1000 and pays only the fee.
        OpeningCase{"margin_locks_the_deposit", margin_from_the_instrument, {.reference = 100.0, .units = 10.0},
                    Kind::Opened, kNone, 10.0, std::nullopt, std::nullopt, 100000.0 - 1.0},
        OpeningCase{"explicit_levels_as_given", rules_on_a_grid,
                    {.reference = 100.2, .units = 1.0, .stop_price = 95.1, .target_price = 110.3}, Kind::Opened,
                    kNone, 1.0, 95.1, 110.3, 100000.0 - 100.2 - 0.1002},
        // Long: 100.2 x 0.97 = 97.194 and 100.2 x 1.05 = 105.21, both down to the grid.
        OpeningCase{"rule_levels_on_the_grid_long", rules_on_a_grid, {.reference = 100.2, .units = 1.0},
                    Kind::Opened, kNone, 1.0, 97.0, 105.0, 100000.0 - 100.2 - 0.1002},
        // Short: 100.2 x 1.03 = 103.206 and 100.2 x 0.95 = 95.19, both up to the grid.
        OpeningCase{"rule_levels_on_the_grid_short", rules_on_a_grid,
                    {.direction = -1, .reference = 100.2, .units = 1.0}, Kind::Opened, kNone, 1.0, 103.5, 95.5,
                    100000.0 - 100.2 - 0.1002},
        // Stop 98, target 100 + 2 x 2.
        OpeningCase{"risk_reward_target", risk_reward, {.reference = 100.0, .units = 1.0}, Kind::Opened, kNone, 1.0,
                    98.0, 104.0, 100000.0 - 100.0 - 0.1},
        // The target measures from the rule's stop, not from the one given.
        OpeningCase{"risk_reward_ignores_a_given_stop", risk_reward,
                    {.reference = 100.0, .units = 1.0, .stop_price = 90.0}, Kind::Opened, kNone, 1.0, 90.0, 104.0,
                    100000.0 - 100.0 - 0.1}),
    [](const auto& info) { return std::string(info.param.meaning); });

}  // namespace
}  // namespace tarnwick
