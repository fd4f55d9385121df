#include "testing/config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "temp_dir.h"
#include "testing/testresult.h"

namespace ovik {
namespace {

using testsupport::TempDir;

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testresult.clear();
        config = Configuration{};
    }
    int load(const std::string& text) {
        const std::string path = dir_.write("cfg_ovikburn", text);
        testing::internal::CaptureStdout();
        const int rc = load_config(path.c_str());
        out_ = testing::internal::GetCapturedStdout();
        return rc;
    }
    TempDir dir_;
    std::string out_;
};

TEST_F(ConfigTest, IdentityKeysInNetworkOrder) {
    ASSERT_EQ(load("[info]\nSOFTWARE_ID = 1A2B3C\nAP_ID = 0x105\n"), 0);
    const auto* sw = reinterpret_cast<const uint8_t*>(&testresult.softwareid);
    EXPECT_EQ(sw[0], 0x2B);
    EXPECT_EQ(sw[1], 0x3C);
    EXPECT_EQ(testresult.apid, htonl(0x105));
    EXPECT_EQ(config.downloadfwr, 0u);
    EXPECT_NE(out_.find("[info:software_id]=[1A2B3C]"), std::string::npos) << "the dump: " << out_;
}

TEST_F(ConfigTest, BooleansFollowIniparser) {
    struct Case {
        const char* value;
        uint32_t expected;
    };
    for (const Case& c : {Case{"y", 1}, Case{"Yes", 1}, Case{"1", 1}, Case{"true", 1}, Case{"n", 0},
                          Case{"0", 0}, Case{"2", 0}, Case{"maybe", 0}}) {
        config = Configuration{};
        ASSERT_EQ(
            load(std::string("[info]\nSOFTWARE_ID=1\nAP_ID=2\nDownloadFWR=") + c.value + "\n"), 0);
        EXPECT_EQ(config.downloadfwr, c.expected) << c.value;
    }
}

TEST_F(ConfigTest, RefusedFilesSayWhy) {
    EXPECT_EQ(load_config(dir_.file("missing").c_str()), -1);
    EXPECT_EQ(load("[info]\nAP_ID = 5\n"), -1);
    EXPECT_NE(out_.find("info:SOFTWARE_ID: required key is missing"), std::string::npos) << out_;
    EXPECT_NE(out_.find("cannot parse file: "), std::string::npos);
    EXPECT_EQ(testresult.apid, 0u) << "nothing applied from a refused file";
}

}  // namespace
}  // namespace ovik
