#include "base/block_cache.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <mutex>
#include <new>

#include "base/huge_pages.h"
#include "base/memory_headroom.h"

namespace tarnwick::base::block_cache {

namespace {

// Size classes: eight steps per power of two, so a block is at most an eighth larger
// than asked for, and runs over equal-length data share one class.
std::size_t size_class(std::size_t bytes) noexcept {
    const unsigned top = static_cast<unsigned>(std::bit_width(bytes)) - 1;
    const std::size_t step = std::size_t{1} << (top - 3);
    return (bytes + step - 1) & ~(step - 1);
}

// A kept block holds the link to the next kept block of its class in its first bytes:
// keeping and taking blocks then needs no memory of its own, and give cannot fail.
struct Link {
    Link* next;
};

constexpr unsigned kFirstOctave = static_cast<unsigned>(std::bit_width(kMinBytes)) - 1;
constexpr std::size_t kClasses = (64 - kFirstOctave) * 8;

// A size class's place among the kept lists: eight per power of two from kMinBytes up.
std::size_t class_index(std::size_t cls) noexcept {
    const unsigned top = static_cast<unsigned>(std::bit_width(cls)) - 1;
    return (top - kFirstOctave) * 8 + ((cls >> (top - 3)) & 7);
}

// How long a reading of the memory the process can get stands as the cache's bound. A
// block that fits under the bound is kept while the reading is younger than
// kTrustReading; one that would pass it is freed while the reading is younger than
// kRecheckAfter, so that a burst of frees, as when a list of results goes, reads it once.
// The bound a burst goes by is the one read before it freed anything: lower, never
// higher, than what it should be.
constexpr std::chrono::steady_clock::duration kTrustReading = std::chrono::milliseconds(10);
constexpr std::chrono::steady_clock::duration kRecheckAfter = std::chrono::milliseconds(1);

class Cache {
public:
    void* take(std::size_t bytes) {
        const std::size_t cls = size_class(bytes);
        {
            std::lock_guard lock(mutex_);
            // The most recently kept block of the class: its pages are the likeliest to be
            // in cache and resident.
            Link*& head = kept_[class_index(cls)];
            if (head != nullptr) {
                Link* block = head;
                head = block->next;
                kept_bytes_.store(kept_bytes_.load(std::memory_order_relaxed) - cls, std::memory_order_relaxed);
                return block;
            }
        }
        void* block = std::malloc(cls);
        if (block == nullptr) {
            // What the cache keeps may be just what the request lacks.
            release();
            block = std::malloc(cls);
            if (block == nullptr) throw std::bad_alloc();
        }
        advise_huge_pages(block, cls);
        return block;
    }

    void give(void* block, std::size_t bytes) noexcept {
        if (block == nullptr) return;
        // A size that cannot be the block's own (an owner that lost it) only frees it.
        if (bytes < kMinBytes || kMaxKeptBytes == 0) {
            std::free(block);
            return;
        }
        const std::size_t cls = size_class(bytes);
        const std::size_t limit = bound(cls);
        {
            std::lock_guard lock(mutex_);
            const std::size_t kept = kept_bytes_.load(std::memory_order_relaxed);
            if (kept + cls <= limit) {
                Link*& head = kept_[class_index(cls)];
                head = ::new (block) Link{head};
                kept_bytes_.store(kept + cls, std::memory_order_relaxed);
                return;
            }
        }
        std::free(block);
    }

    void release() noexcept {
        Link* lists[kClasses];
        {
            std::lock_guard lock(mutex_);
            std::copy(std::begin(kept_), std::end(kept_), lists);
            std::fill(std::begin(kept_), std::end(kept_), nullptr);
            kept_bytes_.store(0, std::memory_order_relaxed);
            // Memory ran short: the next block given is weighed against a fresh reading.
            read_at_.store(kNever, std::memory_order_relaxed);
        }
        for (Link* block : lists) {
            while (block != nullptr) {
                Link* next = block->next;
                std::free(block);
                block = next;
            }
        }
    }

    std::size_t kept_bytes() noexcept { return kept_bytes_.load(std::memory_order_relaxed); }

private:
    // The most the cache may keep once a block of class `cls` is added: an eighth of what
    // the process can get, counting what the cache holds, and never above kMaxKeptBytes.
    std::size_t bound(std::size_t cls) noexcept {
        const std::size_t kept = kept_bytes_.load(std::memory_order_relaxed) + cls;
        if (kept > kMaxKeptBytes) return 0;
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        std::int64_t read_at = read_at_.load(std::memory_order_relaxed);
        const std::size_t standing = bound_.load(std::memory_order_relaxed);
        const auto age = std::chrono::steady_clock::duration(now - read_at);
        if (age < (kept <= standing ? kTrustReading : kRecheckAfter)) return standing;
        // One thread reads; the others go by the bound as it stands.
        if (!read_at_.compare_exchange_strong(read_at, now, std::memory_order_relaxed)) return standing;
        const std::size_t fresh = std::min(kMaxKeptBytes, memory_headroom() / 8 + kept_bytes() / 8);
        bound_.store(fresh, std::memory_order_relaxed);
        return fresh;
    }

    std::mutex mutex_;
    Link* kept_[kClasses] = {};
    // Changed under the mutex; read without it where a stale value only costs a block.
    std::atomic<std::size_t> kept_bytes_ = 0;
    std::atomic<std::size_t> bound_ = 0;
    // When bound_ was read (steady_clock ticks); kNever before the first reading.
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min() / 2;
    std::atomic<std::int64_t> read_at_ = kNever;
};

// Never destroyed: blocks may come back from objects that outlive static destruction.
Cache& cache() {
    static Cache* c = new Cache();
    return *c;
}

}  // namespace

void* take(std::size_t bytes) { return cache().take(bytes); }

void give(void* block, std::size_t bytes) noexcept { cache().give(block, bytes); }

void release() noexcept { cache().release(); }

std::size_t kept_bytes() noexcept { return cache().kept_bytes(); }

}  // namespace tarnwick::base::block_cache
