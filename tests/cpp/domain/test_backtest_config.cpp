// The configuration's range checks: a value that only means something above 0, the stop
// and target rules built through it, an ATR rule's period, the fee fraction, and the order
// in which the money fields are checked.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "domain/backtest_config.h"

namespace tarnwick {

using domain::BacktestConfig;
using domain::check_fees;
using domain::check_money_fields;
using domain::check_positive;
using domain::StopRule;
using domain::TargetRule;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A check's result: accepted when `message` is nullptr, refused with exactly it otherwise.
template <class R>
void expect_outcome(const R& r, const char* message) {
    if (message == nullptr) {
        EXPECT_TRUE(r.ok());
    } else {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(), message);
    }
}

struct PositiveCase {
    const char* label;
    double value;
    const char* message;  // nullptr: accepted
};

class PositiveValues : public ::testing::TestWithParam<PositiveCase> {};

TEST_P(PositiveValues, AreAcceptedOnlyWhenFiniteAndAboveZero) {
    const PositiveCase& c = GetParam();
    expect_outcome(check_positive("percent", c.value), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, PositiveValues,
    ::testing::Values(
        PositiveCase{"smallest_subnormal", std::numeric_limits<double>::denorm_min(), nullptr},
        PositiveCase{"five_percent", 0.05, nullptr},
        // A short's stop may lie 100 % or more above its entry.
        PositiveCase{"one", 1.0, nullptr}, PositiveCase{"one_and_a_half", 1.5, nullptr},
        PositiveCase{"largest_finite", std::numeric_limits<double>::max(), nullptr},
        PositiveCase{"zero", 0.0, "percent must be finite and above 0, got 0"},
        PositiveCase{"negative_zero", -0.0, "percent must be finite and above 0, got -0"},
        PositiveCase{"negative", -0.05, "percent must be finite and above 0, got -0.05"},
        PositiveCase{"nan", kNaN, "percent must be finite and above 0, got NaN"},
        PositiveCase{"infinity", kInf, "percent must be finite and above 0, got inf"},
        PositiveCase{"minus_infinity", -kInf, "percent must be finite and above 0, got -inf"}),
    [](const ::testing::TestParamInfo<PositiveCase>& info) { return std::string(info.param.label); });

// What a checked rule factory gave: the rule's kind, value and period, or the refusal.
struct Made {
    int kind = -1;
    double value = 0.0;
    std::uint64_t period = 0;
    std::string message;  // empty: a rule was built

    bool operator==(const Made&) const = default;
};

template <class Rule>
Made made(const base::Result<Rule, base::OwnError>& r) {
    if (!r.ok()) return {.message = r.error().message()};
    return {static_cast<int>(r->kind), r->value, r->period, {}};
}

template <class Kind>
Made rule(Kind kind, double value, std::uint64_t period = 0) {
    return {static_cast<int>(kind), value, period, {}};
}

Made refused(const char* message) { return {.message = message}; }

std::ostream& operator<<(std::ostream& os, const Made& m) {
    return os << "{kind " << m.kind << ", value " << m.value << ", period " << m.period << ", \"" << m.message << "\"}";
}

struct RuleCase {
    const char* label;
    Made (*make)(double);
    double value;
    Made expected;
};

class CheckedRules : public ::testing::TestWithParam<RuleCase> {};

// Each factory builds its own kind with the value and period it is given, and refuses a
// value that is not finite and above 0 under the name of its own argument.
TEST_P(CheckedRules, BuildTheirKindOrNameTheirArgument) {
    const RuleCase& c = GetParam();
    EXPECT_EQ(c.make(c.value), c.expected);
}

using StopKind = StopRule::Kind;
using TargetKind = TargetRule::Kind;

Made stop_fixed(double v) { return made(StopRule::checked_fixed(v)); }
Made stop_trailing(double v) { return made(StopRule::checked_trailing(v)); }
Made stop_atr(double v) { return made(StopRule::checked_atr(v, 14)); }
Made target_fixed(double v) { return made(TargetRule::checked_fixed(v)); }
Made target_atr(double v) { return made(TargetRule::checked_atr(v, 20)); }
Made target_risk_reward(double v) { return made(TargetRule::checked_risk_reward(v)); }

INSTANTIATE_TEST_SUITE_P(
    Checks, CheckedRules,
    ::testing::Values(
        RuleCase{"stop_fixed", stop_fixed, 0.05, rule(StopKind::Fixed, 0.05)},
        RuleCase{"stop_fixed_zero", stop_fixed, 0.0, refused("percent must be finite and above 0, got 0")},
        // A short's trailing stop may lie 100 % or more above the lowest price.
        RuleCase{"stop_trailing", stop_trailing, 1.5, rule(StopKind::Trailing, 1.5)},
        RuleCase{"stop_trailing_nan", stop_trailing, kNaN, refused("percent must be finite and above 0, got NaN")},
        RuleCase{"stop_atr", stop_atr, 2.0, rule(StopKind::Atr, 2.0, 14)},
        RuleCase{"stop_atr_minus_infinity", stop_atr, -kInf,
                 refused("multiplier must be finite and above 0, got -inf")},
        RuleCase{"target_fixed", target_fixed, 0.1, rule(TargetKind::Fixed, 0.1)},
        RuleCase{"target_fixed_negative_zero", target_fixed, -0.0,
                 refused("percent must be finite and above 0, got -0")},
        RuleCase{"target_atr", target_atr, 3.0, rule(TargetKind::Atr, 3.0, 20)},
        RuleCase{"target_atr_infinity", target_atr, kInf, refused("multiplier must be finite and above 0, got inf")},
        RuleCase{"target_risk_reward", target_risk_reward, 2.0, rule(TargetKind::RiskReward, 2.0)},
        RuleCase{"target_risk_reward_negative", target_risk_reward, -1.0,
                 refused("ratio must be finite and above 0, got -1")}),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.label); });

struct AtrCase {
    const char* label;
    bool stop;  // false: the target factory
    double multiplier;
    std::uint64_t period;
    Made expected;
};

class AtrPeriods : public ::testing::TestWithParam<AtrCase> {};

// Over 0 bars the ATR is all zeros and the rule could never fire, so both ATR factories
// refuse the period, after the multiplier.
TEST_P(AtrPeriods, AreRefusedAtZeroAfterTheMultiplier) {
    const AtrCase& c = GetParam();
    const Made got = c.stop ? made(StopRule::checked_atr(c.multiplier, c.period))
                            : made(TargetRule::checked_atr(c.multiplier, c.period));
    EXPECT_EQ(got, c.expected);
}

constexpr std::uint64_t kMaxPeriod = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Checks, AtrPeriods,
    ::testing::Values(
        AtrCase{"stop_one_bar", true, 2.0, 1, rule(StopKind::Atr, 2.0, 1)},
        AtrCase{"stop_largest", true, 2.0, kMaxPeriod, rule(StopKind::Atr, 2.0, kMaxPeriod)},
        AtrCase{"stop_zero", true, 2.0, 0, refused("period must be above 0, got 0")},
        AtrCase{"stop_zero_with_bad_multiplier", true, 0.0, 0,
                refused("multiplier must be finite and above 0, got 0")},
        AtrCase{"target_one_bar", false, 1.5, 1, rule(TargetKind::Atr, 1.5, 1)},
        AtrCase{"target_zero", false, 1.5, 0, refused("period must be above 0, got 0")},
        AtrCase{"target_zero_with_nan_multiplier", false, kNaN, 0,
                refused("multiplier must be finite and above 0, got NaN")}),
    [](const ::testing::TestParamInfo<AtrCase>& info) { return std::string(info.param.label); });

class FeeFractions : public ::testing::TestWithParam<PositiveCase> {};

// A fee is a fraction of the traded value: from a full rebate to the whole value, both
// ends excluded.
TEST_P(FeeFractions, AreAcceptedOnlyStrictlyBetweenMinusOneAndOne) {
    const PositiveCase& c = GetParam();
    expect_outcome(check_fees(c.value), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, FeeFractions,
    ::testing::Values(
        PositiveCase{"zero", 0.0, nullptr}, PositiveCase{"default", 0.001, nullptr},
        PositiveCase{"rebate", -0.0002, nullptr},
        PositiveCase{"just_below_one", 0.9999999999999999, nullptr},
        PositiveCase{"just_above_minus_one", -0.9999999999999999, nullptr},
        PositiveCase{"one", 1.0, "fees must be finite and between -1 and 1, got 1"},
        PositiveCase{"five", 5.0, "fees must be finite and between -1 and 1, got 5"},
        PositiveCase{"minus_one", -1.0, "fees must be finite and between -1 and 1, got -1"},
        PositiveCase{"nan", kNaN, "fees must be finite and between -1 and 1, got NaN"},
        PositiveCase{"infinity", kInf, "fees must be finite and between -1 and 1, got inf"},
        PositiveCase{"minus_infinity", -kInf, "fees must be finite and between -1 and 1, got -inf"}),
    [](const ::testing::TestParamInfo<PositiveCase>& info) { return std::string(info.param.label); });

struct MoneyCase {
    const char* label;
    double initial_capital;
    double fees;
    const char* message;  // nullptr: accepted
};

class MoneyFields : public ::testing::TestWithParam<MoneyCase> {};

TEST_P(MoneyFields, CheckTheStartingCapitalFirst) {
    const MoneyCase& c = GetParam();
    BacktestConfig config;
    config.initial_capital = c.initial_capital;
    config.fees = c.fees;
    expect_outcome(check_money_fields(config), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, MoneyFields,
    ::testing::Values(MoneyCase{"defaults", 100000.0, 0.001, nullptr},
                      MoneyCase{"tiny_capital", 1e-9, 0.001, nullptr},
                      MoneyCase{"zero_capital", 0.0, 0.001, "initial_capital must be finite and above 0, got 0"},
                      MoneyCase{"negative_capital", -5.0, 0.001,
                                "initial_capital must be finite and above 0, got -5"},
                      MoneyCase{"nan_capital_before_nan_fees", kNaN, kNaN,
                                "initial_capital must be finite and above 0, got NaN"},
                      MoneyCase{"fees_after_a_good_capital", 1.0, kNaN,
                                "fees must be finite and between -1 and 1, got NaN"},
                      MoneyCase{"whole_value_fees", 1.0, 1.0, "fees must be finite and between -1 and 1, got 1"}),
    [](const ::testing::TestParamInfo<MoneyCase>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tarnwick
