// Tests run again at every instruction set narrower than this process's: each child
// process of this executable gets a TARNWICK_SIMD cap (see base/simd.h), so that a wide
// machine tests the narrow entry points too.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <functional>
#include <string>

#include "base/simd.h"

namespace tarnwick::testing_support {

// Reruns, in a child process at each narrower set, every test defined in a file that
// `chosen` picks (by the file's path as compiled), leaving out the test that calls it.
// Each child must run them all and fail none; unless `skips_allowed` (tests that skip
// above the process's set), each must pass them all. Skips where there is no narrower set.
inline void rerun_at_narrower_sets(const std::function<bool(const std::string& file)>& chosen,
                                   bool skips_allowed = false) {
    namespace simd = base::simd;
    const ::testing::UnitTest& all = *::testing::UnitTest::GetInstance();
    const ::testing::TestInfo& self = *all.current_test_info();
    std::string filter;
    int tests = 0;
    for (int i = 0; i < all.total_test_suite_count(); ++i) {
        const ::testing::TestSuite& suite = *all.GetTestSuite(i);
        if (suite.total_test_count() == 0 || !chosen(suite.GetTestInfo(0)->file())) continue;
        filter += (filter.empty() ? "" : ":") + std::string(suite.name()) + ".*";
        tests += suite.total_test_count();
    }
    if (chosen(self.file())) {
        filter += "-" + std::string(self.test_suite_name()) + "." + self.name();
        tests -= 1;
    }

    std::array<char, 4096> buf{};
    const ssize_t len = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    ASSERT_GT(len, 0);
    const std::string exe(buf.data(), static_cast<std::size_t>(len));
    const std::string ran = "[==========] " + std::to_string(tests) + " tests from ";
    const std::string passed = "[  PASSED  ] " + std::to_string(tests) + " tests.";
    int runs = 0;
    for (const simd::Isa isa : {simd::Isa::Sse2, simd::Isa::Avx2}) {
        if (!(isa < simd::widest_isa())) continue;
        const std::string command = "env -u GTEST_OUTPUT -u GTEST_FILTER TARNWICK_SIMD=" +
                                    std::string(simd::name(isa)) + " '" + exe + "' '--gtest_filter=" + filter +
                                    "' 2>&1";
        FILE* child = popen(command.c_str(), "r");
        ASSERT_NE(child, nullptr);
        std::string output;
        std::array<char, 4096> chunk{};
        while (std::size_t got = std::fread(chunk.data(), 1, chunk.size(), child)) output.append(chunk.data(), got);
        const int status = pclose(child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << simd::name(isa) << ":\n" << output;
        EXPECT_NE(output.find(skips_allowed ? ran : passed), std::string::npos) << output;
        ++runs;
    }
    if (runs == 0) GTEST_SKIP() << "no narrower instruction set than " << simd::name(simd::widest_isa());
}

}  // namespace tarnwick::testing_support
