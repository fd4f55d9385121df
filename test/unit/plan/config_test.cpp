#include "plan/config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "fake_clock.h"
#include "private_mounts.h"
#include "temp_dir.h"
#include "plan/catalogue.h"
#include "plan/testplan.h"
#include "plan/testresult.h"

namespace ovik {
namespace {

using testsupport::FakeClock;
using testsupport::TempDir;

// Stand-ins with distinct addresses, so the test can tell which one a slot holds.
int raw_lan() {
    return 0;
}
int ping_lan() {
    return 0;
}
int lan3() {
    return 0;
}
int lan4() {
    return 0;
}
int any_test() {
    return 0;
}
int storage_merge() {
    return 0;
}
int usb1() {
    return 0;
}
int sd() {
    return 0;
}
int wlan_alone() {
    return 0;
}
int wlan_pair() {
    return 0;
}
int wlan_detect() {
    return 0;
}
int can(const char*) {
    return 0;
}
int two_can(const char*, const char*) {
    return 0;
}
int cell(const char*) {
    return 0;
}

std::vector<std::string> setup_calls;
int discovery(const char* iface) {
    setup_calls.push_back(std::string("discovery ") + iface);
    return 0;
}
int join_ap(const char* iface, const char* essid) {
    setup_calls.push_back(std::string("set_wireless ") + iface + " " + essid);
    return 0;
}
int pair_exchange(const char* wired, const char* wifi, uint32_t serial) {
    setup_calls.push_back(std::string("pair ") + wired + " " + wifi + " " + std::to_string(serial));
    return 0;
}

TestCatalogue full_catalogue() {
    TestCatalogue c;
    c.testserial = c.testserial2W = c.testMEM = c.testTPM = c.testTPM2 = c.testDIO = c.testSSD =
        c.testmSATA = c.testGPS = any_test;
    c.testLAN2Raw = raw_lan;
    c.testLAN2Ping = ping_lan;
    c.testLAN3Raw = lan3;
    c.testLAN4Raw = lan4;
    c.testStorageMerge = storage_merge;
    c.testUSB1 = usb1;
    c.testSD = sd;
    c.testWLANAlone = wlan_alone;
    c.testWLANPair = wlan_pair;
    c.testWLANDetect = wlan_detect;
    c.testCAN = can;
    c.testTwoCAN = two_can;
    c.testCELL_AT = cell;
    c.start_peer_discovery = discovery;
    c.set_wireless = join_ap;
    c.wlan_pair_exchange = pair_exchange;
    return c;
}

constexpr const char* IDENTITY = "[info]\nSOFTWARE_ID = 1A2B3C\nAP_ID = 0x105\n";

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        OVIK_NEED_PRIVATE_MOUNTS();
        testresult.clear();
        testresult.serial = 1234;
        config = Configuration{};
        reset_testplan();
        catalogue = full_catalogue();
        setup_calls.clear();
        testsupport::clear_recorded_commands();
        ::unlink(MSATA_NODE_PATH);
    }
    int load(const std::string& text) {
        const std::string path = dir_.write("cfg_ovikburn", text);
        testing::internal::CaptureStdout();
        const int rc = load_config(path.c_str());
        out_ = testing::internal::GetCapturedStdout();
        return rc;
    }
    // The line load_config printed before "cannot parse file".
    std::string refusal() const {
        const std::size_t end = out_.find("cannot parse file: ");
        if (end == std::string::npos || end == 0) return "";
        const std::size_t start = out_.rfind('\n', end - 2);
        return out_.substr(start + 1, end - start - 2);
    }
    static std::vector<std::string> item_names() {
        std::vector<std::string> v;
        for (const auto& it : testresult.item) v.push_back(it.name_text());
        return v;
    }
    FakeClock clock_;
    TempDir dir_;
    std::string out_;
};

TEST_F(ConfigTest, IdentityOnlyFillsNothingAndRunsNothing) {
    ASSERT_EQ(load(IDENTITY), 0);
    const auto* sw = reinterpret_cast<const uint8_t*>(&testresult.softwareid);
    EXPECT_EQ(sw[0], 0x2B);
    EXPECT_EQ(sw[1], 0x3C);
    EXPECT_EQ(testresult.apid, htonl(0x105));
    EXPECT_EQ(config.downloadfwr, 0u);
    for (const auto& s : testplan) EXPECT_FALSE(s.filled());
    EXPECT_EQ(testsupport::recorded_commands(), "");
    EXPECT_NE(out_.find("[info:software_id]=[1A2B3C]"), std::string::npos) << "the dump: " << out_;
}

TEST_F(ConfigTest, ValueConversions) {
    struct Case {
        const char* line;
        bool can_on;
    };
    for (const Case& c :
         {Case{"TestCAN = yes", true}, Case{"TestCAN = Y", true}, Case{"TestCAN = 1", true},
          Case{"TestCAN = true", true}, Case{"TestCAN = no", false}, Case{"TestCAN = 0", false},
          Case{"TestCAN = 2", false}, Case{"TestCAN = maybe", false},
          Case{"; TestCAN = y", false}}) {
        SetUp();
        ASSERT_EQ(load(std::string(IDENTITY) + "[can]\n" + c.line + "\n"), 0);
        EXPECT_EQ(slot(Slot::CAN).filled(), c.can_on) << c.line;
    }
    SetUp();
    ASSERT_EQ(load("[INFO]\nsoftware_id = 0x00ff\nap_id = 12zz\n[Cellular]\nTestCELL = y\n"
                   "CELLDEVICE = /dev/ttyUSB2\n[cellular]\nINTERVAL2 = 0x10\nTestCELL2 = t\n"
                   "CELLDEVICE2 = /dev/ttyUSB3\n"),
              0);
    EXPECT_EQ(ntohs(testresult.softwareid), 0xFF) << "keys match without regard to case";
    EXPECT_EQ(ntohl(testresult.apid), 0x12u) << "hex stops at the first non-hex character";
    EXPECT_EQ(slot(Slot::Cellular).interval, 0) << "absent interval";
    EXPECT_EQ(slot(Slot::Cellular2).interval, 16) << "integers take 0x";
    EXPECT_EQ(slot(Slot::Cellular2).countdown, 16);
    EXPECT_EQ(text_of(config.modem_device[1]), "/dev/ttyUSB3");
}

TEST_F(ConfigTest, SetUpCommandsRunInKeyOrder) {
    ASSERT_EQ(
        load(std::string(IDENTITY) +
             "AloneBurn = y\n"
             "[uart]\nTestSerial2W = y\nMODEMDEVICE = /dev/ttyM\nportnum = 2\n"
             "[ethernet]\nTestLAN2 = y\nTestLAN2_GigaLanLB = y\nTestLAN3 = y\nTestLAN4 = y\n"),
        0);
    EXPECT_EQ(testsupport::recorded_commands(),
              "/usr/bin/setinterface /dev/ttyM0 1\n"
              "/usr/bin/setinterface /dev/ttyM1 1\n"
              "/sbin/mii-tool -F 100baseTx-FD eth1\n"
              "/usr/sbin/ifconfig eth1 192.181.5.222 netmask 255.255.0.0 up\n"
              "/usr/sbin/phytool write eth1/0x02/0x001f 0x0a43\n"
              "/usr/sbin/phytool write eth1/0x02/0x0000 0x8000\n"
              "/usr/sbin/phytool write eth1/0x02/0x0000 0x0140\n"
              "/usr/sbin/phytool write eth1/0x02/0x0018 0x2d18\n"
              "/usr/sbin/ifconfig eth1 192.181.5.222 netmask 255.255.0.0 up\n"
              "/sbin/mii-tool -F 100baseTx-FD eth2\n"
              "/usr/sbin/ifconfig eth2 192.182.5.222 netmask 255.255.0.0 up\n"
              "/sbin/ethtool -s eth3 autoneg off speed 100 duplex full\n");
    EXPECT_EQ(clock_.sleeps(), (std::vector<int64_t>{1000, 1000, 3000, 1000, 1000}));
    EXPECT_EQ(slot(Slot::LAN2).func, raw_lan);
    EXPECT_EQ(config.gigalanlb, 1u);
    EXPECT_EQ(testresult.portnum, 2);
    EXPECT_TRUE(slot(Slot::Serial2W).filled());
    EXPECT_FALSE(slot(Slot::Serial).filled());
}

TEST_F(ConfigTest, LanAndWlanVariants) {
    ASSERT_EQ(load(std::string(IDENTITY) +
                   "[ethernet]\nTestLAN2 = y\nTestLAN2_Ping = y\n[wlan]\nTestWLAN = y\n"),
              0);
    EXPECT_EQ(slot(Slot::LAN2).func, ping_lan);
    EXPECT_EQ(slot(Slot::WLAN).func, wlan_pair);
    EXPECT_EQ(setup_calls, (std::vector<std::string>{"discovery eth1", "pair eth1 wlan0 1234"}));
    const std::string cmds = testsupport::recorded_commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), '\n'), 2) << "eth1 is assigned twice:\n" << cmds;

    SetUp();
    ASSERT_EQ(
        load(std::string(IDENTITY) +
             "AloneBurn = 1\n[wlan]\nTestWLAN = y\nAPPIP_0 = 10.0.0.1\nAPPESSID_0 = line-AP\n"),
        0);
    EXPECT_EQ(slot(Slot::WLAN).func, wlan_alone);
    EXPECT_EQ(text_of(config.ap_address), "10.0.0.1");
    EXPECT_EQ(setup_calls, std::vector<std::string>{"set_wireless wlan0 line-AP"});
    EXPECT_EQ(testsupport::recorded_commands(),
              "/usr/sbin/ifconfig wlan0 172.16.0.222 netmask 255.255.0.0 up\n");

    SetUp();
    ASSERT_EQ(load(std::string(IDENTITY) + "AloneBurn = 1\n[wlan]\nTestWLAN = y\nDetection = y\n"),
              0);
    EXPECT_EQ(slot(Slot::WLAN).func, wlan_detect);
    EXPECT_TRUE(setup_calls.empty());
}

TEST_F(ConfigTest, StorageAndItemNumbering) {
    { std::ofstream(MSATA_NODE_PATH) << "sdb\nignored\n"; }
    ASSERT_EQ(
        load(std::string(IDENTITY) +
             "[storage]\nTestUSB1 = y\nUSB1DEVICE = sdc1\nTestSD = y\nSDDEVICE = mmcblk0p1\n"),
        -1)
        << "a storage name over 8 characters";
    EXPECT_EQ(refusal(),
              "storage:SDDEVICE: device name 'mmcblk0p1' is longer than 8 characters (its mount "
              "point is /media/NAME)");

    SetUp();
    { std::ofstream(MSATA_NODE_PATH) << "sdb\nignored\n"; }
    ASSERT_EQ(load(std::string(IDENTITY) +
                   "[storage]\nTestUSB1 = y\nUSB1DEVICE = sdc1\nTestSD = y\nSDDEVICE = mmcblk0\n"
                   "TestmSATA = y\nStorage_merge = y\nTestSSD = y\n"),
              0);
    EXPECT_EQ(config.storagemask, 7u);
    EXPECT_EQ(text_of(config.msata_device), "sdb\n") << "read as a line reader reads it";
    EXPECT_FALSE(slot(Slot::USB1).filled());
    EXPECT_FALSE(slot(Slot::SD).filled());
    EXPECT_FALSE(slot(Slot::MSATA).filled());
    build_test_items();
    EXPECT_EQ(item_names(), (std::vector<std::string>{"exStorage", "SSD", "", "", "", "", "", ""}));

    SetUp();
    ASSERT_EQ(load(std::string(IDENTITY) +
                   "[can]\nTestCAN = y\n[memory]\nTestMEM = y\n[storage]\nTestUSB1 = y\n"
                   "USB1DEVICE = sda1\nTestmSATA = y\n[ethernet]\nTestLAN3 = y\n"),
              0);
    EXPECT_EQ(text_of(config.msata_device), "sda") << "no node file";
    build_test_items();
    EXPECT_EQ(item_names(),
              (std::vector<std::string>{"LAN3", "USB1", "mSATA", "MEM", "CAN", "", "", ""}));
}

TEST_F(ConfigTest, RefusalsNameTheKeyAndChangeNothing) {
    struct Case {
        std::string text;
        std::string line;
    };
    const std::string id = IDENTITY;
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
        {id + "[gps]\nTestGPS = y\n", "gps:GPSDEVICE: required key is missing"},
        {id + "AloneBurn = y\n[wlan]\nTestWLAN = y\nAPPIP_0 = 192.168.100.200.1234\nAPPESSID_0 = "
              "x\n",
         "wlan:APPIP_0: value '192.168.100.200.1234' is longer than 19 characters"},
        {id + "[ethernet]\nTestLAN2=y\nTestLAN3=y\nTestLAN4=y\n[memory]\nTestMEM=y\n[dio]\n"
              "TestDIO=y\n[can]\nTestCAN=y\nTestCAN2=y\nTestTwoCAN=y\n[tpm]\nTestTPM=y\n",
         "too many tests: 9 numbered test items (LAN2, LAN3, LAN4, MEM, DIO, CAN, CAN2, CAN0&CAN1, "
         "TPM) but the result record holds 8; turn some of them off"},
    };
    for (const auto& c : cases) {
        SetUp();
        EXPECT_EQ(load(c.text), -1) << c.text;
        EXPECT_EQ(refusal(), c.line) << out_;
        EXPECT_EQ(testresult.apid, 0u) << "nothing applied from a refused file";
        EXPECT_EQ(testsupport::recorded_commands(), "") << c.text;
        for (const auto& s : testplan) EXPECT_FALSE(s.filled());
    }

    SetUp();
    catalogue.testGPS = nullptr;
    EXPECT_EQ(load(id + "[gps]\nTestGPS = y\nGPSDEVICE = /dev/ttyS1\n"), -1);
    EXPECT_EQ(refusal(), "gps:TestGPS: this build of ovikburn has no such test; turn it off");

    EXPECT_EQ(load_config(dir_.file("missing").c_str()), -1);
}

TEST_F(ConfigTest, SecondFileAppliesOnTopOfTheFirst) {
    ASSERT_EQ(load(std::string(IDENTITY) + "[memory]\nTestMEM = y\n[storage]\nTestUSB1 = y\n"
                                           "USB1DEVICE = sdc1\n"),
              0);
    ASSERT_EQ(load("[info]\nSOFTWARE_ID = 7\nAP_ID = 8\n[storage]\nTestSD = y\nSDDEVICE = sdd1\n"
                   "Storage_merge = y\n"),
              0);
    EXPECT_EQ(ntohs(testresult.softwareid), 7);
    EXPECT_TRUE(slot(Slot::MEM).filled()) << "kept from the first file";
    EXPECT_FALSE(slot(Slot::USB1).filled()) << "emptied by the merge";
    EXPECT_EQ(config.storagemask, 5u);
    EXPECT_EQ(text_of(config.usb1_device), "sdc1");
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
    ASSERT_EQ(load(TempDir::read(OVIK_EXAMPLE_CONFIG)), 0) << out_;
    for (std::string key; every_key >> key;) {
        // The dump shows the dictionary's keys, which iniparser keeps in lower case.
        std::transform(key.begin(), key.end(), key.begin(), ::tolower);
        EXPECT_NE(out_.find("[" + key + "]="), std::string::npos)
            << key << " is not in the example";
    }
    EXPECT_TRUE(slot(Slot::Serial).filled());
    build_test_items();
    EXPECT_EQ(item_names(), (std::vector<std::string>{"LAN2", "exStorage", "MEM", "DIO",
                                                      "CAN0&CAN1", "Cellular", "WLAN", "TPM2"}));
}

}  // namespace
}  // namespace ovik
