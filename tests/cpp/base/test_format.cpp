#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "base/errors.h"
#include "base/format.h"
#include "test_names.h"

using tarnwick::testing_support::number_name;
using tarnwick::testing_support::row_name;
using namespace tarnwick;
using namespace tarnwick::base;

struct NumCase {
    double v;
    const char* expected;
};

class Shortest : public ::testing::TestWithParam<NumCase> {};
TEST_P(Shortest, PlainDecimalWithoutExponent) { EXPECT_EQ(fmt::shortest(GetParam().v), GetParam().expected); }
INSTANTIATE_TEST_SUITE_P(Format, Shortest,
                         ::testing::Values(NumCase{252.0, "252"}, NumCase{0.1, "0.1"}, NumCase{-2.5, "-2.5"},
                                           NumCase{1e-7, "0.0000001"}, NumCase{1e21, "1000000000000000000000"},
                                           NumCase{123456.789, "123456.789"}, NumCase{0.0, "0"},
                                           NumCase{-0.0, "-0"}, NumCase{NAN, "NaN"}, NumCase{INFINITY, "inf"},
                                           NumCase{-INFINITY, "-inf"}, NumCase{0.30000000000000004, "0.30000000000000004"}),
                         [](const auto& i) { return row_name("value", i.param.v); });

class Debug : public ::testing::TestWithParam<NumCase> {};
TEST_P(Debug, KeepsPointZeroAndSwitchesToExponentAtTheEdges) {
    EXPECT_EQ(fmt::debug(GetParam().v), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Format, Debug,
                         ::testing::Values(NumCase{25.0, "25.0"}, NumCase{0.0, "0.0"}, NumCase{1e16, "1e16"},
                                           NumCase{1.5e16, "1.5e16"}, NumCase{1e15, "1000000000000000.0"},
                                           NumCase{0.0001, "0.0001"}, NumCase{0.00001, "1e-5"},
                                           NumCase{-1.5e-5, "-1.5e-5"}, NumCase{0.5, "0.5"}),
                         [](const auto& i) { return row_name("value", i.param.v); });

struct FixedCase {
    double v;
    int precision;
    const char* expected;
};
class Fixed : public ::testing::TestWithParam<FixedCase> {};
TEST_P(Fixed, RoundsTheExactBinaryValueTiesToEven) {
    EXPECT_EQ(fmt::fixed(GetParam().v, GetParam().precision), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Format, Fixed,
                         ::testing::Values(FixedCase{0.125, 2, "0.12"}, FixedCase{0.375, 2, "0.38"},
                                           // 2.675 is stored just below the tie, so it rounds down.
                                           FixedCase{2.675, 2, "2.67"}, FixedCase{2.5, 0, "2"},
                                           FixedCase{3.5, 0, "4"}, FixedCase{-0.0, 2, "-0.00"},
                                           FixedCase{9780.21, 4, "9780.2100"}, FixedCase{NAN, 2, "NaN"},
                                           FixedCase{-INFINITY, 4, "-inf"}),
                         [](const auto& i) { return row_name(i.param.v, "to", i.param.precision, "places"); });

class Exp : public ::testing::TestWithParam<FixedCase> {};
TEST_P(Exp, BareExponent) { EXPECT_EQ(fmt::exp(GetParam().v, GetParam().precision), GetParam().expected); }
INSTANTIATE_TEST_SUITE_P(Format, Exp,
                         ::testing::Values(FixedCase{1234.5, 2, "1.23e3"}, FixedCase{0.00001, 2, "1.00e-5"},
                                           FixedCase{0.0, 1, "0.0e0"}, FixedCase{-98765.0, 3, "-9.876e4"}, FixedCase{98775.0, 3, "9.878e4"}),
                         [](const auto& i) { return row_name(i.param.v, "to", i.param.precision, "places"); });

TEST(Format, OptionalUsesSomeOrNone) {
    EXPECT_EQ(fmt::optional(25.0), "Some(25.0)");
    EXPECT_EQ(fmt::optional(std::nullopt), "None");
    EXPECT_EQ(fmt::optional(2e-5), "Some(2e-5)");
}

TEST(Format, QuotedEscapes) {
    EXPECT_EQ(fmt::quoted("15:25"), "\"15:25\"");
    EXPECT_EQ(fmt::quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(fmt::quoted(std::string_view("\0\t\n\r", 4)), "\"\\0\\t\\n\\r\"");
    EXPECT_EQ(fmt::quoted("\x01"), "\"\\u{1}\"");
    EXPECT_EQ(fmt::quoted("\x7f"), "\"\\u{7f}\"");
    EXPECT_EQ(fmt::quoted("caf\xc3\xa9 it's"), "\"caf\xc3\xa9 it's\"");
    EXPECT_EQ(fmt::quoted("\xe2\x80\xa8"), "\"\\u{2028}\"");
}

TEST(Format, TemplateFillsPlaceholdersInOrder) {
    EXPECT_EQ(fmt::format("{}() takes {} positional {} but {} given", "sma", 2, "arguments", 3u),
              "sma() takes 2 positional arguments but 3 given");
    EXPECT_EQ(fmt::format("x={} y={}", 252.0, true), "x=252 y=true");
    EXPECT_EQ(fmt::format("no placeholders"), "no placeholders");
}

TEST(Errors, MessagesFillPayloadInDeclarationOrder) {
    EXPECT_EQ(CoreError::index_out_of_bounds(7, 5).message(), "Index 7 out of bounds for length 5");
    EXPECT_EQ(CoreError::data_length_mismatch(10, 9).message(), "Data length mismatch: expected 10, got 9");
    EXPECT_EQ(PortfolioError::cross_section_too_small(3, 5).message(), "cross-section too small: 3 < min_names 5");
    EXPECT_EQ(CoreError::invalid_parameter("period must be > 0").message(), "Invalid parameter: period must be > 0");
    EXPECT_EQ(PortfolioError::non_finite(1, 4).message(), "non-finite value at row 1, col 4");
}
