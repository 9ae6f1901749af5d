#include "analytics/libm_lanes.h"

#include <algorithm>

namespace tarnwick::analytics::lanes {

namespace {

template <class L>
TARNWICK_LANES_INLINE Certain<L> taken(Function f, typename L::D x) {
    switch (f) {
        case Function::Log:
            return log_taken<L>(x);
        case Function::Cos:
            return cos_taken<L>(x);
        case Function::Exp:
            return exp_taken<L>(x);
    }
    return {x, 0};
}

double library(Function f, double x) {
    switch (f) {
        case Function::Log:
            return std::log(x);
        case Function::Cos:
            return std::cos(x);
        case Function::Exp:
            return std::exp(x);
    }
    return x;
}

// A short last vector is padded with its last value.
template <class L>
TARNWICK_LANES_INLINE std::size_t run(Function f, const double* in, double* out, std::size_t n) {
    constexpr std::size_t W = L::kWidth;
    std::size_t count = 0;
    alignas(64) double x[W];
    alignas(64) double y[W];
    for (std::size_t first = 0; first < n; first += W) {
        const std::size_t m = std::min(W, n - first);
        for (std::size_t k = 0; k < W; ++k) x[k] = in[first + std::min(k, m - 1)];
        const Certain<L> c = taken<L>(f, L::load(x));
        L::store(y, c.value);
        const unsigned used = c.taken & ((1u << m) - 1);
        count += static_cast<std::size_t>(std::popcount(used));
        fill_rest(x, y, ~used & ((1u << m) - 1), [f](double v) { return library(f, v); });
        std::copy(y, y + m, out + first);
    }
    return count;
}

__attribute__((target("avx512f,avx512dq,fma"), flatten)) std::size_t run_avx512(Function f, const double* in,
                                                                                double* out, std::size_t n) {
    return run<Avx512>(f, in, out, n);
}

__attribute__((target("avx2,fma"), flatten)) std::size_t run_avx2(Function f, const double* in, double* out,
                                                                  std::size_t n) {
    return run<Avx2>(f, in, out, n);
}

}  // namespace

std::size_t through_lanes(Function f, base::simd::Isa kernel, const double* in, double* out, std::size_t n) {
    return kernel == base::simd::Isa::Avx512 ? run_avx512(f, in, out, n) : run_avx2(f, in, out, n);
}

}  // namespace tarnwick::analytics::lanes
