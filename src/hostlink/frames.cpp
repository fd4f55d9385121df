#include "hostlink/frames.h"

#include <cstdio>

#include "base/unique_fd.h"

namespace ovik {

HostCommand parse_command_frame(const uint8_t* bytes) {
    return wire::decode_command(
        std::span<const uint8_t, wire::COMMAND_FRAME_SIZE>(bytes, wire::COMMAND_FRAME_SIZE));
}

namespace {

// The first line of the file as a line reader gives it for a buffer of the field's size;
// a missing or empty file gives the empty text.
template <std::size_t N>
void read_text_field(const char* path, std::array<char, N>& field) {
    field.fill('\0');
    UniqueFile f(std::fopen(path, "r"));
    if (!f) return;
    if (std::fgets(field.data(), static_cast<int>(N), f.get()) == nullptr) field.fill('\0');
}

}  // namespace

WifiTexts read_wifi_texts(const WifiTextFiles& files) {
    WifiTexts t;
    read_text_field(files.wlan0_ssid, t.wlan0_ssid);
    read_text_field(files.wlan0_channel, t.wlan0_channel);
    read_text_field(files.wlan1_ssid, t.wlan1_ssid);
    read_text_field(files.wlan1_channel, t.wlan1_channel);
    return t;
}

wire::ResponseBytes build_response_frame(uint16_t code, const LinkFields& fields,
                                         const RunState& run, const WifiTexts& texts) {
    constexpr auto r = std::memory_order_relaxed;
    const TestResult& record = run.testresult;
    wire::ResponseFrame f;
    f.code = code;
    f.ser = fields.ser;
    f.serial = record.serial;
    f.ip = {static_cast<uint8_t>(record.ip >> 24), static_cast<uint8_t>(record.ip >> 16),
            static_cast<uint8_t>(record.ip >> 8), static_cast<uint8_t>(record.ip)};
    f.softwareid = record.softwareid;
    f.apid = record.apid;
    f.status = run.status();
    f.error = fields.error;
    f.burntime = fields.burntime;
    f.cycles = record.cycles.load(r);
    f.diagsent = fields.diagsent;
    f.diagrecv = fields.diagrecv;
    f.datetime = fields.datetime;
    f.portnum = record.portnum;
    for (std::size_t i = 0; i < wire::PORT_COUNT; ++i) f.portfail[i] = record.portfail[i].load(r);
    for (std::size_t i = 0; i < wire::ITEM_COUNT; ++i) {
        for (std::size_t k = 0; k < wire::ITEM_NAME_SIZE; ++k) {
            f.item[i].name[k] = record.item[i].name[k].load(r);
        }
        f.item[i].fail = record.item[i].fail.load(r);
    }
    f.wlan_ping_sent = record.wlan_ping_sent.load(r);
    f.wlan_ping_recv = record.wlan_ping_recv.load(r);
    f.wlan_signal = record.wlan_signal.load(r);
    f.wlan_bitrate = record.wlan_bitrate.load(r);
    f.wlan0_ssid = texts.wlan0_ssid;
    f.wlan0_channel = texts.wlan0_channel;
    f.wlan1_ssid = texts.wlan1_ssid;
    f.wlan1_channel = texts.wlan1_channel;
    return wire::encode_response(f);
}

}  // namespace ovik
