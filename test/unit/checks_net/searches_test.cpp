// What the network checks read from outside: a GPS receiver's sentences, a modem's answer to
// AT+CGMI, a partner's pair message and the kernel's wireless table.
#include <gtest/gtest.h>

#include "checks/net/net_checks.h"

namespace ovik {
namespace {

TEST(Searches, GpsSentenceAndModemVendor) {
    struct Case {
        const char* text;
        const char* (*search)(const char*);
        const char* found;
    };
    const Case cases[] = {
        {"$GPGGA,092750.000,5321.6802,N,00630.3372,W,1,8,1.03,61.7,M,55.2,M,,*76\r\n", find_nmea_id,
         "GPGGA"},
        {"$GNTXT,01,01,02,u-blox AG*4E\r\n", find_nmea_id, "GNTXT"},
        {"$GLGSV,3,1,09,65,12,", find_nmea_id, "GLGSV"},
        {"$GPRMC and $GNRMC", find_nmea_id, "GNRMC"},  // the table's order decides
        {"\xfe\x7f garbage at the wrong speed", find_nmea_id, nullptr},
        {"$GPG", find_nmea_id, nullptr},  // an identifier cut by the end of the block
        {"$gpgga lower case", find_nmea_id, nullptr},
        {"AT+CGMI\r\r\nSierra Wireless, Incorporated\r\n\r\nOK\r\n", find_vendor,
         "Sierra Wireless"},
        {"\r\nQUALCOMM INCORPORATED\r\nOK", find_vendor, "QUALCOMM INCORPORATED"},
        {"u-blox AG", find_vendor, "u-blox"},
        {"sierra wireless", find_vendor, nullptr},
        {"Acme Modems Ltd\r\nOK", find_vendor, nullptr},
    };
    for (const auto& c : cases) {
        const char* got = c.search(c.text);
        EXPECT_STREQ(got, c.found) << c.text;
    }
}

TEST(Searches, PairMessageLayoutAndChecks) {
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

// The quality column of /proc/net/wireless: the status field is skipped whole, and a quality
// is a byte (an overlong field once shifted the columns, an overlong number overflowed).
TEST(Searches, WirelessQuality) {
    struct Case {
        const char* line;
        int quality;
    };
    const Case cases[] = {
        {"wlan0: 0000   54.  -56.  -256        0      0      0      0      0        0", 54},
        {"  wlan0: 0000   70.  -30.  -256", 70},
        {"wlan1: 0000   70.  -30.  -256", -1},
        {"wlan0x: 0000   70.", -1},
        {"Inter-| sta-|   Quality        |   Discarded packets", -1},
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
