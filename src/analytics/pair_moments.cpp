#include "analytics/pair_moments.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "base/pool.h"
#include "base/simd.h"

namespace tarnwick::analytics::covariance {

namespace {

// Observations per round: a round's slice of a tile (two 64-column blocks of the centred
// and the spread panel) takes at most 512 KiB, which stays in a core's second-level cache.
constexpr std::size_t kRoundRows = 256;
// Columns per side of a tile of pairs: 64 keeps the panel's trips from memory few; narrow
// panels take 32, so that there are enough tiles to share out.
constexpr std::size_t kWideTileCols = 64;
constexpr std::size_t kNarrowTileCols = 32;
constexpr std::size_t kNarrowPanelCols = 512;
// Below this many pair-observations the pool's start-up costs more than it saves.
constexpr double kPoolWork = 1 << 20;

// ---------------------------------------------------------------------------
// Centring, a band of columns at a time: the panel is read row by row across the band, so
// that memory is read in runs, while each column's sums still go down its observations in
// order.

constexpr std::size_t kBandGroups = 16;
constexpr std::size_t kBand = kBandGroups * kGroup;

struct Band {
    std::span<const double> panel;
    std::size_t rows, cols;
    double scale;
    CentredPanel* out;
};

// Columns [j0, j0 + width) of the band whose first group is g0, W at a time (a scalar tail
// past the last whole vector); lanes hold columns, so every column's sums keep their order.
template <class L>
TARNWICK_LANES_INLINE void centre_band(const Band& b, std::size_t g0, std::size_t g1) {
    using V = typename L::V;
    constexpr std::size_t W = L::kWidth;
    CentredPanel& out = *b.out;
    const std::size_t j0 = g0 * kGroup;
    const std::size_t width = std::min(g1 * kGroup, b.cols) - j0;
    const std::size_t vec_width = width / W * W;
    const double tf = static_cast<double>(b.rows);
    const V scale = L::splat(b.scale);
    auto at = [&](std::size_t l, std::size_t t) {
        return out.centred.group(g0 + l / kGroup) + t * kGroup + l % kGroup;
    };
    alignas(64) double sum[kBand] = {};
    for (std::size_t t = 0; t < b.rows; ++t) {
        const double* row = b.panel.data() + t * b.cols + j0;
        std::size_t l = 0;
        for (; l < vec_width; l += W) L::store(sum + l, L::load(sum + l) + L::load(row + l) * scale);
        for (; l < width; ++l) sum[l] += row[l] * b.scale;
    }
    alignas(64) double mean[kBand] = {};
    for (std::size_t l = 0; l < width; ++l) mean[l] = sum[l] / tf;
    alignas(64) double sq[kBand] = {};
    for (std::size_t t = 0; t < b.rows; ++t) {
        const double* row = b.panel.data() + t * b.cols + j0;
        std::size_t l = 0;
        for (; l < vec_width; l += W) {
            const V c = L::load(row + l) * scale - L::load(mean + l);
            L::store(at(l, t), c);
            L::store(sq + l, L::load(sq + l) + c * c);
        }
        for (; l < width; ++l) {
            const double c = row[l] * b.scale - mean[l];
            *at(l, t) = c;
            sq[l] += c * c;
        }
        for (; l < (g1 - g0) * kGroup; ++l) *at(l, t) = 0.0;
    }
    alignas(64) double var[kBand] = {};
    for (std::size_t l = 0; l < width; ++l) var[l] = sq[l] / tf;
    for (std::size_t g = g0; g < g1; ++g) {
        const double* c = out.centred.group(g);
        double* d = out.spread.group(g);
        const double* v = var + (g - g0) * kGroup;
        for (std::size_t t = 0; t < b.rows; ++t) {
            for (std::size_t l = 0; l < kGroup; l += W) {
                const V x = L::load(c + t * kGroup + l);
                L::store(d + t * kGroup + l, x * x - L::load(v + l));
            }
        }
    }
    for (std::size_t l = 0; l < width; ++l) {
        out.mean[j0 + l] = mean[l];
        out.variance[j0 + l] = var[l];
    }
}

__attribute__((target("avx512f"))) void centre_band_avx512(const Band& b, std::size_t g0, std::size_t g1) {
    centre_band<base::simd::Avx512>(b, g0, g1);
}
__attribute__((target("avx2"))) void centre_band_avx2(const Band& b, std::size_t g0, std::size_t g1) {
    centre_band<base::simd::Avx2>(b, g0, g1);
}
void centre_band_sse2(const Band& b, std::size_t g0, std::size_t g1) { centre_band<base::simd::Sse2>(b, g0, g1); }

// ---------------------------------------------------------------------------
// The pair kernels.

struct Tile {
    std::size_t i0, i1, j0, j1;  // column ranges [i0, i1) and [j0, j1), i0 <= j0
};

struct Round {
    std::size_t t0 = 0;
    std::size_t t1 = 0;
    bool first = false;  // sums start from 0.0 here, not from the stored partial sums
    bool last = false;   // the sums are complete at t1
};

struct Job {
    const CentredPanel* panel = nullptr;
    PairTerms* out = nullptr;
    std::vector<Tile> tiles;
};

// The address of c(., j) (or of the spread) in its group: row t sits at [t * kGroup].
inline const double* column(const PackedColumns& p, std::size_t j) { return p.group(j / kGroup) + j % kGroup; }

// Cross products for R consecutive columns i against JV vectors of consecutive columns j,
// observations [t0, t1). acc is the sum of (i0, j0) in a square array of `np` columns.
template <class L, int R, int JV>
TARNWICK_LANES_INLINE void cross_block(const double* ci, const double* const* cj, double* acc, std::size_t np,
                                       const Round& r, double t_count) {
    using V = typename L::V;
    constexpr std::size_t W = L::kWidth;
    V s[R][JV];
#pragma GCC unroll 8
    for (int a = 0; a < R; ++a) {
#pragma GCC unroll 2
        for (int v = 0; v < JV; ++v) s[a][v] = r.first ? L::zero() : L::load(acc + a * np + v * W);
    }
    for (std::size_t t = r.t0; t < r.t1; ++t) {
        V x[JV];
#pragma GCC unroll 2
        for (int v = 0; v < JV; ++v) x[v] = L::load(cj[v] + t * kGroup);
#pragma GCC unroll 8
        for (int a = 0; a < R; ++a) {
            const V ca = L::splat(ci[t * kGroup + a]);
#pragma GCC unroll 2
            for (int v = 0; v < JV; ++v) s[a][v] = s[a][v] + ca * x[v];
        }
    }
    const V divisor = L::splat(t_count);
#pragma GCC unroll 8
    for (int a = 0; a < R; ++a) {
#pragma GCC unroll 2
        for (int v = 0; v < JV; ++v) L::store(acc + a * np + v * W, r.last ? s[a][v] / divisor : s[a][v]);
    }
}

// The three fourth-moment sums for R consecutive columns i against one vector of columns j.
template <class L, int R>
TARNWICK_LANES_INLINE void moment_block(const double* ci, const double* di, const double* cj, const double* dj,
                                        const double* cov, double* p, double* a, double* b, std::size_t np,
                                        const Round& r) {
    using V = typename L::V;
    V s[R], sp[R], sa[R], sb[R];
#pragma GCC unroll 8
    for (int k = 0; k < R; ++k) {
        s[k] = L::load(cov + k * np);
        sp[k] = r.first ? L::zero() : L::load(p + k * np);
        sa[k] = r.first ? L::zero() : L::load(a + k * np);
        sb[k] = r.first ? L::zero() : L::load(b + k * np);
    }
    for (std::size_t t = r.t0; t < r.t1; ++t) {
        const V x = L::load(cj + t * kGroup);
        const V y = L::load(dj + t * kGroup);
#pragma GCC unroll 8
        for (int k = 0; k < R; ++k) {
            const V dev = L::splat(ci[t * kGroup + k]) * x - s[k];
            sp[k] = sp[k] + dev * dev;
            sa[k] = sa[k] + dev * L::splat(di[t * kGroup + k]);
            sb[k] = sb[k] + dev * y;
        }
    }
#pragma GCC unroll 8
    for (int k = 0; k < R; ++k) {
        L::store(p + k * np, sp[k]);
        L::store(a + k * np, sa[k]);
        L::store(b + k * np, sb[k]);
    }
}

// Rows of a block of the cross-product kernel, and of the moment kernel: as many as keep
// every running sum in a register.
constexpr int kCrossRows = 4;
template <class L>
constexpr int kMomentRows = L::kWidth == 8 ? 4 : 2;

// One round of cross products over one tile. Blocks wholly below the diagonal are skipped;
// the lanes below it in a block that crosses it are formed and later overwritten.
template <class L>
TARNWICK_LANES_INLINE void cross_tile(const Job& job, const Tile& tile, const Round& r) {
    constexpr std::size_t W = L::kWidth;
    const CentredPanel& p = *job.panel;
    PairTerms& out = *job.out;
    const std::size_t np = out.stride;
    const double t_count = static_cast<double>(p.rows);
    std::size_t j = tile.j0;
    for (; j + 2 * W <= tile.j1; j += 2 * W) {
        const double* cj[2] = {column(p.centred, j), column(p.centred, j + W)};
        for (std::size_t i = tile.i0; i < tile.i1 && i < j + 2 * W; i += kCrossRows) {
            cross_block<L, kCrossRows, 2>(column(p.centred, i), cj, out.cov.data() + i * np + j, np, r, t_count);
        }
    }
    for (; j < tile.j1; j += W) {
        const double* cj[1] = {column(p.centred, j)};
        for (std::size_t i = tile.i0; i < tile.i1 && i < j + W; i += kCrossRows) {
            cross_block<L, kCrossRows, 1>(column(p.centred, i), cj, out.cov.data() + i * np + j, np, r, t_count);
        }
    }
}

// The pair terms from the complete sums of a tile, mirrored below the diagonal.
void finish_tile(const Job& job, const Tile& tile) {
    const CentredPanel& p = *job.panel;
    PairTerms& out = *job.out;
    const std::size_t np = out.stride;
    const double inv_t = 1.0 / static_cast<double>(p.rows);
    const std::size_t i_end = std::min(tile.i1, p.cols);
    const std::size_t j_end = std::min(tile.j1, p.cols);
    for (std::size_t i = tile.i0; i < i_end; ++i) {
        const double vi = p.variance[i];
        for (std::size_t j = std::max(i, tile.j0); j < j_end; ++j) {
            const std::size_t ij = i * np + j;
            const double pi = inv_t * out.pi[ij];
            if (i == j) {
                out.pi[ij] = pi;
                out.theta[ij] = 0.0;
                continue;
            }
            const double vj = p.variance[j];
            const double theta =
                std::sqrt(vj / vi) * (inv_t * out.theta[ij]) + std::sqrt(vi / vj) * (inv_t * out.scratch[ij]);
            const std::size_t ji = j * np + i;
            out.pi[ij] = out.pi[ji] = pi;
            out.theta[ij] = out.theta[ji] = theta;
            out.cov[ji] = out.cov[ij];
        }
    }
}

template <class L>
TARNWICK_LANES_INLINE void moment_tile(const Job& job, const Tile& tile, const Round& r) {
    constexpr std::size_t W = L::kWidth;
    constexpr int R = kMomentRows<L>;
    const CentredPanel& p = *job.panel;
    PairTerms& out = *job.out;
    const std::size_t np = out.stride;
    for (std::size_t j = tile.j0; j < tile.j1; j += W) {
        const double* cj = column(p.centred, j);
        const double* dj = column(p.spread, j);
        for (std::size_t i = tile.i0; i < tile.i1 && i < j + W; i += R) {
            const std::size_t at = i * np + j;
            moment_block<L, R>(column(p.centred, i), column(p.spread, i), cj, dj, out.cov.data() + at,
                               out.pi.data() + at, out.theta.data() + at, out.scratch.data() + at, np, r);
        }
    }
    if (r.last) finish_tile(job, tile);
}

template <class L>
TARNWICK_LANES_INLINE void tile_round(const Job& job, std::size_t k, const Round& r, bool moments) {
    if (moments) moment_tile<L>(job, job.tiles[k], r);
    else cross_tile<L>(job, job.tiles[k], r);
}

__attribute__((target("avx512f"))) void tile_round_avx512(const Job& job, std::size_t k, const Round& r,
                                                          bool moments) {
    tile_round<base::simd::Avx512>(job, k, r, moments);
}
__attribute__((target("avx2"))) void tile_round_avx2(const Job& job, std::size_t k, const Round& r, bool moments) {
    tile_round<base::simd::Avx2>(job, k, r, moments);
}
void tile_round_sse2(const Job& job, std::size_t k, const Round& r, bool moments) {
    tile_round<base::simd::Sse2>(job, k, r, moments);
}

using TileRound = void (*)(const Job&, std::size_t, const Round&, bool);

std::vector<Tile> tiles_of(std::size_t np) {
    const std::size_t side = np <= kNarrowPanelCols ? kNarrowTileCols : kWideTileCols;
    std::vector<Tile> tiles;
    for (std::size_t i0 = 0; i0 < np; i0 += side) {
        for (std::size_t j0 = i0; j0 < np; j0 += side) {
            tiles.push_back({i0, std::min(i0 + side, np), j0, std::min(j0 + side, np)});
        }
    }
    return tiles;
}

}  // namespace

void PackedColumns::reset(std::size_t groups, std::size_t rows) {
    // Room to start the first group on a cache line.
    constexpr std::size_t kLine = 64 / sizeof(double);
    store_.resize(groups * rows * kGroup + kLine);
    const auto addr = reinterpret_cast<std::uintptr_t>(store_.data());
    base_ = store_.data() + ((64 - addr % 64) % 64) / sizeof(double);
    rows_ = rows;
}

CentredPanel centre_panel(std::span<const double> panel, std::size_t rows, std::size_t cols, double scale,
                          const KernelPlan& plan) {
    CentredPanel out;
    out.rows = rows;
    out.cols = cols;
    out.groups = (cols + kGroup - 1) / kGroup;
    out.mean.assign(cols, 0.0);
    out.variance.assign(cols, 0.0);
    out.centred.reset(out.groups, rows);
    out.spread.reset(out.groups, rows);
    const bool on_pool = plan.use_pool && static_cast<double>(rows) * static_cast<double>(cols) > kPoolWork;
    const std::size_t bands = (out.groups + kBandGroups - 1) / kBandGroups;
    using BandFn = void (*)(const Band&, std::size_t, std::size_t);
    const BandFn run = base::simd::select<BandFn>(plan.isa, centre_band_sse2, centre_band_avx2, centre_band_avx512);
    const Band band{panel, rows, cols, scale, &out};
    base::pool::for_each_index(bands, on_pool, [&](std::size_t b) {
        run(band, b * kBandGroups, std::min((b + 1) * kBandGroups, out.groups));
    });
    return out;
}

PairTerms pair_terms(const CentredPanel& panel, const KernelPlan& plan) {
    PairTerms out;
    const std::size_t np = panel.groups * kGroup;
    out.stride = np;
    out.cov.resize(np * np);
    out.pi.resize(np * np);
    out.theta.resize(np * np);
    out.scratch.resize(np * np);
    Job job;
    job.panel = &panel;
    job.out = &out;
    job.tiles = tiles_of(np);
    const TileRound run = base::simd::select<TileRound>(plan.isa, tile_round_sse2, tile_round_avx2, tile_round_avx512);
    const double work = static_cast<double>(panel.rows) * static_cast<double>(np) * static_cast<double>(np) / 2.0;
    const bool on_pool = plan.use_pool && work > kPoolWork;
    // A tile's cross products are complete before its moments start (these need S(i, j));
    // tiles share nothing, so each runs from start to end on whichever worker takes it.
    base::pool::for_each_index(job.tiles.size(), on_pool, [&](std::size_t k) {
        for (const bool moments : {false, true}) {
            for (std::size_t t0 = 0; t0 < panel.rows; t0 += kRoundRows) {
                Round r;
                r.t0 = t0;
                r.t1 = std::min(t0 + kRoundRows, panel.rows);
                r.first = t0 == 0;
                r.last = r.t1 == panel.rows;
                run(job, k, r, moments);
            }
        }
    });
    return out;
}

}  // namespace tarnwick::analytics::covariance
