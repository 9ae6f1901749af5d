#include "metrics/annualization.h"

#include <algorithm>
#include <vector>

#include "base/saturate.h"

namespace tarnwick::metrics::annualization {

using base::sat_sub;

double periods_per_year(std::optional<double> explicit_value, std::span<const std::int64_t> timestamps,
                        bool continuous_market, double session_minutes, double default_value) {
    if (explicit_value && *explicit_value > 0.0) return *explicit_value;
    if (timestamps.size() < 2) return default_value;

    // Evenly spaced bars, the common case, need no buffer: the median is their one step.
    std::size_t positive = 0;
    std::int64_t first_step = 0;
    bool uniform = true;
    for (std::size_t i = 0; i + 1 < timestamps.size(); ++i) {
        const std::int64_t step = sat_sub(timestamps[i + 1], timestamps[i]);
        if (step <= 0) continue;
        if (positive == 0) first_step = step;
        uniform = uniform && step == first_step;
        ++positive;
    }
    if (positive == 0) return default_value;

    double median = static_cast<double>(first_step);
    if (!uniform) {
        std::vector<std::int64_t> steps;
        steps.reserve(positive);
        for (std::size_t i = 0; i + 1 < timestamps.size(); ++i) {
            const std::int64_t step = sat_sub(timestamps[i + 1], timestamps[i]);
            if (step > 0) steps.push_back(step);
        }
        // Selection finds the middle order statistics a sort would put there; with an even
        // count the lower one is the largest value left below the upper one.
        const std::size_t mid = steps.size() / 2;
        const auto upper = steps.begin() + static_cast<std::ptrdiff_t>(mid);
        std::nth_element(steps.begin(), upper, steps.end());
        median = steps.size() % 2 == 1
                     ? static_cast<double>(*upper)
                     : (static_cast<double>(*std::max_element(steps.begin(), upper)) + static_cast<double>(*upper)) *
                           0.5;
    }
    if (median <= 0.0) return default_value;

    if (median >= kNanosPerDay || continuous_market || !(session_minutes > 0.0)) {
        return kNanosPerYear / median;
    }
    const double bars_per_session = std::max(session_minutes * 60.0 * 1e9 / median, 1.0);
    return bars_per_session * kSessionsPerYear;
}

double run_periods_per_year(bool legacy_annualization, std::optional<double> explicit_value,
                            std::optional<double> session_minutes, std::span<const std::int64_t> timestamps) {
    if (legacy_annualization) return kDefaultPeriodsPerYear;
    const bool continuous = session_minutes && *session_minutes <= 0.0;
    return periods_per_year(explicit_value, timestamps, continuous, session_minutes.value_or(kDefaultSessionMinutes),
                            kDefaultPeriodsPerYear);
}

}  // namespace tarnwick::metrics::annualization
