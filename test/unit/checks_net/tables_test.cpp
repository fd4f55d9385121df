#include <gtest/gtest.h>
#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/process.h"
#include "base/unique_fd.h"
#include "check_world.h"
#include "checks/net/net_checks.h"
#include "private_mounts.h"

namespace ovik {
namespace {

using testsupport::capture_call;
using testsupport::CheckWorld;

TEST(Ping, EchoRequestBytesAndChecksum) {
    const auto p = echo_request();
    EXPECT_EQ((std::vector<uint8_t>(p.begin(), p.begin() + 4)),
              (std::vector<uint8_t>{0x08, 0x00, 0xF7, 0xFF}));
    for (std::size_t i = 4; i < p.size(); ++i) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(icmp_checksum(p.data(), p.size()), 0) << "a packet with its checksum sums to 0";
    const uint8_t odd[3] = {0x01, 0x02, 0x03};
    // Words in host order (little-endian here): 0x0201 + 0x0003 = 0x0204.
    EXPECT_EQ(icmp_checksum(odd, 3), static_cast<uint16_t>(~0x0204));
}

// In the test's own network namespace: the loop-back answers; a name no resolver can know
// fails the call at once with a line that names it, instead of waiting out the limit.
TEST(Ping, LoopbackAnswersAndAnUnknownTargetFailsAtOnce) {
    OVIK_NEED_PRIVATE_MOUNTS();
    CheckWorld world;
    PairAddress pair;
    NetChecks net(world.context(), pair);
    ASSERT_EQ(run_command({"ip", "link", "set", "lo", "up"}), 0);
    const auto answered = capture_call([&] { return net.testPing("lo", "127.0.0.1", 1, 1); });
    EXPECT_EQ(answered.result, 0) << answered.out;
    const auto unknown =
        capture_call([&] { return net.testPing("lo", "no-such-host.invalid", 10, 1); });
    EXPECT_EQ(unknown.result, -1);
    EXPECT_EQ(unknown.out, "lo cannot resolve the ping target 'no-such-host.invalid' !\n");
}

// Without CAN in the kernel the sockets cannot be made; with it, this namespace has no CAN
// port to bind: either way each test names the step that failed, in the error log too.
TEST(Can, MissingBusOrPortsAreReported) {
    OVIK_NEED_PRIVATE_MOUNTS();
    CheckWorld world;
    PairAddress pair;
    NetChecks net(world.context(), pair);
    const bool have_can = UniqueFd(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW)).valid();
    const auto one = capture_call([&] { return net.testCAN("can0"); });
    const auto two = capture_call([&] { return net.testTwoCAN("can0", "can1"); });
    EXPECT_EQ(one.result, -1);
    EXPECT_EQ(two.result, -1);
    const std::string one_text = have_can ? "[testCAN][3247] : Error in socket bind.\n"
                                          : "[testCAN][3235] : Error while opening socket.\n";
    const std::string two_text = have_can ? "[testTwoCAN][3348] : FAIL to bind can0.\n"
                                          : "[testTwoCAN][3336] : FAIL to create socket.\n";
    EXPECT_EQ(one.out, "DIE-" + one_text);
    EXPECT_EQ(two.out, two_text) << "printed bare";
    EXPECT_EQ(world.log_messages(), (std::vector<std::string>{one_text, two_text}));
}

TEST(Gps, SentenceTable) {
    struct Case {
        const char* text;
        const char* id;
    };
    const Case cases[] = {
        {"$GPGGA,092750.000,5321.6802,N,00630.3372,W,1,8,1.03,61.7,M,55.2,M,,*76\r\n", "GPGGA"},
        {"$GNTXT,01,01,02,u-blox AG*4E\r\n", "GNTXT"},
        {"$GLGSV,3,1,09,65,12,", "GLGSV"},
        {"$GPRMC and $GNRMC", "GNRMC"},  // the table's order decides
        {"\xfe\x7f garbage at the wrong speed", nullptr},
        {"$GPG", nullptr},  // an identifier cut by the end of the block
        {"$gpgga lower case", nullptr},
    };
    for (const auto& c : cases) {
        const char* got = find_nmea_id(c.text);
        if (c.id == nullptr) {
            EXPECT_EQ(got, nullptr) << c.text;
        } else {
            ASSERT_NE(got, nullptr) << c.text;
            EXPECT_STREQ(got, c.id);
        }
    }
    EXPECT_EQ(NMEA_IDS, 13u);
}

TEST(Cellular, VendorTableIsCaseSensitive) {
    EXPECT_STREQ(find_vendor("AT+CGMI\r\r\nSierra Wireless, Incorporated\r\n\r\nOK\r\n"),
                 "Sierra Wireless");
    EXPECT_STREQ(find_vendor("\r\nQUALCOMM INCORPORATED\r\nOK"), "QUALCOMM INCORPORATED");
    EXPECT_STREQ(find_vendor("u-blox AG"), "u-blox");
    EXPECT_EQ(find_vendor("sierra wireless"), nullptr);
    EXPECT_EQ(find_vendor("Acme Modems Ltd\r\nOK"), nullptr);
}

TEST(WlanPair, MessageLayoutAndChecks) {
    const PairMessage m = build_pair_message("1234", "192.181.5.222");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data()), 8), std::string("ABC1234\0", 8));
    EXPECT_STREQ(reinterpret_cast<const char*>(m.data() + 8), "192.181.5.222");
    EXPECT_TRUE(pair_message_valid(m));

    // Five digits run into the address field: the pair reads the first four.
    const PairMessage five = build_pair_message("12345", "192.181.48.205");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(five.data()), 8), "ABC12345");
    EXPECT_STREQ(reinterpret_cast<const char*>(five.data() + 8), "192.181.48.205");
    EXPECT_TRUE(pair_message_valid(five));

    struct Hostile {
        const char* serial;
        const char* ip;
    };
    for (const Hostile& h : {Hostile{"1;re", "192.181.1.1"}, Hostile{"$(id", "192.181.1.1"},
                             Hostile{"12", "1.2.3.4;reboot"}, Hostile{"12", "$(reboot)"},
                             Hostile{"", "192.181.1.1"}, Hostile{"12", "999.1.1.1"}}) {
        EXPECT_FALSE(pair_message_valid(build_pair_message(h.serial, h.ip)))
            << h.serial << " / " << h.ip;
    }
    PairMessage other = m;
    other[0] = 'X';
    EXPECT_FALSE(pair_message_valid(other));
}

TEST(Wlan, ChannelTableAndFiles) {
    EXPECT_EQ(ap_channel("1234"), 6);
    EXPECT_EQ(station_frequency("1234"), 2437);
    EXPECT_EQ(ap_channel("1300"), 2);
    EXPECT_EQ(station_frequency("9"), 2462);
    EXPECT_EQ(hostapd_config("wlan0", "burnin1300", 6),
              "interface=wlan0\nssid=burnin1300\nchannel=6\ndriver=nl80211\nhw_mode=g\n"
              "ieee80211ac=1\n");
}

TEST(Wlan, WirelessLineParsing) {
    EXPECT_EQ(
        wireless_quality(
            "wlan0: 0000   54.  -56.  -256        0      0      0      0      0        0", "wlan0"),
        54);
    EXPECT_EQ(wireless_quality("  wlan0: 0000   70.  -30.  -256", "wlan0"), 70);
    EXPECT_EQ(wireless_quality("wlan1: 0000   70.  -30.  -256", "wlan0"), -1);
    EXPECT_EQ(wireless_quality("wlan0x: 0000   70.", "wlan0"), -1);
    EXPECT_EQ(wireless_quality("Inter-| sta-|   Quality        |   Discarded packets", "wlan0"),
              -1);
    // The status field is skipped whole, and a quality is a byte: anything else is none (an
    // overlong number once overflowed the reader).
    struct Case {
        const char* line;
        int quality;
    };
    const Case cases[] = {
        {"wlan0: 00000000000000000000000000000000054 7.\n", 7},
        {"wlan0: 0000 255.\n", 255},
        {"wlan0: 0000 256.\n", -1},
        {"wlan0: 0000 -5.\n", -1},
        {"wlan0: 0000 99999999999999999999.\n", -1},
        {"wlan0:8888\n", -1},
        {"wlan0: 0000\n", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(wireless_quality(c.line, "wlan0"), c.quality) << c.line;
}

}  // namespace
}  // namespace ovik
