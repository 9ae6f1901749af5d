// std::log, std::cos and std::exp over vector lanes, giving the platform library's own bits.
//
// Each lane's value is first formed in double-double arithmetic, within a few thousandths
// of an ulp of the exact value, and rounded to the nearest double c. A library result
// within E ulps of the exact value y (E < 1) can only be c when y lies closer than 1 - E
// ulps to c: then c is the library's result too, and the lane is taken. Any other lane
// (y near the midpoint between two doubles, c a power of two, an argument outside the
// range worked for) asks the library itself. E is 0.55 for cos, 0.53 for log and 0.52 for
// exp, above the largest errors of the GNU library's functions measured over 10^9
// arguments each across the ranges taken here (0.516, 0.519 and 0.509 ulp); a library
// less accurate than that could differ from a taken lane in the last bit. About one cos lane in eight, one log
// lane in twelve and one exp lane in sixteen go to the library.
//
// The lane types are base/simd.h's, with the few operations the arithmetic needs beyond
// their loads, stores, splats and square roots and + - * / (GCC vector types act lane by
// lane, each operation rounded once, since the build forbids contraction; the fused
// multiply-adds here are explicit). Kernels over them are always-inline templates,
// instantiated in an entry point compiled for the lane type's instruction set (see
// base/simd.h); the lane types' own functions are plain inline, so that they fold into
// that entry point.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "base/simd.h"

namespace tarnwick::analytics::lanes {

// Eight lanes: AVX-512F with the DQ integer conversions. D is the base lane type's
// vector (the intrinsic type less its may_alias, which a template argument drops anyway).
struct Avx512 : base::simd::Avx512 {
    static constexpr unsigned kAll = 0xff;
    using D = double __attribute__((vector_size(64)));
    using U = std::uint64_t __attribute__((vector_size(64)));
    using I = std::int64_t __attribute__((vector_size(64)));
    using M = __mmask8;  // bit per lane

    using base::simd::Avx512::splat;
    __attribute__((target("avx512f"))) static inline U splat(std::uint64_t x) {
        return (U)_mm512_set1_epi64(static_cast<long long>(x));
    }
    __attribute__((target("avx512f"))) static inline D fma(D a, D b, D c) {
        return (D)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)c);
    }
    // The base's own sqrt, masked: the unmasked form's undefined source trips GCC 12's
    // uninitialised-use warning once inlined into these kernels.
    __attribute__((target("avx512f"))) static inline D sqrt(D a) {
        return (D)_mm512_mask_sqrt_pd((__m512d)a, 0xff, (__m512d)a);
    }
    // x < 2^53, exactly.
    __attribute__((target("avx512f,avx512dq"))) static inline D from_u53(U x) {
        return (D)_mm512_cvtepu64_pd((__m512i)x);
    }
    // |x| < 2^51 (two's complement in the lanes), exactly.
    __attribute__((target("avx512f,avx512dq"))) static inline D from_small_int(U x) {
        return (D)_mm512_cvtepi64_pd((__m512i)x);
    }
    __attribute__((target("avx512f"))) static inline M less(D a, D b) {
        return _mm512_cmp_pd_mask((__m512d)a, (__m512d)b, _CMP_LT_OQ);
    }
    __attribute__((target("avx512f"))) static inline M nonzero(U x) {
        return _mm512_test_epi64_mask((__m512i)x, (__m512i)x);
    }
    __attribute__((target("avx512f"))) static inline D select(M m, D a, D b) {
        return (D)_mm512_mask_blend_pd(m, (__m512d)b, (__m512d)a);
    }
    static inline M both(M a, M b) { return a & b; }
    static inline unsigned bits(M m) { return m; }
    // a + b and a x b with a the instruction's first source: where both are NaN, the
    // result is a's NaN. (The compiler may swap the operands of + and *.)
    __attribute__((target("avx512f"))) static inline D add_first(D a, D b) {
        D r;
        asm("vaddpd %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
        return r;
    }
    __attribute__((target("avx512f"))) static inline D mul_first(D a, D b) {
        D r;
        asm("vmulpd %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
        return r;
    }
    // first + k for each lane k set in `lanes`, in lane order, to out[0 ..); out has room
    // for kWidth. Returns how many.
    __attribute__((target("avx512f"))) static inline unsigned pack(unsigned lanes, std::uint64_t first,
                                                                   std::uint64_t* out) {
        const __m512i at = _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(first)),
                                            _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi64(static_cast<__mmask8>(lanes), at));
        return static_cast<unsigned>(std::popcount(lanes));
    }
};

// Four lanes: AVX2 with FMA.
struct Avx2 : base::simd::Avx2 {
    static constexpr unsigned kAll = 0xf;
    using D = double __attribute__((vector_size(32)));
    using U = std::uint64_t __attribute__((vector_size(32)));
    using I = std::int64_t __attribute__((vector_size(32)));
    using M = D;  // all ones or all zeros per lane

    using base::simd::Avx2::splat;
    __attribute__((target("avx2"))) static inline U splat(std::uint64_t x) {
        return (U)_mm256_set1_epi64x(static_cast<long long>(x));
    }
    __attribute__((target("avx2,fma"))) static inline D fma(D a, D b, D c) {
        return (D)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c);
    }
    // x < 2^53: its two halves through the exponents of 2^52 and 2^84, exactly.
    __attribute__((target("avx2"))) static inline D from_u53(U x) {
        const D low = (D)((x & 0xffffffffULL) | splat(std::uint64_t{0x4330000000000000ULL})) - splat(0x1p52);
        const D high = (D)((x >> 32) | splat(std::uint64_t{0x4530000000000000ULL})) - splat(0x1p84);
        return high + low;
    }
    // |x| < 2^51 (two's complement in the lanes), exactly: added into the mantissa of 1.5 x 2^52.
    __attribute__((target("avx2"))) static inline D from_small_int(U x) {
        const D shift = splat(0x1.8p52);
        return (D)(x + (U)shift) - shift;
    }
    __attribute__((target("avx2"))) static inline M less(D a, D b) {
        return (D)_mm256_cmp_pd((__m256d)a, (__m256d)b, _CMP_LT_OQ);
    }
    __attribute__((target("avx2"))) static inline M nonzero(U x) {
        return (D) ~(U)_mm256_cmpeq_epi64((__m256i)x, __m256i{});
    }
    __attribute__((target("avx2"))) static inline D select(M m, D a, D b) {
        return (D)_mm256_blendv_pd((__m256d)b, (__m256d)a, (__m256d)m);
    }
    static inline M both(M a, M b) { return (D)((U)a & (U)b); }
    // As Avx512::add_first and mul_first.
    __attribute__((target("avx2"))) static inline D add_first(D a, D b) {
        D r;
        asm("vaddpd %2, %1, %0" : "=x"(r) : "x"(a), "x"(b));
        return r;
    }
    __attribute__((target("avx2"))) static inline D mul_first(D a, D b) {
        D r;
        asm("vmulpd %2, %1, %0" : "=x"(r) : "x"(a), "x"(b));
        return r;
    }
    __attribute__((target("avx2"))) static inline unsigned bits(M m) {
        return static_cast<unsigned>(_mm256_movemask_pd((__m256d)m));
    }
    // As Avx512::pack, without a branch per lane.
    static inline unsigned pack(unsigned lanes, std::uint64_t first, std::uint64_t* out) {
        unsigned count = 0;
        for (unsigned k = 0; k < kWidth; ++k) {
            out[count] = first + k;
            count += (lanes >> k) & 1;
        }
        return count;
    }
};

// Lane values with a bit per lane that says the value is the library's.
template <class L>
struct Certain {
    typename L::D value;
    unsigned taken;
};

// s + e = a + b exactly, s the rounded sum.
template <class L>
TARNWICK_LANES_INLINE void two_sum(typename L::D a, typename L::D b, typename L::D& s, typename L::D& e) {
    s = a + b;
    const typename L::D bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

// The same where |a| >= |b|.
template <class L>
TARNWICK_LANES_INLINE void fast_two_sum(typename L::D a, typename L::D b, typename L::D& s, typename L::D& e) {
    s = a + b;
    e = b - (s - a);
}

// h + l rounded to c, taken when c is no power of two and the exact value, within a few
// thousandths of an ulp of h + l, lies closer than `take` ulps to c (1 - E less a margin
// for that distance).
template <class L>
TARNWICK_LANES_INLINE Certain<L> round_taken(typename L::D h, typename L::D l, double take) {
    using D = typename L::D;
    using U = typename L::U;
    D c, t;
    fast_two_sum<L>(h, l, c, t);
    const U bits = (U)c;
    const D ulp = (D)(bits & 0x7ff0000000000000ULL) * 0x1p-52;
    const D distance = (D)((U)t & 0x7fffffffffffffffULL);
    return {c, L::bits(L::both(L::less(distance, ulp * take), L::nonzero(bits & 0x000fffffffffffffULL)))};
}

// The M values of one level of Estrin's scheme, folded pairwise with `power` into the
// next level (level[2i] + level[2i+1] power) until one value is left.
template <class L, std::size_t M>
TARNWICK_LANES_INLINE typename L::D fold(const typename L::D (&level)[M], typename L::D power) {
    if constexpr (M == 1) {
        return level[0];
    } else {
        typename L::D next[(M + 1) / 2];
#pragma GCC unroll 16
        for (std::size_t i = 0; i < M / 2; ++i) next[i] = L::fma(level[2 * i + 1], power, level[2 * i]);
        if constexpr (M % 2 == 1) next[M / 2] = level[M - 1];
        return fold<L>(next, power * power);
    }
}

// c[0] + c[1] x + ... + c[N-1] x^(N-1) by Estrin's scheme: pairs, then pairs of pairs,
// so that the chain of dependent operations grows with log N, not N. x2 = x^2.
template <class L, std::size_t N>
TARNWICK_LANES_INLINE typename L::D polynomial(typename L::D x, typename L::D x2, const typename L::D (&c)[N]) {
    typename L::D pairs[(N + 1) / 2];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < N / 2; ++i) pairs[i] = L::fma(c[2 * i + 1], x, c[2 * i]);
    if constexpr (N % 2 == 1) pairs[N / 2] = c[N - 1];
    return fold<L>(pairs, x2);
}

// The same with coefficients the same in every lane.
template <class L, std::size_t N>
TARNWICK_LANES_INLINE typename L::D polynomial(typename L::D x, typename L::D x2, const double (&c)[N]) {
    typename L::D lanes[N];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < N; ++i) lanes[i] = L::splat(c[i]);
    return polynomial<L>(x, x2, lanes);
}

// cos x for |x| < 7: x less the nearest multiple k of pi/2 is R, exactly to 2^-150 in
// three parts, and cos x is +-cos R or +-sin R by k's quadrant. Both are M (1 + a p +
// b p^2 + p^3 T(p)) in p = R^2 <= 0.62, M = 1 or R, a and b double-double, T a Taylor
// tail in doubles; each lane takes the coefficients of its own. Lanes with x within
// 2^-30 of a multiple of pi/2 go to the library.
template <class L>
TARNWICK_LANES_INLINE Certain<L> cos_taken(typename L::D x) {
    using D = typename L::D;
    using U = typename L::U;
    const D shift = L::splat(0x1.8p52);
    const D t = x * 0x1.45f306dc9c883p-1 + shift;  // 2 / pi
    const D kd = t - shift;
    const U k = (U)t;  // its low bits: k itself
    // pi/2 = 0x1.921fb54442d18p+0 + 0x1.1a62633145c07p-54 - 0x1.f1976b7ed8fbcp-110; the
    // first product is exact in the difference.
    const D r1 = L::fma(-kd, L::splat(0x1.921fb54442d18p+0), x);
    const D mh = kd * 0x1.1a62633145c07p-54;
    const D ml = L::fma(kd, L::splat(0x1.1a62633145c07p-54), -mh);
    D rh, e1;
    two_sum<L>(r1, -mh, rh, e1);
    D rl = (e1 - ml) - kd * -0x1.f1976b7ed8fbcp-110;
    fast_two_sum<L>(rh, rl, rh, rl);
    const U far = ((U)r1 & 0x7fffffffffffffffULL) - 0x3e10000000000000ULL;  // |r1| >= 2^-30 keeps the top bit clear
    const auto odd = L::nonzero(k & 1);  // sin R

    // cos R = 1 - p/2 + p^2/24 - p^3 (1/6! - p/8! + ... - p^7/20!)
    // sin R = R (1 - p/6 + p^2/120 - p^3 (1/7! - p/9! + ... - p^7/21!))
    static constexpr double kCosTail[] = {-0x1.6c16c16c16c17p-10, 0x1.a01a01a01a01ap-16, -0x1.27e4fb7789f5cp-22,
                                          0x1.1eed8eff8d898p-29,  -0x1.93974a8c07c9dp-37, 0x1.ae7f3e733b81fp-45,
                                          -0x1.6827863b97d97p-53, 0x1.e542ba4020225p-62};
    static constexpr double kSinTail[] = {-0x1.a01a01a01a01ap-13, 0x1.71de3a556c734p-19, -0x1.ae64567f544e4p-26,
                                          0x1.6124613a86d09p-33,  -0x1.ae7f3e733b81fp-41, 0x1.952c77030ad4ap-49,
                                          -0x1.2f49b46814157p-57, 0x1.71b8ef6dcf572p-66};
    D tail[8];
#pragma GCC unroll 8
    for (std::size_t i = 0; i < 8; ++i) tail[i] = L::select(odd, L::splat(kSinTail[i]), L::splat(kCosTail[i]));
    // a = -1/2 or -1/6 = -(0x1.5555555555555p-3 + 0x1.5555555555555p-57); b = 1/24 =
    // 0x1.5555555555555p-5 + 0x1.5555555555555p-59 or 1/120 = 0x1.1111111111111p-7 +
    // 0x1.1111111111111p-63.
    const D a_h = L::select(odd, L::splat(-0x1.5555555555555p-3), L::splat(-0.5));
    const D a_l = L::select(odd, L::splat(-0x1.5555555555555p-57), L::splat(0.0));
    const D b_h = L::select(odd, L::splat(0x1.1111111111111p-7), L::splat(0x1.5555555555555p-5));
    const D b_l = L::select(odd, L::splat(0x1.1111111111111p-63), L::splat(0x1.5555555555555p-59));

    const D ph = rh * rh;
    const D pl = L::fma(rh, rh, -ph) + 2.0 * (rh * rl);
    const D qh = ph * ph;  // p^2
    const D ql = L::fma(ph, ph, -qh) + 2.0 * (ph * pl);
    const D uh = a_h * ph;
    const D ul = L::fma(a_h, ph, -uh) + (a_h * pl + a_l * ph);
    const D vh = b_h * qh;
    const D vl = L::fma(b_h, qh, -vh) + (b_h * ql + b_l * qh);
    D sh, sl, s2h, s2l;
    fast_two_sum<L>(L::splat(1.0), uh, sh, sl);
    fast_two_sum<L>(sh, vh, s2h, s2l);
    s2l = (((sl + s2l) + ul) + vl) + (qh * ph) * polynomial<L>(ph, qh, tail);
    // Times M, as double-double: exactly the sum for the cos lanes.
    const D m_h = L::select(odd, rh, L::splat(1.0));
    const D m_l = L::select(odd, rl, L::splat(0.0));
    D h = m_h * s2h;
    D l = L::fma(m_h, s2h, -h) + (m_h * s2l + m_l * s2h);

    // Quadrants 1 and 2 negate; the sign goes straight into the sign bits.
    const U sign = ((k + 1) & 2) << 62;
    h = (D)((U)h ^ sign);
    l = (D)((U)l ^ sign);
    Certain<L> out = round_taken<L>(h, l, 0.44);
    out.taken &= ~L::bits(L::nonzero(far >> 63));
    out.taken &= L::bits(L::less((D)((U)x & 0x7fffffffffffffffULL), L::splat(7.0)));  // NaN too
    return out;
}

// log x for a positive normal x: x = 2^e m with m in [sqrt(1/2), sqrt(2)), and
// log m = 2 atanh(s), s = (m - 1) / (m + 1) in [-0.172, 0.172]: 2s + 2s^3/3 double-double,
// the series on from 2s^5/5 in doubles.
template <class L>
TARNWICK_LANES_INLINE Certain<L> log_taken(typename L::D x) {
    using D = typename L::D;
    using U = typename L::U;
    const U bits = (U)x;
    const U scaled = bits - 0x3fe6a09e667f3bcdULL;  // sqrt(1/2)
    const U e = (U)((typename L::I)scaled >> 52);
    const D m = (D)(bits - (e << 52));
    const D f = m - 1.0;  // exact
    D dh, dl;
    fast_two_sum<L>(L::splat(2.0), f, dh, dl);
    const D inv = 1.0 / dh;
    const D sh = f * inv;
    const D sl = (L::fma(-sh, dh, f) - sh * dl) * inv;
    const D s2h = 2.0 * sh;
    const D s2l = 2.0 * sl;
    const D qh = sh * sh;
    const D ql = L::fma(sh, sh, -qh) + 2.0 * (sh * sl);
    const D wh = s2h * qh;
    const D wl = L::fma(s2h, qh, -wh) + (s2h * ql + s2l * qh);
    const D xh = wh * 0x1.5555555555555p-2;  // 1/3 = this + 0x1.5555555555555p-56
    const D xl =
        L::fma(wh, L::splat(0x1.5555555555555p-2), -xh) + (wh * 0x1.5555555555555p-56 + wl * 0x1.5555555555555p-2);
    static constexpr double kLog[] = {0x1.999999999999ap-3, 0x1.2492492492492p-3, 0x1.c71c71c71c71cp-4,
                                      0x1.745d1745d1746p-4, 0x1.3b13b13b13b14p-4, 0x1.1111111111111p-4,
                                      0x1.e1e1e1e1e1e1ep-5, 0x1.af286bca1af28p-5, 0x1.8618618618618p-5,
                                      0x1.642c8590b2164p-5, 0x1.47ae147ae147bp-5, 0x1.2f684bda12f68p-5};  // 1/5 .. 1/27
    const D p = polynomial<L>(qh, qh * qh, kLog);
    // e log 2 with log 2 = 0x1.62e42fefa38p-1 (exact times e) + 0x1.ef35793c7673p-45.
    const D ed = L::from_small_int(e);
    D ah, al, bh, bl;
    two_sum<L>(ed * 0x1.62e42fefa38p-1, s2h, ah, al);
    fast_two_sum<L>(ah, xh, bh, bl);
    const D lo = ((((al + bl) + s2l) + xl) + (wh * qh) * p) + ed * 0x1.ef35793c7673p-45;
    Certain<L> out = round_taken<L>(bh, lo, 0.46);
    // Zero, negatives, subnormals, infinities and NaN go to the library.
    out.taken &= L::bits(L::both(L::less(L::splat(0x0.fffffffffffffp-1022), x),
                                 L::less(x, L::splat(std::numeric_limits<double>::infinity()))));
    return out;
}

// exp x for |x| < 700: x = k log 2 + R with |R| <= 0.35, exp x = 2^k e^R, and e^R a
// Taylor series whose terms down to R^3/6 are double-double.
template <class L>
TARNWICK_LANES_INLINE Certain<L> exp_taken(typename L::D x) {
    using D = typename L::D;
    using U = typename L::U;
    const D shift = L::splat(0x1.8p52);
    const D t = x * 0x1.71547652b82fep+0 + shift;  // 1 / log 2
    const D kd = t - shift;
    const U k = (U)t - (U)shift;
    // log 2 as above; k times its first part is exact, and so is x less that product.
    const D r1 = L::fma(-kd, L::splat(0x1.62e42fefa38p-1), x);
    D rh, rl;
    two_sum<L>(r1, kd * -0x1.ef35793c7673p-45, rh, rl);
    const D ph = rh * rh;
    const D pl = L::fma(rh, rh, -ph);
    // e^R = 1 + R + R^2/2 + R^3/6 + R^4 (1/24 + R/120 + ... + R^12/16!), where R = rh + rl
    // is e^rh (1 + rl) to well below an ulp.
    D ah, al, bh, bl, ch, cl;
    fast_two_sum<L>(L::splat(1.0), rh, ah, al);
    fast_two_sum<L>(ah, 0.5 * ph, bh, bl);
    const D wh = rh * ph;
    const D wl = L::fma(rh, ph, -wh) + rh * pl;
    const D vh = wh * 0x1.5555555555555p-3;  // 1/6 = this + 0x1.5555555555555p-57
    const D vl =
        L::fma(wh, L::splat(0x1.5555555555555p-3), -vh) + (wh * 0x1.5555555555555p-57 + wl * 0x1.5555555555555p-3);
    fast_two_sum<L>(bh, vh, ch, cl);
    static constexpr double kExp[] = {0x1.5555555555555p-5,  0x1.1111111111111p-7,  0x1.6c16c16c16c17p-10,
                                      0x1.a01a01a01a01ap-13, 0x1.a01a01a01a01ap-16, 0x1.71de3a556c734p-19,
                                      0x1.27e4fb7789f5cp-22, 0x1.ae64567f544e4p-26, 0x1.1eed8eff8d898p-29,
                                      0x1.6124613a86d09p-33, 0x1.93974a8c07c9dp-37, 0x1.ae7f3e733b81fp-41,
                                      0x1.ae7f3e733b81fp-45};  // 1/4! .. 1/16!
    const D p = polynomial<L>(rh, ph, kExp);
    const D lo = (((((al + bl) + cl) + 0.5 * pl) + vl) + (ph * ph) * p) + rl * ch;
    Certain<L> out = round_taken<L>(ch, lo, 0.47);
    out.value = out.value * (D)((k + 1023) << 52);  // 2^k, exactly
    out.taken &= L::bits(L::less((D)((U)x & 0x7fffffffffffffffULL), L::splat(700.0)));  // NaN too
    return out;
}

}  // namespace tarnwick::analytics::lanes
