#include <gtest/gtest.h>
#include <termios.h>

#include "base/text.h"
#include "check_world.h"
#include "checks/local/local_checks.h"
#include "pty_fixture.h"

namespace ovik {
namespace {

using testsupport::capture_call;
using testsupport::CheckWorld;
using testsupport::PortFault;
using testsupport::SerialRig;

class SerialTest : public ::testing::Test {
  protected:
    void use(const SerialRig& rig, uint16_t ports) {
        ASSERT_LT(rig.prefix().size(), world.config.serial_device.size());
        copy_text(world.config.serial_device, rig.prefix());
        world.run.testresult.portnum = ports;
    }
    std::vector<uint32_t> portfail(int n) const {
        std::vector<uint32_t> v;
        for (int i = 0; i < n; ++i)
            v.push_back(world.run.testresult.portfail[static_cast<std::size_t>(i)].load());
        return v;
    }

    CheckWorld world;
    SerialChecks serial{world.context()};
};

TEST_F(SerialTest, LoopBackPlugsOnFourPortsEachWithItsOwnFault) {
    SerialRig rig(4, false);
    use(rig, 4);
    rig.set_fault(1, PortFault{100});
    rig.set_fault(2, PortFault{SIZE_MAX, 37});
    rig.set_fault(3, PortFault{SIZE_MAX, -1, true});
    const auto [result, out] = capture_call([&] { return serial.testserial(); });
    EXPECT_EQ(result, -1);

    EXPECT_EQ(portfail(4), (std::vector<uint32_t>{0, 1, 1, 1}));
    EXPECT_EQ(world.log_messages(),
              (std::vector<std::string>{
                  "[testserial][1748] : Serial port 1(rcnt=100) read length error !\n",
                  "[testserial][1759] : Serial port 2 read data error !\n",
                  "[testserial][1762] : wbuf[37]: 37  !=  rbuf[2][37]: c8\n",
                  "[testserial][1650] : Open UART " + rig.prefix() + "3 fail !\n",
              }));
    for (int n = 0; n < 4; ++n) {
        const std::string verdict = n == 0 ? "PASS" : "FAIL";
        EXPECT_NE(out.find("=======================\n" + verdict + " : testserial (Port " +
                           std::to_string(n) + ")\n=======================\n"),
                  std::string::npos)
            << out;
    }
    EXPECT_NE(out.find("DIE-[testserial][1748] : Serial port 1(rcnt=100) read length error !\n"),
              std::string::npos);
    // The 100 bytes that did arrive are shown as text.
    std::string first100;
    for (int i = 0; i < 100; ++i) first100 += static_cast<char>('0' + i % 10);
    EXPECT_NE(out.find(first100 + "\n"), std::string::npos);
}

TEST_F(SerialTest, RatesAndFlowControl) {
    SerialRig rig(1, false);
    use(rig, 1);
    world.run.serial_baud.store(4800);
    const auto unknown_rate = capture_call([&] { return serial.testserial(); });
    EXPECT_EQ(unknown_rate.result, 0);
    EXPECT_NE(unknown_rate.out.find("Error: bad baudrate (4800), set to 115200.\n"),
              std::string::npos);

    world.run.serial_baud.store(921600);
    world.config.interface_mode = 0;  // hardware flow control
    const auto fast = capture_call([&] { return serial.testserial(); });
    EXPECT_EQ(fast.result, 0);
    EXPECT_EQ(fast.out,
              "=======================\nPASS : testserial (Port 0)\n=======================\n");

    world.run.testresult.portnum = 0;
    EXPECT_EQ(serial.testserial(), 0) << "no ports, nothing to test";
}

TEST(Serial, BaudRateTable) {
    const uint32_t accepted[] = {9600,    19200,   38400,   57600,   115200,  230400,
                                 460800,  500000,  576000,  921600,  1000000, 1152000,
                                 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
    for (uint32_t r : accepted) EXPECT_GT(baudrate_to_speed(r), 0) << r;
    EXPECT_EQ(baudrate_to_speed(115200), B115200);
    EXPECT_EQ(baudrate_to_speed(921600), B921600);
    for (uint32_t r : {0u, 300u, 4800u, 14400u, 921601u, 4000001u})
        EXPECT_EQ(baudrate_to_speed(r), -1) << r;
}

TEST_F(SerialTest, TwoWirePairs) {
    SerialRig rig(4, true);
    use(rig, 4);
    const auto good = capture_call([&] { return serial.testserial2W(); });
    EXPECT_EQ(good.result, 0);
    EXPECT_NE(good.out.find("PASS : testserial2W\n"), std::string::npos) << good.out;
    EXPECT_EQ(portfail(4), (std::vector<uint32_t>{0, 0, 0, 0}));

    // Port 1 cuts what it sends to port 0 short: port 0 fails in phase 0 with nine tabs in
    // its message; the other ports pass.
    rig.new_call();
    rig.set_fault(1, PortFault{60});
    const auto [result, out] = capture_call([&] { return serial.testserial2W(); });
    EXPECT_EQ(result, -1);
    EXPECT_NE(out.find("[testserial2W][1990] : Serial port 0(rcnt=60) read length "
                       "error\t\t\t\t\t\t\t\t\t !\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("PASS : testserial2W"), std::string::npos);
    EXPECT_EQ(portfail(4), (std::vector<uint32_t>{1, 0, 0, 0}));
}

}  // namespace
}  // namespace ovik
