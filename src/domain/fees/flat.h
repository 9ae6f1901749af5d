// Fee kinds that charge without itemising: nothing, a fraction of traded value, an amount
// per fill, an amount per unit, or a fixed amount plus an amount per unit. Amounts are in
// the price currency; `units` is the absolute quantity and `value` is units x price.
#pragma once

namespace tarnwick::domain {

struct ZeroFee {
    constexpr double cost(double /*units*/, double /*value*/) const noexcept { return 0.0; }
};

struct FractionFee {
    double rate;  // fraction of traded value, not percent
    constexpr double cost(double /*units*/, double value) const noexcept { return value * rate; }
};

struct PerOrderFee {
    double amount;  // per fill, whatever its size
    constexpr double cost(double /*units*/, double /*value*/) const noexcept { return amount; }
};

struct PerUnitFee {
    double rate;  // per unit
    constexpr double cost(double units, double /*value*/) const noexcept { return rate * units; }
};

struct FixedPlusPerUnitFee {
    double fixed;
    double rate;  // per unit
    constexpr double cost(double units, double /*value*/) const noexcept { return fixed + rate * units; }
};

}  // namespace tarnwick::domain
