// What the SQLite and the PostgreSQL run records share: the values of a device's row, the
// columns the history and a resumed run read, the steps that bring a schema up to date, and
// the transaction that keeps a run's rows together.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "station/records/run_db.h"

namespace ovik::station::records {

// The schema steps after the first, written alike for both databases: which station
// recorded a run (files and databases that several stations share), then what a run that a
// station began needs to be taken back: where it stands, the agents' port, the report files
// and each agent's last frame.
inline constexpr const char* SCHEMA_2[] = {
    "ALTER TABLE station_runs ADD COLUMN station TEXT NOT NULL DEFAULT ''",
};
inline constexpr const char* SCHEMA_3[] = {
    "ALTER TABLE station_runs ADD COLUMN state TEXT NOT NULL DEFAULT 'finished'",
    "ALTER TABLE station_runs ADD COLUMN agent_port INTEGER NOT NULL DEFAULT 1033",
    "ALTER TABLE station_runs ADD COLUMN report_json TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE station_runs ADD COLUMN report_csv TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE station_runs ADD COLUMN report_junit TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE device_runs ADD COLUMN frame TEXT",
};

// One row of device_runs; the numbers are absent when the agent never answered.
struct DeviceRow {
    std::optional<int64_t> serial;
    std::string address;
    std::optional<int64_t> started_at;
    int64_t ended_at = 0;
    std::string verdict;
    std::string download;
    std::string reason;
    std::optional<int64_t> status;
    std::optional<int64_t> error;
    std::optional<int64_t> cycles;
    std::optional<int64_t> burntime;
    std::string failed_items;
    std::string failed_ports;
    std::optional<std::string> record;  // JSON
    std::optional<std::string> frame;   // the record's 512 bytes in hexadecimal
};
DeviceRow device_row(const AgentReport& report);

inline constexpr const char* RUN_ROW_COLUMNS =
    "station, started_at, ended_at, baud, firmware, duration_ms, declare_fail, stop_all_on_fail, "
    "state, agent_port, report_json, report_csv, report_junit";
inline constexpr const char* DEVICE_ROW_COLUMNS =
    "id, address, started_at, ended_at, verdict, download, reason, frame";

std::optional<RunState> run_state_of(std::string_view name);
// A device row's report: the verdict and download result from their names, the record from
// the frame's bytes.
AgentReport report_of_row(const std::string& address, std::optional<int64_t> started_at,
                          int64_t ended_at, const std::string& verdict, const std::string& download,
                          const std::string& reason, const std::string& frame);

// A station run from a row of RUN_ROW_COLUMNS (see history_row for Row).
template <class Row>
StationRun station_run_row(const Row& row) {
    StationRun r;
    r.station = row.text(0);
    r.started_at = static_cast<uint32_t>(row.number(1).value_or(0));
    r.ended_at = static_cast<uint32_t>(row.number(2).value_or(0));
    r.plan.baud = static_cast<uint32_t>(row.number(3).value_or(0));
    r.plan.firmware = row.text(4);
    r.plan.duration = Millis(row.number(5).value_or(0));
    r.plan.declare_fail = row.number(6).value_or(0) != 0;
    r.plan.stop_all_on_fail = row.number(7).value_or(0) != 0;
    r.state = run_state_of(row.text(8)).value_or(RunState::finished);
    r.agent_port = static_cast<uint16_t>(row.number(9).value_or(wire::AGENT_PORT));
    r.files = ReportFiles{row.text(10), row.text(11), row.text(12)};
    return r;
}

// A device of a stored run from a row of DEVICE_ROW_COLUMNS.
template <class Row>
StoredDevice stored_device_row(const Row& row, int64_t run) {
    StoredDevice d;
    d.run = run;
    d.id = row.number(0).value_or(0);
    d.report = report_of_row(row.text(1), row.number(2), row.number(3).value_or(0), row.text(4),
                             row.text(5), row.text(6), row.text(7));
    return d;
}

// What the history selects, in this order, before the station's name; history_row reads it.
inline constexpr const char* HISTORY_COLUMNS =
    "d.started_at, d.ended_at, d.address, d.verdict, d.download, d.reason, d.cycles, "
    "d.burntime, d.failed_items, d.failed_ports, s.baud, s.firmware, s.duration_ms, "
    "s.declare_fail, s.stop_all_on_fail, d.record";

// One run of the history from a result row: Row::number(column) gives an
// std::optional<int64_t>, Row::text(column) an std::string ("" for NULL).
template <class Row>
RunRecord history_row(const Row& row) {
    auto number = [&row](int column) -> std::optional<uint32_t> {
        const std::optional<int64_t> value = row.number(column);
        if (!value) return std::nullopt;
        return static_cast<uint32_t>(*value);
    };
    RunRecord r;
    r.started_at = number(0);
    r.ended_at = number(1).value_or(0);
    r.address = row.text(2);
    r.verdict = row.text(3);
    r.download = row.text(4);
    r.passed = agent_passed(report_of_row(r.address, {}, 0, r.verdict, r.download, "", ""));
    r.reason = row.text(5);
    r.cycles = number(6);
    r.burntime = number(7);
    r.failed_items = row.text(8);
    r.failed_ports = row.text(9);
    r.plan.baud = number(10).value_or(0);
    r.plan.firmware = row.text(11);
    r.plan.duration = Millis(row.number(12).value_or(0));
    r.plan.declare_fail = row.number(13).value_or(0) != 0;
    r.plan.stop_all_on_fail = row.number(14).value_or(0) != 0;
    r.record = row.text(15);
    r.station = row.text(16);
    return r;
}

std::string newer_schema(int version);

// Runs the steps that take a schema from version to the newest: steps[n] takes version n to
// n + 1. execute(sql, error) runs one statement.
template <class Execute>
bool migrate_schema(int version, std::span<const std::span<const char* const>> steps,
                    Execute execute, std::string& error) {
    for (std::size_t v = static_cast<std::size_t>(version); v < steps.size(); ++v) {
        for (const char* sql : steps[v]) {
            if (!execute(sql, error)) return false;
        }
    }
    return true;
}

// Ends in a rollback unless committed, so no half-written run stays behind. execute(sql,
// error) runs one statement.
template <class Execute>
class Transaction {
  public:
    Transaction(Execute execute, const char* begin, std::string& error)
        : execute_(std::move(execute)), open_(execute_(begin, error)) {}
    ~Transaction() {
        std::string ignored;
        if (open_) execute_("ROLLBACK", ignored);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool open() const { return open_; }
    bool commit(std::string& error) {
        open_ = !execute_("COMMIT", error);
        return !open_;
    }

  private:
    Execute execute_;
    bool open_;
};

}  // namespace ovik::station::records
