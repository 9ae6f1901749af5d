// SplitMix64 (Steele, Lea and Flood, 2014): a 64-bit state that steps by the golden-ratio
// gamma, each output its new state through the finaliser. The engine's fill draws come
// from it; the Monte Carlo generator's seed expansion chains the finaliser's stages its
// own way (see Xoshiro256).
#pragma once

#include <cstdint>

namespace tarnwick::base {

inline constexpr std::uint64_t kSplitMixGamma = 0x9e3779b97f4a7c15ULL;

// The finaliser's first stage: two rounds of xor-shift and multiply.
constexpr std::uint64_t splitmix_rounds(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    return (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
}

// Its last stage: one more xor-shift.
constexpr std::uint64_t splitmix_last_shift(std::uint64_t z) noexcept { return z ^ (z >> 31); }

// Steps `state` and returns its next output.
constexpr std::uint64_t splitmix64(std::uint64_t& state) noexcept {
    state += kSplitMixGamma;
    return splitmix_last_shift(splitmix_rounds(state));
}

}  // namespace tarnwick::base
