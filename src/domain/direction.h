// A position's direction as callers give it: 1 for long, -1 for short, nothing else.
#pragma once

#include <cstdint>
#include <optional>

#include "base/errors.h"
#include "base/result.h"

namespace tarnwick::domain {

// The direction `value` names, or none when it is neither 1 nor -1.
constexpr std::optional<std::int8_t> direction_of(std::int32_t value) noexcept {
    if (value != 1 && value != -1) return std::nullopt;
    return static_cast<std::int8_t>(value);
}

// The same rule with its usual refusal, "direction must be 1 (long) or -1 (short), got
// {value}", which callers that name the item it belongs to lead with that name.
base::Result<std::int8_t, base::OwnError> checked_direction(std::int32_t value);

}  // namespace tarnwick::domain
