// Many books against one risk model on the worker pool. Each item owns its vectors, so
// the run reads nothing of the caller's; results are identical to a serial loop.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "analytics/covariance.h"
#include "analytics/optimize.h"
#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::analytics {

// One user's book. Lengths and values are checked only when it is optimised.
struct OptimizeItem {
    std::string item_id;
    std::vector<double> alpha;
    std::vector<double> w_current;
    std::optional<double> portfolio_value;  // replaces the configuration's when set
};

// Every item runs to its end; on failure, the lowest failing index with its error.
base::Result<std::vector<OptimizationResult>, std::pair<std::size_t, base::PortfolioError>> optimize_batch(
    const RiskModel& model, std::span<const OptimizeItem> items, const OptimizerConfig& config);

}  // namespace tarnwick::analytics
