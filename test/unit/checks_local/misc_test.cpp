#include <gtest/gtest.h>

#include "base/console.h"
#include "checks/local/local_checks.h"

namespace ovik {
namespace {

TEST(Memory, PassingCallPrintsNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(testMEM(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// One test, since the library's initialised state lasts for the process.
TEST(Dio, LibraryChecksAndMissingDevice) {
    uint32_t value = 7;
    EXPECT_EQ(dio_set_dout(0, 1), -3) << "before dio_init";
    EXPECT_EQ(dio_get_din(0, &value), -3);
    EXPECT_EQ(dio_init(0), 0);
    EXPECT_EQ(dio_init(0), 0) << "again: at once";
    EXPECT_EQ(dio_set_dout(4, 1), -2);
    EXPECT_EQ(dio_set_dout(-1, 1), -2);
    EXPECT_EQ(dio_set_dout(0, 2), -2);
    EXPECT_EQ(dio_get_din(4, &value), -2);
    EXPECT_EQ(value, 7u) << "untouched on failure";
    if (::access(DIO_DEVICE, F_OK) == 0) GTEST_SKIP() << DIO_DEVICE << " exists on this machine";
    testing::internal::CaptureStdout();
    EXPECT_EQ(testDIO(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to get DIN state\n");
}

}  // namespace
}  // namespace ovik
