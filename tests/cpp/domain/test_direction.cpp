// A direction is 1 or -1 as given: no other integer names one, however it would narrow.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "domain/direction.h"

namespace tarnwick {
namespace {

using domain::checked_direction;
using domain::direction_of;

struct DirectionCase {
    const char* meaning;
    std::int32_t value;
    std::optional<std::int8_t> direction;
};

class DomainDirection : public ::testing::TestWithParam<DirectionCase> {};

TEST_P(DomainDirection, OnlyOneAndMinusOneNameADirection) {
    const DirectionCase& c = GetParam();
    EXPECT_EQ(direction_of(c.value), c.direction);
    const auto checked = checked_direction(c.value);
    if (c.direction) {
        ASSERT_TRUE(checked.ok());
        EXPECT_EQ(checked.value(), *c.direction);
    } else {
        ASSERT_FALSE(checked.ok());
        EXPECT_EQ(checked.error().message(),
                  "direction must be 1 (long) or -1 (short), got " + std::to_string(c.value));
    }
}

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Values, DomainDirection,
    ::testing::Values(DirectionCase{"long", 1, std::int8_t{1}}, DirectionCase{"short", -1, std::int8_t{-1}},
                      DirectionCase{"flat", 0, std::nullopt}, DirectionCase{"two", 2, std::nullopt},
                      DirectionCase{"minus_two", -2, std::nullopt},
                      // 257 and -255 narrow to 1 as eight bits, 255 to -1.
                      DirectionCase{"narrows_to_long", 257, std::nullopt},
                      DirectionCase{"negative_narrows_to_long", -255, std::nullopt},
                      DirectionCase{"narrows_to_short", 255, std::nullopt},
                      DirectionCase{"lowest", kMin, std::nullopt}, DirectionCase{"highest", kMax, std::nullopt}),
    [](const auto& info) { return std::string(info.param.meaning); });

}  // namespace
}  // namespace tarnwick
