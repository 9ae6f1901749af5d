// The configuration's range checks: a value that only means something above 0, and the
// order in which the money fields are checked.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "domain/backtest_config.h"

namespace tarnwick {

using domain::BacktestConfig;
using domain::check_money_fields;
using domain::check_positive;

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
                      MoneyCase{"fees_after_a_good_capital", 1.0, kNaN, "fees must be finite and above -1, got NaN"}),
    [](const ::testing::TestParamInfo<MoneyCase>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tarnwick
