// Entry and exit gates for tick-level strategies, computed from per-tick features.
// Signals are one byte per tick, 1 (true) or 0 (false), ready for a boolean array.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarnwick::indicators::tick_signals {

// A tick enters when it is outside the cooldown after the previous entry and passes:
// the spread ceiling (spread_pct[i] > spread_pct_max blocks; NaN passes); the imbalance
// floor when bsi_min > 0 (bsi_delta[i] < bsi_min blocks; NaN passes; a tick beyond the
// end of bsi_delta never enters); the return gate when return_1m_min_abs > 0 (NaN
// blocks; direction > 0 needs return >= min_abs, < 0 needs return <= -min_abs, 0 needs
// |return| >= min_abs; a tick beyond the end of return_1m never enters). An entry at i
// blocks ticks i + 1 .. i + cooldown_ticks. Output length: len(spread_pct).
std::vector<std::int8_t> compute_tick_entry_signals(std::span<const double> spread_pct,
                                                    std::span<const double> bsi_delta,
                                                    std::span<const double> return_1m, double spread_pct_max = 5.0,
                                                    double bsi_min = 0.0, double return_1m_min_abs = 0.0,
                                                    std::int8_t return_direction = 1,
                                                    std::uint64_t cooldown_ticks = 10);

// 1 for every tick at or after the absolute instant eod_exit_time_ns (nanoseconds since
// the epoch); all 0 when eod_exit_time_ns is 0.
std::vector<std::int8_t> compute_tick_exit_signals(std::span<const std::int64_t> timestamps_ns,
                                                   std::int64_t eod_exit_time_ns = 0);

}  // namespace tarnwick::indicators::tick_signals
