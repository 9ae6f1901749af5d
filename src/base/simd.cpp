#include "base/simd.h"

#include <cstdlib>

namespace tarnwick::base::simd {

namespace {

constexpr Isa kAll[] = {Isa::Sse2, Isa::Avx2, Isa::Avx512};

Isa widest_supported() {
    Isa widest = Isa::Sse2;
    for (const Isa isa : kAll) {
        if (supports(isa)) widest = isa;
    }
    return widest;
}

}  // namespace

std::string_view name(Isa isa) noexcept {
    switch (isa) {
        case Isa::Sse2: return "sse2";
        case Isa::Avx2: return "avx2";
        case Isa::Avx512: return "avx512";
    }
    return "sse2";
}

std::optional<Isa> parse_isa(std::string_view text) noexcept {
    for (const Isa isa : kAll) {
        if (text == name(isa)) return isa;
    }
    return std::nullopt;
}

bool supports(Isa isa) {
    __builtin_cpu_init();
    switch (isa) {
        case Isa::Sse2:
            return true;
        case Isa::Avx2:
            return __builtin_cpu_supports("avx2");
        case Isa::Avx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
}

bool supports(Feature feature) {
    __builtin_cpu_init();
    switch (feature) {
        case Feature::Fma:
            return __builtin_cpu_supports("fma");
        case Feature::Avx512dq:
            return __builtin_cpu_supports("avx512dq");
    }
    return false;
}

Isa capped_isa(Isa widest, std::optional<std::string_view> cap) noexcept {
    const std::optional<Isa> limit = cap ? parse_isa(*cap) : std::nullopt;
    return limit && *limit < widest ? *limit : widest;
}

Isa widest_isa() {
    static const Isa widest = [] {
        const char* cap = std::getenv("TARNWICK_SIMD");
        return capped_isa(widest_supported(), cap ? std::optional<std::string_view>(cap) : std::nullopt);
    }();
    return widest;
}

}  // namespace tarnwick::base::simd
