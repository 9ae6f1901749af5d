#include "analytics/xoshiro.h"

#include "base/splitmix.h"

namespace tarnwick::analytics {

namespace {

using Poly = std::array<std::uint64_t, 4>;

// The characteristic polynomial of the state transition is x^256 plus these coefficients
// of x^0 .. x^255. (Taken from the minimal polynomial of one state bit's sequence; the
// leap of 2^128 draws it gives is the published jump, which the tests hold it to.)
constexpr Poly kCharacteristic = {0x9d116f2bb0f0f001ULL, 0x0280002bcefd1a5eULL, 0x04b4edcf26259f85ULL,
                                  0x0003c03c3f3ecb19ULL};

// a x^1 modulo the characteristic polynomial.
Poly times_x(Poly a) noexcept {
    const std::uint64_t carry = a[3] >> 63;
    for (int w = 3; w > 0; --w) a[w] = (a[w] << 1) | (a[w - 1] >> 63);
    a[0] <<= 1;
    if (carry) {
        for (int w = 0; w < 4; ++w) a[w] ^= kCharacteristic[w];
    }
    return a;
}

// a b modulo the characteristic polynomial, by Horner's rule over b's coefficients.
Poly multiply(const Poly& a, const Poly& b) noexcept {
    Poly r = {0, 0, 0, 0};
    for (int j = 255; j >= 0; --j) {
        r = times_x(r);
        if ((b[j / 64] >> (j % 64)) & 1) {
            for (int w = 0; w < 4; ++w) r[w] ^= a[w];
        }
    }
    return r;
}

Poly power(Poly base, std::uint64_t e) noexcept {
    Poly r = {1, 0, 0, 0};
    for (; e != 0; e >>= 1) {
        if (e & 1) r = multiply(r, base);
        base = multiply(base, base);
    }
    return r;
}

}  // namespace

StreamLeap StreamLeap::draws(std::uint64_t k) noexcept {
    StreamLeap leap;
    leap.p_ = power({2, 0, 0, 0}, k);
    return leap;
}

StreamLeap StreamLeap::times(std::uint64_t m) const noexcept {
    StreamLeap leap;
    leap.p_ = power(p_, m);
    return leap;
}

// Unlike SplitMix64 itself, each word's input is the previous word as it stood before its
// last xor-shift, plus the gamma, not a state of its own: kept, since it fixes every
// seed's paths.
Xoshiro256::Xoshiro256(std::uint64_t seed) noexcept {
    std::uint64_t z = seed;
    for (std::uint64_t& word : s_) {
        z = base::splitmix_rounds(z + base::kSplitMixGamma);
        word = base::splitmix_last_shift(z);
    }
}

Xoshiro256 Xoshiro256::at_state(const std::array<std::uint64_t, 4>& state) noexcept {
    Xoshiro256 g;
    g.s_ = state;
    return g;
}

void Xoshiro256::jump() noexcept {
    static constexpr Poly kJump = {0x180ec6d33cfd0abaULL, 0xd5a61266f0c9392cULL, 0xa9582618e03fc9aaULL,
                                   0x39abdc4529b1661cULL};
    apply(kJump);
}

void Xoshiro256::advance(const StreamLeap& leap) noexcept { apply(leap.polynomial()); }

void Xoshiro256::apply(const std::array<std::uint64_t, 4>& polynomial) noexcept {
    std::array<std::uint64_t, 4> acc = {0, 0, 0, 0};
    for (std::uint64_t word : polynomial) {
        for (int b = 0; b < 64; ++b) {
            if (word & (std::uint64_t{1} << b)) {
                for (int k = 0; k < 4; ++k) acc[k] ^= s_[k];
            }
            next();
        }
    }
    s_ = acc;
}

}  // namespace tarnwick::analytics
