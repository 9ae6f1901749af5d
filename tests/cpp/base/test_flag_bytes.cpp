// Flag-byte columns read eight or sixteen bytes at a time: every byte value other than 0
// counts as set, on either side of a block boundary and in the tail after the last whole
// block.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/flag_bytes.h"

namespace tarnwick::base::flag_bytes {
namespace {

// 21 bytes: two whole words and a tail of five. Set bytes at 7 (0x80), 8 (0x01), 16
// (0xff), 20 (0x7f).
std::vector<std::uint8_t> column() {
    std::vector<std::uint8_t> c(21, 0);
    c[7] = 0x80;
    c[8] = 0x01;
    c[16] = 0xff;
    c[20] = 0x7f;
    return c;
}

struct FirstSetCase {
    std::string name;
    std::size_t from, to, want;
};

class FirstSet : public ::testing::TestWithParam<FirstSetCase> {};

TEST_P(FirstSet, FindsTheFirstSetByteInTheRange) {
    const FirstSetCase& c = GetParam();
    const auto bytes = column();
    EXPECT_EQ(first_set(bytes, c.from, c.to), c.want);
    // The same column as either side of a pair, the other side empty.
    const std::vector<std::uint8_t> none(bytes.size(), 0);
    EXPECT_EQ(first_set_in_either(bytes, none, c.from, c.to), c.want);
    EXPECT_EQ(first_set_in_either(none, bytes, c.from, c.to), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FirstSet,
    ::testing::Values(FirstSetCase{"HighBitInTheFirstWord", 0, 21, 7}, FirstSetCase{"LowBitAfterTheBoundary", 8, 21, 8},
                      FirstSetCase{"FromInsideAWord", 9, 21, 16}, FirstSetCase{"InTheTail", 17, 21, 20},
                      FirstSetCase{"RangeEndsBeforeTheSetByte", 9, 16, 16}, FirstSetCase{"EmptyRange", 5, 5, 5},
                      FirstSetCase{"NothingSetInTheRange", 1, 7, 7}),
    [](const auto& info) { return info.param.name; });

TEST(FlagBytes, FirstSetAgreesWithAByteByByteScanAcrossBlocks) {
    // One set byte of each value at each position of a column three blocks and a tail
    // long, searched from every start before it and from just after it.
    constexpr std::size_t kLength = 16 * 3 + 5;
    for (std::size_t at = 0; at < kLength; ++at) {
        for (const std::uint8_t value : {std::uint8_t{1}, std::uint8_t{0x7f}, std::uint8_t{0x80}, std::uint8_t{0xff}}) {
            std::vector<std::uint8_t> bytes(kLength, 0);
            bytes[at] = value;
            for (std::size_t from = 0; from <= at; ++from) {
                ASSERT_EQ(first_set(bytes, from, kLength), at) << "set at " << at << ", from " << from;
                ASSERT_EQ(first_set(bytes, from, at), at) << "range ending at the set byte, from " << from;
            }
            ASSERT_EQ(first_set(bytes, at + 1, kLength), kLength) << "from past the set byte " << at;
        }
    }
}

TEST(FlagBytes, EitherColumnMayHoldTheFirstSetByte) {
    std::vector<std::uint8_t> a(19, 0), b(19, 0);
    a[17] = 2;
    b[11] = 0x40;
    EXPECT_EQ(first_set_in_either(a, b, 0, 19), 11u);
    EXPECT_EQ(first_set_in_either(a, b, 12, 19), 17u);
}

TEST(FlagBytes, CopiesEveryByteValueAsZeroOrOne) {
    // Each value a word can hold in one byte position: 0 stays 0, all others become 1,
    // and no byte's carry reaches its neighbour.
    std::vector<std::uint8_t> src(256 + 3), want(src.size());
    for (std::size_t i = 0; i < src.size(); ++i) {
        src[i] = static_cast<std::uint8_t>(i % 256);
        want[i] = src[i] != 0 ? 1 : 0;
    }
    std::vector<std::uint8_t> out(src.size(), 9);
    copy_as_ones(src.data(), out.data(), src.size());
    EXPECT_EQ(out, want);
    copy_as_ones(src.data(), src.data(), src.size());  // in place
    EXPECT_EQ(src, want);
}

}  // namespace
}  // namespace tarnwick::base::flag_bytes
