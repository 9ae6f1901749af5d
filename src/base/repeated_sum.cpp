#include "base/repeated_sum.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>

namespace tarnwick::base {

namespace {

// The 52 stored bits of a double's significand; above them, the exponent and the sign.
constexpr std::uint64_t kFraction = (std::uint64_t{1} << 52) - 1;

// The exponent of the lowest set bit of a finite, non-zero x: x is a whole multiple of
// two to that power.
int lowest_bit(double x) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const std::uint64_t fraction = bits & kFraction;
    if (biased == 0) return -1074 + std::countr_zero(fraction);
    return biased - 1075 + std::countr_zero(fraction | (kFraction + 1));
}

// The walk when no step of it rounds: x and step whole multiples of one power of two 2^q,
// and the walk, which runs straight from x to its end, within 2^(53 + q) of zero. Every
// sum on the way is then a double, and the end is x + n * step exactly, which a fused
// multiply-add gives as it rounds only once. (Prices and bricks of whole numbers or of
// halves and quarters walk so.)
std::optional<double> unrounded_walk(double x, double step, std::uint64_t n) noexcept {
    if (n > (std::uint64_t{1} << 53)) return std::nullopt;  // n itself must be a double
    const int q = x == 0.0 ? lowest_bit(step) : std::min(lowest_bit(x), lowest_bit(step));
    const double end = std::fma(static_cast<double>(n), step, x);
    // A rounded end below the bound means an exact one below it too (rounding keeps order
    // and the bound is a double).
    const double bound = std::ldexp(1.0, 53 + q);
    if (!(std::fabs(x) < bound && std::fabs(end) < bound)) return std::nullopt;
    return end;
}

// The walk binade by binade. Inside one binade (one sign and exponent) doubles are whole
// multiples of its unit u, and x + step rounds to x + d for one d, whatever x: d is step
// rounded to a multiple of u. The exception is a step of an odd number of half units,
// which rounds to whichever sum is an even multiple of u: from an x that a step inside
// the binade made (itself even), that is one d again. So after one step inside a binade,
// or two where the step is an odd number of half units, y - x is that d, and the walk
// moves in d's until one more would come within a unit of the binade's edge (where the
// sum rounds by the next binade's unit, or its sign of zero could change); the steps
// across an edge are taken one by one. The sign and exponent stay put, so moving by d is
// adding a whole number to the stored significand.
double walk_by_binades(double x, double step, std::uint64_t n) noexcept {
    // The biased exponent of the binades whose half unit is step's lowest bit (subnormal
    // sums are exact and never halfway).
    const int halfway_exponent = lowest_bit(step) + 1076;
    unsigned inside = 0;  // steps in a row that stayed in one binade
    while (n > 0) {
        const double y = x + step;
        --n;
        const auto xb = std::bit_cast<std::uint64_t>(x);
        auto yb = std::bit_cast<std::uint64_t>(y);
        inside = (xb >> 52) == (yb >> 52) ? inside + 1 : 0;
        const int exponent = static_cast<int>((yb >> 52) & 0x7FF);
        const unsigned settled = exponent == halfway_exponent && exponent != 0 ? 2 : 1;
        if (inside >= settled && n > 0) {
            const std::uint64_t f = yb & kFraction;
            const auto d = static_cast<std::int64_t>(f) - static_cast<std::int64_t>(xb & kFraction);
            std::uint64_t k = n;
            if (d > 0) k = std::min(k, (kFraction - f) / static_cast<std::uint64_t>(d));
            if (d < 0) k = std::min(k, f == 0 ? 0 : (f - 1) / static_cast<std::uint64_t>(-d));
            yb += k * static_cast<std::uint64_t>(d);  // wraps as a signed addition would
            n -= k;
        }
        x = std::bit_cast<double>(yb);
    }
    return x;
}

}  // namespace

double repeated_sum(double x, double step, std::uint64_t n) noexcept {
    if (n == 0) return x;
    // A step of zero or one that is not finite, or a start that is not, gives after one
    // step what every further step keeps.
    if (step == 0.0 || !std::isfinite(step) || !std::isfinite(x)) return x + step;
    if (const std::optional<double> end = unrounded_walk(x, step, n)) return *end;
    return walk_by_binades(x, step, n);
}

}  // namespace tarnwick::base
