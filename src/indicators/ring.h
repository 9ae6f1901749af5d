// Window storage of the indicators. Windows are given by periods that callers may set
// arbitrarily large, so storage is sized by the data actually seen: a ring that starts
// small and doubles when full, never beyond what the window has held.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/fault.h"

namespace tarnwick::indicators {

// Double-ended queue over a power-of-two circular buffer; oldest element at the front.
template <class T>
class Ring {
public:
    Ring() = default;
    // Room for `hint` elements up front (rounded up to a power of two, capped) so that
    // typical windows never reallocate after construction.
    explicit Ring(std::uint64_t hint) { reserve(hint); }

    void reserve(std::uint64_t hint) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(hint, kMaxInitialRoom));
        if (want > buf_.size()) regrow(want);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    void clear() noexcept { head_ = size_ = 0; }

    // i-th element from the front.
    const T& operator[](std::size_t i) const {
        base::check_index(i, size_);
        return buf_[(head_ + i) & mask()];
    }
    const T& front() const { return (*this)[0]; }
    const T& back() const { return (*this)[size_ - 1]; }

    void push_back(const T& v) {
        if (size_ == buf_.size()) regrow(size_ + 1);
        buf_[(head_ + size_) & mask()] = v;
        ++size_;
    }
    T pop_front() {
        if (size_ == 0) base::fault("pop_front on an empty ring");
        T v = buf_[head_];
        head_ = (head_ + 1) & mask();
        --size_;
        return v;
    }
    void pop_back() {
        if (size_ == 0) base::fault("pop_back on an empty ring");
        --size_;
    }

private:
    static constexpr std::uint64_t kMaxInitialRoom = 1024;

    std::size_t mask() const noexcept { return buf_.size() - 1; }

    // Moves the contents, oldest first, into a buffer of at least `want` slots.
    void regrow(std::size_t want) {
        std::size_t cap = 8;
        while (cap < want) cap *= 2;
        std::vector<T> next(cap);
        for (std::size_t i = 0; i < size_; ++i) next[i] = buf_[(head_ + i) & mask()];
        buf_ = std::move(next);
        head_ = 0;
    }

    std::vector<T> buf_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

// Extreme (maximum or minimum) of a sliding window in amortised constant time. Values
// are pushed with increasing sequence numbers; NaN values are never candidates. Among
// equal values the newest one is kept, or the oldest with kKeepOldest (this matters only
// for the sign of a zero extreme).
template <bool kMax, bool kKeepOldest = false>
class MonotonicWindow {
public:
    MonotonicWindow() = default;
    explicit MonotonicWindow(std::uint64_t hint) : ring_(hint) {}

    void clear() noexcept { ring_.clear(); }

    void push(std::uint64_t seq, double v) {
        if (v != v) return;
        while (!ring_.empty() && !beats(ring_.back().value, v)) ring_.pop_back();
        ring_.push_back({seq, v});
    }
    // Drops candidates older than `first_seq`, the first sequence number still in the window.
    void expire_before(std::uint64_t first_seq) {
        while (!ring_.empty() && ring_.front().seq < first_seq) ring_.pop_front();
    }
    bool empty() const noexcept { return ring_.empty(); }
    double best() const { return ring_.front().value; }

private:
    struct Entry {
        std::uint64_t seq = 0;
        double value = 0.0;
    };
    // Whether an older candidate survives the arrival of a newer value.
    static bool beats(double older, double newer) {
        if constexpr (kKeepOldest) return kMax ? older >= newer : older <= newer;
        return kMax ? older > newer : older < newer;
    }

    Ring<Entry> ring_;
};

}  // namespace tarnwick::indicators
