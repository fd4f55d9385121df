// The configuration reader with the agent's test table: which row of the table each key puts
// into its slot, the values it converts, the files it refuses with the key and the reason, and
// the example installed with the agent.
#include "plan/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "main/test_table.h"
#include "output_capture.h"
#include "plan/testplan.h"
#include "plan/testresult.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::OutputCapture;
using testsupport::TempDir;

constexpr const char* IDENTITY = "[info]\nSOFTWARE_ID = 1A2B3C\nAP_ID = 0x105\n";

// What the files of one start-up fill.
struct Loaded {
    TestPlan plan{agent_tests()};
    Configuration config;
    TestResult record;
};

// A row as the table gives it: its key and the keys that choose it among the rows of its key.
std::string describe(const TestRow& row) {
    std::string d = row.key;
    for (const Condition& c : row.when) {
        if (c.key != nullptr) d += std::string(c.on ? " with " : " without ") + c.key;
    }
    return d;
}

class ConfigTest : public ::testing::Test {
  protected:
    // Reads text as the file cfg_ovikburn against the plan; the dump is kept in dump_.
    ConfigResult read(const std::string& text, const TestPlan& plan) {
        const std::string path = dir_.write("cfg_ovikburn", text);
        OutputCapture capture;
        ConfigResult result = read_config(path.c_str(), plan);
        dump_ = capture.text();
        return result;
    }

    // Reads text and applies it as start-up does.
    ::testing::AssertionResult load(const std::string& text, Loaded& into) {
        const ConfigResult result = read(text, into.plan);
        if (!result.file) return ::testing::AssertionFailure() << "refused: " << result.refusal;
        apply_config(*result.file, into.config, into.plan, into.record);
        return ::testing::AssertionSuccess();
    }

    // The row each slot holds, in the table's order; empty for an empty slot.
    static std::vector<std::string> holders(const TestPlan& plan) {
        std::vector<std::string> v;
        for (const TestSlot& s : plan.slots()) v.push_back(s.filled() ? describe(*s.row) : "");
        return v;
    }

    static std::vector<std::string> item_names(Loaded& a) {
        number_test_items(a.plan, a.record);
        std::vector<std::string> v;
        for (const auto& it : a.record.item) v.push_back(it.name_text());
        return v;
    }

    TempDir dir_;
    std::string dump_;
};

// Which test a key puts into its slot depends on the keys around it.
TEST_F(ConfigTest, KeysChooseTheTestOfTheirSlot) {
    struct Case {
        std::string text;
        std::size_t slot;  // in the table's order
        const char* row;
    };
    const std::string id = IDENTITY;
    const std::string alone = id + "AloneBurn = y\n";
    const std::size_t LAN2 = 2, CAN2 = 13, WLAN = 19;
    const Case cases[] = {
        {id + "[ethernet]\nTestLAN2 = y\n", LAN2, "ethernet:TestLAN2 without info:AloneBurn"},
        {alone + "[ethernet]\nTestLAN2 = y\n", LAN2, "ethernet:TestLAN2 with info:AloneBurn"},
        {id + "[ethernet]\nTestLAN2_GigaLanLB = y\n", LAN2, "ethernet:TestLAN2_GigaLanLB"},
        {alone + "[ethernet]\nTestLAN2 = y\nTestLAN2_Ping = y\n", LAN2, "ethernet:TestLAN2_Ping"},
        {id + "[wlan]\nTestWLAN = y\n", WLAN,
         "wlan:TestWLAN without wlan:Detection without info:AloneBurn"},
        {alone + "[wlan]\nTestWLAN = y\nAPPIP_0 = 10.0.0.1\nAPPESSID_0 = line-AP\n", WLAN,
         "wlan:TestWLAN without wlan:Detection with info:AloneBurn"},
        {alone + "[wlan]\nTestWLAN = y\nDetection = y\n", WLAN,
         "wlan:TestWLAN with wlan:Detection"},
        {id + "[can]\nTestCAN2 = y\n", CAN2, "can:TestCAN2"},
        {id + "[uart]\nTestSerial2W = y\nMODEMDEVICE = /dev/ttyM\nportnum = 2\n", 1,
         "uart:TestSerial2W"},
        {id, 0, ""},
    };
    for (const auto& c : cases) {
        Loaded a;
        ASSERT_TRUE(load(c.text, a)) << c.text;
        std::vector<std::string> want(a.plan.slots().size());
        want[c.slot] = c.row;
        EXPECT_EQ(holders(a.plan), want) << c.text;
    }
    // The CAN tests are called with their interfaces, the cellular test with its modem.
    Loaded a;
    ASSERT_TRUE(load(id + "[can]\nTestCAN2 = y\nTestTwoCAN = y\n[cellular]\nTestCELL3 = y\n"
                          "CELLDEVICE3 = /dev/ttyUSB4\n",
                     a));
    EXPECT_STREQ(a.plan.find("CAN2")->call().first, "can1");
    EXPECT_STREQ(a.plan.find("CAN0&CAN1")->call().second, "can1");
    EXPECT_STREQ(a.plan.find("Cellular3")->call().first, "/dev/ttyUSB4");
}

TEST_F(ConfigTest, ValuesReachTheConfigurationAndTheRecord) {
    Loaded a;
    ASSERT_TRUE(load(std::string(IDENTITY) +
                         "AloneBurn = y\nDownloadFWR = y\n"
                         "[uart]\nTestSerial = y\nMODEMDEVICE = /dev/ttyM\nportnum = 2\n"
                         "interface_mode = 1\n"
                         "[ethernet]\nTestLAN2_GigaLanLB = y\n"
                         "[gps]\nTestGPS = y\nGPSDEVICE = /dev/ttyS2\n"
                         "[cellular]\nTestCELL = y\nCELLDEVICE = /dev/ttyUSB2\n"
                         "TestCELL2 = y\nCELLDEVICE2 = /dev/ttyUSB3\nINTERVAL2 = 16\n"
                         "[wlan]\nTestWLAN = y\nAPPIP_0 = 10.0.0.1\nAPPESSID_0 = line-AP\n",
                     a));
    // The low 16 bits of the software id.
    EXPECT_EQ(a.record.softwareid, 0x2B3C);
    EXPECT_EQ(a.record.apid, 0x105u);
    EXPECT_NE(dump_.find("[info:software_id]=[1A2B3C]"), std::string::npos) << dump_;
    EXPECT_EQ(a.config.downloadfwr, 1u);
    EXPECT_EQ(text_of(a.config.serial_device), "/dev/ttyM");
    EXPECT_EQ(a.record.portnum, 2) << "the PC sees the number of ports";
    EXPECT_EQ(a.config.interface_mode, 1);
    EXPECT_EQ(a.config.gigalanlb, 1u) << "the end of the run restores the PHY";
    EXPECT_EQ(text_of(a.config.gps_device), "/dev/ttyS2");
    EXPECT_EQ(text_of(a.plan.find("Cellular")->device), "/dev/ttyUSB2");
    EXPECT_EQ(text_of(a.plan.find("Cellular2")->device), "/dev/ttyUSB3");
    // A modem is asked every interval + 1 cycles, the first time in the first cycle after the
    // interval.
    EXPECT_EQ(a.plan.find("Cellular")->interval, 0) << "no INTERVAL key";
    EXPECT_EQ(a.plan.find("Cellular2")->interval, 16);
    EXPECT_EQ(a.plan.find("Cellular2")->countdown, 16);
    EXPECT_EQ(text_of(a.config.ap_address), "10.0.0.1");
    EXPECT_EQ(text_of(a.config.ap_essid), "line-AP");
}

// Items are numbered in catalogue order; merged storage is one item for the media it runs.
// A second file applies on top of the first.
TEST_F(ConfigTest, ItemNumberingAndSecondFile) {
    Loaded a;
    ASSERT_TRUE(load(std::string(IDENTITY) +
                         "[can]\nTestCAN = y\n[memory]\nTestMEM = y\n[storage]\nTestUSB1 = y\n"
                         "USB1DEVICE = sdc1\n[ethernet]\nTestLAN3 = y\n",
                     a));
    EXPECT_EQ(item_names(a),
              (std::vector<std::string>{"LAN3", "USB1", "MEM", "CAN", "", "", "", ""}));
    ASSERT_TRUE(
        load("[info]\nSOFTWARE_ID = 7\nAP_ID = 8\n[storage]\nTestSD = y\n"
             "SDDEVICE = mmcblk0\nStorage_merge = y\nTestSSD = y\n",
             a));
    EXPECT_EQ(a.record.softwareid, 7);
    EXPECT_EQ(a.config.storagemask, STORAGE_USB1 | STORAGE_SD);
    EXPECT_EQ(text_of(a.config.usb1_device), "sdc1");
    EXPECT_EQ(text_of(a.config.sd_device), "mmcblk0");
    EXPECT_TRUE(a.plan.find("exStorage")->filled());
    EXPECT_FALSE(a.plan.find("USB1")->filled()) << "run by the merged test";
    EXPECT_EQ(item_names(a),
              (std::vector<std::string>{"LAN3", "exStorage", "SSD", "MEM", "CAN", "", "", ""}));
}

TEST_F(ConfigTest, RefusalsNameTheKey) {
    struct Case {
        std::string text;
        std::string reason;
    };
    const std::string id = IDENTITY;
    const std::string too_many =
        "too many tests: 9 numbered test items (LAN2, LAN3, LAN4, MEM, DIO, CAN, CAN2, CAN0&CAN1, "
        "TPM) but the result record holds 8; turn some of them off";
    const Case cases[] = {
        {"[info]\nAP_ID = 5\n", "info:SOFTWARE_ID: required key is missing"},
        {"[info]\nSOFTWARE_ID = 5\n", "info:AP_ID: required key is missing"},
        {id + "[uart]\nTestSerial = y\nportnum = 2\n", "uart:MODEMDEVICE: required key is missing"},
        {id + "[uart]\nTestSerial = y\nMODEMDEVICE = /dev/ttyS\n",
         "uart:portnum: missing while uart:TestSerial is on; give the number of ports, 0 to 64"},
        {id + "[uart]\nTestSerial2W = y\nMODEMDEVICE = /dev/ttyS\nportnum = 65\n",
         "uart:portnum: value 65 out of range while uart:TestSerial2W is on; give the number of "
         "ports, 0 to 64"},
        {id + "[uart]\nTestSerial = y\nMODEMDEVICE = /dev/serial/by-id/x\nportnum = 1\n",
         "uart:MODEMDEVICE: value '/dev/serial/by-id/x' is longer than 15 characters"},
        {id + "[storage]\nTestUSB1 = y\nUSB1DEVICE = sdc1\nTestSD = y\nSDDEVICE = mmcblk0p1\n",
         "storage:SDDEVICE: device name 'mmcblk0p1' is longer than 8 characters (its mount "
         "point is /media/NAME)"},
        {id + "[gps]\nTestGPS = y\n", "gps:GPSDEVICE: required key is missing"},
        {id + "AloneBurn = y\n[wlan]\nTestWLAN = y\nAPPIP_0 = 192.168.100.200.1234\nAPPESSID_0 = "
              "x\n",
         "wlan:APPIP_0: value '192.168.100.200.1234' is longer than 19 characters"},
        {id + "[ethernet]\nTestLAN2=y\nTestLAN3=y\nTestLAN4=y\n[memory]\nTestMEM=y\n[dio]\n"
              "TestDIO=y\n[can]\nTestCAN=y\nTestCAN2=y\nTestTwoCAN=y\n[tpm]\nTestTPM=y\n",
         too_many},
    };
    for (const auto& c : cases) {
        const ConfigResult result = read(c.text, TestPlan(agent_tests()));
        EXPECT_FALSE(result.file.has_value()) << c.text;
        EXPECT_EQ(result.refusal,
                  c.reason + "\ncannot parse file: " + dir_.file("cfg_ovikburn") + "\n");
    }

    // A refused file leaves the plan that earlier files filled as it was; its item count
    // includes what they filled.
    Loaded a;
    ASSERT_TRUE(load(id + "[ethernet]\nTestLAN2 = y\nTestLAN3 = y\nTestLAN4 = y\n"
                          "[memory]\nTestMEM = y\n[dio]\nTestDIO = y\n",
                     a));
    const std::vector<std::string> before = holders(a.plan);
    const ConfigResult more =
        read(id + "[can]\nTestCAN = y\nTestCAN2 = y\nTestTwoCAN = y\n[tpm]\nTestTPM = y\n", a.plan);
    EXPECT_NE(more.refusal.find(too_many), std::string::npos) << more.refusal;
    EXPECT_EQ(holders(a.plan), before);

    std::vector<TestRow> rows = agent_tests();
    for (TestRow& r : rows) {
        if (std::string(r.key) == "gps:TestGPS") r.check = nullptr;
    }
    const TestPlan without_gps(std::move(rows));
    EXPECT_NE(
        read(id + "[gps]\nTestGPS = y\nGPSDEVICE = /dev/ttyS1\n", without_gps)
            .refusal.find("gps:TestGPS: this build of ovikburn has no such test; turn it off"),
        std::string::npos);
    const std::string missing = dir_.file("missing");
    EXPECT_EQ(read_config(missing.c_str(), without_gps).refusal,
              "cannot parse file: " + missing + "\n");
}

// The example installed with the agent's package names every key and loads as it is.
TEST_F(ConfigTest, InstalledExampleNamesEveryKeyAndLoads) {
    std::istringstream every_key(
        "info:SOFTWARE_ID info:AP_ID info:DownloadFWR info:AloneBurn "
        "uart:TestSerial uart:TestSerial2W uart:MODEMDEVICE uart:portnum uart:interface_mode "
        "ethernet:TestLAN2 ethernet:TestLAN2_GigaLanLB ethernet:TestLAN2_Ping ethernet:TestLAN3 "
        "ethernet:TestLAN4 dio:TestDIO storage:TestUSB1 storage:USB1DEVICE storage:TestmSATA "
        "storage:TestSSD storage:TestSD storage:SDDEVICE storage:Storage_merge gps:TestGPS "
        "gps:GPSDEVICE cellular:TestCELL cellular:CELLDEVICE cellular:INTERVAL "
        "cellular:TestCELL2 cellular:CELLDEVICE2 cellular:INTERVAL2 cellular:TestCELL3 "
        "cellular:CELLDEVICE3 cellular:INTERVAL3 wlan:TestWLAN wlan:Detection wlan:APPIP_0 "
        "wlan:APPESSID_0 tpm:TestTPM tpm:TestTPM2 memory:TestMEM can:TestCAN can:TestCAN2 "
        "can:TestTwoCAN");
    Loaded a;
    ASSERT_TRUE(load(TempDir::read(OVIK_EXAMPLE_CONFIG), a)) << dump_;
    for (std::string key; every_key >> key;) {
        // The dump shows the dictionary's keys, which iniparser keeps in lower case.
        std::transform(key.begin(), key.end(), key.begin(), ::tolower);
        EXPECT_NE(dump_.find("[" + key + "]="), std::string::npos) << key << " is not in it";
    }
    EXPECT_EQ(item_names(a), (std::vector<std::string>{"LAN2", "exStorage", "MEM", "DIO",
                                                       "CAN0&CAN1", "Cellular", "WLAN", "TPM2"}));
}

}  // namespace
}  // namespace ovik
