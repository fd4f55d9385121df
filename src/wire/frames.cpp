#include "wire/frames.h"

#include <cstring>

namespace ovik::wire {
namespace {

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t get32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

CommandBytes encode_command(const CommandFrame& frame) {
    CommandBytes b = frame.raw;
    put16(&b[cmd_off::CMD], frame.cmd);
    put16(&b[cmd_off::SER], frame.ser);
    put16(&b[cmd_off::RESERVED], frame.reserved);
    put32(&b[cmd_off::BAUD], frame.baud);
    put32(&b[cmd_off::TIME], frame.time);
    put16(&b[cmd_off::FAIL], frame.fail);
    std::memcpy(&b[cmd_off::FWR], frame.fwr.data(), FWR_SIZE);
    return b;
}

CommandFrame decode_command(std::span<const uint8_t, COMMAND_FRAME_SIZE> bytes) {
    CommandFrame f;
    std::memcpy(f.raw.data(), bytes.data(), COMMAND_FRAME_SIZE);
    f.cmd = get16(&bytes[cmd_off::CMD]);
    f.ser = get16(&bytes[cmd_off::SER]);
    f.reserved = get16(&bytes[cmd_off::RESERVED]);
    f.baud = get32(&bytes[cmd_off::BAUD]);
    f.time = get32(&bytes[cmd_off::TIME]);
    f.fail = get16(&bytes[cmd_off::FAIL]);
    std::memcpy(f.fwr.data(), &bytes[cmd_off::FWR], FWR_SIZE);
    return f;
}

std::string fwr_text(const std::array<char, FWR_SIZE>& fwr) {
    return field_text(fwr);
}

bool set_fwr(std::array<char, FWR_SIZE>& fwr, const std::string& text) {
    if (text.size() > FWR_SIZE || text.find('\0') != std::string::npos) return false;
    fwr.fill('\0');
    std::memcpy(fwr.data(), text.data(), text.size());
    return true;
}

ResponseBytes encode_response(const ResponseFrame& f) {
    ResponseBytes b{};
    put16(&b[rsp_off::CODE], f.code);
    put16(&b[rsp_off::SER], f.ser);
    put32(&b[rsp_off::SERIAL], f.serial);
    std::memcpy(&b[rsp_off::IP], f.ip.data(), 4);
    put16(&b[rsp_off::SOFTWAREID], f.softwareid);
    put32(&b[rsp_off::APID], f.apid);
    put16(&b[rsp_off::STATUS], f.status);
    put16(&b[rsp_off::ERROR], f.error);
    put32(&b[rsp_off::BURNTIME], f.burntime);
    put32(&b[rsp_off::CYCLES], f.cycles);
    put32(&b[rsp_off::DIAGSENT], f.diagsent);
    put32(&b[rsp_off::DIAGRECV], f.diagrecv);
    std::memcpy(&b[rsp_off::DATETIME], f.datetime.data(), 6);
    put16(&b[rsp_off::PORTNUM], f.portnum);
    for (std::size_t i = 0; i < PORT_COUNT; ++i)
        put32(&b[rsp_off::PORTFAIL + 4 * i], f.portfail[i]);
    for (std::size_t i = 0; i < ITEM_COUNT; ++i) {
        uint8_t* p = &b[rsp_off::ITEM + rsp_off::ITEM_SIZE * i];
        std::memcpy(p, f.item[i].name.data(), ITEM_NAME_SIZE);
        put32(p + ITEM_NAME_SIZE, f.item[i].fail);
    }
    put32(&b[rsp_off::WLAN_PING_SENT], f.wlan_ping_sent);
    put32(&b[rsp_off::WLAN_PING_RECV], f.wlan_ping_recv);
    b[rsp_off::WLAN_SIGNAL] = f.wlan_signal;
    b[rsp_off::WLAN_BITRATE] = f.wlan_bitrate;
    std::memcpy(&b[rsp_off::WLAN0_SSID], f.wlan0_ssid.data(), SSID_FIELD_SIZE);
    std::memcpy(&b[rsp_off::WLAN0_CHANNEL], f.wlan0_channel.data(), CHANNEL_FIELD_SIZE);
    std::memcpy(&b[rsp_off::WLAN1_SSID], f.wlan1_ssid.data(), SSID_FIELD_SIZE);
    std::memcpy(&b[rsp_off::WLAN1_CHANNEL], f.wlan1_channel.data(), CHANNEL_FIELD_SIZE);
    return b;
}

ResponseFrame decode_response(std::span<const uint8_t, RESPONSE_FRAME_SIZE> b) {
    ResponseFrame f;
    f.code = get16(&b[rsp_off::CODE]);
    f.ser = get16(&b[rsp_off::SER]);
    f.serial = get32(&b[rsp_off::SERIAL]);
    std::memcpy(f.ip.data(), &b[rsp_off::IP], 4);
    f.softwareid = get16(&b[rsp_off::SOFTWAREID]);
    f.apid = get32(&b[rsp_off::APID]);
    f.status = get16(&b[rsp_off::STATUS]);
    f.error = get16(&b[rsp_off::ERROR]);
    f.burntime = get32(&b[rsp_off::BURNTIME]);
    f.cycles = get32(&b[rsp_off::CYCLES]);
    f.diagsent = get32(&b[rsp_off::DIAGSENT]);
    f.diagrecv = get32(&b[rsp_off::DIAGRECV]);
    std::memcpy(f.datetime.data(), &b[rsp_off::DATETIME], 6);
    f.portnum = get16(&b[rsp_off::PORTNUM]);
    for (std::size_t i = 0; i < PORT_COUNT; ++i)
        f.portfail[i] = get32(&b[rsp_off::PORTFAIL + 4 * i]);
    for (std::size_t i = 0; i < ITEM_COUNT; ++i) {
        const uint8_t* p = &b[rsp_off::ITEM + rsp_off::ITEM_SIZE * i];
        std::memcpy(f.item[i].name.data(), p, ITEM_NAME_SIZE);
        f.item[i].fail = get32(p + ITEM_NAME_SIZE);
    }
    f.wlan_ping_sent = get32(&b[rsp_off::WLAN_PING_SENT]);
    f.wlan_ping_recv = get32(&b[rsp_off::WLAN_PING_RECV]);
    f.wlan_signal = b[rsp_off::WLAN_SIGNAL];
    f.wlan_bitrate = b[rsp_off::WLAN_BITRATE];
    std::memcpy(f.wlan0_ssid.data(), &b[rsp_off::WLAN0_SSID], SSID_FIELD_SIZE);
    std::memcpy(f.wlan0_channel.data(), &b[rsp_off::WLAN0_CHANNEL], CHANNEL_FIELD_SIZE);
    std::memcpy(f.wlan1_ssid.data(), &b[rsp_off::WLAN1_SSID], SSID_FIELD_SIZE);
    std::memcpy(f.wlan1_channel.data(), &b[rsp_off::WLAN1_CHANNEL], CHANNEL_FIELD_SIZE);
    return f;
}

const char* status_name(uint16_t status) {
    switch (status) {
        case STATUS_IDLE:
            return "idle";
        case STATUS_RUNNING:
            return "running";
        case STATUS_FAIL:
            return "failed";
        case STATUS_OK:
            return "passed";
        case STATUS_DOWNLOAD:
            return "downloading";
        case STATUS_DOWNLOAD_FAIL:
            return "download failed";
        case STATUS_DOWNLOAD_OK:
            return "download done";
        default:
            return "unknown";
    }
}

const char* command_name(uint16_t cmd) {
    switch (cmd) {
        case CMD_POLLING:
            return "polling";
        case CMD_QUERY:
            return "query";
        case CMD_SET_PARAMETER:
            return "set parameter";
        case CMD_START:
            return "start";
        case CMD_STOP:
            return "stop";
        case CMD_DOWNLOAD:
            return "download";
        case CMD_DOWNLOAD_RESET:
            return "download reset";
        case CMD_DOWNLOAD_CHECK:
            return "download check";
        case CMD_SAVE:
            return "save";
        case CMD_RESET:
            return "reset";
        case CMD_ALIVE_CHECK:
            return "alive check";
        case CMD_DIAGNOSTIC:
            return "diagnostic";
        default:
            return "unknown";
    }
}

std::string ip_text(const std::array<uint8_t, 4>& ip) {
    return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
           std::to_string(ip[3]);
}

}  // namespace ovik::wire
