#include "metrics/drawdown_stats.h"

#include "base/saturate.h"

namespace tarnwick::metrics {

DrawdownStats DrawdownPass::finish(std::size_t n, std::span<const std::int64_t> timestamps) const {
    DrawdownStats out;
    // Every lane's deepest is above 0 or the starting +0.0, and values above 0 that
    // compare equal are the same bits: the deeper lane is the curve's deepest sample.
    out.max_pct = deepest_[1] > deepest_[0] ? deepest_[1] : deepest_[0];
    // A run still open at the last sample ends there.
    std::uint64_t longest = longest_;
    std::size_t last = longest_last_;
    if (run_ > longest) {
        longest = run_;
        last = n - 1;
    }
    out.max_duration = longest;
    if (n == 0) return out;
    const std::uint64_t under = lanes::total(under_);
    out.ulcer_index = std::sqrt(sum_sq_ / static_cast<double>(n));
    out.time_under_water_pct = static_cast<double>(under) / static_cast<double>(n) * 100.0;
    if (under > 0) out.avg_pct = sum_under_ / static_cast<double>(under);
    if (timestamps.size() >= 2 && longest > 0 && last < timestamps.size()) {
        const std::size_t first = last - (longest - 1);
        const std::int64_t span = base::sat_sub(timestamps[last], timestamps[first]);
        if (span >= 0) out.max_duration_secs = static_cast<double>(span) / 1e9;
    }
    return out;
}

}  // namespace tarnwick::metrics
