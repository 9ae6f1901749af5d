// One market event as the kernel consumes it, and one bar's trading intents.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

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
