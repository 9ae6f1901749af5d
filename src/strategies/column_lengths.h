// How an array runner refuses a column whose length does not fit the run: the column by
// name, its length, and the column it was compared with ("high has 3 values, close has 5").
#pragma once

#include <cstddef>
#include <string_view>

#include "core/errors.h"
#include "core/format.h"
#include "core/result.h"

namespace tarnwick::strategies {

inline OwnError length_mismatch(std::string_view column, std::size_t length, std::string_view reference,
                                std::size_t expected) {
    return OwnError{fmt::format("{} has {} values, {} has {}", column, length, reference, expected)};
}

// `column` must hold exactly as many values as `reference`.
inline Status<OwnError> same_length(std::string_view column, std::size_t length, std::string_view reference,
                                    std::size_t expected) {
    if (length != expected) return err(length_mismatch(column, length, reference, expected));
    return Unit{};
}

// `column` must hold at least as many values as `reference`; the rest is never read.
inline Status<OwnError> covers(std::string_view column, std::size_t length, std::string_view reference,
                               std::size_t expected) {
    if (length < expected) return err(length_mismatch(column, length, reference, expected));
    return Unit{};
}

}  // namespace tarnwick::strategies
