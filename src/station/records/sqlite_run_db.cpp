// Run records in an SQLite file. Several stations may share the file; SQLite makes their
// writes take turns. The locks on the runs that stations drive are bytes of a file beside it.
#include <fcntl.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <span>

#include "base/unique_fd.h"
#include "station/records/run_db.h"
#include "station/records/run_db_backend.h"

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
// MIGRATIONS[n] takes the schema from version n to n + 1 (PRAGMA user_version).
constexpr std::span<const char* const> MIGRATIONS[] = {SCHEMA_1, records::SCHEMA_2,
                                                       records::SCHEMA_3};
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

// The locks on the runs that stations drive: one byte per run of a file beside the database,
// held with an open file description lock. Such a lock ends with the process that holds it,
// killed or not, and two databases opened by one process exclude each other as two processes
// do.
class RunLocks {
  public:
    explicit RunLocks(std::string path) : path_(std::move(path)) {}

    Claim lock(int64_t run, std::string& error) {
        if (fd_.get() < 0) {
            fd_.reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
            if (fd_.get() < 0) {
                error = "cannot open the lock file " + path_ + ": " + std::strerror(errno);
                return Claim::failed;
            }
        }
        if (set(run, F_WRLCK)) return Claim::taken;
        if (errno == EAGAIN || errno == EACCES) return Claim::held;
        error =
            "cannot lock run " + std::to_string(run) + " in " + path_ + ": " + std::strerror(errno);
        return Claim::failed;
    }
    void unlock(int64_t run) {
        if (fd_.get() >= 0) static_cast<void>(set(run, F_UNLCK));
    }

  private:
    bool set(int64_t run, short type) const {
        struct flock l {};
        l.l_type = type;
        l.l_whence = SEEK_SET;
        l.l_start = static_cast<off_t>(run);
        l.l_len = 1;
        return ::fcntl(fd_.get(), F_OFD_SETLK, &l) == 0;
    }

    std::string path_;
    UniqueFd fd_;
};

class SqliteRunDb final : public RunDb {
  public:
    SqliteRunDb(SqliteHandle db, const std::string& path)
        : db_(std::move(db)), locks_(path + "-runs.lock") {}

    std::optional<int64_t> begin_run(const StationRun& run, std::string& error) override;
    bool save_devices(const std::vector<StoredDevice*>& devices, std::string& error) override;
    bool end_run(int64_t run, RunState state, uint32_t ended_at, std::string& error) override;
    std::optional<std::vector<int64_t>> unfinished_runs(const std::string& station,
                                                        std::string& error) override;
    Claim claim(int64_t run, std::string& error) override { return locks_.lock(run, error); }
    std::optional<StoredRun> load_run(int64_t run, std::string& error) override;
    std::optional<std::vector<RunRecord>> history(uint32_t serial,
                                                  std::string& error) const override;

  private:
    bool write_device(const Statement& insert, const Statement& update, StoredDevice& device,
                      std::string& error);

    SqliteHandle db_;
    RunLocks locks_;
};

std::optional<int64_t> SqliteRunDb::begin_run(const StationRun& run, std::string& error) {
    sqlite3* db = db_.get();
    Transaction t(Execute{db}, "BEGIN IMMEDIATE", error);
    if (!t.open()) return std::nullopt;
    const Statement station = prepare(
        db,
        "INSERT INTO station_runs (started_at, ended_at, baud, firmware, duration_ms, "
        "declare_fail, stop_all_on_fail, station, state, agent_port, report_json, report_csv, "
        "report_junit) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)",
        error);
    if (!station) return std::nullopt;
    sqlite3_stmt* s = station.get();
    const bool bound = bind_number(s, 1, run.started_at) && bind_number(s, 2, run.ended_at) &&
                       bind_number(s, 3, run.plan.baud) && bind_text(s, 4, run.plan.firmware) &&
                       bind_number(s, 5, run.plan.duration.count()) &&
                       bind_number(s, 6, run.plan.declare_fail ? 1 : 0) &&
                       bind_number(s, 7, run.plan.stop_all_on_fail ? 1 : 0) &&
                       bind_text(s, 8, run.station) &&
                       bind_text(s, 9, std::string(run_state_name(run.state))) &&
                       bind_number(s, 10, run.agent_port) && bind_text(s, 11, run.files.json) &&
                       bind_text(s, 12, run.files.csv) && bind_text(s, 13, run.files.junit);
    if (!bound || sqlite3_step(s) != SQLITE_DONE) {
        error = failure(db, "cannot write");
        return std::nullopt;
    }
    const int64_t id = sqlite3_last_insert_rowid(db);
    // Locked before the row can be seen, so no other station takes it in between.
    if (locks_.lock(id, error) != Claim::taken) {
        if (error.empty()) error = "run " + std::to_string(id) + " is locked already";
        return std::nullopt;
    }
    if (!t.commit(error)) {
        locks_.unlock(id);
        return std::nullopt;
    }
    return id;
}

bool SqliteRunDb::write_device(const Statement& insert, const Statement& update,
                               StoredDevice& device, std::string& error) {
    sqlite3* db = db_.get();
    const records::DeviceRow r = records::device_row(device.report);
    sqlite3_stmt* s = device.id == 0 ? insert.get() : update.get();
    const bool ok = sqlite3_reset(s) == SQLITE_OK &&
                    bind_number(s, 1, device.id == 0 ? device.run : device.id) &&
                    bind_number(s, 2, r.serial) && bind_text(s, 3, r.address) &&
                    bind_number(s, 4, r.started_at) && bind_number(s, 5, r.ended_at) &&
                    bind_text(s, 6, r.verdict) && bind_text(s, 7, r.download) &&
                    bind_text(s, 8, r.reason) && bind_number(s, 9, r.status) &&
                    bind_number(s, 10, r.error) && bind_number(s, 11, r.cycles) &&
                    bind_number(s, 12, r.burntime) && bind_text(s, 13, r.failed_items) &&
                    bind_text(s, 14, r.failed_ports) && bind_text(s, 15, r.record) &&
                    bind_text(s, 16, r.frame) && sqlite3_step(s) == SQLITE_DONE;
    if (!ok) {
        error = failure(db, "cannot write");
        return false;
    }
    if (device.id == 0) device.id = sqlite3_last_insert_rowid(db);
    return true;
}

bool SqliteRunDb::save_devices(const std::vector<StoredDevice*>& devices, std::string& error) {
    sqlite3* db = db_.get();
    Transaction t(Execute{db}, "BEGIN IMMEDIATE", error);
    if (!t.open()) return false;
    const Statement insert = prepare(
        db,
        "INSERT INTO device_runs (station_run, serial, address, started_at, ended_at, verdict, "
        "download, reason, status, error, cycles, burntime, failed_items, failed_ports, record, "
        "frame) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)",
        error);
    const Statement update =
        prepare(db,
                "UPDATE device_runs SET serial = ?2, address = ?3, started_at = ?4, ended_at = ?5, "
                "verdict = ?6, download = ?7, reason = ?8, status = ?9, error = ?10, cycles = ?11, "
                "burntime = ?12, failed_items = ?13, failed_ports = ?14, record = ?15, frame = ?16 "
                "WHERE id = ?1",
                error);
    if (!insert || !update) return false;
    // The ids of new rows count only once the rows are committed.
    std::vector<StoredDevice*> inserted;
    bool ok = true;
    for (StoredDevice* d : devices) {
        const bool is_new = d->id == 0;
        ok = write_device(insert, update, *d, error);
        if (!ok) break;
        if (is_new) inserted.push_back(d);
    }
    if (ok && t.commit(error)) return true;
    for (StoredDevice* d : inserted) d->id = 0;
    return false;
}

bool SqliteRunDb::end_run(int64_t run, RunState state, uint32_t ended_at, std::string& error) {
    sqlite3* db = db_.get();
    const Statement s =
        prepare(db, "UPDATE station_runs SET state = ?2, ended_at = ?3 WHERE id = ?1", error);
    if (!s) return false;
    const bool ok = bind_number(s.get(), 1, run) &&
                    bind_text(s.get(), 2, std::string(run_state_name(state))) &&
                    bind_number(s.get(), 3, ended_at) && sqlite3_step(s.get()) == SQLITE_DONE;
    if (!ok) {
        error = failure(db, "cannot write");
        return false;
    }
    locks_.unlock(run);
    return true;
}

std::optional<std::vector<int64_t>> SqliteRunDb::unfinished_runs(const std::string& station,
                                                                 std::string& error) {
    sqlite3* db = db_.get();
    const Statement s = prepare(
        db, "SELECT id FROM station_runs WHERE station = ?1 AND state <> 'finished' ORDER BY id",
        error);
    if (!s || !bind_text(s.get(), 1, station)) {
        if (s) error = failure(db, "cannot read");
        return std::nullopt;
    }
    std::vector<int64_t> runs;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
        runs.push_back(sqlite3_column_int64(s.get(), 0));
    if (rc != SQLITE_DONE) {
        error = failure(db, "cannot read");
        return std::nullopt;
    }
    return runs;
}

std::optional<StoredRun> SqliteRunDb::load_run(int64_t run, std::string& error) {
    sqlite3* db = db_.get();
    const std::string run_sql =
        std::string("SELECT ") + records::RUN_ROW_COLUMNS + " FROM station_runs WHERE id = ?1";
    const Statement r = prepare(db, run_sql.c_str(), error);
    if (!r || !bind_number(r.get(), 1, run)) return std::nullopt;
    const int rc = sqlite3_step(r.get());
    if (rc != SQLITE_ROW) {
        error = rc == SQLITE_DONE ? "no run " + std::to_string(run) : failure(db, "cannot read");
        return std::nullopt;
    }
    StoredRun stored;
    stored.id = run;
    stored.run = records::station_run_row(Row{r.get()});

    const std::string device_sql = std::string("SELECT ") + records::DEVICE_ROW_COLUMNS +
                                   " FROM device_runs WHERE station_run = ?1 ORDER BY id";
    const Statement d = prepare(db, device_sql.c_str(), error);
    if (!d || !bind_number(d.get(), 1, run)) return std::nullopt;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(d.get())) == SQLITE_ROW) {
        stored.devices.push_back(records::stored_device_row(Row{d.get()}, run));
    }
    if (step != SQLITE_DONE) {
        error = failure(db, "cannot read");
        return std::nullopt;
    }
    return stored;
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
                            "WHERE d.serial = ?1 ORDER BY d.ended_at = 0 DESC, d.ended_at DESC, "
                            "d.id DESC";
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
    return std::make_unique<SqliteRunDb>(std::move(db), path);
}

}  // namespace ovik::station
