// What a shared-capital run over several instruments reports: the run as one result, and
// each instrument's share of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/backtest_result.h"

namespace tarnwick::runners {

struct InstrumentSummary {
    std::string symbol;
    std::uint64_t trades = 0;            // trades attributed to the instrument
    double pnl = 0.0;                    // money, net of the instrument's costs
    std::uint64_t rejected_entries = 0;  // entries refused for this instrument
};

struct PortfolioResult {
    engine::BacktestResult result;                  // the whole portfolio as one run
    std::vector<InstrumentSummary> per_instrument;  // in the builder's instrument order
    std::uint64_t rejected_entries = 0;            // across every instrument
    bool halted = false;                           // margin call or drawdown kill-switch
    std::optional<std::uint64_t> halted_at;        // where the halt latched, in the builder's own count
};

}  // namespace tarnwick::runners
