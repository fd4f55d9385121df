// Run records: every run of every device, kept by serial number in an SQLite database file, so
// that a device's history outlives the station. A station run is a row of station_runs (its
// times and parameters); each agent it drove is a row of device_runs with the verdict, the
// download result, the key counters and the final record as JSON.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/agent_session.h"
#include "station/report.h"

struct sqlite3;

namespace ovik::station {

struct SqliteCloser {
    void operator()(sqlite3* db) const;
};
// Sole owner of an open database.
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

// One station run: what the operator asked for, and when (PC clock, seconds since the epoch).
struct StationRun {
    RunPlan plan;
    uint32_t started_at = 0;
    uint32_t ended_at = 0;
};

// One device's run, as the history shows it.
struct RunRecord {
    std::optional<uint32_t> started_at;  // none when the run never started
    uint32_t ended_at = 0;
    std::string address;
    std::string verdict;
    std::string download;
    std::string reason;
    std::optional<uint32_t> cycles;  // none when the agent never answered
    std::optional<uint32_t> burntime;
    std::string failed_items;
    std::string failed_ports;
    RunPlan plan;
};

class RunDb {
  public:
    // Opens the database at path. writable: creates the file and its tables when missing;
    // otherwise the file must exist. On failure error says why.
    static std::optional<RunDb> open(const std::string& path, bool writable, std::string& error);

    // Adds the station run and a row per agent, all or nothing.
    bool add(const StationRun& run, const std::vector<AgentReport>& reports, std::string& error);
    // The runs of one device, newest first; nullopt when the database cannot be read.
    std::optional<std::vector<RunRecord>> history(uint32_t serial, std::string& error) const;

  private:
    explicit RunDb(SqliteHandle db) : db_(std::move(db)) {}
    SqliteHandle db_;
};

// A table of a device's runs, newest first, and below it why runs ended other than in a pass.
std::string history_table(const std::vector<RunRecord>& runs);

}  // namespace ovik::station
