// The items of the two batch functions as Python hands them over: plain owned values,
// copied at construction, so a batch can take them and run without the interpreter.
// Nothing here is validated; the batch functions check items when they run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "domain/backtest_config.h"
#include "domain/instrument_config.h"

namespace tarnwick::runners {

// One signal set of the single-instrument batch.
struct BatchSingleItem {
    std::string item_id;
    std::vector<std::uint8_t> entries;  // non-zero is set
    std::vector<std::uint8_t> exits;
    std::int32_t direction = 1;
    double weight = 1.0;
    std::string symbol = "UNKNOWN";
    std::optional<domain::BacktestConfig> config;
    std::optional<std::vector<double>> position_sizes;
    std::optional<domain::InstrumentConfig> instrument_config;
};

// One leg of a spread as written: the option type text is parsed by the spread engine.
struct SpreadLegInput {
    std::string option_type;  // "CE", "PE", "CALL", ... as given
    double strike = 0.0;
    std::int32_t quantity = 0;  // its sign says buy (+) or sell (-)
    std::uint64_t lot_size = 0;
};

// One multi-leg option spread strategy of the spread batch.
struct BatchSpreadItem {
    std::string strategy_id;
    std::vector<std::vector<double>> legs_premiums;  // one premium series per leg
    std::vector<SpreadLegInput> leg_configs;
    std::vector<std::uint8_t> entries;
    std::vector<std::uint8_t> exits;
    std::string spread_type = "custom";
    std::optional<double> max_loss;
    std::optional<double> target_profit;
    std::optional<std::vector<std::vector<double>>> legs_open_premiums;
};

}  // namespace tarnwick::runners
