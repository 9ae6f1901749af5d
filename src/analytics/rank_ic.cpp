#include "analytics/rank_ic.h"

#include <cmath>
#include <limits>
#include <optional>

#include "analytics/factor_panel.h"
#include "base/format.h"

namespace tarnwick::analytics {

using base::Matrix;
using base::OwnError;
using base::PortfolioError;
using base::Result;
using base::err;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

OwnError own(const PortfolioError& e) { return OwnError{e.message()}; }

// Pearson correlation of two rank vectors, or nothing when either is constant.
std::optional<double> rank_correlation(const std::vector<double>& rx, const std::vector<double>& ry) {
    const double m = static_cast<double>(rx.size());
    double sx = 0.0;
    double sy = 0.0;
    for (std::size_t i = 0; i < rx.size(); ++i) {
        sx += rx[i];
        sy += ry[i];
    }
    const double mx = sx / m;
    const double my = sy / m;
    double cov = 0.0;
    double vx = 0.0;
    double vy = 0.0;
    for (std::size_t i = 0; i < rx.size(); ++i) {
        const double dx = rx[i] - mx;
        const double dy = ry[i] - my;
        cov += dx * dy;
        vx += dx * dx;
        vy += dy * dy;
    }
    if (!(vx > 0.0) || !(vy > 0.0)) return std::nullopt;
    return cov / std::sqrt(vx * vy);
}

}  // namespace

Result<RankIC, OwnError> rank_ic(const Matrix& factor, const Matrix& prices, std::uint64_t horizon,
                                 std::uint64_t min_names) {
    if (factor.rows != prices.rows || factor.cols != prices.cols) {
        return err(OwnError{base::fmt::format("factor is {}x{} but prices is {}x{}", factor.rows, factor.cols,
                                              prices.rows, prices.cols)});
    }
    if (auto s = check_panel(factor); !s) return err(own(s.error()));
    if (auto s = check_panel(prices); !s) return err(own(s.error()));
    if (horizon < 1) return err(own(PortfolioError::degenerate("horizon must be >= 1")));
    if (min_names < 2) {
        return err(own(PortfolioError::degenerate(base::fmt::format("min_names must be >= 2, got {}", min_names))));
    }

    RankIC out;
    out.daily_ic.assign(factor.rows, kNaN);
    out.overlap_days = horizon;
    std::vector<double> scored;
    std::vector<double> x;
    std::vector<double> y;
    x.reserve(factor.cols);
    y.reserve(factor.cols);
    double names_total = 0.0;
    // t + horizon < rows, written so that a huge horizon cannot wrap.
    for (std::size_t t = 0; horizon < factor.rows && t < factor.rows - horizon; ++t) {
        const std::size_t ahead = t + static_cast<std::size_t>(horizon);
        x.clear();
        y.clear();
        for (std::size_t j = 0; j < factor.cols; ++j) {
            const double f = factor(t, j);
            const double p0 = prices(t, j);
            const double p1 = prices(ahead, j);
            if (p1 > 0.0 && p0 > 0.0 && std::isfinite(f) && std::isfinite(p0) && std::isfinite(p1)) {
                x.push_back(f);
                y.push_back(p1 / p0 - 1.0);
            }
        }
        if (x.size() < min_names) continue;
        const std::optional<double> ic = rank_correlation(average_ranks(x), average_ranks(y));
        if (!ic) continue;
        out.daily_ic[t] = *ic;
        scored.push_back(*ic);
        names_total += static_cast<double>(x.size());
    }

    const std::size_t n = scored.size();
    out.n_dates_scored = n;
    if (n == 0) {
        out.mean_ic = out.stdev_ic = out.t_stat = out.t_stat_deflated = out.mean_names = kNaN;
        out.n_independent = 0.0;
        return out;
    }
    const double nf = static_cast<double>(n);
    double sum = 0.0;
    for (double ic : scored) sum += ic;
    out.mean_ic = sum / nf;
    if (n >= 2) {
        double ss = 0.0;
        for (double ic : scored) ss += (ic - out.mean_ic) * (ic - out.mean_ic);
        out.stdev_ic = std::sqrt(ss / (nf - 1.0));
    } else {
        out.stdev_ic = kNaN;
    }
    // Zero, subnormal or non-finite spread leaves the t-statistic undefined.
    out.t_stat = std::isnormal(out.stdev_ic) && out.stdev_ic > 0.0 ? out.mean_ic / (out.stdev_ic / std::sqrt(nf))
                                                                   : kNaN;
    const double h = static_cast<double>(horizon);
    out.t_stat_deflated = out.t_stat / std::sqrt(h);
    out.n_independent = nf / h;
    out.mean_names = names_total / nf;
    return out;
}

}  // namespace tarnwick::analytics
