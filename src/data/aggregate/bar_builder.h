// The one interface behind every kind of bar aggregation: finer records go in one at a
// time, coarser bars come out when a boundary is crossed.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/bar.h"

namespace tarnwick::aggregate {

// One finer record: a bar, or a trade print pushed with open = high = low = close =
// price and volume = size.
struct SourceRecord {
    std::int64_t timestamp = 0;  // nanoseconds since the Unix epoch
    double open = 0.0;
    double high = 0.0;
    double low = 0.0;
    double close = 0.0;
    double volume = 0.0;
    double signed_size = 0.0;  // buy-initiated minus sell-initiated volume; 0.0 = unknown
};

// Records are expected in ascending time order; no builder checks it, and none fails on
// any value (NaN passes through). Only a Renko builder allocates, for its brick queue.
class BarBuilder {
public:
    virtual ~BarBuilder() = default;

    // The bar this record completed (Renko: the oldest brick waiting), if any.
    virtual std::optional<OhlcvBar> push(const SourceRecord& record) = 0;
    // The bar in progress at end of data, if any.
    virtual std::optional<OhlcvBar> flush() = 0;
    // A further bar completed by the last push and held back; only Renko has any.
    virtual std::optional<OhlcvBar> next_pending() { return std::nullopt; }
};

// The bar being built by a builder that keeps one. The first record sets all five
// values; later ones widen the range (a NaN on one side is ignored), replace the close
// and add their volume. Open never changes.
class PartialBar {
public:
    bool active() const noexcept { return active_; }

    void absorb(const SourceRecord& r) noexcept {
        if (!active_) {
            bar_ = {r.timestamp, r.open, r.high, r.low, r.close, r.volume};
            active_ = true;
            return;
        }
        bar_.high = std::fmax(bar_.high, r.high);
        bar_.low = std::fmin(bar_.low, r.low);
        bar_.close = r.close;
        bar_.volume += r.volume;
    }

    // Ends the bar, stamped `timestamp`; none when no bar was in progress.
    std::optional<OhlcvBar> take(std::int64_t timestamp) noexcept {
        if (!active_) return std::nullopt;
        active_ = false;
        OhlcvBar out = bar_;
        out.timestamp = timestamp;
        return out;
    }

private:
    OhlcvBar bar_;
    bool active_ = false;
};

// The bar of one clock bucket, for builders whose bars are buckets of time: a record in
// any other bucket, earlier or later, ends the bar in progress and opens the next.
template <class Bucket>
class BucketBar {
public:
    // The bucket just ended with its bar (whose stamp the caller sets), if this record
    // ended one.
    std::optional<std::pair<Bucket, PartialBar>> absorb(Bucket bucket, const SourceRecord& r) noexcept {
        std::optional<std::pair<Bucket, PartialBar>> done;
        if (partial_.active() && bucket != bucket_) {
            done.emplace(bucket_, partial_);
            partial_ = PartialBar{};
        }
        bucket_ = bucket;
        partial_.absorb(r);
        return done;
    }

    // The bar in progress with its bucket; the builder is empty afterwards.
    std::optional<std::pair<Bucket, PartialBar>> take() noexcept {
        if (!partial_.active()) return std::nullopt;
        std::pair<Bucket, PartialBar> done{bucket_, partial_};
        partial_ = PartialBar{};
        bucket_ = Bucket{};
        return done;
    }

private:
    Bucket bucket_{};  // meaningful while partial_ is active
    PartialBar partial_;
};

}  // namespace tarnwick::aggregate
