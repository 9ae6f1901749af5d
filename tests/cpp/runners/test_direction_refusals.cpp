// The batch items and the portfolio session refuse a direction other than 1 or -1, each
// with its own message.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runners/batch_single.h"
#include "runners/session/portfolio_session.h"

namespace tarnwick {
namespace {

struct RefusalCase {
    const char* meaning;
    std::int32_t direction;
    bool admitted;
};

class RunnerDirection : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RunnerDirection, BatchItemNamesItselfAndTheValue) {
    const RefusalCase& c = GetParam();
    const std::vector<std::uint8_t> flags{0, 1, 0};
    runners::batch_single::PreparedSingleItem item;
    item.item_id = "leg";
    item.entries = flags;
    item.exits = flags;
    item.direction = c.direction;
    const auto st = runners::batch_single::check_item(item, flags.size());
    if (c.admitted) {
        EXPECT_TRUE(st.ok());
    } else {
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().message(), "item 'leg': direction must be 1 (long) or -1 (short), got " +
                                            std::to_string(c.direction));
    }
}

TEST_P(RunnerDirection, PortfolioSessionGivesItsShortMessage) {
    const RefusalCase& c = GetParam();
    const auto oms = runners::PortfolioSession::check_instrument(c.direction, "netting", std::nullopt);
    if (c.admitted) {
        EXPECT_TRUE(oms.ok());
    } else {
        ASSERT_FALSE(oms.ok());
        EXPECT_EQ(oms.error().message(), "direction must be 1 or -1");
    }
}

INSTANTIATE_TEST_SUITE_P(Values, RunnerDirection,
                         ::testing::Values(RefusalCase{"long", 1, true}, RefusalCase{"short", -1, true},
                                           RefusalCase{"flat", 0, false}, RefusalCase{"three", 3, false},
                                           RefusalCase{"narrows_to_long", 257, false},
                                           RefusalCase{"narrows_to_short", -65537, false}),
                         [](const auto& info) { return std::string(info.param.meaning); });

}  // namespace
}  // namespace tarnwick
