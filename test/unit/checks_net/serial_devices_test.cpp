// GPS receivers and cellular modems on real ptys: the receiver side is fed from recorded
// captures, the modem side answers AT+CGMI from scripted dialogs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/console.h"
#include "base/unique_fd.h"
#include "fake_clock.h"
#include "private_mounts.h"
#include "pty_fixture.h"
#include "plan/config.h"
#include "plan/error_log.h"
#include "checks/net/net_checks.h"

namespace ovik {
namespace {

using testsupport::Pty;

const std::filesystem::path FIXTURES = std::filesystem::path(OVIK_SHARED_DIR) / "fixtures/gps";

// A block of a running receiver's output: size bytes of a capture from its first fix sentence
// on (the lines before may be start-up chatter without one).
std::string nmea_block(const std::filesystem::path& file, std::size_t size) {
    std::ifstream in(file);
    std::string line;
    std::string block;
    while (block.size() < size && std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (block.empty() && line.find("GGA") == std::string::npos) continue;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        block += line + "\r\n";
    }
    return block.substr(0, size);
}

template <std::size_t N>
void set_name(std::array<char, N>& field, const std::string& text) {
    field.fill('\0');
    std::memcpy(field.data(), text.data(), std::min(text.size(), N - 1));
}

TEST(Gps, RecordedReceiversPass) {
    if (!std::filesystem::is_directory(FIXTURES)) GTEST_SKIP() << "no captures in " << FIXTURES;
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(FIXTURES)) {
        if (entry.path().extension() != ".log") continue;
        Pty pty;
        set_name(config.gps_device, pty.path());
        pty.feed_soon(nmea_block(entry.path(), 256));
        testing::internal::CaptureStdout();
        EXPECT_EQ(testGPS(), 0) << entry.path();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << entry.path();
        ++seen;
    }
    EXPECT_EQ(seen, 5);
}

TEST(Gps, NoiseIsForgivenOnceAndSilenceTimesOut) {
    const std::string noise(200, '\x7f');
    for (const int expected : {0, -1}) {
        Pty pty;
        set_name(config.gps_device, pty.path());
        pty.feed_soon(noise);
        testing::internal::CaptureStdout();
        EXPECT_EQ(testGPS(), expected) << "the first block without a sentence is forgiven";
        EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("Got wrong message. \ngrbuf: ", 0),
                  0u);
    }
    Pty pty;
    set_name(config.gps_device, pty.path());
    testing::internal::CaptureStdout();
    EXPECT_EQ(testGPS(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Timeout to select in testGPS().\n");

    set_name(config.gps_device, std::string("/tmp/no-gps"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(testGPS(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Open /tmp/no-gps fail !\n");
}

class CellularTest : public ::testing::Test {
  protected:
    void SetUp() override {
        OVIK_NEED_PRIVATE_MOUNTS();  // failures go to the error log in /dev/shm
        ::unlink(ERROR_LOG_PATH);
    }
    static std::string log_text() {
        std::ifstream in(ERROR_LOG_PATH);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    testsupport::FakeClock clock_;  // the fixed sleeps pass at once; select waits for real
};

TEST_F(CellularTest, ModemNamingAKnownVendorPasses) {
    Pty modem;
    modem.answer_with("AT+CGMI\r\r\nSierra Wireless, Incorporated\r\n\r\nOK\r\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(testCELL_AT(modem.path().c_str()), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("PASS : testCELL_AT \n"), std::string::npos) << out;
    EXPECT_EQ(log_text(), "");
}

TEST_F(CellularTest, OtherVendorFailsThreeTimes) {
    Pty modem;
    modem.answer_with("\r\nsierra wireless\r\nOK\r\n");  // the name in lower case
    testing::internal::CaptureStdout();
    EXPECT_EQ(testCELL_AT(modem.path().c_str()), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("FAIL : testCELL_AT \n"), std::string::npos);
    const std::string log = log_text();
    for (int n = 1; n <= 3; ++n) {
        EXPECT_NE(log.find("[testCELL_AT][3657] : Cellular: wrong vendor info. cnt_retry=" +
                           std::to_string(n) + "\n"),
                  std::string::npos)
            << log;
    }
    EXPECT_NE(log.find("sierra wireless"), std::string::npos) << "the raw answer is logged too";
}

TEST_F(CellularTest, MissingAndSilentModems) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(testCELL_AT("/tmp/no-modem"), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_NE(log_text().find("[testCELL_AT][3580] : Open /tmp/no-modem fail. cnt_retry=2\n"),
              std::string::npos);
    EXPECT_GE(clock_.sleeps().size(), 6u) << "5 s for a late modem and 1 s after each failure";

    ::unlink(ERROR_LOG_PATH);
    Pty silent;
    silent.answer_with("");
    testing::internal::CaptureStdout();
    EXPECT_EQ(testCELL_AT(silent.path().c_str()), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_NE(log_text().find("[testCELL_AT][3618] : No AT response. Loop 9\n"), std::string::npos);
}

}  // namespace
}  // namespace ovik
