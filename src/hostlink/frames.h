// The host link's two frames as the agent sees them: a command as it arrives, and the response
// frame, made when it is sent from the record, the run status, the fields the link keeps of
// its own and the Wi-Fi texts of the device image.
#pragma once

#include <array>
#include <cstdint>

#include "plan/testresult.h"
#include "wire/frames.h"

namespace ovik {

// A command frame from the PC, numbers in host order.
using HostCommand = wire::CommandFrame;

// Converts the first 128 received bytes into a command.
HostCommand parse_command_frame(const uint8_t* bytes);

// Files the device image writes with the Wi-Fi names the PC sees in every frame.
struct WifiTextFiles {
    const char* wlan0_ssid = "/dev/shm/wlan0_ssid";
    const char* wlan0_channel = "/dev/shm/wlan0_channel";
    const char* wlan1_ssid = "/dev/shm/wlan1_ssid";
    const char* wlan1_channel = "/dev/shm/wlan1_channel";
};

// The four Wi-Fi texts of a frame, each as its field holds it.
struct WifiTexts {
    std::array<char, wire::SSID_FIELD_SIZE> wlan0_ssid{};
    std::array<char, wire::CHANNEL_FIELD_SIZE> wlan0_channel{};
    std::array<char, wire::SSID_FIELD_SIZE> wlan1_ssid{};
    std::array<char, wire::CHANNEL_FIELD_SIZE> wlan1_channel{};
};

// The first line of each file as a line reader gives it for a buffer of its field's size; a
// missing or empty file gives the empty text.
WifiTexts read_wifi_texts(const WifiTextFiles& files = WifiTextFiles{});

// The fields of every frame that belong to the link rather than to the record. Each frame
// carries them as they stand: a value the link set for one frame stays until it sets another.
struct LinkFields {
    uint16_t ser = 0;    // the sequence number; each accepted numbered command advances it
    uint16_t error = 0;  // the error of the last command handled
    uint32_t burntime = 0;
    uint32_t diagsent = 0;  // status reports sent; while downloading, the progress
    uint32_t diagrecv = 0;  // diagnostic commands received while running
    std::array<uint8_t, 6> datetime{};
};

// The response frame with the code given.
wire::ResponseBytes build_response_frame(uint16_t code, const LinkFields& fields,
                                         const RunState& run, const WifiTexts& texts);

}  // namespace ovik
