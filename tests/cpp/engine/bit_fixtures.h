// Records read back as the bits of their fields, for tests that hold two runs to the
// same results bit for bit: a difference in the last place, or in the sign of a zero,
// shows as a difference.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <type_traits>
#include <vector>

#include "domain/trade_record.h"
#include "metrics/metric_fields.h"
#include "metrics/metrics.h"

namespace tarnwick::testing_support {

// How many random runs a reference test makes: its own count, or as many as
// TARNWICK_REFERENCE_SEEDS asks for (thousands, in development).
inline int reference_seeds(int fallback) {
    const char* env = std::getenv("TARNWICK_REFERENCE_SEEDS");
    const int n = env ? std::atoi(env) : 0;
    return n > 0 ? n : fallback;
}

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }
// An absent value reads as a NaN no computation yields.
inline std::uint64_t bits(const std::optional<double>& v) { return v ? bits(*v) : 0x7ff4'dead'0000'0000ULL; }

inline std::vector<std::uint64_t> bits_of(const domain::TradeRecord& t) {
    std::vector<std::uint64_t> out = {t.id, t.entry_idx, t.exit_idx, bits(t.entry_price), bits(t.exit_price),
                                      bits(t.size), static_cast<std::uint64_t>(t.direction), bits(t.pnl),
                                      bits(t.return_pct), static_cast<std::uint64_t>(t.entry_time),
                                      static_cast<std::uint64_t>(t.exit_time), bits(t.fees), bits(t.entry_fees),
                                      bits(t.exit_fees), static_cast<std::uint64_t>(t.exit_reason), bits(t.mae_price),
                                      bits(t.mfe_price), bits(t.mae_pnl), bits(t.mfe_pnl)};
    if (t.fee_breakdown) {
        const auto& f = *t.fee_breakdown;
        for (double v : {f.brokerage, f.stt, f.exchange_txn, f.sebi_fee, f.stamp_duty, f.gst}) out.push_back(bits(v));
    }
    return out;
}

template <class C>
std::vector<std::uint64_t> curve_bits(const C& curve) {
    std::vector<std::uint64_t> out;
    for (double v : curve) out.push_back(bits(v));
    return out;
}

// Every figure, in the list's order.
inline std::vector<std::uint64_t> bits_of(const metrics::BacktestMetrics& m) {
    std::vector<std::uint64_t> out;
    const auto add = [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_floating_point_v<T>) {
            out.push_back(bits(static_cast<double>(v)));
        } else if constexpr (std::is_integral_v<T>) {
            out.push_back(static_cast<std::uint64_t>(v));
        } else {
            out.push_back(v ? bits(static_cast<double>(*v)) : 1);
        }
    };
#define TARNWICK_ADD_FIGURE(type, name, initial, place, label, doc) add(m.name);
#define TARNWICK_ADD_RATIO(name, initial, place, label, doc) add(m.name);
    TARNWICK_METRIC_FIELDS(TARNWICK_ADD_FIGURE, TARNWICK_ADD_RATIO)
#undef TARNWICK_ADD_FIGURE
#undef TARNWICK_ADD_RATIO
    return out;
}

}  // namespace tarnwick::testing_support
