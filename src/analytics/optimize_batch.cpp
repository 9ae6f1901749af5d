#include "analytics/optimize_batch.h"

#include "base/pool.h"

namespace tarnwick::analytics {

using base::PortfolioError;
using base::Result;

Result<std::vector<OptimizationResult>, std::pair<std::size_t, PortfolioError>> optimize_batch(
    const RiskModel& model, std::span<const OptimizeItem> items, const OptimizerConfig& config) {
    return base::pool::parallel_map<OptimizationResult, PortfolioError>(items.size(), [&](std::size_t i) {
        const OptimizeItem& item = items[i];
        OptimizerConfig own = config;
        if (item.portfolio_value) own.portfolio_value = *item.portfolio_value;
        return optimize_book(model, item.alpha, item.w_current, own);
    });
}

}  // namespace tarnwick::analytics
