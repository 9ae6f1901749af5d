// The tail ratio by its definition, for the tests to hold the metrics to: a full sort of
// the non-NaN returns, then the linearly interpolated 5th and 95th percentiles.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

namespace tarnwick::testing_support {

inline std::optional<double> tail_ratio_by_sorting(std::vector<double> r) {
    std::erase_if(r, [](double x) { return std::isnan(x); });
    if (r.size() < 20) return std::nullopt;
    std::sort(r.begin(), r.end());
    auto pct = [&](double p) {
        const double pos = static_cast<double>(r.size() - 1) * p;
        const auto lo = static_cast<std::size_t>(std::floor(pos));
        const auto hi = static_cast<std::size_t>(std::ceil(pos));
        return r[lo] + (r[hi] - r[lo]) * (pos - static_cast<double>(lo));
    };
    if (pct(0.05) == 0.0) return std::nullopt;
    return std::fabs(pct(0.95) / pct(0.05));
}

}  // namespace tarnwick::testing_support
