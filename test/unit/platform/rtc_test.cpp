#include "platform/rtc.h"

#include <gtest/gtest.h>

#include "output_capture.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::OutputCapture;
using testsupport::TempDir;

// The clock device, else its fallback; neither there, or one that is no clock: no time.
TEST(Rtc, MissingOrUnreadableClockGivesNoTime) {
    TempDir dir;
    const std::string a = dir.file("rtc0"), b = dir.file("misc-rtc");
    const std::string plain = dir.write("not-a-clock", "");
    OutputCapture capture(stderr);
    EXPECT_EQ(read_rtc_time(RtcDevices{a.c_str(), b.c_str()}), -1);
    EXPECT_EQ(set_rtc_time(1700000000, RtcDevices{a.c_str(), b.c_str()}), -1);
    EXPECT_EQ(read_rtc_time(RtcDevices{a.c_str(), plain.c_str()}), -1);
    const std::string missing = "Cannot open " + a + ": No such file or directory\n";
    EXPECT_EQ(capture.text(),
              missing + "Could not access RTC in O_RDONLY mode: No such file or directory\n" +
                  missing + "Could not access RTC in O_WRONLY mode: No such file or directory\n" +
                  missing + "Could not read time from RTC: Inappropriate ioctl for device\n");
}

}  // namespace
}  // namespace ovik
