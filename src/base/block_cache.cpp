#include "base/block_cache.h"

#include <bit>
#include <cstdlib>
#include <mutex>
#include <vector>

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

struct Kept {
    std::size_t bytes;  // the block's size class
    void* block;
};

class Cache {
public:
    void* take(std::size_t bytes) {
        const std::size_t cls = size_class(bytes);
        {
            std::lock_guard lock(mutex_);
            // The most recently kept block of the class: its pages are the likeliest to be
            // in cache and resident.
            for (std::size_t i = kept_.size(); i-- > 0;) {
                if (kept_[i].bytes == cls) {
                    void* block = kept_[i].block;
                    kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
                    kept_bytes_ -= cls;
                    return block;
                }
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
            if (kept_bytes_ + cls <= kMaxKeptBytes && kept_.size() < kept_.capacity()) {
                kept_.push_back({cls, block});
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

    // Room for every block the bound can hold, reserved once, so keeping a block never
    // allocates (give must not fail).
    Cache() { kept_.reserve(kMaxKeptBytes / kMinBytes + 1); }

private:
    std::mutex mutex_;
    std::vector<Kept> kept_;
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
