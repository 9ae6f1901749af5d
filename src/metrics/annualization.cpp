#include "metrics/annualization.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "base/saturate.h"

namespace tarnwick::metrics::annualization {

using base::sat_sub;

namespace {

using Stamps = std::uint64_t __attribute__((vector_size(16)));

// Whether every step of `t` (two stamps or more) is the first one, which is above 0 and
// then `step`: evenly spaced bars, the common case, are told apart without a look at
// their steps one by one. The steps are compared two at a time in wrapping arithmetic:
// a step that wrapped round to look like the first is in truth below 0, and the median
// leaves it out anyway, so the one positive step is still the median. Uneven stamps are
// the other common case (weekends, overnight gaps), so the comparison gives up after the
// block of pairs that holds the first other step rather than read to the end.
bool evenly_spaced(std::span<const std::int64_t> t, std::int64_t& step) noexcept {
    constexpr std::size_t kBlock = 64;  // stamps compared between looks at the mismatch bits
    const std::size_t n = t.size();
    step = sat_sub(t[1], t[0]);
    if (step <= 0) return false;
    const std::uint64_t s = static_cast<std::uint64_t>(step);
    const Stamps steps = {s, s};
    std::size_t i = 0;
    while (i + 3 <= n) {
        const std::size_t block_end = std::min(n - 2, i + kBlock);
        Stamps off = {0, 0};
        for (; i < block_end; i += 2) {
            Stamps a, b;
            std::memcpy(&a, t.data() + i, sizeof a);
            std::memcpy(&b, t.data() + i + 1, sizeof b);
            off |= (b - a) ^ steps;
        }
        if ((off[0] | off[1]) != 0) return false;
    }
    std::uint64_t rest = 0;
    for (; i + 1 < n; ++i) rest |= (static_cast<std::uint64_t>(t[i + 1]) - static_cast<std::uint64_t>(t[i])) ^ s;
    return rest == 0;
}

// The median of the positive steps of `t` (two stamps or more), or nothing without one.
// Positive steps that all agree have that step as their median too (an even count
// averages two equal values exactly), so there is no separate look for a uniform step.
std::optional<double> median_step(std::span<const std::int64_t> t) {
    std::int64_t first_step = 0;
    if (evenly_spaced(t, first_step)) return static_cast<double>(first_step);

    // Each step is written at the next free slot and only a positive one moves past it,
    // so the positive steps are gathered in order in one pass without a branch on them.
    const std::size_t pairs = t.size() - 1;
    const auto steps = std::make_unique_for_overwrite<std::int64_t[]>(pairs);
    std::size_t positive = 0;
    for (std::size_t i = 0; i < pairs; ++i) {
        const std::int64_t step = sat_sub(t[i + 1], t[i]);
        steps[positive] = step;
        positive += step > 0 ? 1 : 0;
    }
    if (positive == 0) return std::nullopt;
    // Selection finds the middle order statistics a sort would put there; with an even
    // count the lower one is the largest value left below the upper one.
    std::int64_t* const first = steps.get();
    std::int64_t* const last = first + positive;
    std::int64_t* const upper = first + positive / 2;
    std::nth_element(first, upper, last);
    if (positive % 2 == 1) return static_cast<double>(*upper);
    return (static_cast<double>(*std::max_element(first, upper)) + static_cast<double>(*upper)) * 0.5;
}

}  // namespace

double periods_per_year(std::optional<double> explicit_value, std::span<const std::int64_t> timestamps,
                        bool continuous_market, double session_minutes, double default_value) {
    if (explicit_value && *explicit_value > 0.0) return *explicit_value;
    if (timestamps.size() < 2) return default_value;
    const std::optional<double> median = median_step(timestamps);
    if (!median || *median <= 0.0) return default_value;

    if (*median >= kNanosPerDay || continuous_market || !(session_minutes > 0.0)) {
        return kNanosPerYear / *median;
    }
    const double bars_per_session = std::max(session_minutes * 60.0 * 1e9 / *median, 1.0);
    return bars_per_session * kSessionsPerYear;
}

double settings_periods_per_year(std::optional<double> explicit_value, std::optional<double> session_minutes,
                                 std::span<const std::int64_t> timestamps, double default_value) {
    const bool continuous = session_minutes && *session_minutes <= 0.0;
    return periods_per_year(explicit_value, timestamps, continuous, session_minutes.value_or(kDefaultSessionMinutes),
                            default_value);
}

double run_periods_per_year(bool legacy_annualization, std::optional<double> explicit_value,
                            std::optional<double> session_minutes, std::span<const std::int64_t> timestamps) {
    if (legacy_annualization) return kDefaultPeriodsPerYear;
    return settings_periods_per_year(explicit_value, session_minutes, timestamps, kDefaultPeriodsPerYear);
}

namespace {

// Session minutes compared bit for bit, so that NaN minutes find their own entry.
bool same_minutes(const std::optional<double>& a, const std::optional<double>& b) noexcept {
    if (a.has_value() != b.has_value()) return false;
    return !a || std::memcmp(&*a, &*b, sizeof(double)) == 0;
}

}  // namespace

std::optional<double> SharedInference::for_config(const domain::BacktestConfig& config) {
    if (config.legacy_annualization || (config.periods_per_year && *config.periods_per_year > 0.0)) {
        return std::nullopt;
    }
    for (const auto& [minutes, periods] : known_) {
        if (same_minutes(minutes, config.session_minutes)) return periods;
    }
    const double periods = run_periods_per_year(false, std::nullopt, config.session_minutes, timestamps_);
    known_.emplace_back(config.session_minutes, periods);
    return periods;
}

}  // namespace tarnwick::metrics::annualization
