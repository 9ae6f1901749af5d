// Helpers shared by the indicator tests: NaN-aware series comparison, error messages.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace ind_test {

inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Element-wise equality within tol, where NaN only matches NaN.
inline void expect_series(const std::vector<double>& got, const std::vector<double>& want, double tol = 1e-12) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::isnan(want[i])) {
            EXPECT_TRUE(std::isnan(got[i])) << "index " << i << " got " << got[i];
        } else if (std::isinf(want[i])) {
            EXPECT_EQ(got[i], want[i]) << "index " << i;
        } else {
            EXPECT_NEAR(got[i], want[i], tol) << "index " << i;
        }
    }
}

// Bit-for-bit equality (NaN payloads included).
inline void expect_bits(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
            << "index " << i << " got " << got[i] << " want " << want[i];
    }
}

// The message of a result that must be an error; a success reads "(no error)".
template <class R>
std::string error_text(const R& r) {
    return r.ok() ? "(no error)" : r.error().message();
}

// Number of leading NaN elements.
inline std::size_t leading_nan(const std::vector<double>& v) {
    std::size_t k = 0;
    while (k < v.size() && std::isnan(v[k])) ++k;
    return k;
}

}  // namespace ind_test
