// The clock layer against a real RTC driver. Runs only inside the virtual test machine
// (OVIK_VM=1): a development machine's own hardware clock is never written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "base/unique_fd.h"
#include "output_capture.h"
#include "platform/rtc.h"

namespace ovik {
namespace {

using testsupport::OutputCapture;

class RealRtc : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* vm = std::getenv("OVIK_VM");
        if (vm == nullptr || std::string(vm) != "1")
            GTEST_SKIP() << "needs the virtual test machine";
        if (::access("/dev/rtc0", F_OK) != 0) GTEST_SKIP() << "no /dev/rtc0 in this machine";
        ::setenv("TZ", "CST-8", 1);
        ::tzset();
    }
};

TEST_F(RealRtc, SetThenReadToTheSecond) {
    for (const int32_t t : {1700000000, 1893456000 /* 2030-01-01 */, 1709600523}) {
        // Setting runs hwclock too, which takes seconds on a loaded emulated machine: the
        // clock must have run at real speed since it was set, and no faster.
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(set_rtc_time(t), 0);
        const int32_t back = read_rtc_time();
        const auto took =
            std::chrono::ceil<std::chrono::seconds>(std::chrono::steady_clock::now() - t0);
        EXPECT_GE(back, t);
        EXPECT_LE(back, t + static_cast<int32_t>(took.count()) + 1)
            << "the clock ticks once a second";
    }
    // hwclock -s has made the system clock follow; it reads the clock as UTC or as local time
    // (UTC+8 here), depending on the machine's adjtime.
    const double off = static_cast<double>(std::time(nullptr)) - 1709600523.0;
    EXPECT_TRUE(std::abs(off) < 3 || std::abs(off - 8 * 3600) < 3) << "off by " << off << " s";
    uint8_t dt[6];
    rtc_datetime(dt);
    EXPECT_EQ(dt[5], 124) << "year 2024 - 1900";
    EXPECT_EQ(dt[4], 2) << "March, counted from 0";
    EXPECT_EQ(dt[3], 5);
    EXPECT_EQ(dt[2], 9) << "01 UTC is 09 in CST-8";
}

TEST_F(RealRtc, BusyDeviceIsRetried) {
    UniqueFd holder(::open("/dev/rtc0", O_RDONLY));
    ASSERT_TRUE(holder.valid());
    std::thread release([&holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        holder.reset();
    });
    OutputCapture capture(stderr);
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t t = read_rtc_time();
    const auto waited = std::chrono::steady_clock::now() - t0;
    release.join();
    EXPECT_EQ(capture.text(), "") << "no fallback while retrying";
    EXPECT_GT(t, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(40));
    EXPECT_LT(waited, std::chrono::milliseconds(500));
}

TEST_F(RealRtc, DeviceBusyTooLongFallsBack) {
    const UniqueFd holder(::open("/dev/rtc0", O_RDONLY));
    ASSERT_TRUE(holder.valid());
    OutputCapture capture(stderr);
    EXPECT_EQ(read_rtc_time(RtcDevices{"/dev/rtc0", "/dev/no-misc-rtc"}), -1);
    const std::string err = capture.text();
    EXPECT_NE(err.find("Cannot open /dev/rtc0: Device or resource busy"), std::string::npos) << err;
    EXPECT_NE(err.find("Could not access RTC in O_RDONLY mode"), std::string::npos) << err;
}

TEST_F(RealRtc, FallbackDeviceIsUsed) {
    OutputCapture capture(stderr);
    const int32_t t = read_rtc_time(RtcDevices{"/dev/no-rtc0", "/dev/rtc0"});
    const std::string err = capture.text();
    EXPECT_GT(t, 0);
    EXPECT_EQ(err, "Cannot open /dev/no-rtc0: No such file or directory\n");
}

}  // namespace
}  // namespace ovik
