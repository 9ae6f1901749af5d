// A value stepped by the same amount many times, each step rounded as a double addition
// rounds it: `for (n times) x = x + step;` without taking n steps. Where only the end of
// such a walk matters (where a Renko anchor lands after thousands of bricks), the walk's
// own rounding must be kept to the bit, which x + n * step does not do.
#pragma once

#include <cstdint>

namespace tarnwick::base {

// x after n additions of step, bit for bit, in time that grows with the number of
// binades the walk passes through, not with n. Round-to-nearest, as the engine runs.
double repeated_sum(double x, double step, std::uint64_t n) noexcept;

}  // namespace tarnwick::base
