// wire: the two frames of the host link between the agent and the test PC, their codes, and
// their conversion to and from bytes. Agent and station both build on this and nothing else
// defines a byte of the protocol.
//
// Every multi-byte number is big-endian; both frames are packed, so some fields start at odd
// offsets. The structs below hold the values in host order; encode and decode do the rest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace ovik::wire {

inline constexpr std::size_t COMMAND_FRAME_SIZE = 128;
inline constexpr std::size_t RESPONSE_FRAME_SIZE = 512;
inline constexpr uint16_t AGENT_PORT = 1033;
inline constexpr uint16_t PC_PORT = 1032;

// Command codes (req.cmd).
inline constexpr uint16_t CMD_POLLING = 1;
inline constexpr uint16_t CMD_QUERY = 2;
inline constexpr uint16_t CMD_SET_PARAMETER = 3;
inline constexpr uint16_t CMD_START = 4;
inline constexpr uint16_t CMD_STOP = 5;
inline constexpr uint16_t CMD_DOWNLOAD = 6;
inline constexpr uint16_t CMD_DOWNLOAD_RESET = 7;
inline constexpr uint16_t CMD_DOWNLOAD_CHECK = 8;
inline constexpr uint16_t CMD_SAVE = 9;
inline constexpr uint16_t CMD_RESET = 0x3FFF;
inline constexpr uint16_t CMD_ALIVE_CHECK = 0x8000;
inline constexpr uint16_t CMD_DIAGNOSTIC = 0xC000;

// Response codes (testresult.code).
inline constexpr uint16_t RSP_ALIVE = 0x8000;
inline constexpr uint16_t RSP_DIAG = 0xC000;
inline constexpr uint16_t ACK_BIT = 0x8000;
inline constexpr uint16_t NAK_BIT = 0x4000;
inline constexpr uint16_t RSP_DOWNLOAD_END = ACK_BIT | CMD_DOWNLOAD;

// Run status (testresult.status).
inline constexpr uint16_t STATUS_IDLE = 0;
inline constexpr uint16_t STATUS_RUNNING = 1;
inline constexpr uint16_t STATUS_FAIL = 2;
inline constexpr uint16_t STATUS_OK = 16;
inline constexpr uint16_t STATUS_DOWNLOAD = 32;
inline constexpr uint16_t STATUS_DOWNLOAD_FAIL = 48;
inline constexpr uint16_t STATUS_DOWNLOAD_OK = 256;

// Error codes (testresult.error).
inline constexpr uint16_t ERR_SEQUENCE = 3;
inline constexpr uint16_t ERR_BAUD = 4;
inline constexpr uint16_t ERR_STATE = 5;
inline constexpr uint16_t ERR_RUN_FAILED = 6;

inline constexpr uint32_t MAX_BAUD = 921600;
inline constexpr std::size_t ITEM_COUNT = 8;
inline constexpr std::size_t ITEM_NAME_SIZE = 12;
inline constexpr std::size_t PORT_COUNT = 64;
inline constexpr std::size_t FWR_SIZE = 16;

// Byte offsets of the command frame.
namespace cmd_off {
inline constexpr std::size_t CMD = 0, SER = 2, RESERVED = 4, BAUD = 6, TIME = 10, FAIL = 27,
                             FWR = 29;
}

// Byte offsets of the response frame.
namespace rsp_off {
inline constexpr std::size_t CODE = 0, SER = 2, SERIAL = 4, IP = 8, SOFTWAREID = 12, APID = 14,
                             STATUS = 18, ERROR = 20, BURNTIME = 22, RESERVED1 = 26, CYCLES = 30,
                             DIAGSENT = 34, DIAGRECV = 38, DATETIME = 42, RESERVED2 = 48,
                             PORTNUM = 51, PORTFAIL = 53, ITEM = 309, WLAN_PING_SENT = 437,
                             WLAN_PING_RECV = 441, WLAN_SIGNAL = 445, WLAN_BITRATE = 446,
                             WLAN0_SSID = 447, WLAN0_CHANNEL = 460, WLAN1_SSID = 465,
                             WLAN1_CHANNEL = 478, TAIL = 483;
inline constexpr std::size_t ITEM_SIZE = ITEM_NAME_SIZE + 4;
}  // namespace rsp_off

inline constexpr std::size_t SSID_FIELD_SIZE = 13;
inline constexpr std::size_t CHANNEL_FIELD_SIZE = 5;

using CommandBytes = std::array<uint8_t, COMMAND_FRAME_SIZE>;
using ResponseBytes = std::array<uint8_t, RESPONSE_FRAME_SIZE>;

// A command frame, numbers in host order.
struct CommandFrame {
    uint16_t cmd = 0;
    uint16_t ser = 0;
    uint16_t reserved = 0;
    uint32_t baud = 0;
    uint32_t time = 0;
    uint16_t fail = 0;
    std::array<char, FWR_SIZE> fwr{};  // not necessarily zero-terminated
    CommandBytes raw{};                // every byte as received, for the reserved areas
};

CommandBytes encode_command(const CommandFrame& frame);
// Takes the first 128 bytes; the caller checks the length.
CommandFrame decode_command(std::span<const uint8_t, COMMAND_FRAME_SIZE> bytes);

// The firmware name of a frame as text: up to its zero byte or the end of the field.
std::string fwr_text(const std::array<char, FWR_SIZE>& fwr);
// Fills a firmware field from text; false when the text does not fit in 16 bytes.
bool set_fwr(std::array<char, FWR_SIZE>& fwr, const std::string& text);

struct ItemRecord {
    std::array<char, ITEM_NAME_SIZE> name{};
    uint32_t fail = 0;
};

// A response frame, numbers in host order; ip holds the address bytes in their usual order.
struct ResponseFrame {
    uint16_t code = 0;
    uint16_t ser = 0;
    uint32_t serial = 0;
    std::array<uint8_t, 4> ip{};
    uint16_t softwareid = 0;
    uint32_t apid = 0;
    uint16_t status = 0;
    uint16_t error = 0;
    uint32_t burntime = 0;
    uint32_t cycles = 0;
    uint32_t diagsent = 0;
    uint32_t diagrecv = 0;
    std::array<uint8_t, 6> datetime{};  // sec, min, hour, mday, mon (0-11), year - 1900
    uint16_t portnum = 0;
    std::array<uint32_t, PORT_COUNT> portfail{};
    std::array<ItemRecord, ITEM_COUNT> item{};
    uint32_t wlan_ping_sent = 0;
    uint32_t wlan_ping_recv = 0;
    uint8_t wlan_signal = 0;
    uint8_t wlan_bitrate = 0;
    std::array<char, SSID_FIELD_SIZE> wlan0_ssid{};
    std::array<char, CHANNEL_FIELD_SIZE> wlan0_channel{};
    std::array<char, SSID_FIELD_SIZE> wlan1_ssid{};
    std::array<char, CHANNEL_FIELD_SIZE> wlan1_channel{};
};

ResponseBytes encode_response(const ResponseFrame& frame);
ResponseFrame decode_response(std::span<const uint8_t, RESPONSE_FRAME_SIZE> bytes);

// Text of a fixed character field, up to its first zero byte.
template <std::size_t N>
std::string field_text(const std::array<char, N>& field) {
    std::size_t n = 0;
    while (n < N && field[n] != '\0') ++n;
    return std::string(field.data(), n);
}

// Names for the console and reports.
const char* status_name(uint16_t status);
const char* command_name(uint16_t cmd);
std::string ip_text(const std::array<uint8_t, 4>& ip);

}  // namespace ovik::wire
