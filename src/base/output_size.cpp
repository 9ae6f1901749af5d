#include "base/output_size.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "base/format.h"
#include "base/memory_headroom.h"

namespace tarnwick::base {

namespace {

constexpr SizeFactor kU128Max = ~SizeFactor{0};

// The product over 128 bits, or nothing when it wraps.
std::optional<SizeFactor> wide_product(std::span<const SizeFactor> factors) noexcept {
    SizeFactor p = 1;
    for (SizeFactor f : factors) {
        if (f != 0 && p > kU128Max / f) return std::nullopt;
        p *= f;
    }
    return p;
}

std::string decimal(SizeFactor v) {
    if (v == 0) return "0";
    std::string out;
    while (v != 0) {
        out.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace

std::optional<std::size_t> bounded_product(std::span<const SizeFactor> factors, std::size_t limit) noexcept {
    const std::optional<SizeFactor> p = wide_product(factors);
    if (!p || *p > limit) return std::nullopt;
    return static_cast<std::size_t>(*p);
}

std::string cannot_allocate(std::span<const SizeFactor> byte_factors, std::string_view what) {
    std::string bytes;
    if (const std::optional<SizeFactor> p = wide_product(byte_factors)) {
        bytes = decimal(*p);
    } else {
        for (std::size_t i = 0; i < byte_factors.size(); ++i) {
            if (i > 0) bytes += " x ";
            bytes += decimal(byte_factors[i]);
        }
    }
    return fmt::format("cannot allocate {} bytes for {}", bytes, what);
}

std::size_t check_total(std::span<const SizeFactor> byte_factors, std::string_view what) {
    constexpr std::size_t kOneAllocation = std::numeric_limits<std::ptrdiff_t>::max();
    std::optional<std::size_t> bytes = bounded_product(byte_factors, kOneAllocation);
    if (bytes && *bytes > kUncheckedBytes && *bytes > memory_headroom()) bytes.reset();
    if (!bytes) throw OutOfMemory(cannot_allocate(byte_factors, what));
    return *bytes;
}

}  // namespace tarnwick::base
