// Large buffers recycled inside the process.
//
// A run's curves are megabytes each and live as long as the caller keeps its result.
// Given back to malloc, blocks of that size go back to the system (the heap is trimmed or
// the mapping dropped) and the next run faults its pages in again, zeroed, a few KiB at a
// time; with many runs at once on the worker pool, the heap shrinking and growing under
// them serialises the workers on the address space, and most of a batch is spent there.
// Freed blocks are kept instead, up to a bound, and handed to the next request of the
// same size class. What the cache keeps is memory that NumPy and the rest of the process
// cannot have, so the bound is a small share of what the process can get, and the cache
// lets go of everything as soon as memory runs short.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "base/unfilled.h"

namespace tarnwick::base {

namespace block_cache {

// Requests below this go straight to operator new. Above it glibc hands freed space at the
// top of a heap back to the system (its trim threshold is 128 KiB), so that even the curves
// of a few thousand bars would be faulted in afresh on every run of a batch.
inline constexpr std::size_t kMinBytes = std::size_t{32} << 10;
// At most this much is kept while unused, and never more than an eighth of what the
// process can get (memory_headroom, with what the cache itself holds); beyond it freed
// blocks go back to the system. Under AddressSanitizer nothing is kept, so that a read
// of a freed curve is still caught.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t kMaxKeptBytes = 0;
#else
inline constexpr std::size_t kMaxKeptBytes = std::size_t{512} << 20;
#endif

// A block of at least `bytes` (>= kMinBytes), aligned for any scalar. When the system
// has none, every kept block is given back and the request tried once more; throws
// std::bad_alloc when that fails too.
void* take(std::size_t bytes);
// Returns a block from `take` with the same `bytes`; a block given with fewer than
// kMinBytes is only freed.
void give(void* block, std::size_t bytes) noexcept;
// Gives every kept block back to the system: after a call that ran out of memory, so
// that what it freed is there for whatever comes next.
void release() noexcept;
// Bytes currently kept for reuse.
std::size_t kept_bytes() noexcept;

}  // namespace block_cache

// std::allocator with large requests served by the block cache. Elements added without
// a value (`resize`) are left unwritten (base/unfilled.h): whoever grows a curve that way
// writes every element before reading it.
template <class T>
struct CachedAllocator : LeavesUnwritten {
    using value_type = T;

    CachedAllocator() noexcept = default;
    template <class U>
    CachedAllocator(const CachedAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < block_cache::kMinBytes) return static_cast<T*>(::operator new(bytes));
        return static_cast<T*>(block_cache::take(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < block_cache::kMinBytes) {
            ::operator delete(p);
        } else {
            block_cache::give(p, bytes);
        }
    }

    template <class U>
    bool operator==(const CachedAllocator<U>&) const noexcept {
        return true;
    }
};

// A run's per-bar series.
using Curve = std::vector<double, CachedAllocator<double>>;

}  // namespace tarnwick::base
