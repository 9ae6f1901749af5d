// A fraction of traded value whose rate depends on the size of the fill.
#pragma once

#include <vector>

namespace tarnwick::domain {

struct FeeTier {
    double threshold;  // traded value at which this tier starts to apply
    double rate;       // fraction of traded value
};

struct TieredFee {
    std::vector<FeeTier> tiers;  // walked in stored order

    // Takes the rate of every tier whose threshold is not above `value`, stopping at the
    // first one above it (so unsorted tiers stop early); no tier selected costs 0.0.
    double cost(double units, double value) const noexcept;
};

}  // namespace tarnwick::domain
