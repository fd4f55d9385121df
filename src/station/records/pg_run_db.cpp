// Run records in a PostgreSQL database that the stations of a plant share. Each station holds
// one connection; the schema is created and brought up to date under an advisory lock, so
// stations that start at the same moment on a new database do not trip over each other. The
// locks on the runs that stations drive are session advisory locks, which end with the
// station's connection.
#include <libpq-fe.h>

#include <cstdlib>
#include <functional>
#include <set>
#include <span>

#include "station/records/run_db.h"
#include "station/records/run_db_backend.h"

namespace ovik::station {
namespace {

struct ConnectionCloser {
    void operator()(PGconn* c) const { PQfinish(c); }
};
// Sole owner of a connection.
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;

struct ResultClearer {
    void operator()(PGresult* r) const { PQclear(r); }
};
// Sole owner of a query's result.
using Result = std::unique_ptr<PGresult, ResultClearer>;

// Taken by every station that changes the schema, for the length of its transaction.
constexpr int64_t SCHEMA_LOCK = 0x6f76696b73746e;
// The first key of the two-key advisory locks on runs; the second is the run's id.
constexpr int RUN_LOCK_CLASS = 0x6f76696b;
constexpr const char* UNDEFINED_TABLE = "42P01";

constexpr const char* SCHEMA_1[] = {
    "CREATE TABLE station_runs ("
    " id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " started_at BIGINT NOT NULL,"
    " ended_at BIGINT NOT NULL,"
    " baud BIGINT NOT NULL,"
    " firmware TEXT NOT NULL,"
    " duration_ms BIGINT NOT NULL,"
    " declare_fail SMALLINT NOT NULL,"
    " stop_all_on_fail SMALLINT NOT NULL)",
    "CREATE TABLE device_runs ("
    " id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " station_run BIGINT NOT NULL REFERENCES station_runs(id),"
    " serial BIGINT,"
    " address TEXT NOT NULL,"
    " started_at BIGINT,"
    " ended_at BIGINT NOT NULL,"
    " verdict TEXT NOT NULL,"
    " download TEXT NOT NULL,"
    " reason TEXT NOT NULL,"
    " status INTEGER,"
    " error INTEGER,"
    " cycles BIGINT,"
    " burntime BIGINT,"
    " failed_items TEXT NOT NULL,"
    " failed_ports TEXT NOT NULL,"
    " record JSON)",
    "CREATE INDEX device_runs_by_serial ON device_runs (serial, ended_at)",
};
// MIGRATIONS[n] takes the schema from version n to n + 1 (the one row of ovikstation_schema).
constexpr std::span<const char* const> MIGRATIONS[] = {SCHEMA_1, records::SCHEMA_2,
                                                       records::SCHEMA_3};
constexpr int SCHEMA_VERSION = static_cast<int>(std::size(MIGRATIONS));

using Param = std::optional<std::string>;  // nullopt: NULL

std::string trimmed(const char* message) {
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// Runs sql with text parameters; on failure error says why and the result is null.
Result query(PGconn* c, const char* sql, std::span<const Param> params, std::string& error) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const Param& p : params) values.push_back(p ? p->c_str() : nullptr);
    Result r(PQexecParams(c, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                          nullptr, 0));
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        error = trimmed(r ? PQresultErrorMessage(r.get()) : PQerrorMessage(c));
        return nullptr;
    }
    return r;
}

// Runs statements without parameters, one at a time.
struct Execute {
    PGconn* c;
    bool operator()(const char* sql, std::string& error) const {
        return query(c, sql, {}, error) != nullptr;
    }
};
using Transaction = records::Transaction<Execute>;

Param number(std::optional<int64_t> value) {
    return value ? Param(std::to_string(*value)) : std::nullopt;
}

// A row of a history query, for records::history_row.
struct Row {
    const PGresult* r;
    int row;
    std::optional<int64_t> number(int column) const {
        if (PQgetisnull(r, row, column)) return std::nullopt;
        return std::strtoll(PQgetvalue(r, row, column), nullptr, 10);
    }
    std::string text(int column) const { return PQgetvalue(r, row, column); }
};

// The schema's version; 0 when the database holds no run records yet.
std::optional<int> schema_version(PGconn* c, std::string& error) {
    Result r(PQexec(c, "SELECT max(version) FROM ovikstation_schema"));
    if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK) {
        return PQgetisnull(r.get(), 0, 0) ? 0 : std::atoi(PQgetvalue(r.get(), 0, 0));
    }
    const char* state = r ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
    if (state && std::string_view(state) == UNDEFINED_TABLE) return 0;
    error = trimmed(r ? PQresultErrorMessage(r.get()) : PQerrorMessage(c));
    return std::nullopt;
}

bool migrate(PGconn* c, std::string& error) {
    Transaction t(Execute{c}, "BEGIN", error);
    if (!t.open()) return false;
    const Param lock[] = {std::to_string(SCHEMA_LOCK)};
    if (!query(c, "SELECT pg_advisory_xact_lock($1::bigint)", lock, error) ||
        !Execute{c}("CREATE TABLE IF NOT EXISTS ovikstation_schema (version INTEGER NOT NULL)",
                    error)) {
        return false;
    }
    const std::optional<int> version = schema_version(c, error);
    if (!version) return false;
    if (*version > SCHEMA_VERSION) {
        error = records::newer_schema(*version);
        return false;
    }
    const Param version_now[] = {std::to_string(SCHEMA_VERSION)};
    return records::migrate_schema(*version, MIGRATIONS, Execute{c}, error) &&
           Execute{c}("DELETE FROM ovikstation_schema", error) &&
           query(c, "INSERT INTO ovikstation_schema (version) VALUES ($1::integer)", version_now,
                 error) &&
           t.commit(error);
}

class PostgresqlRunDb final : public RunDb {
  public:
    explicit PostgresqlRunDb(Connection c) : c_(std::move(c)) {}

    std::optional<int64_t> begin_run(const StationRun& run, std::string& error) override;
    bool save_devices(const std::vector<StoredDevice*>& devices, std::string& error) override;
    bool end_run(int64_t run, RunState state, uint32_t ended_at, std::string& error) override;
    std::optional<std::vector<int64_t>> unfinished_runs(const std::string& station,
                                                        std::string& error) override;
    Claim claim(int64_t run, std::string& error) override;
    std::optional<StoredRun> load_run(int64_t run, std::string& error) override;
    std::optional<std::vector<RunRecord>> history(uint32_t serial,
                                                  std::string& error) const override;

  private:
    // Runs attempt; when the connection broke (a run may last hours, and the server may have
    // restarted meanwhile), once more on a new connection, with the runs' locks taken again.
    bool retried(const std::function<bool()>& attempt);
    bool reconnect();
    std::optional<bool> try_lock(int64_t run, std::string& error);

    Connection c_;
    std::set<int64_t> held_;  // the runs this connection has locked
};

bool PostgresqlRunDb::reconnect() {
    PQreset(c_.get());
    if (PQstatus(c_.get()) != CONNECTION_OK) return false;
    for (const int64_t run : held_) {
        std::string ignored;
        if (try_lock(run, ignored) != true) return false;
    }
    return true;
}

bool PostgresqlRunDb::retried(const std::function<bool()>& attempt) {
    if (PQstatus(c_.get()) != CONNECTION_OK) reconnect();
    if (attempt()) return true;
    if (PQstatus(c_.get()) == CONNECTION_OK || !reconnect()) return false;
    return attempt();
}

std::optional<bool> PostgresqlRunDb::try_lock(int64_t run, std::string& error) {
    const Param key[] = {std::to_string(RUN_LOCK_CLASS), std::to_string(run)};
    const Result r =
        query(c_.get(), "SELECT pg_try_advisory_lock($1::integer, $2::integer)", key, error);
    if (!r) return std::nullopt;
    return std::string_view(PQgetvalue(r.get(), 0, 0)) == "t";
}

Claim PostgresqlRunDb::claim(int64_t run, std::string& error) {
    const std::optional<bool> locked = try_lock(run, error);
    if (!locked) return Claim::failed;
    if (!*locked) return Claim::held;
    held_.insert(run);
    return Claim::taken;
}

std::optional<int64_t> PostgresqlRunDb::begin_run(const StationRun& run, std::string& error) {
    std::optional<int64_t> id;
    const bool ok = retried([&] {
        PGconn* c = c_.get();
        Transaction t(Execute{c}, "BEGIN", error);
        if (!t.open()) return false;
        const Param station[] = {run.station,
                                 number(run.started_at),
                                 number(run.ended_at),
                                 number(run.plan.baud),
                                 run.plan.firmware,
                                 number(run.plan.duration.count()),
                                 number(run.plan.declare_fail ? 1 : 0),
                                 number(run.plan.stop_all_on_fail ? 1 : 0),
                                 std::string(run_state_name(run.state)),
                                 number(run.agent_port),
                                 run.files.json,
                                 run.files.csv,
                                 run.files.junit};
        const Result r = query(c,
                               "INSERT INTO station_runs (station, started_at, ended_at, baud, "
                               "firmware, duration_ms, declare_fail, stop_all_on_fail, state, "
                               "agent_port, report_json, report_csv, report_junit) VALUES ($1, "
                               "$2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13) RETURNING id",
                               station, error);
        if (!r) return false;
        const int64_t new_id = std::strtoll(PQgetvalue(r.get(), 0, 0), nullptr, 10);
        // Locked before the row can be seen, so no other station takes it in between.
        if (claim(new_id, error) != Claim::taken || !t.commit(error)) return false;
        id = new_id;
        return true;
    });
    return ok ? id : std::nullopt;
}

bool PostgresqlRunDb::save_devices(const std::vector<StoredDevice*>& devices, std::string& error) {
    return retried([&] {
        PGconn* c = c_.get();
        Transaction t(Execute{c}, "BEGIN", error);
        if (!t.open()) return false;
        std::vector<std::pair<StoredDevice*, int64_t>> ids;  // set once committed
        for (StoredDevice* d : devices) {
            const records::DeviceRow r = records::device_row(d->report);
            const Param row[] = {std::to_string(d->id != 0 ? d->id : d->run),
                                 number(r.serial),
                                 r.address,
                                 number(r.started_at),
                                 number(r.ended_at),
                                 r.verdict,
                                 r.download,
                                 r.reason,
                                 number(r.status),
                                 number(r.error),
                                 number(r.cycles),
                                 number(r.burntime),
                                 r.failed_items,
                                 r.failed_ports,
                                 r.record,
                                 r.frame};
            const Result written = query(
                c,
                d->id != 0
                    ? "UPDATE device_runs SET serial = $2, address = $3, started_at = $4, "
                      "ended_at = $5, verdict = $6, download = $7, reason = $8, status = $9, "
                      "error = $10, cycles = $11, burntime = $12, failed_items = $13, "
                      "failed_ports = $14, record = $15, frame = $16 WHERE id = $1 RETURNING id"
                    : "INSERT INTO device_runs (station_run, serial, address, started_at, "
                      "ended_at, verdict, download, reason, status, error, cycles, burntime, "
                      "failed_items, failed_ports, record, frame) VALUES ($1, $2, $3, $4, $5, "
                      "$6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16) RETURNING id",
                row, error);
            if (!written) return false;
            ids.emplace_back(d, std::strtoll(PQgetvalue(written.get(), 0, 0), nullptr, 10));
        }
        if (!t.commit(error)) return false;
        for (const auto& [d, id] : ids) d->id = id;
        return true;
    });
}

bool PostgresqlRunDb::end_run(int64_t run, RunState state, uint32_t ended_at, std::string& error) {
    const bool ok = retried([&] {
        const Param values[] = {std::to_string(run), std::string(run_state_name(state)),
                                number(ended_at)};
        return query(c_.get(), "UPDATE station_runs SET state = $2, ended_at = $3 WHERE id = $1",
                     values, error) != nullptr;
    });
    if (!ok) return false;
    const Param key[] = {std::to_string(RUN_LOCK_CLASS), std::to_string(run)};
    std::string ignored;
    query(c_.get(), "SELECT pg_advisory_unlock($1::integer, $2::integer)", key, ignored);
    held_.erase(run);
    return true;
}

std::optional<std::vector<int64_t>> PostgresqlRunDb::unfinished_runs(const std::string& station,
                                                                     std::string& error) {
    const Param key[] = {station};
    const Result r = query(c_.get(),
                           "SELECT id FROM station_runs WHERE station = $1 AND state <> "
                           "'finished' ORDER BY id",
                           key, error);
    if (!r) return std::nullopt;
    std::vector<int64_t> runs;
    runs.reserve(static_cast<std::size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        runs.push_back(std::strtoll(PQgetvalue(r.get(), i, 0), nullptr, 10));
    }
    return runs;
}

std::optional<StoredRun> PostgresqlRunDb::load_run(int64_t run, std::string& error) {
    const Param key[] = {std::to_string(run)};
    const std::string run_sql = std::string("SELECT ") + records::RUN_ROW_COLUMNS +
                                " FROM station_runs WHERE id = $1::bigint";
    const Result r = query(c_.get(), run_sql.c_str(), key, error);
    if (!r) return std::nullopt;
    if (PQntuples(r.get()) != 1) {
        error = "no run " + std::to_string(run);
        return std::nullopt;
    }
    StoredRun stored;
    stored.id = run;
    stored.run = records::station_run_row(Row{r.get(), 0});
    const std::string device_sql = std::string("SELECT ") + records::DEVICE_ROW_COLUMNS +
                                   " FROM device_runs WHERE station_run = $1::bigint ORDER BY id";
    const Result d = query(c_.get(), device_sql.c_str(), key, error);
    if (!d) return std::nullopt;
    for (int i = 0; i < PQntuples(d.get()); ++i) {
        stored.devices.push_back(records::stored_device_row(Row{d.get(), i}, run));
    }
    return stored;
}

std::optional<std::vector<RunRecord>> PostgresqlRunDb::history(uint32_t serial,
                                                               std::string& error) const {
    PGconn* c = c_.get();
    const std::optional<int> version = schema_version(c, error);
    if (!version) return std::nullopt;
    std::vector<RunRecord> runs;
    if (*version == 0) return runs;  // no run was ever written to it

    const std::string sql = std::string("SELECT ") + records::HISTORY_COLUMNS +
                            ", s.station FROM device_runs d JOIN station_runs s ON s.id = "
                            "d.station_run WHERE d.serial = $1::bigint "
                            "ORDER BY d.ended_at = 0 DESC, d.ended_at DESC, d.id DESC";
    const Param key[] = {std::to_string(serial)};
    const Result r = query(c, sql.c_str(), key, error);
    if (!r) return std::nullopt;
    for (int i = 0; i < PQntuples(r.get()); ++i)
        runs.push_back(records::history_row(Row{r.get(), i}));
    return runs;
}

}  // namespace

std::unique_ptr<RunDb> open_postgresql_run_db(const std::string& url, bool writable,
                                              std::string& error) {
    // Defaults first: what the URL itself says wins. Text from devices is stored as the
    // station holds it, bytes above 0x7F as Latin-1, so the server converts it.
    const char* keys[] = {"connect_timeout", "application_name", "client_encoding",
                          "options",         "dbname",           nullptr};
    const char* values[] = {"10",        "ovikstation", "LATIN1", "-c statement_timeout=60000",
                            url.c_str(), nullptr};
    Connection c(PQconnectdbParams(keys, values, 1));
    if (!c) {
        error = "out of memory";
        return nullptr;
    }
    if (PQstatus(c.get()) != CONNECTION_OK) {
        error = trimmed(PQerrorMessage(c.get()));
        return nullptr;
    }
    const std::optional<int> version = schema_version(c.get(), error);
    if (!version) return nullptr;
    if (*version > SCHEMA_VERSION) {
        error = records::newer_schema(*version);
        return nullptr;
    }
    if (writable && *version < SCHEMA_VERSION && !migrate(c.get(), error)) return nullptr;
    return std::make_unique<PostgresqlRunDb>(std::move(c));
}

}  // namespace ovik::station
