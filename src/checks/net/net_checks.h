// checks/net: network and radio tests: raw Ethernet loop-back, ICMP ping, Wi-Fi set-up and
// pair exchange, CAN bus, GPS and cellular modems. Each test follows the test function
// contract of the test plan; NetChecks holds what the tests keep between calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "plan/check_context.h"
#include "platform/discovery.h"

namespace ovik {

// ICMP ping
uint16_t icmp_checksum(const uint8_t* buf, std::size_t len);
// The fixed echo request: type 8, checksum, 124 zero bytes.
std::array<uint8_t, 128> echo_request();

// Wi-Fi set-up and readers
inline constexpr const char* HOSTAPD_CONF = "/dev/shm/hostapd.conf";
inline constexpr const char* WLAN0_CHANNEL = "/dev/shm/wlan0_channel";
inline constexpr const char* WLAN0_SSID = "/dev/shm/wlan0_ssid";
inline constexpr const char* WLAN_PCI_CONFIG =
    "/sys/class/pci_bus/0000:01/device/0000:01:00.0/config";
int ap_channel(const char* final_sn);
int station_frequency(const char* final_sn);
std::string hostapd_config(const char* iface, const char* ssid, int channel);
// The link-quality column (0 to 255) of the interface's line of /proc/net/wireless; -1 for
// another line or one without such a value.
int wireless_quality(const char* line, const char* iface);
// Joins the access point essid: 0 when associated within about 20 s, -1 otherwise.
int set_wireless(const char* iface, const char* essid);
int wlan_start_ap(const char* iface, const char* ssid, const char* final_sn);
int wlan_connect_station(const char* iface, const char* ssid, const char* final_sn);
int testWLANDetect();

// Wi-Fi pair exchange
inline constexpr std::size_t PAIR_MSG_SIZE = 24;
using PairMessage = std::array<uint8_t, PAIR_MSG_SIZE>;
PairMessage build_pair_message(const char* serial_text, const char* ip_text);
// A pair message that is what it claims to be: "ABC", digits, a dotted IPv4 address.
bool pair_message_valid(const PairMessage& msg);

// CAN bus
inline constexpr uint32_t CAN_TWO_PORT_ID = 0x123;

// GPS
inline constexpr std::size_t NMEA_IDS = 13;
inline constexpr std::size_t NMEA_ID_SIZE = 6;
extern const char nmea_ids[NMEA_IDS][NMEA_ID_SIZE];
// The first known sentence identifier in text, or nullptr.
const char* find_nmea_id(const char* text);

// Cellular
inline constexpr std::size_t VENDOR_COUNT = 9;
inline constexpr std::size_t VENDOR_SIZE = 24;
extern const char cell_vendors[VENDOR_COUNT][VENDOR_SIZE];
const char* find_vendor(const char* text);

class NetChecks {
  public:
    NetChecks(const CheckContext& ctx, PairAddress& pair) : ctx_(ctx), pair_(pair) {}

    // Ethernet raw frames
    int singlelooptestLANbyRAW(const char* port);
    int testLAN2Raw() { return singlelooptestLANbyRAW("eth1"); }
    int testLAN3Raw() { return singlelooptestLANbyRAW("eth2"); }
    int testLAN4Raw() { return singlelooptestLANbyRAW("eth3"); }

    // ICMP ping
    int testPing(const char* iface, const char* target, int limit_s, int uncounted);
    int testLAN2Ping();
    int testWLANAlone();
    int testWLANPair();
    void get_bit_rate(const char* iface);
    void get_signal_level(const char* iface);

    // The Wi-Fi pair exchange over the wired port, then the radio's role: 0, or negative
    // when no partner answered or the radio could not be set up.
    int wlan_pair_exchange(const char* wired, const char* wifi, uint32_t serial);
    const char* final_sn_text() const { return final_sn; }

    // CAN bus
    int testCAN(const char* ifname);
    int testTwoCAN(const char* ifname0, const char* ifname1);

    // GPS and cellular
    int testGPS();
    int testCELL_AT(const char* port);

  private:
    CheckContext ctx_;
    PairAddress& pair_;
    // The pair exchange's serial numbers as text: ours, the partner's, and the access
    // point's (the one the radios' names and channels come from).
    char self_sn[8] = {};
    char pair_sn[8] = {};
    char final_sn[8] = {};
    // Reads that held no known sentence; the first one in the life of the agent is forgiven.
    int gps_bad_msg_count = 0;
};

}  // namespace ovik
