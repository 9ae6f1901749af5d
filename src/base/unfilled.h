// Vectors whose `resize` leaves the new elements unwritten, as `new double[n]` does.
// Whoever grows one that way writes every element before reading it: filling megabytes
// with zeros first costs about as much as writing them, and it touches every page at
// once, so that a large output holds its memory before its last piece is even allocated.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarnwick::base {

// The construction an allocator offers in place of value-initialisation.
struct LeavesUnwritten {
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// std::allocator that leaves resized elements unwritten.
template <class T>
struct UnfilledAllocator : std::allocator<T>, LeavesUnwritten {
    using value_type = T;

    UnfilledAllocator() noexcept = default;
    template <class U>
    UnfilledAllocator(const UnfilledAllocator<U>&) noexcept {}
};

template <class T>
using Unfilled = std::vector<T, UnfilledAllocator<T>>;

}  // namespace tarnwick::base
