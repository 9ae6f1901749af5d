// One declaration gives the binder its table and CPython its text signature: the docstring
// head must read the way CPython parses it ("name(...)\n--\n\n", "$self" for methods, the
// class name for constructors), and the table must count what the declaration lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "python/signature.h"

using namespace tarnwick::python;

namespace {

constexpr auto kBare = function("ping", "Answer.");
constexpr auto kRequired = function("sma", {"data", "period"}, "Simple Moving Average.");
constexpr auto kDefaults = function("macd", {"data", {"fast_period", "12"}, {"symbol", "\"ASSET\""}}, "MACD.");
constexpr auto kAllDefaults = function("resolve", {{"config", "None"}, {"other", "None"}}, "Resolve.");
constexpr auto kNoDescription = function("probe", {"a", {"b", "None"}}, nullptr);
constexpr auto kMethod = method("Session.step", {"idx", {"entry", "False"}}, "Advance.\n\nOne bar.");
constexpr auto kNoArgsMethod = method("Session.finish", "Finish.");
constexpr auto kStatic = static_method("Indicator.sma", {"period"}, "");
constexpr auto kConstructor = constructor("Config.__new__", {"step", {"unit", "\"m\""}}, "A configuration.");
constexpr auto kEmptyConstructor = constructor("StopConfig.__new__", "A stop.");

struct DocCase {
    const char* label;
    const char* docstring;
    const char* expected;
};

class Docstring : public ::testing::TestWithParam<DocCase> {};
TEST_P(Docstring, HeadIsTheTextSignatureCPythonParses) {
    EXPECT_STREQ(GetParam().docstring, GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Signature, Docstring,
    ::testing::Values(DocCase{"no_parameters", docstring<kBare>(), "ping()\n--\n\nAnswer."},
                      DocCase{"required_only", docstring<kRequired>(),
                              "sma(data, period)\n--\n\nSimple Moving Average."},
                      DocCase{"defaults_after_required", docstring<kDefaults>(),
                              "macd(data, fast_period=12, symbol=\"ASSET\")\n--\n\nMACD."},
                      DocCase{"defaults_only", docstring<kAllDefaults>(),
                              "resolve(config=None, other=None)\n--\n\nResolve."},
                      DocCase{"no_description", docstring<kNoDescription>(), "probe(a, b=None)\n--\n\n"},
                      DocCase{"method_takes_self_first", docstring<kMethod>(),
                              "step($self, idx, entry=False)\n--\n\nAdvance.\n\nOne bar."},
                      DocCase{"method_without_parameters", docstring<kNoArgsMethod>(),
                              "finish($self)\n--\n\nFinish."},
                      DocCase{"static_method_has_no_self", docstring<kStatic>(), "sma(period)\n--\n\n"},
                      DocCase{"constructor_shows_its_class", docstring<kConstructor>(),
                              "Config(step, unit=\"m\")\n--\n\nA configuration."},
                      DocCase{"constructor_without_parameters", docstring<kEmptyConstructor>(),
                              "StopConfig()\n--\n\nA stop."}),
    [](const auto& info) { return std::string(info.param.label); });

struct TableCase {
    const char* label;
    Signature table;
    const char* attribute;
    std::vector<std::string> names;
    std::size_t required;
    const char* display;
    const char* python_name;
};

class Table : public ::testing::TestWithParam<TableCase> {};
TEST_P(Table, CountsAndRequiredComeFromTheDeclaration) {
    const TableCase& c = GetParam();
    EXPECT_EQ(c.table.count, c.names.size());
    EXPECT_EQ(c.table.required, c.required);
    EXPECT_STREQ(c.table.display, c.display);
    EXPECT_STREQ(c.attribute, c.python_name);
    for (std::size_t i = 0; i < c.names.size(); ++i) EXPECT_EQ(c.table.names[i], c.names[i]) << i;
}
INSTANTIATE_TEST_SUITE_P(
    Signature, Table,
    ::testing::Values(TableCase{"bare", kSignature<kBare>, kBare.python_name(), {}, 0, "ping", "ping"},
                      TableCase{"required", kSignature<kRequired>, kRequired.python_name(), {"data", "period"}, 2,
                                "sma", "sma"},
                      TableCase{"defaults", kSignature<kDefaults>, kDefaults.python_name(),
                                {"data", "fast_period", "symbol"}, 1, "macd", "macd"},
                      TableCase{"all_defaults", kSignature<kAllDefaults>, kAllDefaults.python_name(),
                                {"config", "other"}, 0, "resolve", "resolve"},
                      TableCase{"method", kSignature<kMethod>, kMethod.python_name(), {"idx", "entry"}, 1,
                                "Session.step", "step"},
                      TableCase{"constructor", kSignature<kConstructor>, kConstructor.python_name(),
                                {"step", "unit"}, 1, "Config.__new__", "__new__"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
