// Run records: every run of every device, kept by serial number, so that a device's history
// outlives the station. A station run is a row of station_runs (which station, its times and
// parameters); each agent it drove is a row of device_runs with the verdict, the download
// result, the key counters and the final record as JSON.
//
// The records live in an SQLite file next to the station, or in a PostgreSQL database that the
// stations of a plant share. Either way the station creates the tables and brings an older
// schema up to date itself when it opens the database for writing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/agent_session.h"
#include "station/report.h"

namespace ovik::station {

// One station run: which station, what the operator asked for, and when (PC clock, seconds
// since the epoch).
struct StationRun {
    std::string station;
    RunPlan plan;
    uint32_t started_at = 0;
    uint32_t ended_at = 0;
};

// One device's run, as the history shows it.
struct RunRecord {
    std::optional<uint32_t> started_at;  // none when the run never started
    uint32_t ended_at = 0;
    std::string station;  // "" for runs recorded before stations were named
    std::string address;
    std::string verdict;
    std::string download;
    std::string reason;
    std::optional<uint32_t> cycles;  // none when the agent never answered
    std::optional<uint32_t> burntime;
    std::string failed_items;
    std::string failed_ports;
    std::string record;  // the final record as JSON; "" when the agent never answered
    RunPlan plan;
};

enum class RunDbKind { sqlite, postgresql };

// Which kind of database --db names: a postgresql:// or postgres:// URL, or an SQLite file.
RunDbKind run_db_kind(std::string_view where);
// --db as messages show it: a URL without its password.
std::string run_db_name(std::string_view where);

class RunDb {
  public:
    virtual ~RunDb() = default;

    // Opens the database that where names (see run_db_kind). writable: creates the database
    // file (SQLite) and the tables when missing and brings an older schema up to date;
    // otherwise nothing is changed, and an SQLite file must exist. On failure error says why.
    static std::unique_ptr<RunDb> open(const std::string& where, bool writable, std::string& error);

    // Adds the station run and a row per agent, all or nothing.
    virtual bool add(const StationRun& run, const std::vector<AgentReport>& reports,
                     std::string& error) = 0;
    // The runs of one device, newest first; nullopt when the database cannot be read.
    virtual std::optional<std::vector<RunRecord>> history(uint32_t serial,
                                                          std::string& error) const = 0;
};

std::unique_ptr<RunDb> open_sqlite_run_db(const std::string& path, bool writable,
                                          std::string& error);
std::unique_ptr<RunDb> open_postgresql_run_db(const std::string& url, bool writable,
                                              std::string& error);

// A table of a device's runs, newest first, and below it why runs ended other than in a pass.
std::string history_table(const std::vector<RunRecord>& runs);

}  // namespace ovik::station
