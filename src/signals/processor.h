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
#include "base/result.h"

namespace tarnwick::signals::processor {

// Signal columns are bytes: any non-zero byte is a set flag.
struct Flags {
    bool entry = false;
    bool exit = false;
};

// The processor one bar at a time, for loops that must not build whole columns.
class Stream {
public:
    Flags next(bool entry, bool exit) noexcept {
        if (!in_position_) {
            if (entry) {
                in_position_ = true;
                return {true, false};
            }
            return {};
        }
        if (exit && !entry) {
            in_position_ = false;
            return {false, true};
        }
        return {};
    }
    bool in_position() const noexcept { return in_position_; }

private:
    bool in_position_ = false;
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
