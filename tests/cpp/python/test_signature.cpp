// One declaration gives the binder its table and CPython its text signature: the docstring
// head must read the way CPython parses it ("name(...)\n--\n\n", "$self" for methods, the
// class name for constructors), each default spelled from its typed value, and the table
// must count what the declaration lists.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "python/signature.h"

using namespace tarnwick::python;
using tarnwick::python::signature_detail::declare;
using tarnwick::python::signature_detail::default_text;
using tarnwick::python::signature_detail::real_text;
using tarnwick::python::signature_detail::render_docstring;

namespace {

constexpr Returns kAny{"object"};

template <std::size_t N>
consteval Callable<N> decl(CallKind kind, const char* display, const Param (&params)[N], const char* doc) {
    return declare<N>(kind, display, params, kAny, doc);
}
consteval Callable<0> decl0(CallKind kind, const char* display, const char* doc) {
    return declare<0>(kind, display, nullptr, kAny, doc);
}

constexpr auto kBare = decl0(CallKind::function, "ping", "Answer.");
constexpr auto kRequired = decl(CallKind::function, "sma", {"data", "period"}, "Simple Moving Average.");
constexpr auto kDefaults =
    decl(CallKind::function, "macd", {"data", {"fast_period", 12}, {"symbol", "ASSET"}}, "MACD.");
constexpr auto kAllDefaults = decl(CallKind::function, "resolve", {{"config", None}, {"other", None}}, "Resolve.");
constexpr auto kNoDescription = decl(CallKind::function, "probe", {"a", {"b", None}}, nullptr);
constexpr auto kMethod = decl(CallKind::method, "Session.step", {"idx", {"entry", false}}, "Advance.\n\nOne bar.");
constexpr auto kNoArgsMethod = decl0(CallKind::method, "Session.finish", "Finish.");
constexpr auto kStatic = decl(CallKind::static_method, "Indicator.sma", {"period"}, "");
constexpr auto kConstructor = decl(CallKind::constructor, "Config.__new__", {"step", {"unit", "m"}}, "A configuration.");
constexpr auto kEmptyConstructor = decl0(CallKind::constructor, "StopConfig.__new__", "A stop.");
constexpr auto kKinds = decl(CallKind::function, "kinds",
                             {{"a", 1.0}, {"b", 0}, {"c", true}, {"d", 1e-8}, {"e", Shown{"...", 2.5}},
                              {"f", std::numeric_limits<unsigned long long>::max()}, {"g", -3}},
                             "");

struct DocCase {
    const char* label;
    std::string docstring;
    const char* expected;
};

class Docstring : public ::testing::TestWithParam<DocCase> {};
TEST_P(Docstring, HeadIsTheTextSignatureCPythonParses) { EXPECT_EQ(GetParam().docstring, GetParam().expected); }
INSTANTIATE_TEST_SUITE_P(
    Signature, Docstring,
    ::testing::Values(DocCase{"no_parameters", render_docstring(kBare), "ping()\n--\n\nAnswer."},
                      DocCase{"required_only", render_docstring(kRequired),
                              "sma(data, period)\n--\n\nSimple Moving Average."},
                      DocCase{"defaults_after_required", render_docstring(kDefaults),
                              "macd(data, fast_period=12, symbol=\"ASSET\")\n--\n\nMACD."},
                      DocCase{"defaults_only", render_docstring(kAllDefaults),
                              "resolve(config=None, other=None)\n--\n\nResolve."},
                      DocCase{"no_description", render_docstring(kNoDescription), "probe(a, b=None)\n--\n\n"},
                      DocCase{"method_takes_self_first", render_docstring(kMethod),
                              "step($self, idx, entry=False)\n--\n\nAdvance.\n\nOne bar."},
                      DocCase{"method_without_parameters", render_docstring(kNoArgsMethod),
                              "finish($self)\n--\n\nFinish."},
                      DocCase{"static_method_has_no_self", render_docstring(kStatic), "sma(period)\n--\n\n"},
                      DocCase{"constructor_shows_its_class", render_docstring(kConstructor),
                              "Config(step, unit=\"m\")\n--\n\nA configuration."},
                      DocCase{"constructor_without_parameters", render_docstring(kEmptyConstructor),
                              "StopConfig()\n--\n\nA stop."},
                      DocCase{"each_kind_of_default", render_docstring(kKinds),
                              "kinds(a=1.0, b=0, c=True, d=1e-8, e=..., f=18446744073709551615, g=-3)\n--\n\n"}),
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

// A float default reads as Python's repr of the same value, but for an unpadded exponent.
struct RealCase {
    const char* label;
    double value;
    const char* expected;
};

class RealDefault : public ::testing::TestWithParam<RealCase> {};
TEST_P(RealDefault, SpellsTheShortestDigitsThatReadBack) {
    const RealCase& c = GetParam();
    const std::string text = real_text(c.value);
    EXPECT_EQ(text, c.expected);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), c.value) << "the text must read back as the same value";
}
INSTANTIATE_TEST_SUITE_P(
    Signature, RealDefault,
    ::testing::Values(RealCase{"zero", 0.0, "0.0"}, RealCase{"negative_zero", -0.0, "-0.0"},
                      RealCase{"whole", 100000.0, "100000.0"}, RealCase{"fraction", 0.001, "0.001"},
                      RealCase{"smallest_fixed", 0.0001, "0.0001"}, RealCase{"below_fixed", 0.00001, "1e-5"},
                      RealCase{"tiny", 1e-8, "1e-8"}, RealCase{"mixed", 252.5, "252.5"},
                      RealCase{"largest_fixed", 1e15, "1000000000000000.0"}, RealCase{"above_fixed", 1e16, "1e+16"},
                      RealCase{"negative", -2.25, "-2.25"}, RealCase{"one_third", 1.0 / 3.0, "0.3333333333333333"},
                      RealCase{"long_mantissa_exponent", 1.2345e-7, "1.2345e-7"},
                      RealCase{"negative_above_fixed", -2.5e16, "-2.5e+16"},
                      RealCase{"largest_finite", std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
                      RealCase{"smallest_subnormal", std::numeric_limits<double>::denorm_min(), "5e-324"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
