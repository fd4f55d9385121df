#include <gtest/gtest.h>

#include "hostlink/frames.h"
#include "plan/testresult.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::TempDir;

// Each Wi-Fi text is the first line of its file, as much of it as the field holds with its
// terminator; a missing or empty file gives the empty text.
TEST(HostFrames, WifiTextsFromTheImagesFiles) {
    TempDir dir;
    const std::string ssid = dir.write("wlan0_ssid", "AP1\nsecond line\n");
    const std::string channel = dir.write("wlan0_channel", "11\n");
    const std::string long_ssid = dir.write("wlan1_ssid", "ABCDEFGHIJKLMNOPQRSTUVWXYZ\n");
    const std::string empty = dir.write("wlan1_channel", "");
    const RunState run;
    const LinkFields fields;
    const wire::ResponseBytes b =
        build_response_frame(wire::RSP_DIAG, fields, run,
                             read_wifi_texts(WifiTextFiles{ssid.c_str(), channel.c_str(),
                                                           long_ssid.c_str(), empty.c_str()}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[447]), 5), std::string("AP1\n\0", 5));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[460]), 4), std::string("11\n\0", 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[465]), 13),
              std::string("ABCDEFGHIJKL\0", 13));
    EXPECT_EQ(b[478], 0);

    const std::string none = dir.file("none");
    const wire::ResponseBytes missing = build_response_frame(
        wire::RSP_DIAG, fields, run,
        read_wifi_texts(WifiTextFiles{none.c_str(), none.c_str(), none.c_str(), none.c_str()}));
    for (std::size_t i = 447; i < 512; ++i) EXPECT_EQ(missing[i], 0) << "byte " << i;
}

}  // namespace
}  // namespace ovik
