// Results whose size the caller chooses by multiplying counts: paths by steps, items by
// bars, assets by assets. Their byte count is worked out without wrapping and checked
// before any work starts, so that a request the process cannot hold fails at once, naming
// the bytes it asked for, instead of after minutes of work, through a wrapped size, or
// by the out-of-memory killer once its pages are written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::base {

// An allocation that cannot be made. what() names the byte count; the call entry raises
// it as MemoryError with that text.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A factor of a size: a count given by the caller, or a count plus one (a path's H + 1
// values), which may itself pass 2^64.
using SizeFactor = unsigned __int128;

// The product of the factors when it is at most `limit`.
std::optional<std::size_t> bounded_product(std::span<const SizeFactor> factors, std::size_t limit) noexcept;

// "cannot allocate {bytes} bytes for {what}": the exact product in decimal, or the
// factors joined by " x " when the product passes 128 bits.
std::string cannot_allocate(std::span<const SizeFactor> byte_factors, std::string_view what);

// Requests up to this size are not compared with the memory the process can get: they
// are no larger than what the interpreter itself allocates freely, and reading the limits
// (tens of microseconds) would cost more than a small call's work. The work that fills
// this much (paths drawn, runs stepped, bricks formed) takes milliseconds.
inline constexpr std::size_t kUncheckedBytes = std::size_t{16} << 20;

// The product of the factors (the last one an element's size in bytes); OutOfMemory
// unless it fits in one allocation and, past kUncheckedBytes, within the memory the
// process can get now (memory_headroom). For results kept in many pieces, checked before
// the first piece is made.
std::size_t check_total(std::span<const SizeFactor> byte_factors, std::string_view what);
inline std::size_t check_total(std::initializer_list<SizeFactor> byte_factors, std::string_view what) {
    return check_total(std::span<const SizeFactor>(byte_factors.begin(), byte_factors.size()), what);
}

// A zeroed buffer of the product of `counts` elements, allocated in one piece before the
// caller builds anything; OutOfMemory naming the byte count when the size wraps, cannot
// be held now, or the allocation fails.
template <class T>
std::vector<T> allocate_product(std::initializer_list<SizeFactor> counts, std::string_view what) {
    std::vector<SizeFactor> factors(counts);
    factors.push_back(sizeof(T));
    const std::size_t bytes = check_total(factors, what);
    try {
        return std::vector<T>(bytes / sizeof(T));
    } catch (const std::bad_alloc&) {
        throw OutOfMemory(cannot_allocate(factors, what));
    }
}

}  // namespace tarnwick::base
