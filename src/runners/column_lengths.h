// How an array runner refuses a column whose length does not fit the run: the column by
// name, its length, and the column it was compared with ("high has 3 values, close has 5").
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "base/errors.h"
#include "base/format.h"
#include "base/result.h"
#include "runners/single_driver.h"

namespace tarnwick::runners {

inline base::OwnError length_mismatch(std::string_view column, std::size_t length, std::string_view reference,
                                      std::size_t expected) {
    return base::OwnError{base::fmt::format("{} has {} values, {} has {}", column, length, reference, expected)};
}

struct NamedLength {
    std::string_view column;
    std::size_t length;
};

// Every column, in the order given, must hold exactly as many values as `reference`.
inline base::Status<base::OwnError> same_lengths(std::initializer_list<NamedLength> columns, std::string_view reference,
                                                 std::size_t expected) {
    for (const NamedLength& c : columns) {
        if (c.length != expected) return base::err(length_mismatch(c.column, c.length, reference, expected));
    }
    return base::Unit{};
}

// A bar series' timestamps, open, high, low and volume, each as long as its closes.
inline base::Status<base::OwnError> columns_match_close(const single::BarSeries& b) {
    return same_lengths({{"timestamps", b.timestamps.size()},
                         {"open", b.open.size()},
                         {"high", b.high.size()},
                         {"low", b.low.size()},
                         {"volume", b.volume.size()}},
                        "close", b.close.size());
}

// `column` must hold at least as many values as `reference`; the rest is never read.
inline base::Status<base::OwnError> covers(std::string_view column, std::size_t length, std::string_view reference,
                                           std::size_t expected) {
    if (length < expected) return base::err(length_mismatch(column, length, reference, expected));
    return base::Unit{};
}

}  // namespace tarnwick::runners
