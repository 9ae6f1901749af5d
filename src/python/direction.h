// A trade direction given from Python: 1 for long, -1 for short (the rule is the domain's).
#pragma once

#include <cstdint>

#include "base/errors.h"
#include "base/result.h"
#include "domain/direction.h"
#include "python/entry.h"

namespace tarnwick::python {

// Anything else is refused with "direction must be 1 (long) or -1 (short), got {}".
inline base::Result<std::int8_t, base::OwnError> direction_of(std::int32_t direction) {
    return domain::checked_direction(direction);
}

// The same refusal raised as ValueError.
inline std::int8_t checked_direction(std::int32_t direction) { return unwrap(direction_of(direction)); }

}  // namespace tarnwick::python
