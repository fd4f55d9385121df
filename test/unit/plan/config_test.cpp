// The configuration reader: which test each key puts into its slot, the values it converts,
// the files it refuses with the key and the reason, and the example installed with the agent.
#include "plan/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "output_capture.h"
#include "plan/catalogue.h"
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
    TestPlan plan;
    Configuration config;
    TestResult record;
};

// Reads files through a catalogue of stand-ins; each notes its own name when it runs, so that
// a test can tell which one a slot holds.
class ConfigTest : public ::testing::Test {
  protected:
    ConfigTest() {
        const std::pair<TestFn TestCatalogue::*, const char*> plain[] = {
            {&TestCatalogue::testserial, "testserial"},
            {&TestCatalogue::testserial2W, "testserial2W"},
            {&TestCatalogue::testLAN2Raw, "testLAN2Raw"},
            {&TestCatalogue::testLAN3Raw, "testLAN3Raw"},
            {&TestCatalogue::testLAN4Raw, "testLAN4Raw"},
            {&TestCatalogue::testLAN2Ping, "testLAN2Ping"},
            {&TestCatalogue::testWLANAlone, "testWLANAlone"},
            {&TestCatalogue::testWLANPair, "testWLANPair"},
            {&TestCatalogue::testWLANDetect, "testWLANDetect"},
            {&TestCatalogue::testStorageMerge, "testStorageMerge"},
            {&TestCatalogue::testUSB1, "testUSB1"},
            {&TestCatalogue::testmSATA, "testmSATA"},
            {&TestCatalogue::testSSD, "testSSD"},
            {&TestCatalogue::testSD, "testSD"},
            {&TestCatalogue::testMEM, "testMEM"},
            {&TestCatalogue::testTPM, "testTPM"},
            {&TestCatalogue::testTPM2, "testTPM2"},
            {&TestCatalogue::testDIO, "testDIO"},
            {&TestCatalogue::testGPS, "testGPS"},
        };
        for (const auto& [member, name] : plain) {
            catalogue_.*member = [this, name = name] {
                ran_ = name;
                return 0;
            };
        }
        catalogue_.testCAN = [this](const char*) { return (ran_ = "testCAN", 0); };
        catalogue_.testCELL_AT = [this](const char*) { return (ran_ = "testCELL_AT", 0); };
        catalogue_.testTwoCAN = [this](const char*, const char*) {
            return (ran_ = "testTwoCAN", 0);
        };
    }

    // Reads text as the file cfg_ovikburn against the plan; the dump is kept in dump_.
    ConfigResult read(const std::string& text, const TestPlan& plan) {
        const std::string path = dir_.write("cfg_ovikburn", text);
        OutputCapture capture;
        ConfigResult result = read_config(path.c_str(), catalogue_, plan);
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

    // The stand-in the slot holds (it runs once to say so); empty for an empty slot.
    std::string held_by(const TestSlot& s) {
        ran_.clear();
        if (s.func) s.func();
        if (s.func_on_device) s.func_on_device("dev");
        if (s.func_on_pair) s.func_on_pair("dev0", "dev1");
        return ran_;
    }

    // What every slot holds, in catalogue order.
    std::vector<std::string> holders(const TestPlan& plan) {
        std::vector<std::string> v;
        for (std::size_t i = 0; i < SLOT_COUNT; ++i) v.push_back(held_by(plan[i]));
        return v;
    }

    static std::vector<std::string> item_names(Loaded& a) {
        build_test_items(a.plan, a.record);
        std::vector<std::string> v;
        for (const auto& it : a.record.item) v.push_back(it.name_text());
        return v;
    }

    TempDir dir_;
    TestCatalogue catalogue_;
    std::string ran_;
    std::string dump_;
};

// Which test a key puts into its slot depends on the keys around it.
TEST_F(ConfigTest, KeysChooseTheTestOfTheirSlot) {
    struct Case {
        std::string text;
        Slot slot;
        const char* test;
    };
    const std::string id = IDENTITY;
    const std::string alone = id + "AloneBurn = y\n";
    const Case cases[] = {
        {id + "[ethernet]\nTestLAN2 = y\n", Slot::LAN2, "testLAN2Ping"},
        {alone + "[ethernet]\nTestLAN2 = y\n", Slot::LAN2, "testLAN2Raw"},
        {id + "[ethernet]\nTestLAN2_GigaLanLB = y\n", Slot::LAN2, "testLAN2Raw"},
        {alone + "[ethernet]\nTestLAN2 = y\nTestLAN2_Ping = y\n", Slot::LAN2, "testLAN2Ping"},
        {id + "[wlan]\nTestWLAN = y\n", Slot::WLAN, "testWLANPair"},
        {alone + "[wlan]\nTestWLAN = y\nAPPIP_0 = 10.0.0.1\nAPPESSID_0 = line-AP\n", Slot::WLAN,
         "testWLANAlone"},
        {alone + "[wlan]\nTestWLAN = y\nDetection = y\n", Slot::WLAN, "testWLANDetect"},
        {id + "[can]\nTestCAN2 = y\n", Slot::CAN2, "testCAN"},
        {id + "[uart]\nTestSerial2W = y\nMODEMDEVICE = /dev/ttyM\nportnum = 2\n", Slot::Serial2W,
         "testserial2W"},
        {id, Slot::Serial, ""},
    };
    for (const auto& c : cases) {
        Loaded a;
        ASSERT_TRUE(load(c.text, a)) << c.text;
        std::vector<std::string> want(SLOT_COUNT);
        want[static_cast<std::size_t>(c.slot)] = c.test;
        EXPECT_EQ(holders(a.plan), want) << c.text;
    }
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
    EXPECT_EQ(text_of(a.config.modem_device[0]), "/dev/ttyUSB2");
    EXPECT_EQ(text_of(a.config.modem_device[1]), "/dev/ttyUSB3");
    // A modem is asked every interval + 1 cycles, the first time in the first cycle after the
    // interval.
    EXPECT_EQ(a.plan.slot(Slot::Cellular).interval, 0) << "no INTERVAL key";
    EXPECT_EQ(a.plan.slot(Slot::Cellular2).interval, 16);
    EXPECT_EQ(a.plan.slot(Slot::Cellular2).countdown, 16);
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
    EXPECT_EQ(held_by(a.plan.slot(Slot::ExStorage)), "testStorageMerge");
    EXPECT_EQ(held_by(a.plan.slot(Slot::USB1)), "") << "run by the merged test";
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
        const ConfigResult result = read(c.text, TestPlan{});
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

    catalogue_.testGPS = nullptr;
    EXPECT_NE(
        read(id + "[gps]\nTestGPS = y\nGPSDEVICE = /dev/ttyS1\n", TestPlan{})
            .refusal.find("gps:TestGPS: this build of ovikburn has no such test; turn it off"),
        std::string::npos);
    const std::string missing = dir_.file("missing");
    EXPECT_EQ(read_config(missing.c_str(), catalogue_, TestPlan{}).refusal,
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
