#include "station/records/json.h"

#include <cstdio>

namespace ovik::station {
namespace {

using namespace wire;

void lay_out(std::string& out, const Json& value, const std::string& indent, int open_levels) {
    if (!value.is_structured() || value.empty()) {
        out += json_line(value);
        return;
    }
    const bool open = open_levels > 0;
    const std::string inner = indent + "  ";
    out += value.is_object() ? '{' : '[';
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (it != value.begin()) out += open ? "," : ", ";
        if (open) out += "\n" + inner;
        if (value.is_object()) out += json_line(it.key()) + ": ";
        lay_out(out, it.value(), inner, open_levels - 1);
    }
    if (open) out += "\n" + indent;
    out += value.is_object() ? '}' : ']';
}

}  // namespace

// The ports a report lists: those the agent tests, and any other with a count.
bool port_listed(const ResponseFrame& f, std::size_t i) {
    return i < f.portnum || f.portfail[i] != 0;
}

void append_utf8(std::string& out, unsigned char c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string datetime_text(const std::array<uint8_t, 6>& dt) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", 1900 + dt[5], dt[4] + 1,
                  dt[3], dt[2], dt[1], dt[0]);
    return text;
}

Json record_value(const ResponseFrame& f) {
    Json j;
    j["code"] = f.code;
    j["ser"] = f.ser;
    j["serial"] = f.serial;
    j["ip"] = ip_text(f.ip);
    j["softwareid"] = f.softwareid;
    j["apid"] = f.apid;
    j["status"] = f.status;
    j["status_name"] = status_name(f.status);
    j["error"] = f.error;
    j["burntime"] = f.burntime;
    j["cycles"] = f.cycles;
    j["diagsent"] = f.diagsent;
    j["diagrecv"] = f.diagrecv;
    j["datetime"] = datetime_text(f.datetime);
    j["portnum"] = f.portnum;
    Json ports = Json::object();
    for (std::size_t i = 0; i < PORT_COUNT; ++i) {
        if (port_listed(f, i)) ports["port " + std::to_string(i)] = f.portfail[i];
    }
    j["portfail"] = std::move(ports);
    Json items = Json::array();
    for (std::size_t i = 0; i < ITEM_COUNT; ++i) {
        const std::string name = field_text(f.item[i].name);
        if (name.empty()) continue;
        items.push_back(Json{{"name", utf8_of_latin1(name)}, {"fail", f.item[i].fail}});
    }
    j["items"] = std::move(items);
    j["wlan_ping_sent"] = f.wlan_ping_sent;
    j["wlan_ping_recv"] = f.wlan_ping_recv;
    j["wlan_signal"] = f.wlan_signal;
    j["wlan_bitrate"] = f.wlan_bitrate;
    j["wlan0_ssid"] = utf8_of_latin1(field_text(f.wlan0_ssid));
    j["wlan0_channel"] = utf8_of_latin1(field_text(f.wlan0_channel));
    j["wlan1_ssid"] = utf8_of_latin1(field_text(f.wlan1_ssid));
    j["wlan1_channel"] = utf8_of_latin1(field_text(f.wlan1_channel));
    return j;
}

std::string json_line(const Json& value) {
    // The texts are UTF-8 already; replacing keeps one that was missed from throwing on a web
    // server thread.
    return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

std::string json_layout(const Json& value, const std::string& indent, int open_levels) {
    std::string out;
    lay_out(out, value, indent, open_levels);
    return out;
}

std::string utf8_of_latin1(std::string_view text) {
    std::string out;
    for (const char ch : text) append_utf8(out, static_cast<unsigned char>(ch));
    return out;
}

std::string record_json(const ResponseFrame& f, const std::string& indent) {
    return json_layout(record_value(f), indent, 1);
}

}  // namespace ovik::station
