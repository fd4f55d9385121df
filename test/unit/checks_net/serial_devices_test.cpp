// GPS receivers and cellular modems on real ptys: the receiver side is fed from recorded
// captures, the modem side answers AT+CGMI from scripted dialogs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/text.h"
#include "check_world.h"
#include "checks/net/net_checks.h"
#include "fake_clock.h"
#include "pty_fixture.h"

namespace ovik {
namespace {

using testsupport::capture_call;
using testsupport::CheckWorld;
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

// The network checks of a device with fresh state.
struct NetWorld : CheckWorld {
    PairAddress pair;
    NetChecks net{context(), pair};
};

TEST(Gps, RecordedReceiversPass) {
    if (!std::filesystem::is_directory(FIXTURES)) GTEST_SKIP() << "no captures in " << FIXTURES;
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(FIXTURES)) {
        if (entry.path().extension() != ".log") continue;
        Pty pty;
        NetWorld world;
        copy_text(world.config.gps_device, pty.path());
        pty.feed_soon(nmea_block(entry.path(), 256));
        const auto [result, out] = capture_call([&] { return world.net.testGPS(); });
        EXPECT_EQ(result, 0) << entry.path() << out;
        EXPECT_EQ(out, "") << entry.path();
        ++seen;
    }
    EXPECT_EQ(seen, 5);
}

TEST(Gps, NoiseIsForgivenOnceAndSilenceTimesOut) {
    const std::string noise(200, '\x7f');
    NetWorld world;
    for (const int expected : {0, -1}) {
        Pty pty;
        copy_text(world.config.gps_device, pty.path());
        pty.feed_soon(noise);
        const auto [result, out] = capture_call([&] { return world.net.testGPS(); });
        EXPECT_EQ(result, expected) << "the first block without a sentence is forgiven";
        EXPECT_EQ(out.rfind("Got wrong message. \ngrbuf: ", 0), 0u) << out;
    }
    Pty pty;
    copy_text(world.config.gps_device, pty.path());
    const auto silent = capture_call([&] { return world.net.testGPS(); });
    EXPECT_EQ(silent.result, -1);
    EXPECT_EQ(silent.out, "Timeout to select in testGPS().\n");

    copy_text(world.config.gps_device, "/tmp/no-gps");
    const auto missing = capture_call([&] { return world.net.testGPS(); });
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.out, "Open /tmp/no-gps fail !\n");
}

class CellularTest : public ::testing::Test {
  protected:
    testsupport::FakeClock clock_;  // the fixed sleeps pass at once; select waits for real
    NetWorld world;
};

TEST_F(CellularTest, ModemNamingAKnownVendorPasses) {
    Pty modem;
    modem.answer_with("AT+CGMI\r\r\nSierra Wireless, Incorporated\r\n\r\nOK\r\n");
    const auto [result, out] =
        capture_call([&] { return world.net.testCELL_AT(modem.path().c_str()); });
    EXPECT_EQ(result, 0) << out;
    EXPECT_NE(out.find("PASS : testCELL_AT \n"), std::string::npos) << out;
    EXPECT_EQ(world.log_text(), "");
}

TEST_F(CellularTest, OtherVendorFailsThreeTimes) {
    Pty modem;
    modem.answer_with("\r\nsierra wireless\r\nOK\r\n");  // the name in lower case
    const auto [result, out] =
        capture_call([&] { return world.net.testCELL_AT(modem.path().c_str()); });
    EXPECT_EQ(result, -1);
    EXPECT_NE(out.find("FAIL : testCELL_AT \n"), std::string::npos) << out;
    const std::string log = world.log_text();
    for (int n = 1; n <= 3; ++n) {
        EXPECT_NE(log.find("[testCELL_AT][3657] : Cellular: wrong vendor info. cnt_retry=" +
                           std::to_string(n) + "\n"),
                  std::string::npos)
            << log;
    }
    EXPECT_NE(log.find("sierra wireless"), std::string::npos) << "the raw answer is logged too";
}

TEST_F(CellularTest, MissingModem) {
    EXPECT_EQ(capture_call([&] { return world.net.testCELL_AT("/tmp/no-modem"); }).result, -1);
    EXPECT_NE(world.log_text().find("[testCELL_AT][3580] : Open /tmp/no-modem fail. cnt_retry=2\n"),
              std::string::npos);
    EXPECT_GE(clock_.sleeps().size(), 6u) << "5 s for a late modem and 1 s after each failure";
}

TEST_F(CellularTest, SilentModem) {
    Pty silent;
    silent.answer_with("");
    EXPECT_EQ(capture_call([&] { return world.net.testCELL_AT(silent.path().c_str()); }).result,
              -1);
    EXPECT_NE(world.log_text().find("[testCELL_AT][3618] : No AT response. Loop 9\n"),
              std::string::npos);
}

}  // namespace
}  // namespace ovik
