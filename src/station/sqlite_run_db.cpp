// Run records in an SQLite file. Several stations may share the file; SQLite makes their
// writes take turns.
#include <sqlite3.h>

#include <span>

#include "station/run_db.h"
#include "station/run_db_backend.h"

namespace ovik::station {
namespace {

struct SqliteCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
// Sole owner of an open database.
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
// Sole owner of a prepared statement.
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Other ovikstations may write the same file at the same moment; they take turns.
constexpr int BUSY_TIMEOUT_MS = 10000;

constexpr const char* SCHEMA_1[] = {
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
};
// Which station recorded the run, for files that several stations share.
constexpr const char* SCHEMA_2[] = {
    "ALTER TABLE station_runs ADD COLUMN station TEXT NOT NULL DEFAULT ''",
};
// MIGRATIONS[n] takes the schema from version n to n + 1 (PRAGMA user_version).
constexpr std::span<const char* const> MIGRATIONS[] = {SCHEMA_1, SCHEMA_2};
constexpr int SCHEMA_VERSION = static_cast<int>(std::size(MIGRATIONS));

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

// Runs statements without parameters or rows, one at a time.
struct Execute {
    sqlite3* db;
    bool operator()(const char* sql, std::string& error) const {
        const Statement s = prepare(db, sql, error);
        if (!s) return false;
        if (sqlite3_step(s.get()) != SQLITE_DONE) {
            error = failure(db, "cannot write");
            return false;
        }
        return true;
    }
};
using Transaction = records::Transaction<Execute>;

bool bind_text(sqlite3_stmt* s, int index, const std::string& text) {
    return sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT) == SQLITE_OK;
}

bool bind_number(sqlite3_stmt* s, int index, std::optional<int64_t> value) {
    return (value ? sqlite3_bind_int64(s, index, *value) : sqlite3_bind_null(s, index)) ==
           SQLITE_OK;
}

bool bind_text(sqlite3_stmt* s, int index, const std::optional<std::string>& text) {
    return text ? bind_text(s, index, *text) : bind_number(s, index, std::nullopt);
}

// A row of a history query, for records::history_row.
struct Row {
    sqlite3_stmt* s;
    std::optional<int64_t> number(int column) const {
        if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
        return sqlite3_column_int64(s, column);
    }
    std::string text(int column) const {
        const unsigned char* text = sqlite3_column_text(s, column);
        return text ? reinterpret_cast<const char*>(text) : "";
    }
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

// Brings the schema to SCHEMA_VERSION. The version is read again inside the transaction:
// another station may have done the work since it was read first.
bool migrate(sqlite3* db, std::string& error) {
    Transaction t(Execute{db}, "BEGIN IMMEDIATE", error);
    if (!t.open()) return false;
    const std::optional<int> version = schema_version(db, error);
    if (!version) return false;
    if (*version > SCHEMA_VERSION) {
        error = records::newer_schema(*version);
        return false;
    }
    const std::string set_version = "PRAGMA user_version = " + std::to_string(SCHEMA_VERSION);
    return records::migrate_schema(*version, MIGRATIONS, Execute{db}, error) &&
           Execute{db}(set_version.c_str(), error) && t.commit(error);
}

class SqliteRunDb final : public RunDb {
  public:
    explicit SqliteRunDb(SqliteHandle db) : db_(std::move(db)) {}

    bool add(const StationRun& run, const std::vector<AgentReport>& reports,
             std::string& error) override;
    std::optional<std::vector<RunRecord>> history(uint32_t serial,
                                                  std::string& error) const override;

  private:
    SqliteHandle db_;
};

bool SqliteRunDb::add(const StationRun& run, const std::vector<AgentReport>& reports,
                      std::string& error) {
    sqlite3* db = db_.get();
    Transaction t(Execute{db}, "BEGIN IMMEDIATE", error);
    if (!t.open()) return false;

    const Statement station = prepare(db,
                                      "INSERT INTO station_runs (started_at, ended_at, baud, "
                                      "firmware, duration_ms, declare_fail, stop_all_on_fail, "
                                      "station) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                                      error);
    if (!station) return false;
    const bool bound = bind_number(station.get(), 1, run.started_at) &&
                       bind_number(station.get(), 2, run.ended_at) &&
                       bind_number(station.get(), 3, run.plan.baud) &&
                       bind_text(station.get(), 4, run.plan.firmware) &&
                       bind_number(station.get(), 5, run.plan.duration.count()) &&
                       bind_number(station.get(), 6, run.plan.declare_fail ? 1 : 0) &&
                       bind_number(station.get(), 7, run.plan.stop_all_on_fail ? 1 : 0) &&
                       bind_text(station.get(), 8, run.station);
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
    for (const AgentReport& report : reports) {
        sqlite3_stmt* s = device.get();
        const records::DeviceRow r = records::device_row(report);
        const bool ok = sqlite3_reset(s) == SQLITE_OK && bind_number(s, 1, station_run) &&
                        bind_number(s, 2, r.serial) && bind_text(s, 3, r.address) &&
                        bind_number(s, 4, r.started_at) && bind_number(s, 5, r.ended_at) &&
                        bind_text(s, 6, r.verdict) && bind_text(s, 7, r.download) &&
                        bind_text(s, 8, r.reason) && bind_number(s, 9, r.status) &&
                        bind_number(s, 10, r.error) && bind_number(s, 11, r.cycles) &&
                        bind_number(s, 12, r.burntime) && bind_text(s, 13, r.failed_items) &&
                        bind_text(s, 14, r.failed_ports) && bind_text(s, 15, r.record) &&
                        sqlite3_step(s) == SQLITE_DONE;
        if (!ok) {
            error = failure(db, "cannot write");
            return false;
        }
    }
    return t.commit(error);
}

std::optional<std::vector<RunRecord>> SqliteRunDb::history(uint32_t serial,
                                                           std::string& error) const {
    sqlite3* db = db_.get();
    const std::optional<int> version = schema_version(db, error);
    if (!version) return std::nullopt;
    std::vector<RunRecord> runs;
    if (*version == 0) return runs;  // no run was ever written to it

    // Files of the first schema, opened read-only, are read as they are.
    const std::string sql = std::string("SELECT ") + records::HISTORY_COLUMNS +
                            (*version >= 2 ? ", s.station" : ", ''") +
                            " FROM device_runs d JOIN station_runs s ON s.id = d.station_run "
                            "WHERE d.serial = ?1 ORDER BY d.ended_at DESC, d.id DESC";
    const Statement s = prepare(db, sql.c_str(), error);
    if (!s || !bind_number(s.get(), 1, serial)) {
        if (s) error = failure(db, "cannot read");
        return std::nullopt;
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        runs.push_back(records::history_row(Row{s.get()}));
    }
    if (rc != SQLITE_DONE) {
        error = failure(db, "cannot read");
        return std::nullopt;
    }
    return runs;
}

}  // namespace

std::unique_ptr<RunDb> open_sqlite_run_db(const std::string& path, bool writable,
                                          std::string& error) {
    sqlite3* raw = nullptr;
    const int flags = writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    SqliteHandle db(raw);  // owns the handle even when the open failed
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), BUSY_TIMEOUT_MS);
    const std::optional<int> version = schema_version(db.get(), error);
    if (!version) return nullptr;
    if (*version > SCHEMA_VERSION) {
        error = records::newer_schema(*version);
        return nullptr;
    }
    if (writable && *version < SCHEMA_VERSION && !migrate(db.get(), error)) return nullptr;
    return std::make_unique<SqliteRunDb>(std::move(db));
}

}  // namespace ovik::station
