// Instrument construction: the checks run in a fixed order and the first failure wins.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "domain/instrument_spec.h"
#include "test_names.h"

using tarnwick::testing_support::RowLabel;

namespace tarnwick {

using base::OwnError;
using base::Result;
using domain::InstrumentKindTag;
using domain::InstrumentSpec;
using domain::OptionRight;
using domain::parse_option_right;
using domain::snap_price_to_increment;
using domain::snap_size_to_increment;

namespace {

struct RejectCase {
    const char* label;
    Result<InstrumentSpec, OwnError> (*build)();
    const char* message;
};

class InstrumentSpecRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(InstrumentSpecRejects, WithTheFirstFailingCheck) {
    auto r = GetParam().build();
    ASSERT_FALSE(r.ok()) << GetParam().label;
    EXPECT_EQ(r.error().message(), GetParam().message);
}

using IS = InstrumentSpec;

INSTANTIATE_TEST_SUITE_P(
    Cases, InstrumentSpecRejects,
    ::testing::Values(
        RejectCase{"negative lot", [] { return IS::equity({.terms = {.symbol = "A", .lot_size = -1.0}}); },
                   "increments and lot_size must be >= 0"},
        RejectCase{"zero multiplier", [] { return IS::perpetual({.terms = {.symbol = "P"}, .multiplier = 0.0}); },
                   "multiplier must be > 0"},
        RejectCase{"negative multiplier", [] { return IS::perpetual({.terms = {.symbol = "P"}, .multiplier = -2.0}); },
                   "multiplier must be > 0"},
        RejectCase{"expiry equal to activation",
                   [] {
                       return IS::futures_contract(
                           {.terms = {.symbol = "F"}, .expiration_ns = 100, .activation_ns = 100});
                   },
                   "expiration_ns must be after activation_ns"},
        RejectCase{"bad right", [] { return IS::option({.terms = {.symbol = "O"}, .strike = 1, .right = "puts"}); },
                   "right must be 'call' or 'put', got puts"},
        RejectCase{"capital right is lower-cased in the message",
                   [] { return IS::option({.terms = {.symbol = "O"}, .strike = 1, .right = "X"}); },
                   "right must be 'call' or 'put', got x"},
        RejectCase{"zero strike", [] { return IS::option({.terms = {.symbol = "O"}, .strike = 0, .right = "c"}); },
                   "strike must be > 0"},
        // The span check runs before the strike check, the option checks before the shared ones.
        RejectCase{"span before strike",
                   [] { return IS::option({.terms = {.symbol = "O"}, .strike = 0, .right = "c", .span_pct = -0.1}); },
                   "span_pct and exposure_pct must be >= 0"},
        RejectCase{"right before increments",
                   [] {
                       return IS::option(
                           {.terms = {.symbol = "O", .price_increment = -1.0}, .strike = 1, .right = "z"});
                   },
                   "right must be 'call' or 'put', got z"},
        RejectCase{"index increment", [] { return IS::index("I", -0.05); }, "price_increment must be >= 0"}),
    RowLabel{});

TEST(InstrumentSpec, OptionRightAliases) {
    struct Case {
        const char* text;
        OptionRight right;
    };
    for (const Case c : {Case{"PE", OptionRight::Put}, Case{"Ce", OptionRight::Call}, Case{"p", OptionRight::Put},
                         Case{"CALL", OptionRight::Call}, Case{"put", OptionRight::Put}}) {
        auto r = parse_option_right(c.text);
        ASSERT_TRUE(r) << c.text;
        EXPECT_EQ(*r, c.right) << c.text;
    }
}

TEST(InstrumentSpec, LotSizeOfZeroOrNaNIsStoredAsOne) {
    EXPECT_EQ(InstrumentSpec::equity({.terms = {.symbol = "A", .lot_size = 0.0}})->lot_size, 1.0);
    EXPECT_EQ(InstrumentSpec::equity({.terms = {.symbol = "A", .lot_size = std::nan("")}})->lot_size, 1.0);
    EXPECT_EQ(InstrumentSpec::equity({.terms = {.symbol = "A", .lot_size = 0.5}})->lot_size, 0.5);
}

TEST(InstrumentSpec, ActivationBeforeExpiryOrAbsentIsAccepted) {
    EXPECT_TRUE(
        InstrumentSpec::futures_contract({.terms = {.symbol = "F"}, .expiration_ns = 100, .activation_ns = 99}));
    EXPECT_TRUE(InstrumentSpec::futures_contract({.terms = {.symbol = "F"}, .expiration_ns = -5}));
}

TEST(InstrumentSpec, IndexDefaultsAndDerivedFields) {
    auto idx = InstrumentSpec::index("NIFTY");
    ASSERT_TRUE(idx);
    EXPECT_FALSE(idx->tradable());
    EXPECT_EQ(name(idx->kind.tag), "index");
    EXPECT_FALSE(idx->strike() || idx->right() || idx->underlying() || idx->activation_ns || idx->expiration_ns);
    EXPECT_EQ(idx->lot_size, 1.0);
    EXPECT_EQ(idx->multiplier, 1.0);

    auto perp = InstrumentSpec::perpetual({.terms = {.symbol = "P"}, .underlying = "BTC"});
    EXPECT_EQ(perp->underlying(), std::optional<std::string>("BTC"));
    EXPECT_FALSE(InstrumentSpec::perpetual({.terms = {.symbol = "P"}})->underlying());
    EXPECT_FALSE(InstrumentSpec::equity({.terms = {.symbol = "E"}})->underlying());

    auto opt = InstrumentSpec::option({.terms = {.symbol = "O"}, .strike = 100, .right = "pe", .expiration_ns = 9});
    EXPECT_EQ(opt->strike(), std::optional<double>(100.0));
    EXPECT_EQ(opt->right(), std::optional<OptionRight>(OptionRight::Put));
    EXPECT_EQ(opt->kind.tag, InstrumentKindTag::Option);
    EXPECT_EQ(*opt->expiration_ns, 9);
    EXPECT_TRUE(opt->tradable());
}

TEST(InstrumentSpec, GridSnappingToleratesRoundingButOtherwiseRoundsAwayFromRisk) {
    // 0.29999999999 / 0.1 = 2.9999999999, within 1e-9 of 3 -> 0.3
    EXPECT_DOUBLE_EQ(snap_size_to_increment(0.29999999999, 0.1), 0.30000000000000004);
    EXPECT_EQ(snap_size_to_increment(0.27, 0.1), 0.2);  // floor(2.7) * 0.1
    EXPECT_EQ(snap_size_to_increment(7.0, 0.0), 7.0);
    // 100.07 on a 0.05 grid: 2001.4 -> long floors to 2001 * 0.05, short ceils to 2002 * 0.05
    EXPECT_DOUBLE_EQ(snap_price_to_increment(100.07, 0.05, 1), 2001 * 0.05);
    EXPECT_DOUBLE_EQ(snap_price_to_increment(100.07, 0.05, -1), 2002 * 0.05);
}

}  // namespace
}  // namespace tarnwick
