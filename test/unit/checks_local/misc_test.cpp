#include <gtest/gtest.h>
#include <unistd.h>

#include "check_world.h"
#include "checks/local/local_checks.h"
#include "fake_clock.h"

namespace ovik {
namespace {

using testsupport::capture_call;

TEST(Memory, PassingCallPrintsNothing) {
    const auto [result, out] = capture_call(testMEM);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "");
}

TEST(Dio, LibraryRefusesBadRequestsBeforeTheDriver) {
    DioLibrary dio;
    uint32_t value = 7;
    EXPECT_EQ(dio.dio_set_dout(0, 1), -3) << "before dio_init";
    EXPECT_EQ(dio.dio_get_din(0, &value), -3);
    EXPECT_EQ(dio.dio_init(0), 0);
    EXPECT_EQ(dio.dio_init(0), 0) << "again: at once";
    EXPECT_EQ(dio.dio_set_dout(4, 1), -2);
    EXPECT_EQ(dio.dio_set_dout(-1, 1), -2);
    EXPECT_EQ(dio.dio_set_dout(0, 2), -2);
    EXPECT_EQ(dio.dio_get_din(4, &value), -2);
    EXPECT_EQ(value, 7u) << "untouched on failure";
}

TEST(Dio, MissingDeviceFailsTheTest) {
    if (::access(DIO_DEVICE, F_OK) == 0) GTEST_SKIP() << DIO_DEVICE << " exists on this machine";
    const testsupport::FakeClock clock;  // the driver's settling pauses pass at once
    DioLibrary dio;
    const auto [result, out] = capture_call([&] { return testDIO(dio); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "Failed to get DIN state\n");
}

}  // namespace
}  // namespace ovik
