// The one dispatcher of vector widths: the processor's widest set, capped from the
// environment, never raised above what the processor runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "base/simd.h"

namespace tarnwick {
namespace {

namespace simd = base::simd;
using simd::Isa;

struct CapCase {
    const char* meaning;
    Isa widest;
    std::optional<std::string_view> cap;
    Isa isa;
};

class SimdCap : public ::testing::TestWithParam<CapCase> {};

TEST_P(SimdCap, LowersNeverRaises) {
    const CapCase& c = GetParam();
    EXPECT_EQ(simd::capped_isa(c.widest, c.cap), c.isa);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SimdCap,
    ::testing::Values(CapCase{"no_cap", Isa::Avx512, std::nullopt, Isa::Avx512},
                      CapCase{"avx512_to_sse2", Isa::Avx512, "sse2", Isa::Sse2},
                      CapCase{"avx512_to_avx2", Isa::Avx512, "avx2", Isa::Avx2},
                      CapCase{"avx512_kept", Isa::Avx512, "avx512", Isa::Avx512},
                      CapCase{"avx2_not_raised", Isa::Avx2, "avx512", Isa::Avx2},
                      CapCase{"sse2_not_raised", Isa::Sse2, "avx2", Isa::Sse2},
                      CapCase{"avx2_to_sse2", Isa::Avx2, "sse2", Isa::Sse2},
                      CapCase{"unknown_name_ignored", Isa::Avx2, "avx", Isa::Avx2},
                      CapCase{"case_matters", Isa::Avx512, "SSE2", Isa::Avx512},
                      CapCase{"empty_ignored", Isa::Avx512, "", Isa::Avx512}),
    [](const auto& info) { return std::string(info.param.meaning); });

TEST(SimdNames, ParseReadsWhatNameWrites) {
    for (const Isa isa : {Isa::Sse2, Isa::Avx2, Isa::Avx512}) EXPECT_EQ(simd::parse_isa(simd::name(isa)), isa);
    EXPECT_EQ(simd::name(Isa::Avx512), "avx512");
    EXPECT_EQ(simd::parse_isa("avx-512"), std::nullopt);
}

// The process's choice: what TARNWICK_SIMD asks for where the processor runs it, else the
// widest it runs.
TEST(SimdDispatch, TakesTheCapFromTheEnvironment) {
    Isa widest = Isa::Sse2;
    for (const Isa isa : {Isa::Avx2, Isa::Avx512}) {
        if (simd::supports(isa)) widest = isa;
    }
    const char* text = std::getenv("TARNWICK_SIMD");
    const std::optional<Isa> cap = text ? simd::parse_isa(text) : std::nullopt;
    EXPECT_EQ(simd::widest_isa(), cap && *cap < widest ? *cap : widest);
    EXPECT_TRUE(simd::supports(simd::widest_isa()));
}

// The features beyond a set's own, against the flags the kernel lists for the first processor.
struct FeatureCase {
    const char* flag;
    simd::Feature feature;
};

class SimdFeature : public ::testing::TestWithParam<FeatureCase> {};

TEST_P(SimdFeature, AsTheKernelListsIt) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("flags", 0) != 0) {
    }
    if (line.empty()) GTEST_SKIP() << "no processor flags in /proc/cpuinfo";
    std::istringstream words(line.substr(line.find(':') + 1));
    bool listed = false;
    for (std::string word; words >> word;) listed = listed || word == GetParam().flag;
    EXPECT_EQ(simd::supports(GetParam().feature), listed);
}

INSTANTIATE_TEST_SUITE_P(Rows, SimdFeature,
                         ::testing::Values(FeatureCase{"fma", simd::Feature::Fma},
                                           FeatureCase{"avx512dq", simd::Feature::Avx512dq}),
                         [](const auto& info) { return std::string(info.param.flag); });

}  // namespace
}  // namespace tarnwick
