// A trade direction given from Python: 1 for long, -1 for short (the rule is the domain's).
#pragma once

#include <cstdint>

#include "domain/direction.h"
#include "python/entry.h"

namespace tarnwick::python {

// Anything else is refused with ValueError("direction must be 1 (long) or -1 (short), got {}").
inline std::int8_t checked_direction(std::int32_t direction) { return unwrap(domain::checked_direction(direction)); }

}  // namespace tarnwick::python
