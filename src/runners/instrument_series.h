// One instrument of a multi-instrument array run: its bar columns, read where they lie,
// and its signals, owned by the caller.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "domain/instrument_config.h"
#include "runners/single_driver.h"

namespace tarnwick::runners {

struct InstrumentSeries {
    single::BarSeries bars;
    single::SignalInput signals;  // no position sizes; the symbol names the instrument
};

// Per-symbol overrides, matched to an instrument's symbol byte for byte.
using InstrumentConfigs = std::map<std::string, domain::InstrumentConfig, std::less<>>;

inline std::optional<domain::InstrumentConfig> config_for(const InstrumentConfigs& configs, const std::string& symbol) {
    const auto it = configs.find(symbol);
    if (it == configs.end()) return std::nullopt;
    return it->second;
}

}  // namespace tarnwick::runners
