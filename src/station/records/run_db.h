// Run records: every run of every device, kept by serial number, so that a device's history
// outlives the station. A station run is a row of station_runs (which station, its times and
// parameters, its report files, whether it is finished); each agent it drove is a row of
// device_runs with the verdict, the download result, the key counters and the last record as
// JSON and as the frame's bytes.
//
// The rows are written when the run starts and kept up to date while it goes on, so that a
// station that ends without finishing its run (stopped by a signal, killed, the PC without
// power) leaves what ovikstation resume needs to take the run back. A station holds a lock on
// each run it drives, which ends with its process: resume takes only runs that no live station
// holds.
//
// The records live in an SQLite file next to the station, or in a PostgreSQL database that the
// stations of a plant share. Either way the station creates the tables and brings an older
// schema up to date itself when it opens the database for writing. RunRecords writes the
// schema, its steps and every statement once; a connection (records_connection.h) runs them
// on either database. While a run goes on, the records are written by a thread of their own
// (records_writer.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "station/records/records_connection.h"
#include "station/session/agent_report.h"
#include "station/session/agent_session.h"
#include "wire/frames.h"

namespace ovik::station {

// The report files a run writes at its end; "" for none.
struct ReportFiles {
    std::string json;
    std::string csv;
    std::string junit;
};

// Where a station run stands in the records.
enum class StationRunState { running, interrupted, finished };

// One station run: which station, what the operator asked for, and when (PC clock, seconds
// since the epoch; ended_at 0 while it is not finished).
struct StationRun {
    std::string station;
    RunPlan plan;
    uint32_t started_at = 0;
    uint32_t ended_at = 0;
    ReportFiles files;
    uint16_t agent_port = wire::AGENT_PORT;  // agents' addresses in the rows are bare with it
    StationRunState state = StationRunState::running;
};

// One agent's row of a station run: id 0 until it is written.
struct StoredDevice {
    int64_t run = 0;
    int64_t id = 0;
    AgentReport report;  // verdict pending or interrupted: the run is not finished
};

// The end of a station run: interrupted, or finished at ended_at.
struct RunEnd {
    int64_t run = 0;
    StationRunState state = StationRunState::finished;
    uint32_t ended_at = 0;
};

// A station run as the records hold it, its agents in the order they were found.
struct StoredRun {
    int64_t id = 0;
    StationRun run;
    std::vector<StoredDevice> devices;
};

// One device's run, as the history shows it.
struct RunRecord {
    std::optional<uint32_t> started_at;  // none when the run never started
    uint32_t ended_at = 0;
    std::string station;  // "" for runs recorded before stations were named
    std::string address;
    std::string verdict;
    std::string download;
    bool passed = false;  // the verdict and the download, by agent_passed
    std::string reason;
    std::optional<uint32_t> cycles;  // none when the agent never answered
    std::optional<uint32_t> burntime;
    std::string failed_items;
    std::string failed_ports;
    std::string record;  // the final record as JSON; "" when the agent never answered
    RunPlan plan;
};

// How many device runs of a station ended in a verdict and download (their names as the
// records hold them; "running" while the run goes on).
struct DeviceCount {
    std::string station;
    std::string verdict;
    std::string download;
    uint64_t count = 0;
};
// A device of a run that goes on, with its failures as the history shows them.
struct OpenDevice {
    std::string station;
    std::string failed_items;  // "COM:3 LAN:1"
    std::string failed_ports;  // "2:5 7:1"
};

enum class RunDbKind { sqlite, postgresql };

// Which kind of database --db names: a postgresql:// or postgres:// URL or a connection service
// ("service=NAME"), or an SQLite file.
RunDbKind run_db_kind(std::string_view where);
// --db as messages show it: a URL without its password.
std::string run_db_name(std::string_view where);

// The run records of one database, written alike for SQLite and PostgreSQL over a connection
// to either.
class RunRecords {
  public:
    explicit RunRecords(std::unique_ptr<records::RecordsConnection> connection);
    ~RunRecords();
    RunRecords(const RunRecords&) = delete;
    RunRecords& operator=(const RunRecords&) = delete;

    // Opens the database that where names (see run_db_kind). writable: creates the database
    // file (SQLite) and the tables when missing and brings an older schema up to date;
    // otherwise nothing is changed, and an SQLite file must exist. On failure error says why.
    static std::unique_ptr<RunRecords> open(const std::string& where, bool writable,
                                            std::string& error);

    // Writes the row of a new station run and holds its lock; its id.
    std::optional<int64_t> begin_run(const StationRun& run, std::string& error);
    // Writes the agents' rows, all or nothing: new ones (id 0) get their id.
    bool save_devices(const std::vector<StoredDevice*>& devices, std::string& error);
    // Marks the run interrupted or finished (with ended_at) and lets its lock go.
    bool end_run(int64_t run, StationRunState state, uint32_t ended_at, std::string& error);
    // The agents' rows and then the ends of runs, in one transaction; the runs' locks go
    // once it is committed.
    bool write(const std::vector<StoredDevice*>& devices, const std::vector<RunEnd>& ends,
               std::string& error);
    // The runs of station that are not finished, oldest first; of every station for
    // std::nullopt.
    std::optional<std::vector<int64_t>> unfinished_runs(const std::optional<std::string>& station,
                                                        std::string& error);
    // Takes the run's lock unless a live station holds it.
    Claim claim(int64_t run, std::string& error);
    // Whether a live station drives the run, asked without taking it.
    std::optional<bool> run_held(int64_t run, std::string& error);
    std::optional<StoredRun> load_run(int64_t run, std::string& error);
    // The runs of one device, newest first; nullopt when the database cannot be read.
    std::optional<std::vector<RunRecord>> history(uint32_t serial, std::string& error);

    // Every station's device runs, counted by verdict and download (run_counts.cpp).
    std::optional<std::vector<DeviceCount>> device_counts(std::string& error);
    // The devices of runs that go on, at most limit.
    std::optional<std::vector<OpenDevice>> open_devices(std::size_t limit, std::string& error);

    // How long one statement may wait for the database before it fails.
    void set_patience(std::chrono::milliseconds patience);
    // That of a writer which tries again itself (1 s for SQLite, 3 s for PostgreSQL).
    std::chrono::milliseconds writer_patience() const;
    // Lets the run's lock go.
    void release(int64_t run);
    // The folder of the records file; "" for a server.
    std::string folder() const;
    // Runs one statement that reads (the plant page's queries, plant_queries.h).
    std::optional<records::Rows> read(std::string_view sql, std::span<const records::Value> params,
                                      std::string& error);
    std::optional<int> schema_version(std::string& error);

  private:
    bool migrate(std::string& error);

    std::unique_ptr<records::RecordsConnection> c_;
};

const char* run_state_name(StationRunState state);
Verdict verdict_of(const std::string& name);
DownloadResult download_of(const std::string& name);

namespace records {
// A connection to the database that where names (see run_db_kind), as RunRecords::open makes
// it.
std::unique_ptr<RecordsConnection> connect(const std::string& where, bool writable,
                                           std::string& error);
// A device's row as the texts of its columns (id, address, started_at, ended_at, verdict,
// download, reason, frame), as the records hold them, and a row of run run from them.
std::vector<std::optional<std::string>> device_columns(const StoredDevice& device);
StoredDevice device_of_columns(const Rows::Row& row, int64_t run);
}  // namespace records

}  // namespace ovik::station
