#include "analytics/factor_panel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "base/format.h"
#include "base/saturate.h"

namespace tarnwick::analytics {

using base::Matrix;
using base::OwnError;
using base::PortfolioError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;
using base::sat_cast_u64;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Matrix nan_panel(std::size_t rows, std::size_t cols) {
    Matrix m;
    m.rows = rows;
    m.cols = cols;
    m.data.assign(rows * cols, kNaN);
    return m;
}

Status<PortfolioError> check_min_names(std::uint64_t min_names) {
    if (min_names < 2) {
        return err(PortfolioError::degenerate(base::fmt::format("min_names must be >= 2, got {}", min_names)));
    }
    return Unit{};
}

// Column indices of the finite cells of row r, ascending; `out` is reused across rows.
void finite_positions(const Matrix& m, std::size_t r, std::vector<std::size_t>& out) {
    out.clear();
    const double* row = m.data.data() + r * m.cols;
    for (std::size_t c = 0; c < m.cols; ++c) {
        if (std::isfinite(row[c])) out.push_back(c);
    }
}

// Average ranks of row r's finite cells, written through `write(column, rank)`. The
// scratch vectors are the caller's so that a whole panel allocates once.
template <class Write>
void rank_finite(const double* row, const std::vector<std::size_t>& cols, std::vector<std::size_t>& order,
                 Write&& write) {
    const std::size_t n = cols.size();
    order.resize(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Ties keep column order, as a stable sort would (the values are finite, so this is a
    // strict weak order).
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const double x = row[cols[a]];
        const double y = row[cols[b]];
        return x < y || (x == y && a < b);
    });
    std::size_t a = 0;
    while (a < n) {
        std::size_t b = a;
        while (b + 1 < n && row[cols[order[b + 1]]] == row[cols[order[a]]]) ++b;
        const double rank = static_cast<double>(a + b) / 2.0;
        for (std::size_t k = a; k <= b; ++k) write(cols[order[k]], rank);
        a = b + 1;
    }
}

// The moments of a row's finite cells, each read through `value` (the cell itself, or the
// cell scaled by a power of two, which is exact), summed in column order. Values that differ
// only in their last bits have a rounded mean off by as much as they differ; centred on it
// they are exact, and the mean of the centred values, `shift`, is the mean's own error.
struct RowMoments {
    double mean = 0.0;
    double shift = 0.0;
    double variance = 0.0;
    bool representable = true;  // neither sum overflowed nor the variance fell below the normal range
};

template <class Value>
RowMoments row_moments(const std::vector<std::size_t>& cols, Value value) {
    const double n = static_cast<double>(cols.size());
    double sum = 0.0;
    for (std::size_t c : cols) sum += value(c);
    const double mean = sum / n;
    double centred = 0.0;
    for (std::size_t c : cols) centred += value(c) - mean;
    const double shift = centred / n;
    double ss = 0.0;
    for (std::size_t c : cols) {
        const double d = (value(c) - mean) - shift;
        ss += d * d;
    }
    const double variance = ss / n;
    const bool representable = std::isfinite(sum) && std::isfinite(variance) &&
                               !(variance < std::numeric_limits<double>::min());
    return {mean, shift, variance, representable};
}

// Row r's z-scores from its moments, each cell read through the same `value`.
template <class Value>
void write_scores(Matrix& out, std::size_t r, const std::vector<std::size_t>& cols, const RowMoments& m,
                  Value value) {
    const double sd = std::sqrt(m.variance);
    for (std::size_t c : cols) out(r, c) = ((value(c) - m.mean) - m.shift) / sd;
}

bool all_equal(const double* row, const std::vector<std::size_t>& cols) {
    for (std::size_t c : cols) {
        if (row[c] != row[cols.front()]) return false;
    }
    return true;
}

double largest_magnitude(const double* row, const std::vector<std::size_t>& cols) {
    double m = 0.0;
    for (std::size_t c : cols) m = std::max(m, std::fabs(row[c]));
    return m;
}

std::string weight_list(std::span<const double> weights) {
    std::string out = "[";
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (i > 0) out += ", ";
        out += base::fmt::debug(weights[i]);
    }
    out += ']';
    return out;
}

}  // namespace

Status<PortfolioError> check_panel(const Matrix& panel) {
    std::size_t expected = 0;
    const bool overflow = __builtin_mul_overflow(panel.rows, panel.cols, &expected);
    if (overflow || expected != panel.data.size()) {
        return err(PortfolioError::shape_mismatch(base::fmt::format("expected {}x{}={} values, got {}", panel.rows,
                                                                    panel.cols, expected, panel.data.size())));
    }
    for (std::size_t i = 0; i < panel.data.size(); ++i) {
        if (std::isinf(panel.data[i])) return err(PortfolioError::non_finite(i / panel.cols, i % panel.cols));
    }
    return Unit{};
}

std::vector<double> average_ranks(std::span<const double> values) {
    std::vector<std::size_t> cols(values.size());
    std::iota(cols.begin(), cols.end(), std::size_t{0});
    std::vector<std::size_t> order;
    std::vector<double> ranks(values.size());
    rank_finite(values.data(), cols, order, [&](std::size_t c, double rank) { ranks[c] = rank; });
    return ranks;
}

Result<Matrix, PortfolioError> winsorize_panel(Matrix values, double pct) {
    if (auto s = check_panel(values); !s) return err(s.error());
    if (!(pct >= 0.0 && pct < 0.5)) {
        return err(PortfolioError::degenerate(base::fmt::format("winsorize pct must be in [0, 0.5), got {}", pct)));
    }
    std::vector<double> sorted;
    sorted.reserve(values.cols);
    for (std::size_t r = 0; r < values.rows; ++r) {
        double* row = values.data.data() + r * values.cols;
        sorted.clear();
        for (std::size_t c = 0; c < values.cols; ++c) {
            if (std::isfinite(row[c])) sorted.push_back(row[c]);
        }
        const std::size_t n = sorted.size();
        if (n < 2) continue;
        std::sort(sorted.begin(), sorted.end());
        // pct < 0.5 keeps k <= n - 1 - k.
        const std::size_t k = static_cast<std::size_t>(sat_cast_u64(std::floor(static_cast<double>(n) * pct)));
        const double lo = sorted[k];
        const double hi = sorted[n - 1 - k];
        for (std::size_t c = 0; c < values.cols; ++c) {
            double& x = row[c];
            if (!std::isfinite(x)) continue;
            if (x < lo) x = lo;
            if (x > hi) x = hi;
        }
    }
    return values;
}

Result<Matrix, PortfolioError> zscore_panel(const Matrix& values, std::uint64_t min_names) {
    if (auto s = check_panel(values); !s) return err(s.error());
    if (auto s = check_min_names(min_names); !s) return err(s.error());
    Matrix out = nan_panel(values.rows, values.cols);
    std::vector<std::size_t> cols;
    cols.reserve(values.cols);
    for (std::size_t r = 0; r < values.rows; ++r) {
        finite_positions(values, r, cols);
        if (cols.size() < min_names) continue;
        const double* row = values.data.data() + r * values.cols;
        // Equal values have no spread: the row is left unscored by rule, whatever rounding
        // the moments' arithmetic would leave.
        if (all_equal(row, cols)) continue;
        const auto plain = [row](std::size_t c) { return row[c]; };
        const RowMoments m = row_moments(cols, plain);
        if (m.representable) {
            write_scores(out, r, cols, m, plain);
            continue;
        }
        // The sums left the double range (or the squares fell below it): the row scaled by the
        // power of two of its largest magnitude has the same z-scores and sums that fit, and
        // the scaling is exact above the subnormal range, so near-equal cells keep their
        // differences.
        const int exponent = std::ilogb(largest_magnitude(row, cols));
        const auto scaled = [row, exponent](std::size_t c) { return std::ldexp(row[c], -exponent); };
        const RowMoments in_units = row_moments(cols, scaled);
        if (in_units.variance > 0.0) write_scores(out, r, cols, in_units, scaled);
    }
    return out;
}

Result<Matrix, PortfolioError> rank_panel(const Matrix& values, std::uint64_t min_names) {
    if (auto s = check_panel(values); !s) return err(s.error());
    if (auto s = check_min_names(min_names); !s) return err(s.error());
    Matrix out = nan_panel(values.rows, values.cols);
    std::vector<std::size_t> cols;
    std::vector<std::size_t> order;
    cols.reserve(values.cols);
    order.reserve(values.cols);
    for (std::size_t r = 0; r < values.rows; ++r) {
        finite_positions(values, r, cols);
        if (cols.size() < min_names) continue;
        const double scale = static_cast<double>(cols.size() - 1);
        rank_finite(values.data.data() + r * values.cols, cols, order,
                    [&](std::size_t c, double rank) { out(r, c) = rank / scale; });
    }
    return out;
}

Result<Matrix, PortfolioError> momentum_panel(const Matrix& prices, std::uint64_t lookback, std::uint64_t skip) {
    if (auto s = check_panel(prices); !s) return err(s.error());
    if (!(skip < lookback)) {
        return err(PortfolioError::degenerate(
            base::fmt::format("need 0 <= skip < lookback, got lookback={} skip={}", lookback, skip)));
    }
    Matrix out = nan_panel(prices.rows, prices.cols);
    for (std::uint64_t t = lookback; t < prices.rows; ++t) {
        for (std::size_t j = 0; j < prices.cols; ++j) {
            const double recent = prices(static_cast<std::size_t>(t - skip), j);
            const double past = prices(static_cast<std::size_t>(t - lookback), j);
            // NaN fails both tests; infinities were refused above.
            if (recent > 0.0 && past > 0.0) out(static_cast<std::size_t>(t), j) = recent / past - 1.0;
        }
    }
    return out;
}

Result<Matrix, OwnError> composite_scores(const std::vector<Matrix>& factors, std::span<const double> weights) {
    if (factors.empty()) return err(OwnError{"no factor panels supplied"});
    const Matrix& first = factors.front();
    for (std::size_t k = 1; k < factors.size(); ++k) {
        const Matrix& f = factors[k];
        if (f.rows != first.rows || f.cols != first.cols) {
            return err(OwnError{base::fmt::format("factor {} shape {}x{} differs from factor 0 shape {}x{}", k, f.rows,
                                                  f.cols, first.rows, first.cols)});
        }
    }
    if (weights.size() != factors.size()) {
        return err(OwnError{PortfolioError::shape_mismatch(
                                base::fmt::format("{} weights for {} factors", weights.size(), factors.size()))
                                .message()});
    }
    for (const Matrix& f : factors) {
        if (auto s = check_panel(f); !s) return err(OwnError{s.error().message()});
    }
    double sum = 0.0;
    bool each_ok = true;
    for (double w : weights) {
        sum += w;
        each_ok = each_ok && std::isfinite(w) && !(w < 0.0);
    }
    if (!each_ok || !(sum > 0.0) || !std::isfinite(sum)) {
        return err(OwnError{PortfolioError::degenerate(
                                "factor weights must be non-negative and sum to a positive number, got " +
                                weight_list(weights))
                                .message()});
    }
    std::vector<double> normalised(weights.size());
    for (std::size_t k = 0; k < weights.size(); ++k) normalised[k] = weights[k] / sum;

    Matrix out = nan_panel(first.rows, first.cols);
    for (std::size_t i = 0; i < out.data.size(); ++i) {
        double acc = 0.0;
        bool missing = false;
        for (std::size_t k = 0; k < factors.size(); ++k) {
            const double x = factors[k].data[i];
            if (std::isnan(x)) {
                missing = true;
                break;
            }
            acc += x * normalised[k];
        }
        if (!missing) out.data[i] = acc;
    }
    return out;
}

}  // namespace tarnwick::analytics
