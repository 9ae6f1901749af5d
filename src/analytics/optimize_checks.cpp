#include "analytics/optimize_checks.h"

#include <cmath>
#include <vector>

#include "base/format.h"

namespace tarnwick::analytics::optimize_checks {

using base::PortfolioError;
using base::Status;
using base::Unit;
using base::check_index;
using base::err;

namespace {

// Slack of the cheap feasibility tests and of the long-only sign test on current weights.
constexpr double kSlack = 1e-12;

bool finite_positive(double v) { return std::isfinite(v) && v > 0.0; }

PortfolioError degenerate(std::string text) { return PortfolioError::degenerate(std::move(text)); }

Status<PortfolioError> check_vectors(std::size_t n, std::span<const double> alpha, std::span<const double> w_current,
                                     const OptimizerConfig& c) {
    if (alpha.size() != n || w_current.size() != n) {
        return err(PortfolioError::shape_mismatch(base::fmt::format(
            "model has {} assets; alpha has {}, w_current has {}", n, alpha.size(), w_current.size())));
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(alpha[i])) return err(PortfolioError::non_finite(0, i));
    }
    const bool long_only = !long_short(c);
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(w_current[i])) return err(PortfolioError::non_finite(1, i));
        if (long_only && w_current[i] < -kSlack) {
            return err(
                degenerate(base::fmt::format("w_current[{}] = {} is negative; this optimizer is long-only unless "
                                             "short_cap > 0",
                                             i, w_current[i])));
        }
    }
    if (long_only) {
        double sum = 0.0;
        for (double w : w_current) sum += w;
        if (sum > 1.000001) {
            return err(
                degenerate(base::fmt::format("w_current sums to {}, which exceeds 1", base::fmt::fixed(sum, 6))));
        }
    }
    return Unit{};
}

Status<PortfolioError> check_modes(const OptimizerConfig& c) {
    if (std::isnan(c.short_cap) || c.short_cap < 0.0 || c.short_cap > 1.0) {
        return err(degenerate(base::fmt::format("short_cap must be in [0, 1], got {}", c.short_cap)));
    }
    if (!long_short(c)) return Unit{};
    if (!finite_positive(c.gross_max)) {
        return err(degenerate(base::fmt::format("gross_max must be > 0 in long/short mode, got {}", c.gross_max)));
    }
    if (!std::isfinite(c.net_min) || !std::isfinite(c.net_max) || c.net_max < c.net_min) {
        return err(degenerate(base::fmt::format("net bounds must be finite with net_min <= net_max, got [{}, {}]",
                                                c.net_min, c.net_max)));
    }
    if (c.net_min > c.gross_max + kSlack || c.net_max < -kSlack - c.gross_max) {
        return err(PortfolioError::infeasible(base::fmt::format("net bounds [{}, {}] lie outside the gross budget {}",
                                                                c.net_min, c.net_max, c.gross_max)));
    }
    return Unit{};
}

Status<PortfolioError> check_scalars(const OptimizerConfig& c) {
    if (!finite_positive(c.risk_aversion)) {
        return err(degenerate(base::fmt::format("risk_aversion must be > 0, got {}", c.risk_aversion)));
    }
    // Negative zero is a zero penalty.
    if (!std::isfinite(c.turnover_penalty) || c.turnover_penalty < 0.0) {
        return err(degenerate(base::fmt::format("turnover_penalty must be >= 0, got {}", c.turnover_penalty)));
    }
    if (std::isnan(c.position_cap) || c.position_cap <= 0.0 || c.position_cap > 1.0) {
        return err(degenerate(base::fmt::format("position_cap must be in (0, 1], got {}", c.position_cap)));
    }
    if (std::isnan(c.cash_max) || c.cash_max < 0.0 || c.cash_max >= 1.0) {
        return err(degenerate(base::fmt::format("cash_max must be in [0, 1), got {}", c.cash_max)));
    }
    // NaN is refused too: a NaN band or minimum would silently disable snapping.
    if (!(c.no_trade_band >= 0.0) || !(c.min_trade_value >= 0.0)) {
        return err(degenerate("no_trade_band and min_trade_value must be >= 0"));
    }
    if (c.min_trade_value > 0.0 && !finite_positive(c.portfolio_value)) {
        return err(degenerate(base::fmt::format("min_trade_value set but portfolio_value is {}", c.portfolio_value)));
    }
    return Unit{};
}

Status<PortfolioError> check_sectors(std::size_t n, const OptimizerConfig& c) {
    const std::size_t sectors = c.sector_caps.size();
    if (c.sector_ids.size() != n) {
        return err(
            PortfolioError::shape_mismatch(base::fmt::format("{} sector_ids for {} assets", c.sector_ids.size(), n)));
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (c.sector_ids[i] >= sectors) {
            return err(PortfolioError::shape_mismatch(
                base::fmt::format("sector_ids[{}] = {} out of range for {} sector_caps", i, c.sector_ids[i], sectors)));
        }
    }
    for (std::size_t s = 0; s < sectors; ++s) {
        if (!finite_positive(c.sector_caps[s])) {
            return err(degenerate(base::fmt::format("sector_caps[{}] must be > 0, got {}", s, c.sector_caps[s])));
        }
    }
    return Unit{};
}

}  // namespace

Status<PortfolioError> validate(std::size_t n, std::span<const double> alpha, std::span<const double> w_current,
                                const OptimizerConfig& config) {
    if (auto r = check_vectors(n, alpha, w_current, config); !r) return r;
    if (auto r = check_modes(config); !r) return r;
    if (auto r = check_scalars(config); !r) return r;
    return check_sectors(n, config);
}

double sector_capacity(std::size_t sector_count, const OptimizerConfig& config, std::span<const std::size_t> counts) {
    double capacity = -0.0;
    for (std::size_t s = 0; s < sector_count; ++s) {
        check_index(s, counts.size());
        check_index(s, config.sector_caps.size());
        capacity += std::fmin(config.sector_caps[s], static_cast<double>(counts[s]) * config.position_cap);
    }
    return capacity;
}

Status<PortfolioError> check_reachable(std::size_t n, const OptimizerConfig& config) {
    const double required = long_short(config) ? config.net_min : 1.0 - config.cash_max;
    const double by_positions = static_cast<double>(n) * config.position_cap;
    if (by_positions + kSlack < required) {
        return err(PortfolioError::infeasible(base::fmt::format(
            "position_cap {} x {} assets = {} cannot reach required investment {}", config.position_cap, n,
            base::fmt::fixed(by_positions, 4), base::fmt::fixed(required, 4))));
    }
    const std::size_t sectors = config.sector_caps.size();
    std::vector<std::size_t> counts(sectors, 0);
    for (std::uint64_t id : config.sector_ids) {
        check_index(static_cast<std::size_t>(id), sectors);
        ++counts[static_cast<std::size_t>(id)];
    }
    const double capacity = sector_capacity(sectors, config, counts);
    if (capacity + kSlack < required) {
        return err(PortfolioError::infeasible(
            base::fmt::format("sector caps admit at most {} invested, below required {}", base::fmt::fixed(capacity, 4),
                              base::fmt::fixed(required, 4))));
    }
    return Unit{};
}

}  // namespace tarnwick::analytics::optimize_checks
