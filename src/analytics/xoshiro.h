// The Monte Carlo generator: xoshiro256** with a SplitMix64-style seed expansion, its
// published jump of 2^128 draws, and leaps of any number of draws.
//
// The state transition is linear over GF(2), so advancing a state by k draws is applying
// x^k modulo the transition's characteristic polynomial: the sum, over the polynomial's
// set coefficients j, of the state after j draws. A leap holds that polynomial; the
// published jump is the leap of 2^128 draws written out.
#pragma once

#include <array>
#include <cstdint>

namespace tarnwick::analytics {

// x^k modulo the characteristic polynomial of the generator's state transition, as the
// coefficients of x^0 .. x^255 (bit j of word j / 64).
class StreamLeap {
public:
    // The leap of k draws.
    static StreamLeap draws(std::uint64_t k) noexcept;
    // The leap of m of these leaps one after another.
    StreamLeap times(std::uint64_t m) const noexcept;
    const std::array<std::uint64_t, 4>& polynomial() const noexcept { return p_; }

private:
    std::array<std::uint64_t, 4> p_ = {1, 0, 0, 0};  // x^0: no draw
};

// xoshiro256** seeded by the SplitMix64-style expansion of `seed`.
class Xoshiro256 {
public:
    explicit Xoshiro256(std::uint64_t seed) noexcept;
    // The generator at a given state (not all zero, which never moves).
    static Xoshiro256 at_state(const std::array<std::uint64_t, 4>& state) noexcept;
    std::uint64_t next() noexcept {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    double uniform() noexcept { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // Advances the state by 2^128 draws.
    void jump() noexcept;
    // Advances the state by the leap's draws, in 256 transitions whatever their count.
    void advance(const StreamLeap& leap) noexcept;
    // Advances the state by `draws` draws one at a time: the same state as their leap, and
    // the cheaper way there for fewer than a leap's 256 transitions.
    void discard(std::uint64_t draws) noexcept {
        for (std::uint64_t k = 0; k < draws; ++k) next();
    }
    const std::array<std::uint64_t, 4>& state() const noexcept { return s_; }

private:
    Xoshiro256() = default;
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }
    // The state's polynomial in the transition: the sum of the states after j draws over
    // the polynomial's set coefficients j.
    void apply(const std::array<std::uint64_t, 4>& polynomial) noexcept;

    std::array<std::uint64_t, 4> s_;
};

}  // namespace tarnwick::analytics
