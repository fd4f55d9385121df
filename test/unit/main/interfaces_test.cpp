// Preparing the interfaces runs the device's tools: only with the recording stand-ins of
// private namespaces.
#include "main/interfaces.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_clock.h"
#include "main/startup.h"
#include "output_capture.h"
#include "private_mounts.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::FakeClock;
using testsupport::OutputCapture;
using testsupport::TempDir;

// The tools run in the order of the file's keys, each PHY given the pause it needs.
TEST(Interfaces, SetUpCommandsRunInKeyOrder) {
    OVIK_NEED_PRIVATE_MOUNTS();
    testsupport::clear_recorded_commands();
    FakeClock clock;
    TempDir dir;
    Agent agent;
    agent.run.testresult.serial = 1234;
    const std::string path =
        dir.write("cfg_ovikburn",
                  "[info]\nSOFTWARE_ID = 1\nAP_ID = 2\nAloneBurn = y\n"
                  "[uart]\nTestSerial2W = y\nMODEMDEVICE = /dev/ttyM\nportnum = 2\n"
                  "[ethernet]\nTestLAN2 = y\nTestLAN2_GigaLanLB = y\nTestLAN3 = y\nTestLAN4 = y\n");
    ConfigResult result;
    {
        OutputCapture dump;
        result = read_config(path.c_str(), agent.catalogue, agent.testplan);
    }
    ASSERT_TRUE(result.file.has_value()) << result.refusal;
    apply_config(*result.file, agent.config, agent.testplan, agent.run.testresult);
    InterfaceSetup setup{agent.run.testresult, agent.discovery, agent.net};

    EXPECT_EQ(prepare_interfaces(*result.file, agent.config, setup), 0);
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
    EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{1000, 1000, 3000, 1000, 1000}));
}

}  // namespace
}  // namespace ovik
