#include "domain/fees/tiered.h"

namespace tarnwick::domain {

double TieredFee::cost(double /*units*/, double value) const noexcept {
    double rate = 0.0;
    for (const FeeTier& tier : tiers) {
        if (tier.threshold > value) break;
        rate = tier.rate;
    }
    return value * rate;
}

}  // namespace tarnwick::domain
