// Parameters several callables share are written once and spliced into each declaration:
// the spliced list holds every piece's parameters in the order the pieces are given, with
// their defaults, so the declaration reads as if it had been written out in full.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "python/param_list.h"
#include "python/signature.h"

using namespace tarnwick::python;
using tarnwick::python::signature_detail::declare;
using tarnwick::python::signature_detail::render_docstring;

namespace {

constexpr Returns kAny{"object"};

constexpr Param kShared[] = {"side", {"tif", "gtc"}, {"units", None}};
constexpr Param kIntents[] = {{"entry", false}, {"atr", 0.0}};

constexpr auto kHeadThenShared = splice({"instrument"}, kShared);
constexpr auto kSharedOnly = splice(kShared);
constexpr auto kThreePieces = splice({"idx"}, {"open", "close"}, kIntents);
constexpr auto kDefaultsOnly = splice({{"instrument", 0}}, kIntents);

template <std::size_t N>
consteval Callable<N> decl(CallKind kind, const char* display, const ParamList<N>& list) {
    return declare<N>(kind, display, list.items, kAny, "");
}

constexpr auto kSubmit = decl(CallKind::method, "Session.submit_order", kHeadThenShared);
constexpr auto kSubmitOnly = decl(CallKind::method, "Session.submit_order", kSharedOnly);
constexpr auto kStep = decl(CallKind::method, "Session.step", kThreePieces);
constexpr auto kApply = decl(CallKind::function, "apply", kDefaultsOnly);

struct SpliceCase {
    const char* label;
    std::string docstring;
    Signature table;
    const char* expected;
    std::size_t expected_count;
    std::size_t expected_required;
};

class Splice : public ::testing::TestWithParam<SpliceCase> {};
TEST_P(Splice, ReadsAsTheListWrittenOutInFull) {
    const SpliceCase& c = GetParam();
    EXPECT_EQ(c.docstring, c.expected);
    EXPECT_EQ(c.table.count, c.expected_count);
    EXPECT_EQ(c.table.required, c.expected_required);
}
INSTANTIATE_TEST_SUITE_P(
    ParamList, Splice,
    ::testing::Values(SpliceCase{"head_then_shared", render_docstring(kSubmit), kSignature<kSubmit>,
                                 "submit_order($self, instrument, side, tif=\"gtc\", units=None)\n--\n\n", 4, 2},
                      SpliceCase{"shared_alone", render_docstring(kSubmitOnly), kSignature<kSubmitOnly>,
                                 "submit_order($self, side, tif=\"gtc\", units=None)\n--\n\n", 3, 1},
                      SpliceCase{"pieces_in_the_order_given", render_docstring(kStep), kSignature<kStep>,
                                 "step($self, idx, open, close, entry=False, atr=0.0)\n--\n\n", 5, 3},
                      SpliceCase{"defaults_only", render_docstring(kApply), kSignature<kApply>,
                                 "apply(instrument=0, entry=False, atr=0.0)\n--\n\n", 3, 0}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
