#include "indicators/tick_signals.h"

#include <cmath>

#include "indicators/series.h"

namespace tarnwick::indicators::tick_signals {

std::vector<std::int8_t> compute_tick_entry_signals(std::span<const double> spread_pct,
                                                    std::span<const double> bsi_delta,
                                                    std::span<const double> return_1m, double spread_pct_max,
                                                    double bsi_min, double return_1m_min_abs,
                                                    std::int8_t return_direction, std::uint64_t cooldown_ticks) {
    const std::size_t n = spread_pct.size();
    std::vector<std::int8_t> out(n, 0);
    // Which gates apply is fixed for the call; a zero, negative or NaN threshold turns
    // its gate off.
    const bool imbalance_gate = bsi_min > 0.0;
    const bool return_gate = return_1m_min_abs > 0.0;

    std::uint64_t next = 0;  // first tick allowed to enter
    for (std::size_t i = 0; i < n; ++i) {
        if (i < next) continue;
        if (imbalance_gate && i >= bsi_delta.size()) continue;
        if (spread_pct[i] > spread_pct_max) continue;
        if (return_gate && i >= return_1m.size()) continue;
        if (imbalance_gate && bsi_min > bsi_delta[i]) continue;
        if (return_gate) {
            const double r = return_1m[i];
            if (std::isnan(r)) continue;
            if (return_direction > 0 && !(r >= 0.0)) continue;
            if (return_direction < 0 && !(r <= 0.0)) continue;
            if (!(std::fabs(r) >= return_1m_min_abs)) continue;
        }
        out[i] = 1;
        // Clamped: a cooldown reaching past the end of the index range ends all entries.
        next = sat_add_u64(sat_add_u64(i, 1), cooldown_ticks);
    }
    return out;
}

std::vector<std::int8_t> compute_tick_exit_signals(std::span<const std::int64_t> timestamps_ns,
                                                   std::int64_t eod_exit_time_ns) {
    std::vector<std::int8_t> out(timestamps_ns.size(), 0);
    if (eod_exit_time_ns == 0) return out;
    for (std::size_t i = 0; i < timestamps_ns.size(); ++i) out[i] = timestamps_ns[i] >= eod_exit_time_ns ? 1 : 0;
    return out;
}

}  // namespace tarnwick::indicators::tick_signals
