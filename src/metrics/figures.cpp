#include "metrics/figures.h"

#include <cmath>

namespace tarnwick::metrics::figures {

namespace {

// A ratio whose denominator may vanish: +inf for a positive numerator, else 0.
double ratio_or_limit(double num, double den, bool den_ok) noexcept {
    if (den_ok) return num / den;
    return num > 0.0 ? INFINITY : 0.0;
}

}  // namespace

double total_return_pct(double start, double end) noexcept { return (end - start) / start * 100.0; }

double calmar_ratio(double total_return_pct, double max_drawdown_pct) noexcept {
    return ratio_or_limit(total_return_pct, max_drawdown_pct, max_drawdown_pct > 0.0);
}

double recovery_factor(double net, double max_drawdown_pct, double start) noexcept {
    return ratio_or_limit(net, max_drawdown_pct / 100.0 * start, start > 0.0 && max_drawdown_pct > 0.0);
}

double profit_factor(double gross_profit, double gross_loss) noexcept {
    return ratio_or_limit(gross_profit, gross_loss, gross_loss > 0.0);
}

double payoff_ratio(std::optional<double> avg_win_pct, std::optional<double> avg_loss_pct) noexcept {
    const bool loss_ok = avg_loss_pct.has_value() && *avg_loss_pct != 0.0;
    return ratio_or_limit(avg_win_pct.value_or(0.0), loss_ok ? std::fabs(*avg_loss_pct) : 0.0, loss_ok);
}

double win_rate_pct(std::uint64_t wins, std::uint64_t counted) noexcept {
    return counted > 0 ? static_cast<double>(wins) / static_cast<double>(counted) * 100.0 : 0.0;
}

}  // namespace tarnwick::metrics::figures
