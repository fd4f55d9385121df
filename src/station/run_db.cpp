#include "station/run_db.h"

#include <sqlite3.h>

#include <cstdio>

namespace ovik::station {
namespace {

struct StatementFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
// Sole owner of a prepared statement.
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

constexpr int SCHEMA_VERSION = 1;
// Other ovikstations may write the same file at the same moment; they take turns.
constexpr int BUSY_TIMEOUT_MS = 10000;

constexpr const char* SCHEMA[] = {
    "CREATE TABLE IF NOT EXISTS station_runs ("
    " id INTEGER PRIMARY KEY,"
    " started_at INTEGER NOT NULL,"
    " ended_at INTEGER NOT NULL,"
    " baud INTEGER NOT NULL,"
    " firmware TEXT NOT NULL,"
    " duration_ms INTEGER NOT NULL,"
    " declare_fail INTEGER NOT NULL,"
    " stop_all_on_fail INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS device_runs ("
    " id INTEGER PRIMARY KEY,"
    " station_run INTEGER NOT NULL REFERENCES station_runs(id),"
    " serial INTEGER,"
    " address TEXT NOT NULL,"
    " started_at INTEGER,"
    " ended_at INTEGER NOT NULL,"
    " verdict TEXT NOT NULL,"
    " download TEXT NOT NULL,"
    " reason TEXT NOT NULL,"
    " status INTEGER,"
    " error INTEGER,"
    " cycles INTEGER,"
    " burntime INTEGER,"
    " failed_items TEXT NOT NULL,"
    " failed_ports TEXT NOT NULL,"
    " record TEXT)",
    "CREATE INDEX IF NOT EXISTS device_runs_by_serial ON device_runs(serial, ended_at)",
    "PRAGMA user_version = 1",
};

std::string failure(sqlite3* db, const char* what) {
    return std::string(what) + ": " + sqlite3_errmsg(db);
}

Statement prepare(sqlite3* db, const char* sql, std::string& error) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
        error = failure(db, "cannot prepare a statement");
        sqlite3_finalize(s);
        return nullptr;
    }
    return Statement(s);
}

// Runs a statement without parameters or rows.
bool execute(sqlite3* db, const char* sql, std::string& error) {
    const Statement s = prepare(db, sql, error);
    if (!s) return false;
    if (sqlite3_step(s.get()) != SQLITE_DONE) {
        error = failure(db, "cannot write");
        return false;
    }
    return true;
}

bool bind_text(sqlite3_stmt* s, int index, const std::string& text) {
    return sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT) == SQLITE_OK;
}

bool bind_number(sqlite3_stmt* s, int index, std::optional<int64_t> value) {
    return (value ? sqlite3_bind_int64(s, index, *value) : sqlite3_bind_null(s, index)) ==
           SQLITE_OK;
}

std::string column_text(sqlite3_stmt* s, int index) {
    const unsigned char* text = sqlite3_column_text(s, index);
    return text ? reinterpret_cast<const char*>(text) : "";
}

std::optional<uint32_t> column_number(sqlite3_stmt* s, int index) {
    if (sqlite3_column_type(s, index) == SQLITE_NULL) return std::nullopt;
    return static_cast<uint32_t>(sqlite3_column_int64(s, index));
}

// Ends in a rollback unless committed, so no half-written run stays behind.
class Transaction {
  public:
    Transaction(sqlite3* db, std::string& error)
        : db_(db), open_(execute(db, "BEGIN IMMEDIATE", error)) {}
    ~Transaction() {
        std::string ignored;
        if (open_) execute(db_, "ROLLBACK", ignored);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool open() const { return open_; }
    bool commit(std::string& error) {
        open_ = !execute(db_, "COMMIT", error);
        return !open_;
    }

  private:
    sqlite3* db_;
    bool open_;
};

std::optional<int> schema_version(sqlite3* db, std::string& error) {
    const Statement s = prepare(db, "PRAGMA user_version", error);
    if (!s) return std::nullopt;
    if (sqlite3_step(s.get()) != SQLITE_ROW) {
        error = failure(db, "cannot read");
        return std::nullopt;
    }
    return sqlite3_column_int(s.get(), 0);
}

std::string duration_text(Millis duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

}  // namespace

void SqliteCloser::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

std::optional<RunDb> RunDb::open(const std::string& path, bool writable, std::string& error) {
    sqlite3* raw = nullptr;
    const int flags = writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    SqliteHandle db(raw);  // owns the handle even when the open failed
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
        return std::nullopt;
    }
    sqlite3_busy_timeout(db.get(), BUSY_TIMEOUT_MS);
    const std::optional<int> version = schema_version(db.get(), error);
    if (!version) return std::nullopt;
    if (*version > SCHEMA_VERSION) {
        error = "it was written by a newer ovikstation (schema " + std::to_string(*version) + ")";
        return std::nullopt;
    }
    if (writable && *version < SCHEMA_VERSION) {
        Transaction t(db.get(), error);
        if (!t.open()) return std::nullopt;
        for (const char* sql : SCHEMA) {
            if (!execute(db.get(), sql, error)) return std::nullopt;
        }
        if (!t.commit(error)) return std::nullopt;
    }
    return RunDb(std::move(db));
}

bool RunDb::add(const StationRun& run, const std::vector<AgentReport>& reports,
                std::string& error) {
    sqlite3* db = db_.get();
    Transaction t(db, error);
    if (!t.open()) return false;

    const Statement station = prepare(db,
                                      "INSERT INTO station_runs (started_at, ended_at, baud, "
                                      "firmware, duration_ms, declare_fail, stop_all_on_fail) "
                                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                                      error);
    if (!station) return false;
    const bool bound = bind_number(station.get(), 1, run.started_at) &&
                       bind_number(station.get(), 2, run.ended_at) &&
                       bind_number(station.get(), 3, run.plan.baud) &&
                       bind_text(station.get(), 4, run.plan.firmware) &&
                       bind_number(station.get(), 5, run.plan.duration.count()) &&
                       bind_number(station.get(), 6, run.plan.declare_fail ? 1 : 0) &&
                       bind_number(station.get(), 7, run.plan.stop_all_on_fail ? 1 : 0);
    if (!bound || sqlite3_step(station.get()) != SQLITE_DONE) {
        error = failure(db, "cannot write");
        return false;
    }
    const int64_t station_run = sqlite3_last_insert_rowid(db);

    const Statement device = prepare(
        db,
        "INSERT INTO device_runs (station_run, serial, address, started_at, ended_at, verdict, "
        "download, reason, status, error, cycles, burntime, failed_items, failed_ports, record) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)",
        error);
    if (!device) return false;
    for (const AgentReport& r : reports) {
        sqlite3_stmt* s = device.get();
        const wire::ResponseFrame* f = r.record ? &*r.record : nullptr;
        auto field = [f](uint32_t value) {
            return f ? std::optional<int64_t>(value) : std::nullopt;
        };
        const bool ok =
            sqlite3_reset(s) == SQLITE_OK && bind_number(s, 1, station_run) &&
            bind_number(s, 2, field(f ? f->serial : 0)) && bind_text(s, 3, r.address) &&
            bind_number(s, 4, r.started_at) && bind_number(s, 5, r.ended_at) &&
            bind_text(s, 6, verdict_name(r.verdict)) &&
            bind_text(s, 7, download_result_name(r.download)) && bind_text(s, 8, r.reason) &&
            bind_number(s, 9, field(f ? f->status : 0)) &&
            bind_number(s, 10, field(f ? f->error : 0)) &&
            bind_number(s, 11, field(f ? f->cycles : 0)) &&
            bind_number(s, 12, field(f ? f->burntime : 0)) &&
            bind_text(s, 13, f ? failed_items_text(*f) : "") &&
            bind_text(s, 14, f ? failed_ports_text(*f) : "") &&
            (f ? bind_text(s, 15, record_json(*f, "")) : bind_number(s, 15, std::nullopt)) &&
            sqlite3_step(s) == SQLITE_DONE;
        if (!ok) {
            error = failure(db, "cannot write");
            return false;
        }
    }
    return t.commit(error);
}

std::optional<std::vector<RunRecord>> RunDb::history(uint32_t serial, std::string& error) const {
    sqlite3* db = db_.get();
    const std::optional<int> version = schema_version(db, error);
    if (!version) return std::nullopt;
    std::vector<RunRecord> runs;
    if (*version == 0) return runs;  // no run was ever written to it

    const Statement s = prepare(
        db,
        "SELECT d.started_at, d.ended_at, d.address, d.verdict, d.download, d.reason, d.cycles, "
        "d.burntime, d.failed_items, d.failed_ports, s.baud, s.firmware, s.duration_ms, "
        "s.declare_fail, s.stop_all_on_fail "
        "FROM device_runs d JOIN station_runs s ON s.id = d.station_run "
        "WHERE d.serial = ?1 ORDER BY d.ended_at DESC, d.id DESC",
        error);
    if (!s || !bind_number(s.get(), 1, serial)) {
        if (s) error = failure(db, "cannot read");
        return std::nullopt;
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        RunRecord r;
        r.started_at = column_number(s.get(), 0);
        r.ended_at = column_number(s.get(), 1).value_or(0);
        r.address = column_text(s.get(), 2);
        r.verdict = column_text(s.get(), 3);
        r.download = column_text(s.get(), 4);
        r.reason = column_text(s.get(), 5);
        r.cycles = column_number(s.get(), 6);
        r.burntime = column_number(s.get(), 7);
        r.failed_items = column_text(s.get(), 8);
        r.failed_ports = column_text(s.get(), 9);
        r.plan.baud = column_number(s.get(), 10).value_or(0);
        r.plan.firmware = column_text(s.get(), 11);
        r.plan.duration = Millis(sqlite3_column_int64(s.get(), 12));
        r.plan.declare_fail = sqlite3_column_int(s.get(), 13) != 0;
        r.plan.stop_all_on_fail = sqlite3_column_int(s.get(), 14) != 0;
        runs.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) {
        error = failure(db, "cannot read");
        return std::nullopt;
    }
    return runs;
}

std::string history_table(const std::vector<RunRecord>& runs) {
    std::vector<std::vector<Cell>> rows;
    rows.push_back({{"ENDED"},
                    {"STARTED"},
                    {"ADDRESS"},
                    {"VERDICT"},
                    {"CYCLES"},
                    {"BURN TIME"},
                    {"FAILED ITEMS"},
                    {"FAILED PORTS"},
                    {"DOWNLOAD"},
                    {"BAUD"},
                    {"FIRMWARE"},
                    {"DURATION"},
                    {"POLICY"}});
    for (const RunRecord& r : runs) {
        std::string policy;
        if (r.plan.declare_fail) policy = "--fail";
        if (r.plan.stop_all_on_fail)
            policy += (policy.empty() ? "" : " ") + std::string("--stop-all-on-fail");
        rows.push_back(
            {{local_time_text(r.ended_at)},
             {r.started_at ? local_time_text(*r.started_at) : "-"},
             {r.address},
             {r.verdict},
             {r.cycles ? std::to_string(*r.cycles) : "-"},
             {r.burntime ? burn_time_text(*r.burntime) : "-"},
             {or_dash(r.failed_items)},
             {or_dash(r.failed_ports)},
             {r.download == download_result_name(DownloadResult::not_requested) ? "-" : r.download},
             {std::to_string(r.plan.baud)},
             {r.plan.firmware},
             {duration_text(r.plan.duration)},
             {or_dash(policy)}});
    }
    std::string text = table_text(rows, false);
    for (const RunRecord& r : runs) {
        if (!r.reason.empty()) text += local_time_text(r.ended_at) + ": " + r.reason + "\n";
    }
    return text;
}

}  // namespace ovik::station
