#include "domain/direction.h"

#include "base/format.h"

namespace tarnwick::domain {

base::Result<std::int8_t, base::OwnError> checked_direction(std::int32_t value) {
    if (const std::optional<std::int8_t> d = direction_of(value)) return *d;
    return base::err(base::OwnError{base::fmt::format("direction must be 1 (long) or -1 (short), got {}", value)});
}

}  // namespace tarnwick::domain
