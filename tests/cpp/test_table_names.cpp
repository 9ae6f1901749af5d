// The names the suite is listed under: every row of a parameterised table is named by
// what it means, and every name is short enough for ctest's padded lines to stay readable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "test_names.h"

namespace {

using tarnwick::testing_support::number_name;
using tarnwick::testing_support::row_name;
using tarnwick::testing_support::test_name;

// ctest pads every name to the longest one and adds about 45 characters of counters and
// timings around it: names up to this long, with the layer's prefix ctest lists them under
// ("indicators."), keep its lines under 200 characters.
constexpr std::size_t kLongestName = 150;
constexpr std::string_view kPrefix = TARNWICK_TEST_PREFIX;

struct Listed {
    std::string full;  // "Prefix/Suite.Test/row", as ctest lists it
    bool parameterised;
};

std::vector<Listed> every_test() {
    std::vector<Listed> out;
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    for (int s = 0; s < unit.total_test_suite_count(); ++s) {
        const ::testing::TestSuite& suite = *unit.GetTestSuite(s);
        for (int t = 0; t < suite.total_test_count(); ++t) {
            const ::testing::TestInfo& info = *suite.GetTestInfo(t);
            out.push_back({std::string(suite.name()) + "." + info.name(), info.value_param() != nullptr});
        }
    }
    return out;
}

TEST(TableNames, EveryParameterisedRowIsNamedByItsMeaningNotItsIndex) {
    std::size_t rows = 0;
    for (const Listed& t : every_test()) {
        if (!t.parameterised) continue;
        ++rows;
        const std::string_view row = std::string_view(t.full).substr(t.full.rfind('/') + 1);
        EXPECT_FALSE(std::all_of(row.begin(), row.end(), [](char c) { return c >= '0' && c <= '9'; }))
            << t.full << ": the table has no name generator";
    }
    EXPECT_GT(rows, 0u);
}

TEST(TableNames, NoNameIsLongerThanACtestLineAllows) {
    for (const Listed& t : every_test()) EXPECT_LE(kPrefix.size() + t.full.size(), kLongestName) << kPrefix << t.full;
}

struct NameCase {
    const char* label;
    std::string got;
    const char* want;
};

class RowNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(RowNames, KeepTheSignsAndPointsThatTellRowsApart) { EXPECT_EQ(GetParam().got, GetParam().want); }

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Helpers, RowNames,
    ::testing::Values(
        NameCase{"prose", test_name("Data length mismatch: expected 9, got 10"),
                 "Data_length_mismatch_expected_9_got_10"},
        NameCase{"hyphenated_word", test_name("NSE-FUT"), "NSE_FUT"},
        NameCase{"signed_exponent", test_name("pivot -2.500e-1 at index 1"), "pivot_minus2p500eminus1_at_index_1"},
        NameCase{"signed_word", test_name("pivot -inf"), "pivot_minusinf"},
        NameCase{"blank_ends", test_name(" straddle "), "straddle"},
        NameCase{"empty", test_name(""), ""},
        NameCase{"fraction", number_name(0.25), "0p25"},
        NameCase{"negative", number_name(-1.5), "minus1p5"},
        NameCase{"negative_zero", number_name(-0.0), "minus0"},
        NameCase{"small", number_name(1e-7), "1eminus07"},
        NameCase{"large", number_name(1e21), "1e21"},
        NameCase{"not_a_number", number_name(std::nan("")), "nan"},
        NameCase{"negative_infinity", number_name(-kInf), "minusinf"},
        NameCase{"integer", number_name(-42), "minus42"},
        NameCase{"joined", row_name("rows", 40, "", "assets", 8), "rows_40_assets_8"}),
    tarnwick::testing_support::RowLabel{});

}  // namespace
