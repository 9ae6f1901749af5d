// Turning a strategy's raw entry and exit columns into the effective signals of a
// strategy that holds at most one position at a time.
//
// While flat, a raw entry opens (an exit on the same bar is ignored). While holding, a raw
// exit closes unless the same bar also carries a raw entry. So effective entries and exits
// alternate, start with an entry, and never share a bar. The state follows the signals
// only: a position the engine closes on a stop or target does not make the processor
// flat, and entries stay ignored until the next raw exit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/errors.h"
#include "base/flag_bytes.h"
#include "base/result.h"

namespace tarnwick::signals::processor {

// Signal columns are bytes: any non-zero byte is a set flag.
struct Flags {
    bool entry = false;
    bool exit = false;
};

// Whether a bar's raw flags change the processor's state: while flat an entry opens, while
// holding an exit closes unless the bar also carries an entry.
constexpr bool flips(bool holding, bool entry, bool exit) noexcept { return holding ? exit && !entry : entry; }

// The processor one bar at a time, for loops that must not build whole columns.
class Stream {
public:
    Flags next(bool entry, bool exit) noexcept {
        if (!flips(in_position_, entry, exit)) return {};
        in_position_ = !in_position_;
        return {in_position_, !in_position_};
    }
    bool in_position() const noexcept { return in_position_; }

private:
    bool in_position_ = false;
};

// The processor's effective signals one after another, found by jumping between the bars
// that can change its state (while flat the next raw entry, while holding the next raw exit
// without an entry) instead of visiting every bar. Both columns have the same length.
class Cursor {
public:
    struct Signal {
        std::size_t bar;  // the columns' length when there is none left
        bool entry;
    };

    Cursor(std::span<const std::uint8_t> entries, std::span<const std::uint8_t> exits) noexcept
        : entries_(entries), exits_(exits) {}

    Signal next() noexcept {
        const std::size_t n = entries_.size();
        for (;;) {
            const std::size_t at = base::flag_bytes::first_set(holding_ ? exits_ : entries_, from_, n);
            if (at == n) {
                from_ = n;
                return {n, !holding_};
            }
            from_ = at + 1;
            // The side's own flag is set at `at`, so only the other one can hold the flip back.
            if (flips(holding_, entries_[at] != 0, exits_[at] != 0)) {
                holding_ = !holding_;
                return {at, holding_};
            }
        }
    }

private:
    std::span<const std::uint8_t> entries_;
    std::span<const std::uint8_t> exits_;
    std::size_t from_ = 0;
    bool holding_ = false;
};

struct Processed {
    std::vector<std::uint8_t> entries;  // 0 or 1 per bar
    std::vector<std::uint8_t> exits;
};

// Error: the two columns differ in length ("Entry and exit arrays must have same length").
base::Status<base::OwnError> check_lengths(std::size_t entries, std::size_t exits);

// Both columns processed in one sweep into two new columns of the input's length.
base::Result<Processed, base::OwnError> process(std::span<const std::uint8_t> entries,
                                                std::span<const std::uint8_t> exits);

// The same signals as the bars they fall on, in order: since they alternate and start with
// an entry, the bars at even positions are entries and those at odd positions exits.
base::Result<std::vector<std::size_t>, base::OwnError> signal_bars(std::span<const std::uint8_t> entries,
                                                                   std::span<const std::uint8_t> exits);

}  // namespace tarnwick::signals::processor
