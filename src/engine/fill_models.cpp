#include "engine/fill_models.h"

#include <cmath>

#include "base/splitmix.h"

namespace tarnwick::engine {

double FillRandom::next() noexcept {
    return static_cast<double>(base::splitmix64(state_) >> 11) * 0x1.0p-53;
}

bool is_resting_limit(const OrderRecord& order) noexcept {
    if (order.kind == OrderKind::Limit) return true;
    return order.kind == OrderKind::StopLimit &&
           (order.status == OrderStatus::Triggered || order.status == OrderStatus::PartiallyFilled);
}

double resting_limit_price(const OrderRecord& order) noexcept {
    return order.prices.limit_price.value_or(std::nan(""));
}

bool limit_fill_passes(double probability, FillRandom& rng) noexcept {
    if (!(probability < 1.0)) return true;
    return rng.next() < probability;
}

double slipped_fill_price(double price, bool buy, double probability, double increment, FillRandom& rng) noexcept {
    if (std::isnan(price) || !(probability > 0.0)) return price;
    const double u = rng.next();
    if (u < probability && increment > 0.0) return buy ? price + increment : price - increment;
    return price;
}

}  // namespace tarnwick::engine
