#include "station/views/report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <map>
#include <utility>

#include "station/records/json.h"

namespace ovik::station {
namespace {

using namespace wire;

constexpr const char* ALERT_ON = "\x1b[1;31m";
constexpr const char* ALERT_OFF = "\x1b[0m";

std::string time_text(uint32_t seconds, bool utc, const char* format) {
    const std::time_t t = seconds;
    std::tm tm{};
    if ((utc ? ::gmtime_r(&t, &tm) : ::localtime_r(&t, &tm)) == nullptr) return "?";
    char text[32];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

std::string duration_text(Millis duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

}  // namespace

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

Json report_entry(const AgentReport& r) {
    Json j;
    j["serial"] = r.record ? Json(r.record->serial) : Json(nullptr);
    j["address"] = utf8_of_latin1(r.address);
    j["verdict"] = verdict_name(r.verdict);
    j["download"] = download_result_name(r.download);
    j["reason"] = utf8_of_latin1(r.reason);
    j["record"] = r.record ? record_value(*r.record) : Json(nullptr);
    return j;
}

std::string report_json(const std::vector<AgentReport>& reports) {
    Json list = Json::array();
    for (const AgentReport& r : reports) list.push_back(report_entry(r));
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

std::string history_table(const std::vector<RunRecord>& runs) {
    std::vector<std::vector<Cell>> rows;
    rows.push_back({{"ENDED"},
                    {"STARTED"},
                    {"STATION"},
                    {"ADDRESS"},
                    {"VERDICT"},
                    {"CYCLES"},
                    {"BURN TIME"},
                    {"FAILED ITEMS"},
                    {"FAILED PORTS"},
                    {"DOWNLOAD"},
                    {"BAUD"},
                    {"FIRMWARE"},
                    {"DURATION"},
                    {"POLICY"}});
    for (const RunRecord& r : runs) {
        std::string policy;
        if (r.plan.declare_fail) policy = "--fail";
        if (r.plan.stop_all_on_fail)
            policy += (policy.empty() ? "" : " ") + std::string("--stop-all-on-fail");
        rows.push_back(
            {{r.ended_at != 0 ? local_time_text(r.ended_at) : "-"},
             {r.started_at ? local_time_text(*r.started_at) : "-"},
             {or_dash(r.station)},
             {r.address},
             {r.verdict},
             {r.cycles ? std::to_string(*r.cycles) : "-"},
             {r.burntime ? burn_time_text(*r.burntime) : "-"},
             {or_dash(r.failed_items)},
             {or_dash(r.failed_ports)},
             {r.download == download_result_name(DownloadResult::not_requested) ? "-" : r.download},
             {std::to_string(r.plan.baud)},
             {r.plan.firmware},
             {duration_text(r.plan.duration)},
             {or_dash(policy)}});
    }
    std::string text = table_text(rows, false);
    for (const RunRecord& r : runs) {
        if (r.reason.empty()) continue;
        text += (r.ended_at != 0 ? local_time_text(r.ended_at) : "not finished") + ": " + r.reason +
                "\n";
    }
    return text;
}

}  // namespace ovik::station
