// What the operator gets from a run: the verdict table, the report files (JSON, CSV, JUnit XML)
// and the exit status, and the text pieces the live view and the history share.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/records/json.h"
#include "station/records/run_db.h"
#include "station/session/agent_report.h"
#include "wire/frames.h"

namespace ovik::station {

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

// One agent's object of the JSON report.
Json report_entry(const AgentReport& report);
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

// A table of a device's runs, newest first, and below it why runs ended other than in a pass.
std::string history_table(const std::vector<RunRecord>& runs);

}  // namespace ovik::station
