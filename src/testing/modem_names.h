// Device names of the cellular modems, one per cellular slot, from the configuration.
#pragma once

#include <array>

namespace ovik {

inline constexpr std::size_t DEVICE_NAME_SIZE = 16;
using DeviceName = std::array<char, DEVICE_NAME_SIZE>;

extern std::array<DeviceName, 3> modem_device;

}  // namespace ovik
