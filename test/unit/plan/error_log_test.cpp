#include "plan/error_log.h"

#include <gtest/gtest.h>

#include <regex>

#include "base/console.h"
#include "output_capture.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::OutputCapture;
using testsupport::TempDir;

// 2024-03-05 01:02:03 UTC
constexpr std::time_t MARCH_5_2024 = 1709600523;

TEST(ErrorLog, RecordsAreAppendedWithUtcStamps) {
    TempDir dir;
    const std::string log = dir.file("ErrorLog.txt");
    ASSERT_TRUE(
        append_error_record(log.c_str(), MARCH_5_2024, "[testCAN][3] : can0 frame time-out\n"));
    ASSERT_TRUE(append_error_record(log.c_str(), MARCH_5_2024 + 3600 * 24 * 300, "no end"));
    ASSERT_TRUE(append_error_record(log.c_str(), 0, "storage\r\n"));
    EXPECT_EQ(TempDir::read(log),
              "2024/03/05 01:02:03 - [testCAN][3] : can0 frame time-out\n"
              "2024/12/30 01:02:03 - no end"
              "1970/01/01 00:00:00 - storage\r\n");
}

TEST(ErrorLog, UnwritableLogIsReported) {
    TempDir dir;
    EXPECT_FALSE(append_error_record(dir.file("missing/ErrorLog.txt").c_str(), 0, "x\n"));
}

// A test's failure report: a DIE line on the console unless quiet, always a record in the log.
TEST(ErrorLog, FailureReportsAreShownAndLogged) {
    TempDir dir;
    ErrorLog log(dir.file("ErrorLog.txt"));
    OutputCapture capture;
    log.report_failure("[%s][%d] : %s\n", "testCAN", 3, "can0 frame time-out");
    log.report_bare("%s ping fail\n", "wlan0");
    quiet.store(1);
    log.report_failure("[%s][%d] : %s\n", "testMEM", 7, "quiet");
    quiet.store(0);
    EXPECT_EQ(capture.text(), "DIE-[testCAN][3] : can0 frame time-out\nwlan0 ping fail\n");
    EXPECT_STREQ(log.errmsg_text(), "[testMEM][7] : quiet\n");
    const std::string stamp = R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d - )";
    EXPECT_TRUE(
        std::regex_match(TempDir::read(log.path()),
                         std::regex(stamp + R"(\[testCAN\]\[3\] : can0 frame time-out\n)" + stamp +
                                    "wlan0 ping fail\n" + stamp + R"(\[testMEM\]\[7\] : quiet\n)")))
        << TempDir::read(log.path());
}

TEST(ErrorLog, FileExists) {
    TempDir dir;
    EXPECT_EQ(file_exists(dir.write("f", "").c_str()), 1);
    EXPECT_EQ(file_exists(dir.file("").c_str()), 1) << "a directory";
    EXPECT_EQ(file_exists("/dev/null"), 1) << "a device node";
    EXPECT_EQ(file_exists(dir.file("missing").c_str()), 0);
}

}  // namespace
}  // namespace ovik
