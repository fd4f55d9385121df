// What the operator gets from a run: the verdict table, the report files (JSON, CSV, JUnit XML)
// and the exit status, and the text pieces the live view and the history share.
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
    std::optional<uint32_t> started_at;         // PC clock when the run started, if it did
    uint32_t ended_at = 0;                      // PC clock when the station was done with it
    uint32_t reports = 0;                       // see AgentSession::reports
    std::optional<uint32_t> reports_sent = std::nullopt;
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
// Seconds since the epoch as "2024-05-01T04:00:03Z" (UTC) and "2024-05-01 12:00:03" (local).
std::string utc_text(uint32_t seconds);
std::string local_time_text(uint32_t seconds);

struct Cell {
    std::string text;
    bool alert = false;  // a failure: bold red on a terminal
};
// Columns padded to their widest cell and two spaces apart, one line per row; with highlight,
// alert cells are wrapped in ANSI bold red.
std::string table_text(const std::vector<std::vector<Cell>>& rows, bool highlight);

std::string verdict_table(const std::vector<AgentReport>& reports);
// "status reports of 100 runs: 59880 of 59880 received, none lost" over the agents whose whole
// run the station saw, naming the first few that lost any; "" when there is none.
std::string reports_summary(const std::vector<AgentReport>& reports);

// Texts from devices, operators and databases are bytes, those above 0x7F Latin-1; the reports
// hold them as UTF-8, so any text is valid JSON, CSV and XML.
std::string utf8_of_latin1(std::string_view text);

// The record as JSON, a field a line two spaces in from indent, the closing brace at indent.
std::string record_json(const wire::ResponseFrame& f, const std::string& indent);
std::string report_json(const std::vector<AgentReport>& reports);

// A CSV field: quoted when it holds a comma, a quote or a line end; Latin-1 bytes as UTF-8.
std::string csv_field(std::string_view text);
// A header line, then one line per agent.
std::string report_csv(const std::vector<AgentReport>& reports);

// Text for XML content and attribute values: markup characters escaped, Latin-1 bytes as
// UTF-8, and control characters that XML cannot hold at all as '?'.
std::string xml_text(std::string_view text);
// JUnit XML: a test suite per agent, named by its serial number, with a test case per named
// item and per serial port in use, failed when its counter is above zero, and one for the
// verdict.
std::string report_junit(const std::vector<AgentReport>& reports);

}  // namespace ovik::station
