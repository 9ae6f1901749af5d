// Whether a fill the walk decided really happens on this event, and at which price: the
// fill probability of resting limit orders and the one-tick adverse slip of every other
// fill. Both draw from the kernel's one seeded generator, so a run is reproducible.
#pragma once

#include <cstdint>

#include "engine/orders/order_lifecycle.h"

namespace tarnwick::engine {

// SplitMix64: the published 64-bit mixer; each draw is a double in [0, 1).
class FillRandom {
public:
    explicit FillRandom(std::uint64_t seed = 0) noexcept : state_(seed) {}
    double next() noexcept;
    std::uint64_t state() const noexcept { return state_; }

private:
    std::uint64_t state_;
};

// Orders that rest on the book at a limit price: limit orders, and stop-limit orders
// once triggered. Touched and trailing limit orders fill by the non-resting rule.
bool is_resting_limit(const OrderRecord& order) noexcept;
// The limit price a resting order rests at.
double resting_limit_price(const OrderRecord& order) noexcept;

// Fill probability of a resting limit order: `probability` at or above 1 (or NaN, which
// means no model) fills without a draw; otherwise one draw decides.
bool limit_fill_passes(double probability, FillRandom& rng) noexcept;

// A non-resting fill at `price`: with `probability` above 0 one draw is made (whether or
// not an increment exists); a hit moves the price one `increment` against the trader. A
// NaN price (take the event's price) is passed through without a draw.
double slipped_fill_price(double price, bool buy, double probability, double increment, FillRandom& rng) noexcept;

}  // namespace tarnwick::engine
