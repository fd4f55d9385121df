#include "station/views/metrics.h"

#include <cstdio>

#include "station/records/json.h"

namespace ovik::station {
namespace {

// A label's value: UTF-8 with backslash, double quote and line feed escaped.
std::string label_value(const std::string& text) {
    std::string escaped;
    for (const char c : utf8_of_latin1(text)) {
        if (c == '\\' || c == '"') escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return escaped;
}

void family(std::string& text, const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void counts(std::string& text, const char* name, const char* label,
            const LineMetrics::Counts& values) {
    for (const auto& [key, value] : values) {
        text += std::string(name) + "{line=\"" + label_value(key.first) + "\"," + label + "=\"" +
                label_value(key.second) + "\"} " + std::to_string(value) + "\n";
    }
}

// "COM:3 LAN:1" or "2:5 7:1": the names before each count.
std::vector<std::string> failure_names(const std::string& text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(start, end - start);
        const std::size_t colon = entry.rfind(':');
        if (colon != std::string::npos && colon > 0) names.push_back(entry.substr(0, colon));
        start = end + 1;
    }
    return names;
}

}  // namespace

std::string verdict_label(Verdict verdict, DownloadResult download) {
    if (passes(verdict, download)) return "passed";
    return verdict == Verdict::passed ? "download_failed" : verdict_name(verdict);
}

LineMetrics line_metrics(const LineInfo& info, const std::vector<LineDevice>& devices,
                         const LineGauges& gauges) {
    LineMetrics m;
    auto& reports = m.reports[info.station];
    for (const LineDevice& d : devices) {
        const AgentReport& r = d.report;
        ++m.devices[{info.station, phase_name(d.phase)}];
        if (d.phase == Phase::done && r.verdict != Verdict::interrupted) {
            ++m.verdicts[{info.station, verdict_label(r.verdict, r.download)}];
        }
        reports.first += r.reports;
        if (r.reports_sent && *r.reports_sent > r.reports) {
            reports.second += *r.reports_sent - r.reports;
        }
        if (!r.record) continue;
        for (std::size_t i = 0; i < wire::ITEM_COUNT; ++i) {
            if (r.record->item[i].fail != 0)
                ++m.failing_items[{info.station, item_name(*r.record, i)}];
        }
        for (std::size_t i = 0; i < wire::PORT_COUNT; ++i) {
            if (r.record->portfail[i] != 0) ++m.failing_ports[{info.station, std::to_string(i)}];
        }
    }
    m.records_lag = gauges.records_lag;
    m.outbox = gauges.outbox;
    return m;
}

LineMetrics records_metrics(const std::vector<DeviceCount>& counts,
                            const std::vector<OpenDevice>& open) {
    LineMetrics m;
    for (const DeviceCount& c : counts) {
        if (c.verdict == "running") continue;
        const Verdict verdict = verdict_of(c.verdict);
        if (verdict == Verdict::interrupted) continue;
        m.verdicts[{c.station, verdict_label(verdict, download_of(c.download))}] += c.count;
    }
    for (const OpenDevice& d : open) {
        ++m.devices[{d.station, "running"}];
        for (const std::string& item : failure_names(d.failed_items)) {
            ++m.failing_items[{d.station, item}];
        }
        for (const std::string& port : failure_names(d.failed_ports)) {
            ++m.failing_ports[{d.station, port}];
        }
    }
    return m;
}

std::string metrics_text(const LineMetrics& m) {
    std::string text;
    family(text, "ovikstation_devices", "gauge", "Devices of the line's run, by phase.");
    counts(text, "ovikstation_devices", "phase", m.devices);
    family(text, "ovikstation_verdicts_total", "counter",
           "Devices whose verdict is final, by verdict (passed: the run and any download).");
    counts(text, "ovikstation_verdicts_total", "verdict", m.verdicts);
    family(text, "ovikstation_failing_devices", "gauge",
           "Devices that counted failures, by test item and by serial port.");
    counts(text, "ovikstation_failing_devices", "item", m.failing_items);
    counts(text, "ovikstation_failing_devices", "port", m.failing_ports);
    if (!m.reports.empty()) {
        family(text, "ovikstation_status_reports_received_total", "counter",
               "Status reports the station received from the line's agents.");
        for (const auto& [line, r] : m.reports) {
            text += "ovikstation_status_reports_received_total{line=\"" + label_value(line) +
                    "\"} " + std::to_string(r.first) + "\n";
        }
        family(text, "ovikstation_status_reports_lost_total", "counter",
               "Status reports the agents sent that the station did not receive.");
        for (const auto& [line, r] : m.reports) {
            text += "ovikstation_status_reports_lost_total{line=\"" + label_value(line) + "\"} " +
                    std::to_string(r.second) + "\n";
        }
    }
    if (m.records_lag) {
        char value[32];
        std::snprintf(value, sizeof value, "%.3f", *m.records_lag);
        family(text, "ovikstation_records_lag_seconds", "gauge",
               "How long the oldest change not yet written to the run records waits.");
        text += std::string("ovikstation_records_lag_seconds ") + value + "\n";
    }
    if (m.outbox) {
        family(text, "ovikstation_outbox_messages", "gauge",
               "Messages waiting in the outbox for the broker.");
        text += "ovikstation_outbox_messages " + std::to_string(*m.outbox) + "\n";
    }
    return text;
}

}  // namespace ovik::station
