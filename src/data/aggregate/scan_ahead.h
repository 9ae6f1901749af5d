// A one-pass scan over rows that the worker pool keeps fed: the rows are cut into
// blocks; the pool works out each block's scan inputs (a few compact values per row,
// derived from the input alone) into one of a ring of slots a few blocks ahead of the
// scan; the calling thread scans the blocks in order from those slots; and as each
// block is scanned the pool does what follows from it.
//
// The scan reads one core's worth of memory; read from the slots, which sit in cache, it
// runs at the speed of its own arithmetic rather than at one core's share of memory,
// while the pool reads the wide input columns.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "base/block_cache.h"
#include "base/pool.h"

namespace tarnwick::data::aggregate::fed_scan {

// Rows [begin, end) of block b of `blocks` blocks of `rows` rows over rows 0 .. n - 1.
struct Blocks {
    std::size_t n = 0;
    std::size_t rows = 1;

    std::size_t count() const noexcept { return n == 0 ? 0 : (n - 1) / rows + 1; }
    std::size_t begin(std::size_t b) const noexcept { return b * rows; }
    std::size_t end(std::size_t b) const noexcept { return std::min(n, (b + 1) * rows); }
};

// Arrays of a slot, cut one after another from the memory of the whole ring (taken from
// the process's block cache, so that a call does not fault fresh pages in). bytes<T>(n)
// is what take<T>(n) uses up.
class Carver {
public:
    explicit Carver(std::byte* at) noexcept : at_(at) {}

    template <class T>
    static constexpr std::size_t bytes(std::size_t n) noexcept {
        return (n * sizeof(T) + kAlign - 1) / kAlign * kAlign;
    }
    // Storage for n values of T, not yet written (T must be an implicit-lifetime type).
    template <class T>
    T* take(std::size_t n) noexcept {
        T* p = reinterpret_cast<T*>(at_);
        at_ += bytes<T>(n);
        return p;
    }

private:
    static constexpr std::size_t kAlign = 64;  // a cache line: slots written by different workers share none
    std::byte* at_;
};

// Slots a block's inputs wait in: enough for the pool to keep well ahead of the scan
// (at least kSlots), few enough that they stay in cache (kSlotBytes together). Where a
// block's inputs are small, every block gets a slot of its own and the pool prepares
// them all at once, as it does work that is cut into parts.
inline constexpr std::size_t kSlots = 16;
inline constexpr std::size_t kSlotBytes = std::size_t{4} << 20;
inline std::size_t slots_for(std::size_t bytes_per_slot) noexcept {
    return std::max(kSlots, kSlotBytes / std::max<std::size_t>(bytes_per_slot, 1));
}

inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Runs, for every block b in order,
//     prepare(b, slot)   on the pool (or here, when no worker has taken it up yet),
//     scan(b, slot)      on the calling thread, once the slot is prepared (it may
//                        change the slot),
//     after(b)           on the pool, once block b is scanned,
// where `slot` is a Slot(blocks.rows, carver), of Slot::bytes(blocks.rows) bytes, reused
// for blocks `slots` apart. prepare must not throw: the scan waits for it. Returns when
// every call has finished.
template <class Slot, class Prepare, class Scan, class After>
void pipeline(const Blocks& blocks, std::size_t slots, Prepare&& prepare, Scan&& scan, After&& after) {
    const std::size_t count = blocks.count();
    if (count == 0) return;
    const std::size_t ring = std::clamp<std::size_t>(slots, 1, count);
    std::vector<std::byte, base::CachedAllocator<std::byte>> memory(ring * Slot::bytes(blocks.rows));
    Carver carver(memory.data());
    std::vector<Slot> slot;
    slot.reserve(ring);
    for (std::size_t k = 0; k < ring; ++k) slot.emplace_back(blocks.rows, carver);
    // Per block: 0 waiting, 1 being prepared, 2 prepared.
    const std::unique_ptr<std::atomic<std::uint8_t>[]> state(new std::atomic<std::uint8_t>[count]);
    for (std::size_t b = 0; b < count; ++b) state[b].store(0, std::memory_order_relaxed);
    auto fill = [&](std::size_t b) {
        std::uint8_t waiting = 0;
        if (!state[b].compare_exchange_strong(waiting, 1, std::memory_order_acquire)) return;
        prepare(b, slot[b % ring]);
        state[b].store(2, std::memory_order_release);
    };
    // Tasks 0 .. count - 1 prepare a block, count .. 2 count - 1 follow one up.
    base::pool::run_alongside(
        [&](auto&& start) {
            for (std::size_t b = 0; b < ring; ++b) start(b);
            for (std::size_t b = 0; b < count; ++b) {
                fill(b);
                // While a worker prepares block b, the scan prepares blocks after it that
                // no worker has taken up yet (their slots are free), rather than wait.
                std::size_t next = b + 1;
                for (unsigned spins = 0; state[b].load(std::memory_order_acquire) != 2;) {
                    while (next < std::min(count, b + ring) && state[next].load(std::memory_order_relaxed) != 0) ++next;
                    if (next < std::min(count, b + ring)) {
                        fill(next);
                    } else if (++spins % 64 != 0) {
                        spin_pause();
                    } else {
                        std::this_thread::yield();  // the worker may be waiting for a core
                    }
                }
                scan(b, slot[b % ring]);
                start(count + b);
                if (b + ring < count) start(b + ring);
            }
        },
        [&](std::size_t task) {
            if (task < count) {
                fill(task);
            } else {
                after(task - count);
            }
        });
}

}  // namespace tarnwick::data::aggregate::fed_scan
