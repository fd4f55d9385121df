// The device model's configuration, cfg_ovikburn: which tests run, on which device nodes, and
// how the interfaces are prepared. Written once at start-up, read-only afterwards.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace ovik {

inline constexpr std::size_t DEVICE_NAME_SIZE = 16;
using DeviceName = std::array<char, DEVICE_NAME_SIZE>;

// Storage device names become "/media/NAME" mount points, which must stay within 15 characters.
inline constexpr std::size_t STORAGE_NAME_MAX = 8;
inline constexpr uint16_t SERIAL_PORT_MAX = 64;
inline constexpr const char* MSATA_NODE_PATH = "/dev/shm/mSATA_node";

// storagemask bits
inline constexpr uint32_t STORAGE_USB1 = 1;
inline constexpr uint32_t STORAGE_MSATA = 2;
inline constexpr uint32_t STORAGE_SD = 4;

struct Configuration {
    uint32_t downloadfwr = 0;  // a firmware download is expected after a passed run
    uint32_t gigalanlb = 0;    // eth1's PHY is in loop-back and must be restored at the end
    DeviceName serial_device{};
    int32_t interface_mode = -1;
    DeviceName usb1_device{};
    DeviceName sd_device{};
    DeviceName msata_device{};
    uint32_t storagemask = 0;
    DeviceName gps_device{};
    std::array<DeviceName, 3> modem_device{};
    std::array<char, 20> ap_address{'1', '7', '2', '.', '1', '6', '.', '0', '.', '1'};
    DeviceName ap_essid{};
};

extern Configuration config;

// Baud rate of the serial loop-back test, set by the PC's set-parameter command.
extern std::atomic<uint32_t> serial_baud;

// Loads the INI file at path. 0 when it was read, -1 when it cannot be used: the reason is
// printed on one line naming the key, then "cannot parse file: PATH". A refused file changes
// nothing.
int load_config(const char* path);

// Text of a fixed field, up to its terminator.
template <std::size_t N>
std::string text_of(const std::array<char, N>& field) {
    std::size_t n = 0;
    while (n < N && field[n] != '\0') ++n;
    return std::string(field.data(), n);
}

}  // namespace ovik
