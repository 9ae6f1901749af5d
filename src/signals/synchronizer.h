// Merging the raw signals of a basket's instruments into one entry column and one exit
// column by a vote, so the basket enters and leaves all its instruments together.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::signals::synchronizer {

// With n instruments and c of them signalling at a bar, and m = n - n / 2 (n / 2 rounded
// up):
//   All:      enter when c = n, leave when c >= 1
//   Any:      enter when c >= 1, leave when c = n
//   Majority: both when c >= m (half of an even basket suffices)
//   Master:   the first instrument's own columns
enum class SyncMode : std::uint8_t { All = 0, Any = 1, Majority = 2, Master = 3 };

// Exact, case-sensitive: "any", "majority", "master"; every other text is All.
SyncMode parse(std::string_view text) noexcept;
std::string_view name(SyncMode mode) noexcept;

struct Combined {
    std::vector<std::uint8_t> entries;  // the entry columns' length, 0 or 1 per bar
    std::vector<std::uint8_t> exits;    // the exit columns' length
};

// One entry and one exit column per instrument, in basket order (at least one). Error
// "All signal arrays must have same length" when a column's length differs from the first
// column of its kind; the entry columns are checked first. Entry and exit lengths are not
// compared with each other.
base::Result<Combined, base::OwnError> synchronize(std::span<const std::span<const std::uint8_t>> entries,
                                                   std::span<const std::span<const std::uint8_t>> exits, SyncMode mode);

}  // namespace tarnwick::signals::synchronizer
