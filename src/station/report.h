// What the operator gets from a run: the live line per agent, the verdict table, the JSON
// record file and the exit status.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/agent_session.h"
#include "wire/frames.h"

namespace ovik::station {

// One agent at the end of a run.
struct AgentReport {
    std::string address;
    Verdict verdict = Verdict::pending;
    DownloadResult download = DownloadResult::not_requested;
    std::string reason;
    std::optional<wire::ResponseFrame> record;  // the last frame the agent sent
};

AgentReport report_of(const AgentSession& session);

// A pass: the run passed and the download, when one was asked for, is done.
bool agent_passed(const AgentReport& report);
// 0 when every agent passed, 1 when any did not, 2 when there was no agent at all.
int exit_status(const std::vector<AgentReport>& reports);

std::string burn_time_text(uint32_t seconds);  // "H:MM:SS"
// "COM:3 LAN:1": the items with failures, by name (by number when unnamed); "" when none.
std::string failed_items_text(const wire::ResponseFrame& f);
// "2:5 7:1": the serial ports with failures and their counts; "" when none.
std::string failed_ports_text(const wire::ResponseFrame& f);
std::string progress_bar(uint32_t percent);

std::string live_line(const AgentSession& session);
std::string verdict_table(const std::vector<AgentReport>& reports);

// A JSON string literal, quotes included. Bytes above 0x7F count as Latin-1, so any text from
// a device gives valid JSON.
std::string json_string(std::string_view text);
std::string record_json(const wire::ResponseFrame& f, const std::string& indent);
std::string report_json(const std::vector<AgentReport>& reports);

}  // namespace ovik::station
