#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "hostlink/hostlink.h"
#include "plan/testresult.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::TempDir;

TEST(HostFrames, RecordBecomesTheNetworkFrame) {
    TestResult testresult;
    testresult.code = wire::RSP_DIAG;
    testresult.ser = 7;
    testresult.serial = 1234;
    testresult.ip = inet_addr("192.180.5.222");
    testresult.softwareid = htons(0x2B3C);
    testresult.apid = htonl(0x105);
    testresult.status.store(wire::STATUS_RUNNING);
    testresult.cycles.store(42);
    testresult.portfail[3].store(5);
    testresult.item[0].set_name("CAN0&CAN1");
    testresult.item[0].fail.store(2);
    testresult.wlan_signal.store(70);

    TempDir dir;
    const std::string ssid = dir.write("wlan0_ssid", "AP1\nsecond line\n");
    const std::string channel = dir.write("wlan0_channel", "11\n");
    const std::string long_ssid = dir.write("wlan1_ssid", "ABCDEFGHIJKLMNOPQRSTUVWXYZ\n");
    const std::string empty = dir.write("wlan1_channel", "");
    const WifiTextFiles files{ssid.c_str(), channel.c_str(), long_ssid.c_str(), empty.c_str()};
    const wire::ResponseBytes b = build_response_frame(testresult, files);

    const wire::ResponseFrame f = wire::decode_response(b);
    EXPECT_EQ(f.code, 0xC000);
    EXPECT_EQ(f.ser, 7);
    EXPECT_EQ(f.serial, 1234u);
    EXPECT_EQ(wire::ip_text(f.ip), "192.180.5.222");
    EXPECT_EQ(f.softwareid, 0x2B3C);
    EXPECT_EQ(f.apid, 0x105u);
    EXPECT_EQ(f.status, wire::STATUS_RUNNING);
    EXPECT_EQ(f.cycles, 42u);
    EXPECT_EQ(f.portfail[3], 5u);
    EXPECT_EQ(wire::field_text(f.item[0].name), "CAN0&CAN1");
    EXPECT_EQ(f.item[0].fail, 2u);
    EXPECT_EQ(f.wlan_signal, 70);
    // Wi-Fi texts: the first line, as much of it as the field holds with its terminator.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[447]), 5), std::string("AP1\n\0", 5));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[460]), 4), std::string("11\n\0", 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[465]), 13),
              std::string("ABCDEFGHIJKL\0", 13));
    EXPECT_EQ(b[478], 0);

    const std::string a = dir.file("a"), bb = dir.file("b"), c = dir.file("c"), d = dir.file("d");
    const wire::ResponseBytes none =
        build_response_frame(testresult, {a.c_str(), bb.c_str(), c.c_str(), d.c_str()});
    for (std::size_t i = 447; i < 512; ++i) EXPECT_EQ(none[i], 0) << "byte " << i;
}

TEST(HostFrames, CommandBytesBecomeTheCommand) {
    uint8_t raw[128] = {0x00, 0x03, 0x00, 0x01, 0, 0, 0x00, 0x0E, 0x10, 0x01};
    raw[29] = 'n';
    raw[30] = 'a';
    const HostCommand command = parse_command_frame(raw);
    EXPECT_EQ(command.cmd, wire::CMD_SET_PARAMETER);
    EXPECT_EQ(command.ser, 1);
    EXPECT_EQ(command.baud, 921601u);
    EXPECT_EQ(wire::fwr_text(command.fwr), "na");
}

}  // namespace
}  // namespace ovik
