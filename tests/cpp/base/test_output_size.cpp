#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "base/memory_fixtures.h"
#include "base/output_size.h"
#include "test_names.h"

using tarnwick::testing_support::AddressSpaceLimit;
using tarnwick::testing_support::available_bytes;
using tarnwick::testing_support::test_name;
using namespace tarnwick;
using namespace tarnwick::base;

namespace {

constexpr SizeFactor k2p31 = SizeFactor{1} << 31;
constexpr SizeFactor k2p40 = SizeFactor{1} << 40;
constexpr SizeFactor k2p63 = SizeFactor{1} << 63;
constexpr SizeFactor k2p64 = SizeFactor{1} << 64;
constexpr std::size_t kPtrdiffMax = std::numeric_limits<std::ptrdiff_t>::max();

struct ProductCase {
    const char* name;
    std::vector<SizeFactor> factors;
    std::size_t limit;
    std::optional<std::size_t> bytes;
};

class BoundedProduct : public testing::TestWithParam<ProductCase> {};

TEST_P(BoundedProduct, IsExactOrNothing) {
    const ProductCase& c = GetParam();
    EXPECT_EQ(bounded_product(c.factors, c.limit), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BoundedProduct,
    testing::Values(
        ProductCase{"small", {3, 4, 8}, kPtrdiffMax, 96},
        ProductCase{"a zero factor", {0, k2p64, 8}, kPtrdiffMax, 0},
        ProductCase{"at the limit", {5, 5}, 25, 25},
        ProductCase{"past the limit", {5, 5}, 24, std::nullopt},
        // 2^31 paths of 253 values: 2^31 x 253 x 8 = 4346506903552.
        ProductCase{"paths", {k2p31, 253, 8}, kPtrdiffMax, 4346506903552u},
        // 2^67 bytes: wraps 64 bits, not 128.
        ProductCase{"past 64 bits", {SizeFactor{1} << 32, SizeFactor{1} << 32, 8}, kPtrdiffMax, std::nullopt},
        // 2^130 bytes: wraps even 128 bits.
        ProductCase{"past 128 bits", {k2p63, k2p64, 8}, kPtrdiffMax, std::nullopt},
        ProductCase{"past a signed size", {k2p63}, std::numeric_limits<std::size_t>::max(), std::size_t{1} << 63}),
    [](const testing::TestParamInfo<ProductCase>& i) {
        std::string n = i.param.name;
        for (char& ch : n) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return n;
    });

struct TextCase {
    std::vector<SizeFactor> factors;
    const char* text;
};

class CannotAllocate : public testing::TestWithParam<TextCase> {};

TEST_P(CannotAllocate, NamesTheByteCount) {
    EXPECT_EQ(cannot_allocate(GetParam().factors, "the paths"), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CannotAllocate,
    testing::Values(
        TextCase{{k2p31, 253, 8}, "cannot allocate 4346506903552 bytes for the paths"},
        // 2^127, the largest power of two that 128 bits hold.
        TextCase{{k2p64, k2p63}, "cannot allocate 170141183460469231731687303715884105728 bytes for the paths"},
        // 2^130 is past 128 bits: the factors are named instead.
        TextCase{{k2p63, k2p64, 8},
                 "cannot allocate 9223372036854775808 x 18446744073709551616 x 8 bytes for the paths"},
        TextCase{{0, 8}, "cannot allocate 0 bytes for the paths"}),
    [](const auto& i) { return test_name(i.param.text); });

TEST(OutputSize, AllocatesTheProductZeroed) {
    const std::vector<double> v = allocate_product<double>({3, 4}, "a panel");
    EXPECT_EQ(v, std::vector<double>(12, 0.0));
}

// A result is compared with what the process can get now, not with the machine's RAM.
TEST(OutputSize, CheckTotalStopsAtWhatTheAddressSpaceLimitLeaves) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const AddressSpaceLimit limit(256 * kMiB);
    ASSERT_TRUE(limit.set());
    EXPECT_EQ(check_total({128 * kMiB}, "x"), 128 * kMiB);
    try {
        check_total({64 * kMiB, 8}, "the paths");
        ADD_FAILURE() << "a 512 MiB result passed a 256 MiB limit";
    } catch (const OutOfMemory& e) {
        EXPECT_EQ(std::string(e.what()), "cannot allocate 536870912 bytes for the paths");
    }
}

TEST(OutputSize, CheckTotalStopsAtWhatTheSystemReportsAvailable) {
    // No limit of the process's own: half a GiB past what the system reports available,
    // which RAM and swap together would still allow on a machine that is in use.
    const SizeFactor request = SizeFactor{available_bytes()} + (SizeFactor{1} << 29);
    EXPECT_THROW(check_total({request}, "x"), OutOfMemory);
}

TEST(OutputSize, SmallRequestsAreNotComparedWithWhatIsLeft) {
    // 4 MiB left: a request of kUncheckedBytes passes unread, one byte past it is refused.
    const AddressSpaceLimit limit(std::size_t{4} << 20);
    ASSERT_TRUE(limit.set());
    EXPECT_EQ(check_total({kUncheckedBytes}, "x"), kUncheckedBytes);
    EXPECT_THROW(check_total({SizeFactor{kUncheckedBytes} + 1}, "x"), OutOfMemory);
}

}  // namespace
