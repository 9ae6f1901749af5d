// Columns of flag bytes (any byte other than 0 is a set flag), read eight or sixteen bytes
// at a time: signal columns are sparse, and most words of them hold no flag at all.
#pragma once

#include <emmintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tarnwick::base::flag_bytes {

inline std::uint64_t load_word(const std::uint8_t* at) noexcept {
    std::uint64_t w = 0;
    std::memcpy(&w, at, sizeof w);
    return w;
}

// Each byte of `w` as 1 when it is not 0, else 0: the high bit of ((w & 0x7f..) + 0x7f..) | w
// is set exactly in the bytes that are not 0, and no byte carries into the next.
inline std::uint64_t ones_where_set(std::uint64_t w) noexcept {
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    return ((((w & kLow7) + kLow7) | w) & kHigh) >> 7;
}

// The first index in [from, to) whose byte is set, or `to`. Sixteen bytes to a comparison:
// between a sparse column's flags lie mostly whole blocks of zeros.
inline std::size_t first_set(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to) noexcept {
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = from;
    for (; i + 16 <= to; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
        const unsigned set = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, zero))) & 0xFFFFu;
        if (set != 0) return i + static_cast<std::size_t>(std::countr_zero(set));
    }
    for (; i < to; ++i) {
        if (bytes[i] != 0) return i;
    }
    return to;
}

// The first index in [from, to) at which either column's byte is set, or `to`.
inline std::size_t first_set_in_either(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                                       std::size_t from, std::size_t to) noexcept {
    std::size_t i = from;
    for (; i + 8 <= to; i += 8) {
        if ((load_word(a.data() + i) | load_word(b.data() + i)) != 0) break;
    }
    for (; i < to; ++i) {
        if ((a[i] | b[i]) != 0) return i;
    }
    return to;
}

// out[i] = 1 where src[i] is set, else 0, for the first `n` bytes; `out` may be `src`.
inline void copy_as_ones(const std::uint8_t* src, std::uint8_t* out, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t w = ones_where_set(load_word(src + i));
        std::memcpy(out + i, &w, sizeof w);
    }
    for (; i < n; ++i) out[i] = src[i] != 0 ? 1 : 0;
}

}  // namespace tarnwick::base::flag_bytes
