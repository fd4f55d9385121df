#include "station/report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <map>
#include <utility>

#include "station/json.h"

namespace ovik::station {
namespace {

using namespace wire;

// Control characters from a device would upset a terminal; they show as '?'.
std::string item_name(const ResponseFrame& f, std::size_t i) {
    std::string name = field_text(f.item[i].name);
    for (char& ch : name) {
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
    }
    return name.empty() ? "item" + std::to_string(i) : name;
}

// The ports a report lists: those the agent tests, and any other with a count.
bool port_listed(const ResponseFrame& f, std::size_t i) {
    return i < f.portnum || f.portfail[i] != 0;
}

constexpr const char* ALERT_ON = "\x1b[1;31m";
constexpr const char* ALERT_OFF = "\x1b[0m";

void append_utf8(std::string& out, unsigned char c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string time_text(uint32_t seconds, bool utc, const char* format) {
    const std::time_t t = seconds;
    std::tm tm{};
    if ((utc ? ::gmtime_r(&t, &tm) : ::localtime_r(&t, &tm)) == nullptr) return "?";
    char text[32];
    std::strftime(text, sizeof text, format, &tm);
    return text;
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

}  // namespace

AgentReport report_of(const AgentSession& session) {
    return AgentReport{session.label(),    session.verdict(), session.download(),
                       session.reason(),   session.record(),  session.started_at(),
                       session.ended_at(), session.reports(), session.reports_sent()};
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

std::string utc_text(uint32_t seconds) {
    return time_text(seconds, true, "%Y-%m-%dT%H:%M:%SZ");
}

std::string local_time_text(uint32_t seconds) {
    return time_text(seconds, false, "%Y-%m-%d %H:%M:%S");
}

std::string table_text(const std::vector<std::vector<Cell>>& rows, bool highlight) {
    std::vector<std::size_t> width;
    for (const auto& row : rows) {
        width.resize(std::max(width.size(), row.size()));
        for (std::size_t c = 0; c < row.size(); ++c) {
            width[c] = std::max(width[c], row[c].text.size());
        }
    }
    std::string text;
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            const bool alert = highlight && row[c].alert;
            if (alert) text += ALERT_ON;
            text += row[c].text;
            if (alert) text += ALERT_OFF;
            if (c + 1 < row.size()) text.append(width[c] - row[c].text.size() + 2, ' ');
        }
        text += '\n';
    }
    return text;
}

std::string verdict_table(const std::vector<AgentReport>& reports) {
    std::vector<std::vector<Cell>> rows;
    rows.push_back({{"SERIAL"},
                    {"ADDRESS"},
                    {"VERDICT"},
                    {"CYCLES"},
                    {"BURN TIME"},
                    {"FAILED ITEMS"},
                    {"FAILED PORTS"},
                    {"DOWNLOAD"}});
    for (const AgentReport& r : reports) {
        const bool known = r.record.has_value();
        rows.push_back(
            {{known ? std::to_string(r.record->serial) : "?"},
             {r.address},
             {verdict_name(r.verdict)},
             {known ? std::to_string(r.record->cycles) : "-"},
             {known ? burn_time_text(r.record->burntime) : "-"},
             {known ? or_dash(failed_items_text(*r.record)) : "-"},
             {known ? or_dash(failed_ports_text(*r.record)) : "-"},
             {r.download == DownloadResult::not_requested ? "-"
                                                          : download_result_name(r.download)}});
    }
    std::string text = table_text(rows, false);
    // Devices that share an address (serial numbers whose addresses collide) are told apart by
    // their serial numbers.
    std::map<std::string, int> at;
    for (const AgentReport& r : reports) ++at[r.address];
    for (const AgentReport& r : reports) {
        if (r.reason.empty()) continue;
        text += r.address;
        if (at[r.address] > 1 && r.record)
            text += " (serial " + std::to_string(r.record->serial) + ")";
        text += ": " + r.reason + "\n";
    }
    const auto passed = std::count_if(reports.begin(), reports.end(), agent_passed);
    text += std::to_string(passed) + " of " + std::to_string(reports.size()) + " agent" +
            (reports.size() == 1 ? "" : "s") + " passed\n";
    return text;
}

std::string reports_summary(const std::vector<AgentReport>& reports) {
    constexpr std::size_t NAMED = 5;
    uint64_t received = 0;
    uint64_t sent = 0;
    uint64_t lost = 0;
    std::size_t counted = 0;
    std::size_t losing = 0;
    std::string named;
    for (const AgentReport& r : reports) {
        if (!r.reports_sent) continue;
        ++counted;
        received += r.reports;
        sent += *r.reports_sent;
        if (*r.reports_sent <= r.reports) continue;
        lost += *r.reports_sent - r.reports;
        if (++losing <= NAMED) {
            named += (losing > 1 ? ", " : "") + std::string("serial ") +
                     (r.record ? std::to_string(r.record->serial) : "?") + " at " + r.address +
                     " lost " + std::to_string(*r.reports_sent - r.reports);
        }
    }
    if (counted == 0) return "";
    std::string text = "status reports of " + std::to_string(counted) + " run" +
                       (counted == 1 ? "" : "s") + ": " + std::to_string(received) + " of " +
                       std::to_string(sent) + " received, " +
                       (lost == 0 ? std::string("none lost") : std::to_string(lost) + " lost");
    if (losing > 0) text += " (" + named + (losing > NAMED ? ", ..." : "") + ")";
    return text + "\n";
}

std::string utf8_of_latin1(std::string_view text) {
    std::string out;
    for (const char ch : text) append_utf8(out, static_cast<unsigned char>(ch));
    return out;
}

std::string record_json(const ResponseFrame& f, const std::string& indent) {
    return json_layout(record_value(f), indent, 1);
}

std::string report_json(const std::vector<AgentReport>& reports) {
    Json list = Json::array();
    for (const AgentReport& r : reports) {
        Json j;
        j["serial"] = r.record ? Json(r.record->serial) : Json(nullptr);
        j["address"] = utf8_of_latin1(r.address);
        j["verdict"] = verdict_name(r.verdict);
        j["download"] = download_result_name(r.download);
        j["reason"] = utf8_of_latin1(r.reason);
        j["record"] = r.record ? record_value(*r.record) : Json(nullptr);
        list.push_back(std::move(j));
    }
    return json_layout(list, "", 3) + "\n";
}

std::string csv_field(std::string_view text) {
    const bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos;
    std::string out = quote ? "\"" : "";
    for (const char ch : text) {
        if (ch == '"') out += '"';
        append_utf8(out, static_cast<unsigned char>(ch));
    }
    if (quote) out += '"';
    return out;
}

std::string report_csv(const std::vector<AgentReport>& reports) {
    std::string text =
        "serial,address,verdict,download,status,error,cycles,burntime,failed_items,failed_ports,"
        "started,ended,reason\n";
    for (const AgentReport& r : reports) {
        const ResponseFrame* f = r.record ? &*r.record : nullptr;
        auto number = [&](uint32_t value) { return f ? std::to_string(value) : std::string(); };
        const std::string fields[] = {
            number(f ? f->serial : 0),
            r.address,
            verdict_name(r.verdict),
            download_result_name(r.download),
            number(f ? f->status : 0),
            number(f ? f->error : 0),
            number(f ? f->cycles : 0),
            number(f ? f->burntime : 0),
            f ? failed_items_text(*f) : "",
            f ? failed_ports_text(*f) : "",
            r.started_at ? utc_text(*r.started_at) : "",
            r.ended_at != 0 ? utc_text(r.ended_at) : "",
            r.reason,
        };
        for (const std::string& field : fields) {
            if (&field != &fields[0]) text += ',';
            text += csv_field(field);
        }
        text += '\n';
    }
    return text;
}

std::string xml_text(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                    out += '?';
                } else {
                    append_utf8(out, c);
                }
        }
    }
    return out;
}

std::string report_junit(const std::vector<AgentReport>& reports) {
    std::string suites;
    std::size_t tests = 0;
    std::size_t failures = 0;
    // A suite is named by the serial number; two devices with one serial number also by address.
    std::map<uint32_t, int> serials;
    for (const AgentReport& r : reports) {
        if (r.record) ++serials[r.record->serial];
    }
    for (const AgentReport& r : reports) {
        const std::string name = xml_text(!r.record ? r.address
                                          : serials[r.record->serial] > 1
                                              ? std::to_string(r.record->serial) + "@" + r.address
                                              : std::to_string(r.record->serial));
        std::string cases;
        std::size_t suite_tests = 0;
        std::size_t suite_failures = 0;
        auto add_case = [&](const std::string& case_name, bool failed, const std::string& message,
                            const std::string& detail) {
            ++suite_tests;
            cases +=
                "    <testcase classname=\"" + name + "\" name=\"" + xml_text(case_name) + "\"";
            if (!failed) {
                cases += "/>\n";
                return;
            }
            ++suite_failures;
            cases += ">\n      <failure message=\"" + xml_text(message) + "\"";
            cases += detail.empty() ? "/>\n" : ">" + xml_text(detail) + "</failure>\n";
            cases += "    </testcase>\n";
        };
        auto count_case = [&](const std::string& case_name, uint32_t fail) {
            add_case(case_name, fail != 0,
                     std::to_string(fail) + (fail == 1 ? " failure" : " failures"), "");
        };
        if (r.record) {
            const ResponseFrame& f = *r.record;
            for (std::size_t i = 0; i < ITEM_COUNT; ++i) {
                if (field_text(f.item[i].name).empty() && f.item[i].fail == 0) continue;
                count_case(item_name(f, i), f.item[i].fail);
            }
            for (std::size_t i = 0; i < PORT_COUNT; ++i) {
                if (port_listed(f, i)) count_case("port " + std::to_string(i), f.portfail[i]);
            }
        }
        std::string verdict = verdict_name(r.verdict);
        if (r.download != DownloadResult::not_requested) {
            verdict += std::string(", download ") + download_result_name(r.download);
        }
        std::string detail = r.reason;
        if (detail.empty() && r.record && shows_failure(*r.record)) {
            detail = "failed items " + or_dash(failed_items_text(*r.record)) + ", failed ports " +
                     or_dash(failed_ports_text(*r.record));
        }
        add_case("verdict", !agent_passed(r), verdict, detail);

        tests += suite_tests;
        failures += suite_failures;
        suites += "  <testsuite name=\"" + name + "\" tests=\"" + std::to_string(suite_tests) +
                  "\" failures=\"" + std::to_string(suite_failures) + "\" time=\"" +
                  std::to_string(r.record ? r.record->burntime : 0) + "\"";
        if (r.started_at) suites += " timestamp=\"" + utc_text(*r.started_at).substr(0, 19) + "\"";
        suites += " hostname=\"" + xml_text(r.address) + "\">\n" + cases + "  </testsuite>\n";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"ovikstation\" tests=\"" +
           std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\">\n" + suites +
           "</testsuites>\n";
}

}  // namespace ovik::station
