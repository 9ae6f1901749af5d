// One market event as the kernel consumes it, and one bar's trading intents.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

namespace tarnwick::domain {

// A bar, or a trade print passed as a bar whose four prices equal the traded price.
struct OhlcvBar {
    std::int64_t timestamp = 0;  // nanoseconds since the Unix epoch
    double open = 0.0;
    double high = 0.0;
    double low = 0.0;
    double close = 0.0;
    double volume = 0.0;
};

// Whether a fill may happen at `price`: a finite number above 0. A gap in the data (NaN),
// an infinity or a price of 0 or below fills nothing.
inline bool is_tradable_price(double price) noexcept {
    return price > 0.0 && price < std::numeric_limits<double>::infinity();
}

// Whether every price of `prices` is tradable, four prices to a round and no branch per
// price: a stretch of closes rarely holds a gap, and the whole of it is read either way.
// All are above 0 when their least is; all are finite when the sum of their differences
// from themselves (0 for a finite price, NaN for an infinity or a NaN) is 0.
inline bool all_tradable(std::span<const double> prices) noexcept {
    const double* at = prices.data();
    const std::size_t n = prices.size();
    __m128d least = _mm_set1_pd(std::numeric_limits<double>::infinity());
    __m128d spread = _mm_setzero_pd(), spread2 = _mm_setzero_pd();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128d p = _mm_loadu_pd(at + i), q = _mm_loadu_pd(at + i + 2);
        least = _mm_min_pd(_mm_min_pd(p, q), least);
        spread = _mm_add_pd(spread, _mm_sub_pd(p, p));
        spread2 = _mm_add_pd(spread2, _mm_sub_pd(q, q));
    }
    least = _mm_min_pd(least, _mm_unpackhi_pd(least, least));
    spread = _mm_add_pd(spread, spread2);
    spread = _mm_add_pd(spread, _mm_unpackhi_pd(spread, spread));
    bool tradable = _mm_cvtsd_f64(least) > 0.0 && _mm_cvtsd_f64(spread) == 0.0;
    for (; i < n; ++i) tradable &= is_tradable_price(at[i]);
    return tradable;
}

// One bar's effective entry and exit flags with the values an entry on it may use.
struct BarSignal {
    std::optional<double> size_mult;     // fraction of available capital for an entry
    std::optional<double> stop_price;    // explicit stop for an entry opened on this bar
    std::optional<double> target_price;  // explicit target for an entry opened on this bar
    double atr = 0.0;                    // 0.0 when not supplied
    bool entry = false;
    bool exit = false;
};

}  // namespace tarnwick::domain
