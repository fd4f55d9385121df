#include <gtest/gtest.h>

#include <cstring>

#include "tests/net/net_tests.h"

namespace ovik {
namespace {

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
}

}  // namespace
}  // namespace ovik
