#include <gtest/gtest.h>

#include "base/output_size.h"
#include "runners/batch_output_size.h"

using namespace tarnwick;
using namespace tarnwick::base;

namespace {

TEST(OutputSize, BatchResultsAreCheckedBeforeTheItemsRun) {
    // 10^6 items over 10^5 bars: three curves of 8-byte values, 2.4 x 10^12 bytes.
    EXPECT_NO_THROW(runners::check_batch_output_size(1000, 1000));
    try {
        runners::check_batch_output_size(1'000'000, 100'000);
        ADD_FAILURE() << "accepted";
    } catch (const OutOfMemory& e) {
        EXPECT_STREQ(e.what(), "cannot allocate 2400000000000 bytes for the results of 1000000 items over 100000 bars");
    }
}

}  // namespace
