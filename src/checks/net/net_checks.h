// checks/net: network and radio tests: raw Ethernet loop-back, ICMP ping, Wi-Fi set-up and
// pair exchange, CAN bus, GPS and cellular modems. Each test follows the test function
// contract of the test plan.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "plan/catalogue.h"

namespace ovik {

// Puts this library's tests and set-up steps into the catalogue the configuration loader uses.
void register_net_tests(TestCatalogue& c);

// Ethernet raw frames
int singlelooptestLANbyRAW(const char* port);
int testLAN2Raw();
int testLAN3Raw();
int testLAN4Raw();

// ICMP ping
uint16_t icmp_checksum(const uint8_t* buf, std::size_t len);
// The fixed echo request: type 8, checksum, 124 zero bytes.
std::array<uint8_t, 128> echo_request();
int testPing(const char* iface, const char* target, int limit_s, int uncounted);
int testLAN2Ping();
int testWLANAlone();
int testWLANPair();

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
int set_wireless(const char* iface, const char* essid);
int wlan_start_ap(const char* iface, const char* ssid);
int wlan_connect_station(const char* iface, const char* ssid);
void get_bit_rate(const char* iface);
void get_signal_level(const char* iface);
int testWLANDetect();

// Wi-Fi pair exchange
inline constexpr std::size_t PAIR_MSG_SIZE = 24;
using PairMessage = std::array<uint8_t, PAIR_MSG_SIZE>;
extern char self_sn[8];
extern char pair_sn[8];
extern char final_sn[8];
PairMessage build_pair_message(const char* serial_text, const char* ip_text);
// A pair message that is what it claims to be: "ABC", digits, a dotted IPv4 address.
bool pair_message_valid(const PairMessage& msg);
int wlan_pair_exchange(const char* wired, const char* wifi, uint32_t serial);

// CAN bus
inline constexpr uint32_t CAN_TWO_PORT_ID = 0x123;
int testCAN(const char* ifname);
int testTwoCAN(const char* ifname0, const char* ifname1);

// GPS
inline constexpr std::size_t NMEA_IDS = 13;
extern const char* const nmea_ids[NMEA_IDS];
// The first known sentence identifier in text, or nullptr.
const char* find_nmea_id(const char* text);
int testGPS();

// Cellular
inline constexpr std::size_t VENDOR_COUNT = 9;
extern const char* const cell_vendors[VENDOR_COUNT];
const char* find_vendor(const char* text);
int testCELL_AT(const char* port);

}  // namespace ovik
