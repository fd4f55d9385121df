// Run records in a PostgreSQL database that the stations of a plant share. Each station holds
// one connection; the schema is created and brought up to date under an advisory lock, so
// stations that start at the same moment on a new database do not trip over each other.
#include <libpq-fe.h>

#include <cstdlib>
#include <span>

#include "station/run_db.h"
#include "station/run_db_backend.h"

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
constexpr const char* SCHEMA_2[] = {
    "ALTER TABLE station_runs ADD COLUMN station TEXT NOT NULL DEFAULT ''",
};
// MIGRATIONS[n] takes the schema from version n to n + 1 (the one row of ovikstation_schema).
constexpr std::span<const char* const> MIGRATIONS[] = {SCHEMA_1, SCHEMA_2};
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

    bool add(const StationRun& run, const std::vector<AgentReport>& reports,
             std::string& error) override;
    std::optional<std::vector<RunRecord>> history(uint32_t serial,
                                                  std::string& error) const override;

  private:
    bool try_add(const StationRun& run, const std::vector<AgentReport>& reports,
                 std::string& error);

    Connection c_;
};

bool PostgresqlRunDb::add(const StationRun& run, const std::vector<AgentReport>& reports,
                          std::string& error) {
    // The connection was opened before the run, which may have lasted hours: a server that
    // restarted meanwhile gets one new connection.
    if (PQstatus(c_.get()) != CONNECTION_OK) PQreset(c_.get());
    if (try_add(run, reports, error)) return true;
    if (PQstatus(c_.get()) == CONNECTION_OK) return false;
    PQreset(c_.get());
    return try_add(run, reports, error);
}

bool PostgresqlRunDb::try_add(const StationRun& run, const std::vector<AgentReport>& reports,
                              std::string& error) {
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
                             number(run.plan.stop_all_on_fail ? 1 : 0)};
    const Result id = query(c,
                            "INSERT INTO station_runs (station, started_at, ended_at, baud, "
                            "firmware, duration_ms, declare_fail, stop_all_on_fail) VALUES ($1, "
                            "$2, $3, $4, $5, $6, $7, $8) RETURNING id",
                            station, error);
    if (!id) return false;
    const std::string station_run = PQgetvalue(id.get(), 0, 0);

    for (const AgentReport& report : reports) {
        const records::DeviceRow r = records::device_row(report);
        const Param device[] = {station_run,          number(r.serial),   r.address,
                                number(r.started_at), number(r.ended_at), r.verdict,
                                r.download,           r.reason,           number(r.status),
                                number(r.error),      number(r.cycles),   number(r.burntime),
                                r.failed_items,       r.failed_ports,     r.record};
        if (!query(c,
                   "INSERT INTO device_runs (station_run, serial, address, started_at, ended_at, "
                   "verdict, download, reason, status, error, cycles, burntime, failed_items, "
                   "failed_ports, record) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, "
                   "$12, $13, $14, $15)",
                   device, error)) {
            return false;
        }
    }
    return t.commit(error);
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
                            "ORDER BY d.ended_at DESC, d.id DESC";
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
