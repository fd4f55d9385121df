#include "station/report.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace ovik::station {
namespace {

using namespace wire;

std::string item_name(const ResponseFrame& f, std::size_t i) {
    const std::string name = field_text(f.item[i].name);
    return name.empty() ? "item" + std::to_string(i) : name;
}

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

std::string datetime_text(const std::array<uint8_t, 6>& dt) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", 1900 + dt[5], dt[4] + 1,
                  dt[3], dt[2], dt[1], dt[0]);
    return text;
}

}  // namespace

AgentReport report_of(const AgentSession& session) {
    return AgentReport{session.label(), session.verdict(), session.download(), session.reason(),
                       session.record()};
}

bool agent_passed(const AgentReport& report) {
    return report.verdict == Verdict::passed && (report.download == DownloadResult::not_requested ||
                                                 report.download == DownloadResult::done);
}

int exit_status(const std::vector<AgentReport>& reports) {
    if (reports.empty()) return 2;
    return std::all_of(reports.begin(), reports.end(), agent_passed) ? 0 : 1;
}

std::string burn_time_text(uint32_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u:%02u", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
}

std::string failed_items_text(const ResponseFrame& f) {
    std::string text;
    for (std::size_t i = 0; i < ITEM_COUNT; ++i) {
        if (f.item[i].fail == 0) continue;
        if (!text.empty()) text += ' ';
        text += item_name(f, i) + ":" + std::to_string(f.item[i].fail);
    }
    return text;
}

std::string failed_ports_text(const ResponseFrame& f) {
    std::string text;
    for (std::size_t i = 0; i < PORT_COUNT; ++i) {
        if (f.portfail[i] == 0) continue;
        if (!text.empty()) text += ' ';
        text += std::to_string(i) + ":" + std::to_string(f.portfail[i]);
    }
    return text;
}

std::string progress_bar(uint32_t percent) {
    constexpr std::size_t WIDTH = 20;
    const std::size_t filled = std::min<uint32_t>(percent, 100) * WIDTH / 100;
    char tail[8];
    std::snprintf(tail, sizeof tail, "] %3u%%", std::min<uint32_t>(percent, 100));
    std::string bar = "[";
    bar.append(filled, '#');
    bar.append(WIDTH - filled, '.');
    bar += tail;
    return bar;
}

std::string live_line(const AgentSession& s) {
    const auto& record = s.record();
    const std::string serial = record ? std::to_string(record->serial) : "?";
    const char* state = s.done() ? verdict_name(s.verdict()) : phase_name(s.phase());
    char head[96];
    std::snprintf(head, sizeof head, "serial %-10s %-21s %-13s", serial.c_str(), s.label().c_str(),
                  state);
    std::string line = head;
    if (!record) return line;
    line +=
        " cycles " + std::to_string(record->cycles) + "  burn " + burn_time_text(record->burntime);
    if (s.phase() == Phase::downloading) line += "  download " + progress_bar(s.progress());
    const std::string items = failed_items_text(*record);
    const std::string ports = failed_ports_text(*record);
    if (items.empty() && ports.empty()) {
        line += "  no failures";
    } else {
        if (!items.empty()) line += "  failed items " + items;
        if (!ports.empty()) line += "  failed ports " + ports;
    }
    return line;
}

std::string verdict_table(const std::vector<AgentReport>& reports) {
    std::vector<std::array<std::string, 8>> rows;
    rows.push_back({"SERIAL", "ADDRESS", "VERDICT", "CYCLES", "BURN TIME", "FAILED ITEMS",
                    "FAILED PORTS", "DOWNLOAD"});
    for (const AgentReport& r : reports) {
        const bool known = r.record.has_value();
        rows.push_back(
            {known ? std::to_string(r.record->serial) : "?", r.address, verdict_name(r.verdict),
             known ? std::to_string(r.record->cycles) : "-",
             known ? burn_time_text(r.record->burntime) : "-",
             known ? or_dash(failed_items_text(*r.record)) : "-",
             known ? or_dash(failed_ports_text(*r.record)) : "-",
             r.download == DownloadResult::not_requested ? "-" : download_result_name(r.download)});
    }
    std::array<std::size_t, 8> width{};
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        text += line + "\n";
    }
    for (const AgentReport& r : reports) {
        if (!r.reason.empty()) text += r.address + ": " + r.reason + "\n";
    }
    const auto passed = std::count_if(reports.begin(), reports.end(), agent_passed);
    text += std::to_string(passed) + " of " + std::to_string(reports.size()) + " agent" +
            (reports.size() == 1 ? "" : "s") + " passed\n";
    return text;
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

std::string record_json(const ResponseFrame& f, const std::string& indent) {
    const std::string in = indent + "  ";
    std::string j = "{\n";
    auto num = [&](const char* key, uint64_t value) {
        j += in + json_string(key) + ": " + std::to_string(value) + ",\n";
    };
    auto text = [&](const char* key, const std::string& value) {
        j += in + json_string(key) + ": " + json_string(value) + ",\n";
    };
    num("code", f.code);
    num("ser", f.ser);
    num("serial", f.serial);
    text("ip", ip_text(f.ip));
    num("softwareid", f.softwareid);
    num("apid", f.apid);
    num("status", f.status);
    text("status_name", status_name(f.status));
    num("error", f.error);
    num("burntime", f.burntime);
    num("cycles", f.cycles);
    num("diagsent", f.diagsent);
    num("diagrecv", f.diagrecv);
    text("datetime", datetime_text(f.datetime));
    num("portnum", f.portnum);
    std::string ports;
    for (std::size_t i = 0; i < PORT_COUNT; ++i) {
        if (i >= f.portnum && f.portfail[i] == 0) continue;
        if (!ports.empty()) ports += ", ";
        ports += json_string("port " + std::to_string(i)) + ": " + std::to_string(f.portfail[i]);
    }
    j += in + "\"portfail\": {" + ports + "},\n";
    std::string items;
    for (std::size_t i = 0; i < ITEM_COUNT; ++i) {
        const std::string name = field_text(f.item[i].name);
        if (name.empty()) continue;
        if (!items.empty()) items += ", ";
        items += "{\"name\": " + json_string(name) +
                 ", \"fail\": " + std::to_string(f.item[i].fail) + "}";
    }
    j += in + "\"items\": [" + items + "],\n";
    num("wlan_ping_sent", f.wlan_ping_sent);
    num("wlan_ping_recv", f.wlan_ping_recv);
    num("wlan_signal", f.wlan_signal);
    num("wlan_bitrate", f.wlan_bitrate);
    text("wlan0_ssid", field_text(f.wlan0_ssid));
    text("wlan0_channel", field_text(f.wlan0_channel));
    text("wlan1_ssid", field_text(f.wlan1_ssid));
    j += in + "\"wlan1_channel\": " + json_string(field_text(f.wlan1_channel)) + "\n";
    return j + indent + "}";
}

std::string report_json(const std::vector<AgentReport>& reports) {
    std::string j = "[";
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const AgentReport& r = reports[i];
        j += i == 0 ? "\n" : ",\n";
        j += "  {\n";
        j += "    \"serial\": " +
             (r.record ? std::to_string(r.record->serial) : std::string("null")) + ",\n";
        j += "    \"address\": " + json_string(r.address) + ",\n";
        j += "    \"verdict\": " + json_string(verdict_name(r.verdict)) + ",\n";
        j += "    \"download\": " + json_string(download_result_name(r.download)) + ",\n";
        j += "    \"reason\": " + json_string(r.reason) + ",\n";
        j += "    \"record\": " + (r.record ? record_json(*r.record, "    ") : "null") + "\n";
        j += "  }";
    }
    return j + (reports.empty() ? "]\n" : "\n]\n");
}

}  // namespace ovik::station
