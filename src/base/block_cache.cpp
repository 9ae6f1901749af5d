#include "base/block_cache.h"

#include <bit>
#include <cstdlib>
#include <mutex>
#include <new>

#include "base/huge_pages.h"

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
                kept_bytes_ -= cls;
                return block;
            }
        }
        void* block = std::malloc(cls);
        if (block == nullptr) throw std::bad_alloc();
        advise_huge_pages(block, cls);
        return block;
    }

    void give(void* block, std::size_t bytes) noexcept {
        if (block == nullptr) return;
        // A size that cannot be the block's own (an owner that lost it) only frees it.
        if (bytes < kMinBytes) {
            std::free(block);
            return;
        }
        const std::size_t cls = size_class(bytes);
        {
            std::lock_guard lock(mutex_);
            if (kept_bytes_ + cls <= kMaxKeptBytes) {
                Link*& head = kept_[class_index(cls)];
                head = ::new (block) Link{head};
                kept_bytes_ += cls;
                return;
            }
        }
        std::free(block);
    }

    std::size_t kept_bytes() noexcept {
        std::lock_guard lock(mutex_);
        return kept_bytes_;
    }

private:
    std::mutex mutex_;
    Link* kept_[kClasses] = {};
    std::size_t kept_bytes_ = 0;
};

// Never destroyed: blocks may come back from objects that outlive static destruction.
Cache& cache() {
    static Cache* c = new Cache();
    return *c;
}

}  // namespace

void* take(std::size_t bytes) { return cache().take(bytes); }

void give(void* block, std::size_t bytes) noexcept { cache().give(block, bytes); }

std::size_t kept_bytes() noexcept { return cache().kept_bytes(); }

}  // namespace tarnwick::base::block_cache
