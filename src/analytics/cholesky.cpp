#include "analytics/cholesky.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/format.h"
#include "base/pool.h"
#include "base/simd.h"

namespace tarnwick::analytics::covariance {

using base::Curve;
using base::PortfolioError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;

namespace {

// Rows per panel: the rows of a panel sit side by side for every column, so a vector of
// rows is one load and the columns follow one another in memory. Columns finished together
// (a whole number of panels), and rows of the factor handed to one task.
constexpr std::size_t kPanel = 8;
constexpr std::size_t kBlock = 32;
constexpr std::size_t kTaskRows = 64;
// Below this many multiply-adds a block's product stays on the calling thread.
constexpr double kPoolWork = 1 << 18;

std::size_t round_up(std::size_t x, std::size_t m) { return (x + m - 1) / m * m; }

// A matrix of `rows` (a multiple of kTaskRows) x n in panels of kPanel rows: (i, k) at
// [(i / 8) * n * 8 + k * 8 + i % 8].
struct Panels {
    std::size_t n = 0;
    Curve v;
    double* at(std::size_t i, std::size_t k) { return v.data() + (i / kPanel * n + k) * kPanel + i % kPanel; }
    const double* at(std::size_t i, std::size_t k) const {
        return v.data() + (i / kPanel * n + k) * kPanel + i % kPanel;
    }
};

struct Work {
    std::size_t n = 0;
    std::size_t rows = 0;  // n padded to a multiple of kTaskRows; A's padding rows are zero,
                           // which keeps L's zero wherever a later block reads them
    Panels l;              // the factor
    Panels a;              // A; only its lower triangle is read
    Curve dot;             // the block's running sums: row i of column j0 + b at [b * rows + i]
};

// dot(i, j0 + b) = sum over k < j0 of L(i, k) L(j0 + b, k) for every b < kBlock and the
// rows [i0, i1): NV vectors of rows against one panel of columns at a time.
template <class L, int NV>
TARNWICK_LANES_INLINE void block_product(Work& w, std::size_t j0, std::size_t i0, std::size_t i1) {
    using V = typename L::V;
    constexpr std::size_t W = L::kWidth;
    for (std::size_t i = i0; i < i1; i += NV * W) {
        const double* li[NV];
#pragma GCC unroll 2
        for (int v = 0; v < NV; ++v) li[v] = w.l.at(i + v * W, 0);
        for (std::size_t b0 = 0; b0 < kBlock; b0 += kPanel) {
            V acc[kPanel][NV];
#pragma GCC unroll 8
            for (std::size_t b = 0; b < kPanel; ++b) {
#pragma GCC unroll 2
                for (int v = 0; v < NV; ++v) acc[b][v] = L::zero();
            }
            const double* lj = w.l.at(j0 + b0, 0);
            for (std::size_t k = 0; k < j0; ++k) {
                V x[NV];
#pragma GCC unroll 2
                for (int v = 0; v < NV; ++v) x[v] = L::load(li[v] + k * kPanel);
#pragma GCC unroll 8
                for (std::size_t b = 0; b < kPanel; ++b) {
                    const V y = L::splat(lj[k * kPanel + b]);
#pragma GCC unroll 2
                    for (int v = 0; v < NV; ++v) acc[b][v] = acc[b][v] + x[v] * y;
                }
            }
#pragma GCC unroll 8
            for (std::size_t b = 0; b < kPanel; ++b) {
#pragma GCC unroll 2
                for (int v = 0; v < NV; ++v) L::store(w.dot.data() + (b0 + b) * w.rows + i + v * W, acc[b][v]);
            }
        }
    }
}

// Row i's sum for column j carried on over the block's columns [j0, j).
template <class L>
TARNWICK_LANES_INLINE typename L::V carry_on(const Work& w, const double* dot, std::size_t i, std::size_t j0,
                                             std::size_t j) {
    typename L::V acc = L::load(dot + i);
    for (std::size_t k = j0; k < j; ++k) acc = acc + L::load(w.l.at(i, k)) * L::splat(*w.l.at(j, k));
    return acc;
}

// The block's diagonal part, column by column: rows [j0, j1) of columns [j0, j1), each
// pivot tested as it is formed. Lanes above the diagonal are formed too and then cleared.
template <class L>
TARNWICK_LANES_INLINE Status<PortfolioError> diagonal_block(Work& w, std::size_t j0, std::size_t j1) {
    using V = typename L::V;
    constexpr std::size_t W = L::kWidth;
    const std::size_t end = j0 + kBlock;
    for (std::size_t j = j0; j < j1; ++j) {
        double* dot = w.dot.data() + (j - j0) * w.rows;
        for (std::size_t i = j0; i < end; i += W) L::store(dot + i, carry_on<L>(w, dot, i, j0, j));
        const double pivot = *w.a.at(j, j) - dot[j];
        if (!std::isfinite(pivot) || !(pivot > 0.0)) {
            return err(PortfolioError::not_positive_definite(
                base::fmt::format("pivot {} at index {}", base::fmt::exp(pivot, 3), j)));
        }
        const double ljj = std::sqrt(pivot);
        const V d = L::splat(ljj);
        for (std::size_t i = j0; i < end; i += W) {
            L::store(w.l.at(i, j), (L::load(w.a.at(i, j)) - L::load(dot + i)) / d);
        }
        for (std::size_t i = j0; i < j; ++i) *w.l.at(i, j) = 0.0;
        *w.l.at(j, j) = ljj;
    }
    return Unit{};
}

// Rows [i0, i1) below the block, once its diagonal part is known: every row's entries of
// columns [j0, j1) in order, NV vectors of rows side by side.
template <class L, int NV>
TARNWICK_LANES_INLINE void rows_below(Work& w, std::size_t j0, std::size_t j1, std::size_t i0, std::size_t i1) {
    using V = typename L::V;
    constexpr std::size_t W = L::kWidth;
    for (std::size_t i = i0; i < i1; i += NV * W) {
        for (std::size_t j = j0; j < j1; ++j) {
            const double* dot = w.dot.data() + (j - j0) * w.rows;
            V acc[NV];
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) acc[v] = L::load(dot + i + v * W);
            for (std::size_t k = j0; k < j; ++k) {
                const V y = L::splat(*w.l.at(j, k));
#pragma GCC unroll 4
                for (int v = 0; v < NV; ++v) acc[v] = acc[v] + L::load(w.l.at(i + v * W, k)) * y;
            }
            const V d = L::splat(*w.l.at(j, j));
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) {
                L::store(w.l.at(i + v * W, j), (L::load(w.a.at(i + v * W, j)) - acc[v]) / d);
            }
        }
    }
}

// One step of the factorisation, run by the entry point of a vector width.
struct Step {
    enum Kind { Product, Diagonal, Below } kind;
    std::size_t j0, j1, i0, i1;
};

template <class L, int NV>
TARNWICK_LANES_INLINE Status<PortfolioError> run_step(Work& w, const Step& s) {
    switch (s.kind) {
        case Step::Product:
            block_product<L, NV>(w, s.j0, s.i0, s.i1);
            return Unit{};
        case Step::Diagonal:
            return diagonal_block<L>(w, s.j0, s.j1);
        case Step::Below:
            rows_below<L, 4>(w, s.j0, s.j1, s.i0, s.i1);
            return Unit{};
    }
    return Unit{};
}

__attribute__((target("avx512f"))) Status<PortfolioError> step_avx512(Work& w, const Step& s) {
    return run_step<base::simd::Avx512, 2>(w, s);
}
__attribute__((target("avx2"))) Status<PortfolioError> step_avx2(Work& w, const Step& s) {
    return run_step<base::simd::Avx2, 2>(w, s);
}
Status<PortfolioError> step_sse2(Work& w, const Step& s) { return run_step<base::simd::Sse2, 1>(w, s); }

// The pool's tasks call the entry point through a pointer: no lane type may be formed in a
// lambda.
using StepFn = Status<PortfolioError> (*)(Work&, const Step&);

// Block by block: the diagonal part and the next block's rows on the calling thread, then,
// on the pool, every other row's entries of this block followed by its sums over all
// finished columns for the next block. A task owns its rows, so the only handover between
// tasks is the barrier at the end of each block.
Status<PortfolioError> factor(Work& w, StepFn step, bool use_pool) {
    for (std::size_t j0 = 0; j0 < w.n; j0 += kBlock) {
        const std::size_t j1 = std::min(j0 + kBlock, w.n);
        if (auto ok = step(w, {Step::Diagonal, j0, j1, 0, 0}); !ok) return ok;
        if (j1 == w.n) break;
        const std::size_t next_end = j1 + kBlock;  // within w.rows: j1 < n <= rows, all multiples of 32
        (void)step(w, {Step::Below, j0, j1, j1, next_end});
        const std::size_t first = j1 / kTaskRows * kTaskRows;
        const std::size_t tasks = (w.rows - first) / kTaskRows;
        const double work = static_cast<double>(w.rows - j1) * static_cast<double>(j1 + kBlock) * kBlock;
        // Rows from the task boundary above j1 get sums nobody reads, so that every task
        // covers whole vectors of its own rows.
        base::pool::for_each_index(tasks, use_pool && work > kPoolWork, [&](std::size_t t) {
            const std::size_t i0 = first + t * kTaskRows;
            const std::size_t i1 = i0 + kTaskRows;
            if (std::max(i0, next_end) < i1) (void)step(w, {Step::Below, j0, j1, std::max(i0, next_end), i1});
            (void)step(w, {Step::Product, j1, 0, i0, i1});
        });
    }
    return Unit{};
}

}  // namespace

Result<ColumnFactor, PortfolioError> factor_columns(std::span<const double> a, std::size_t n,
                                                    const KernelPlan& plan) {
    Work w;
    w.n = n;
    w.rows = round_up(std::max<std::size_t>(n, 1), kTaskRows);
    const std::size_t panels = w.rows / kPanel;
    w.l.n = n;
    w.a.n = n;
    w.l.v.resize(panels * n * kPanel);
    w.a.v.resize(panels * n * kPanel);
    w.dot.assign(kBlock * w.rows, 0.0);
    // Per panel: A's rows side by side (zero past row n); the factor's entries right of the
    // panel's last column are never written, and are read as the zeros above the diagonal.
    base::pool::for_each_index(panels, plan.use_pool && n >= 256, [&](std::size_t g) {
        double* ap = w.a.v.data() + g * n * kPanel;
        const double* rows[kPanel];
        for (std::size_t r = 0; r < kPanel; ++r) {
            rows[r] = g * kPanel + r < n ? a.data() + (g * kPanel + r) * n : nullptr;
        }
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t r = 0; r < kPanel; ++r) ap[j * kPanel + r] = rows[r] != nullptr ? rows[r][j] : 0.0;
        }
        // Columns of later blocks than the panel's own rows' block.
        const std::size_t written = std::min(n, round_up((g + 1) * kPanel, kBlock));
        std::fill(w.l.v.data() + (g * n + written) * kPanel, w.l.v.data() + (g + 1) * n * kPanel, 0.0);
    });

    const StepFn step = base::simd::select<StepFn>(plan.isa, step_sse2, step_avx2, step_avx512);
    const Status<PortfolioError> ok = factor(w, step, plan.use_pool);
    if (!ok) return err(ok.error());
    ColumnFactor f;
    f.n = n;
    f.rows = w.rows;
    f.panels = std::move(w.l.v);
    return f;
}

Result<std::vector<double>, PortfolioError> cholesky(std::span<const double> a, std::size_t n,
                                                     const KernelPlan& plan) {
    if (a.size() != n * n) {
        return err(PortfolioError::shape_mismatch(
            base::fmt::format("expected {}x{}={} values, got {}", n, n, n * n, a.size())));
    }
    auto f = factor_columns(a, n, plan);
    if (!f) return err(std::move(f).error());
    std::vector<double> l(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) l[i * n + j] = f->at(i, j);
    }
    return l;
}

}  // namespace tarnwick::analytics::covariance
