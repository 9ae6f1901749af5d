// The one interface behind every kind of bar aggregation: finer records go in one at a
// time, coarser bars come out when a boundary is crossed.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "data/aggregate/partial_bar.h"
#include "domain/bar.h"

namespace tarnwick::data::aggregate {

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
//
// Besides this interface every builder has a member template for whole runs of records,
//     feed(rows, begin, end, emit),
// which takes rows begin .. end - 1 of a row source (source_rows.h) and hands every bar
// they complete, in order, to `emit(const OhlcvBar&)`. Called on the concrete builder it
// keeps its state in registers for the whole run and reads only the columns it needs;
// push is feed over one record.
class BarBuilder {
public:
    virtual ~BarBuilder() = default;

    // The bar this record completed (Renko: the oldest brick waiting), if any.
    virtual std::optional<domain::OhlcvBar> push(const SourceRecord& record) = 0;
    // The bar in progress at end of data, if any.
    virtual std::optional<domain::OhlcvBar> flush() = 0;
    // A further bar completed by the last push and held back; only Renko has any.
    virtual std::optional<domain::OhlcvBar> next_pending() { return std::nullopt; }
};

// One record as a row source: every row asked for is that record.
struct OneRecord {
    const SourceRecord& r;

    bool present(std::size_t) const noexcept { return true; }
    std::int64_t timestamp(std::size_t) const noexcept { return r.timestamp; }
    double open(std::size_t) const noexcept { return r.open; }
    double high(std::size_t) const noexcept { return r.high; }
    double low(std::size_t) const noexcept { return r.low; }
    double close(std::size_t) const noexcept { return r.close; }
    double volume(std::size_t) const noexcept { return r.volume; }
    double signed_size(std::size_t) const noexcept { return r.signed_size; }
};

// The last row in [begin, end) that carries a record, if any.
template <class Rows>
std::optional<std::size_t> last_present(const Rows& rows, std::size_t begin, std::size_t end) {
    for (std::size_t i = end; i-- > begin;) {
        if (rows.present(i)) return i;
    }
    return std::nullopt;
}

// One record through a builder's feed: the bar it completed, if any (a builder other
// than Renko completes at most one bar per record).
template <class Builder>
std::optional<domain::OhlcvBar> push_one(Builder& builder, const SourceRecord& record) {
    std::optional<domain::OhlcvBar> out;
    builder.feed(OneRecord{record}, 0, 1, [&out](const domain::OhlcvBar& bar) { out = bar; });
    return out;
}

// The interface for a builder whose bars close on a running count; Derived gives
//     feed_as(bar, rows, begin, end, emit)     feed with the bar in progress in `bar`
//     flush_as(bar)                            end of data for the bar in `bar`
// where `bar` is the PartialBar in progress.
template <class Derived>
class CountingBarBuilder : public BarBuilder {
public:
    std::optional<domain::OhlcvBar> push(const SourceRecord& record) final {
        return push_one(static_cast<Derived&>(*this), record);
    }
    std::optional<domain::OhlcvBar> flush() final { return static_cast<Derived&>(*this).flush_as(partial_); }

    template <class Rows, class Emit>
    void feed(const Rows& rows, std::size_t begin, std::size_t end, Emit&& emit) {
        PartialBar bar = partial_;
        static_cast<Derived&>(*this).feed_as(bar, rows, begin, end, emit);
        partial_ = bar;
    }

private:
    PartialBar partial_;
};

}  // namespace tarnwick::data::aggregate
