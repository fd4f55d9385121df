#include "platform/rtc.h"

#include <gtest/gtest.h>

#include "output_capture.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::OutputCapture;
using testsupport::TempDir;

TEST(Rtc, ElapsedMilliseconds) {
    EXPECT_EQ(elapsed_ms({10, 950}, {11, 50}), 100);
    EXPECT_EQ(elapsed_ms({10, 0}, {10, 99}), 99);
    EXPECT_EQ(elapsed_ms({11, 50}, {10, 950}), -100);
}

TEST(Rtc, BothDevicesMissing) {
    TempDir dir;
    const std::string a = dir.file("rtc0");
    const std::string b = dir.file("misc-rtc");
    const RtcDevices devices{a.c_str(), b.c_str()};
    OutputCapture capture(stderr);
    EXPECT_EQ(read_rtc_time(devices), -1);
    EXPECT_EQ(set_rtc_time(1700000000, devices), -1);
    const std::string err = capture.text();
    EXPECT_NE(err.find("Cannot open " + a), std::string::npos) << err;
    EXPECT_NE(err.find("Could not access RTC in O_RDONLY mode"), std::string::npos) << err;
    EXPECT_NE(err.find("Could not access RTC in O_WRONLY mode"), std::string::npos) << err;
}

TEST(Rtc, ADeviceThatCannotBeReadGivesNoTime) {
    TempDir dir;
    const std::string plain = dir.write("not-a-clock", "");
    const RtcDevices devices{plain.c_str(), plain.c_str()};
    OutputCapture capture(stderr);
    EXPECT_EQ(read_rtc_time(devices), -1);
    EXPECT_NE(capture.text().find("Could not read time from RTC"), std::string::npos);
}

}  // namespace
}  // namespace ovik
