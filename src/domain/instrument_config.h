// Per-instrument overrides applied on top of a BacktestConfig. Nothing here is checked:
// values are stored as given and read by the kernel where they apply.
#pragma once

#include <optional>

#include "domain/backtest_config.h"

namespace tarnwick::domain {

// Every member has an initializer, so that a designated initializer may leave any out.
struct InstrumentConfig {
    std::optional<double> lot_size{};         // entry quantities round down to multiples when > 0
    std::optional<double> alloted_capital{};  // caps the capital an entry may use
    std::optional<double> existing_qty{};
    std::optional<double> avg_price{};
    std::optional<StopRule> stop{};      // replaces the configuration's stop rule as a whole
    std::optional<TargetRule> target{};  // replaces the configuration's target rule as a whole
};

}  // namespace tarnwick::domain
