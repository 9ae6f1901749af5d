#include "engine/orders/price_grid.h"

#include <cmath>
#include <limits>

namespace tarnwick::engine {

namespace {

constexpr double kUlps = 4.0;
// A level this close (relative) to a whole number of ticks is that tick.
constexpr double kWholeTick = 1e-9;

// How far a price may miss `level` and still count as reaching it, without a tick.
double slack(double level) noexcept {
    const double up = std::nextafter(level, std::numeric_limits<double>::infinity());
    return kUlps * (up - level);
}

// The ticks a level is first met at: the nearest whole number within rounding, else the
// next whole number on the side the price comes from.
double level_ticks(double level, double tick, bool from_below) noexcept {
    const double q = level / tick;
    const double r = std::round(q);
    if (std::fabs(q - r) < std::fmax(std::fabs(r), 1.0) * kWholeTick) return r;
    return from_below ? std::ceil(q) : std::floor(q);
}

// Bar prices are on the grid; within rounding of a tick they are that tick.
double price_ticks(double price, double tick) noexcept { return std::nearbyint(price / tick); }

}  // namespace

bool PriceGrid::at_or_above(double price, double level) const noexcept {
    if (tick > 0.0) return price_ticks(price, tick) >= level_ticks(level, tick, true);
    return price >= level - slack(level);
}

bool PriceGrid::at_or_below(double price, double level) const noexcept {
    if (tick > 0.0) return price_ticks(price, tick) <= level_ticks(level, tick, false);
    return price <= level + slack(level);
}

double PriceGrid::level_on_grid(double level, bool from_below) const noexcept {
    return tick > 0.0 ? level_ticks(level, tick, from_below) * tick : level;
}

double PriceGrid::fill_at(double level, bool from_below, double low, double high) const noexcept {
    double price = level_on_grid(level, from_below);
    // A bound that is not a number leaves the price alone.
    if (price < low) price = low;
    if (price > high) price = high;
    return price;
}

}  // namespace tarnwick::engine
