// What the station knows of one agent at the end of its run, and the one rule of what passed:
// the value that the records, the report files, the live view and the exit status all read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "station/session/agent_session.h"
#include "wire/frames.h"

namespace ovik::station {

// One agent at the end of a run.
struct AgentReport {
    std::string address;
    Verdict verdict = Verdict::pending;
    DownloadResult download = DownloadResult::not_requested;
    std::string reason;
    std::optional<wire::ResponseFrame> record;  // the last frame the agent sent
    std::optional<uint32_t> started_at;         // PC clock when the run started, if it did
    uint32_t ended_at = 0;                      // PC clock when the station was done with it
    uint32_t reports = 0;                       // see AgentSession::reports
    std::optional<uint32_t> reports_sent = std::nullopt;
};

AgentReport report_of(const AgentSession& session);

// A pass: the run passed and the download, when one was asked for, is done.
bool passes(Verdict verdict, DownloadResult download);
bool agent_passed(const AgentReport& report);
// 0 when every agent passed, 1 when any did not, 2 when there was no agent at all.
int exit_status(const std::vector<AgentReport>& reports);

std::string burn_time_text(uint32_t seconds);  // "H:MM:SS"
// Item i's name as the agent sent it, "item<i>" when unnamed; control characters, which would
// upset a terminal, show as '?'.
std::string item_name(const wire::ResponseFrame& f, std::size_t i);
// "COM:3 LAN:1": the items with failures, by name (by number when unnamed); "" when none.
std::string failed_items_text(const wire::ResponseFrame& f);
// "2:5 7:1": the serial ports with failures and their counts; "" when none.
std::string failed_ports_text(const wire::ResponseFrame& f);
// "serial 7 at 10.0.0.5 reported a failure (COM:2, ports 1:3)": why --stop-all-on-fail stops
// the line.
std::string failure_text(const wire::ResponseFrame& record, const std::string& label);

}  // namespace ovik::station
