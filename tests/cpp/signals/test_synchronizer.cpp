#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "signals/synchronizer.h"

using namespace tarnwick;
using signals::synchronizer::SyncMode;

namespace {

using Col = std::vector<std::uint8_t>;

struct VoteCase {
    std::string name;
    SyncMode mode;
    std::vector<Col> entries, exits;
    Col want_entries, want_exits;
};

std::vector<std::span<const std::uint8_t>> spans(const std::vector<Col>& cols) {
    return {cols.begin(), cols.end()};
}

class SyncVote : public ::testing::TestWithParam<VoteCase> {};

TEST_P(SyncVote, CombinesByTheModesRule) {
    const VoteCase& c = GetParam();
    auto r = signals::synchronizer::synchronize(spans(c.entries), spans(c.exits), c.mode);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().entries, c.want_entries);
    EXPECT_EQ(r.value().exits, c.want_exits);
}

// Columns are bars left to right; each case counts 0..n instruments set per bar.
INSTANTIATE_TEST_SUITE_P(
    Modes, SyncVote,
    ::testing::Values(
        // One instrument: every mode returns its own columns (non-zero bytes become 1).
        VoteCase{"one_all", SyncMode::All, {{1, 0, 2}}, {{0, 1, 0}}, {1, 0, 1}, {0, 1, 0}},
        VoteCase{"one_any", SyncMode::Any, {{1, 0, 2}}, {{0, 1, 0}}, {1, 0, 1}, {0, 1, 0}},
        VoteCase{"one_majority", SyncMode::Majority, {{1, 0, 2}}, {{0, 1, 0}}, {1, 0, 1}, {0, 1, 0}},
        VoteCase{"one_master", SyncMode::Master, {{1, 0, 2}}, {{0, 1, 0}}, {1, 0, 1}, {0, 1, 0}},
        // Two, majority: one of two is enough both ways.
        VoteCase{"two_majority", SyncMode::Majority, {{1, 0, 1}, {0, 0, 1}}, {{0, 1, 0}, {0, 0, 0}}, {1, 0, 1},
                 {0, 1, 0}},
        // Three, majority: two of three needed (0, 1, 2, 3 set per bar).
        VoteCase{"three_majority", SyncMode::Majority, {{0, 1, 1, 1}, {0, 0, 1, 1}, {0, 0, 0, 1}},
                 {{0, 1, 1, 1}, {0, 0, 1, 1}, {0, 0, 0, 1}}, {0, 0, 1, 1}, {0, 0, 1, 1}},
        // Four, all: entry needs all four; one exit leaves.
        VoteCase{"four_all", SyncMode::All, {{1, 1, 0}, {1, 1, 0}, {1, 1, 0}, {1, 0, 0}},
                 {{0, 0, 1}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, {1, 0, 0}, {0, 0, 1}},
        // Four, any: one entry enters; leaving needs all four on one bar.
        VoteCase{"four_any", SyncMode::Any, {{0, 1, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
                 {{1, 1, 1}, {1, 1, 1}, {1, 0, 1}, {1, 1, 1}}, {0, 1, 0}, {1, 0, 1}},
        // Four, majority: exactly half (2 of 4) suffices.
        VoteCase{"four_majority", SyncMode::Majority, {{1, 1}, {1, 0}, {0, 0}, {0, 0}},
                 {{1, 0}, {0, 0}, {0, 0}, {0, 0}}, {1, 0}, {0, 0}},
        // Master whose first instrument never signals: nothing, whatever the others do.
        VoteCase{"master_silent", SyncMode::Master, {{0, 0}, {1, 1}}, {{0, 0}, {1, 1}}, {0, 0}, {0, 0}},
        // Zero-length columns give empty results.
        VoteCase{"empty", SyncMode::All, {{}, {}}, {{}, {}}, {}, {}},
        // Exits of a common length unlike the entries': no complaint here.
        VoteCase{"exit_length_differs", SyncMode::Any, {{1, 0, 0}}, {{0, 1}}, {1, 0, 0}, {0, 1}}),
    [](const auto& info) { return info.param.name; });

TEST(SyncParse, OnlyExactLowerCaseNamesSelectAMode) {
    using signals::synchronizer::parse;
    EXPECT_EQ(parse("all"), SyncMode::All);
    EXPECT_EQ(parse("any"), SyncMode::Any);
    EXPECT_EQ(parse("majority"), SyncMode::Majority);
    EXPECT_EQ(parse("master"), SyncMode::Master);
    for (const char* text : {"ALL", "Any", "", "master ", "vote"}) EXPECT_EQ(parse(text), SyncMode::All) << text;
}

TEST(SyncLengths, EntryColumnsAreCheckedBeforeExitColumns) {
    const std::vector<Col> ok{{1, 0}, {0, 1}};
    const std::vector<Col> bad{{1, 0}, {0}};
    for (const auto& [entries, exits] : {std::pair{bad, ok}, std::pair{ok, bad}, std::pair{bad, bad}}) {
        auto r = signals::synchronizer::synchronize(spans(entries), spans(exits), SyncMode::Master);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message().rfind("All signal arrays must have same length", 0), 0u);
    }
}

}  // namespace
