// Vector widths chosen at run time, for kernels whose lanes hold independent sums.
//
// A kernel is written once as an always-inline template over one of the lane types below
// (or over lane counts of its own) and instantiated inside an entry point compiled for
// that instruction set (a function carrying the same `target` attribute); `select` with
// `widest_isa` picks the entry point, here and nowhere else. The lane operations are the
// plain IEEE ones, element by element (no fused multiply-add, the build forbids
// contraction), so when the lanes hold separate sums the width changes how many are
// formed at once, never a bit of any of them.
//
// An entry point compiled for more than its set's own instructions (fused multiply-add,
// AVX-512DQ) runs where `supports` also says the processor has those, and its set is
// capped by `widest_isa` all the same: the narrower of the two.
//
// TARNWICK_SIMD=sse2|avx2|avx512 in the environment caps the width for the whole process
// (it never raises it above what the processor runs): the tests run once per instruction
// set this way, so that a wide machine tests the narrow entry points too.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <optional>
#include <string_view>

// Kernels over lane types are always inlined, and form lane values only once inlined into
// the entry point of their own instruction set; GCC's ABI note on their bodies as written
// (a wide value passed without the instruction set enabled) does not apply to them. A
// lambda is compiled for the baseline set whatever encloses it: pool tasks reach kernels
// through the entry points, never through a lambda that inlines a kernel.
#pragma GCC diagnostic ignored "-Wpsabi"
#define TARNWICK_LANES_INLINE __attribute__((always_inline)) inline

namespace tarnwick::base::simd {

// Ordered from narrowest to widest.
enum class Isa { Sse2, Avx2, Avx512 };

// "sse2", "avx2", "avx512"; parse takes exactly those.
std::string_view name(Isa isa) noexcept;
std::optional<Isa> parse_isa(std::string_view text) noexcept;

// Whether this processor runs `isa` (SSE2 is part of x86-64 itself).
bool supports(Isa isa);

// Instructions beyond a set's own that an entry point may be compiled for.
enum class Feature { Fma, Avx512dq };

// Whether this processor runs `feature`.
bool supports(Feature feature);

// `widest` lowered to the set `cap` names when that is narrower; no cap, or a text that
// names no set, leaves it.
Isa capped_isa(Isa widest, std::optional<std::string_view> cap) noexcept;

// The widest set the kernels may use: the widest this processor runs, capped by
// TARNWICK_SIMD. Settled on first use, for the life of the process.
Isa widest_isa();

// The entry point of `isa` among one per instruction set.
template <class Fn>
Fn select(Isa isa, Fn sse2, Fn avx2, Fn avx512) {
    switch (isa) {
        case Isa::Avx512:
            return avx512;
        case Isa::Avx2:
            return avx2;
        case Isa::Sse2:
            return sse2;
    }
    return sse2;
}

// The same for kernels without a form of their own for AVX-512, which run their AVX2 one.
template <class Fn>
Fn select(Isa isa, Fn sse2, Fn avx2) {
    return select(isa, sse2, avx2, avx2);
}

// Two doubles. The vector types are GCC vector types, so + - * / act lane by lane.
struct Sse2 {
    using V = __m128d;
    static constexpr std::size_t kWidth = 2;
    static V load(const double* p) { return _mm_loadu_pd(p); }
    static void store(double* p, V v) { _mm_storeu_pd(p, v); }
    static V splat(double x) { return _mm_set1_pd(x); }
    static V zero() { return _mm_setzero_pd(); }
    static V sqrt(V v) { return _mm_sqrt_pd(v); }
};

struct Avx2 {
    using V = __m256d;
    static constexpr std::size_t kWidth = 4;
    __attribute__((target("avx2"))) static V load(const double* p) { return _mm256_loadu_pd(p); }
    __attribute__((target("avx2"))) static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    __attribute__((target("avx2"))) static V splat(double x) { return _mm256_set1_pd(x); }
    __attribute__((target("avx2"))) static V zero() { return _mm256_setzero_pd(); }
    __attribute__((target("avx2"))) static V sqrt(V v) { return _mm256_sqrt_pd(v); }
};

struct Avx512 {
    using V = __m512d;
    static constexpr std::size_t kWidth = 8;
    __attribute__((target("avx512f"))) static V load(const double* p) { return _mm512_loadu_pd(p); }
    __attribute__((target("avx512f"))) static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
    __attribute__((target("avx512f"))) static V splat(double x) { return _mm512_set1_pd(x); }
    __attribute__((target("avx512f"))) static V zero() { return _mm512_setzero_pd(); }
    __attribute__((target("avx512f"))) static V sqrt(V v) { return _mm512_sqrt_pd(v); }
};

}  // namespace tarnwick::base::simd
