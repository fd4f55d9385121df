#include "station/session/agent_report.h"

#include <algorithm>
#include <cstdio>

namespace ovik::station {
using namespace wire;

std::string item_name(const ResponseFrame& f, std::size_t i) {
    std::string name = field_text(f.item[i].name);
    for (char& ch : name) {
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
    }
    return name.empty() ? "item" + std::to_string(i) : name;
}

AgentReport report_of(const AgentSession& session) {
    return AgentReport{session.label(),    session.verdict(), session.download(),
                       session.reason(),   session.record(),  session.started_at(),
                       session.ended_at(), session.reports(), session.reports_sent()};
}

bool passes(Verdict verdict, DownloadResult download) {
    return verdict == Verdict::passed &&
           (download == DownloadResult::not_requested || download == DownloadResult::done);
}

bool agent_passed(const AgentReport& report) {
    return passes(report.verdict, report.download);
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

std::string failure_text(const wire::ResponseFrame& record, const std::string& label) {
    const std::string items = failed_items_text(record);
    const std::string ports = failed_ports_text(record);
    return "serial " + std::to_string(record.serial) + " at " + label + " reported a failure (" +
           items + (items.empty() || ports.empty() ? "" : ", ") +
           (ports.empty() ? "" : "ports " + ports) + ")";
}

}  // namespace ovik::station
