// Run records in a PostgreSQL database that the stations of a plant share. Each station holds
// one connection; the schema is changed under an advisory lock, so stations that start at the
// same moment on a new database do not trip over each other. The locks on the runs that
// stations drive are session advisory locks, which end with the station's connection.
//
// A server that stops answering (stopped, unplugged, its host gone) must not hold the station:
// the connection is made with a connect timeout and TCP keepalives, and a statement that gets
// no answer within the connection's patience gives the connection up; the next statement
// makes a new one.
#include <libpq-fe.h>

#include <cstdlib>
#include <optional>
#include <set>
#include <string_view>

#include "base/clock.h"
#include "station/records/records_connection.h"

namespace ovik::station::records {
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

constexpr Dialect POSTGRESQL{"BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY", "JSON", "BEGIN"};

// Taken by every station that changes the schema, for the length of its transaction.
constexpr int64_t SCHEMA_LOCK = 0x6f76696b73746e;
// The first key of the two-key advisory locks on runs; the second is the run's id.
constexpr int RUN_LOCK_CLASS = 0x6f76696b;
constexpr const char* UNDEFINED_TABLE = "42P01";
constexpr std::chrono::milliseconds FIRST_PATIENCE{60000};

std::string trimmed(const char* message) {
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

class PostgresqlConnection final : public RecordsConnection {
  public:
    explicit PostgresqlConnection(Connection c) : c_(std::move(c)) {}

    const Dialect& dialect() const override { return POSTGRESQL; }
    std::optional<Rows> query(std::string_view sql, std::span<const Value> params,
                              std::string& error) override;
    std::optional<int> schema_version(std::string& error) override;
    bool begin_schema_change(std::string& error) override {
        const Value lock[] = {SCHEMA_LOCK};
        return query(POSTGRESQL.begin_write, {}, error) &&
               query("SELECT pg_advisory_xact_lock($1::bigint)", lock, error) &&
               query("CREATE TABLE IF NOT EXISTS ovikstation_schema (version INTEGER NOT NULL)", {},
                     error);
    }
    bool set_schema_version(int version, std::string& error) override {
        const Value v[] = {int64_t{version}};
        return query("DELETE FROM ovikstation_schema", {}, error) &&
               query("INSERT INTO ovikstation_schema (version) VALUES ($1::integer)", v, error);
    }
    Claim lock_run(int64_t run, std::string& error) override;
    std::optional<bool> run_held(int64_t run, std::string& error) override {
        // A two-key advisory lock shows its keys as classid and objid.
        const Value key[] = {int64_t{RUN_LOCK_CLASS}, run};
        const std::optional<Rows> r = query(
            "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND objsubid = 2 "
            "AND classid = $1::bigint::oid AND objid = $2::bigint::oid AND granted",
            key, error);
        if (!r) return std::nullopt;
        return (*r)[0].number(0).value_or(0) > 0;
    }
    void unlock_run(int64_t run) override {
        const Value key[] = {int64_t{RUN_LOCK_CLASS}, run};
        std::string ignored;
        query("SELECT pg_advisory_unlock($1::integer, $2::integer)", key, ignored);
        held_.erase(run);
    }
    void set_patience(std::chrono::milliseconds patience) override { patience_ = patience; }
    std::chrono::milliseconds writer_patience() const override {
        return std::chrono::milliseconds(3000);
    }
    bool broken() const override { return given_up_ || PQstatus(c_.get()) != CONNECTION_OK; }
    bool reconnect(std::string& error) override;

  private:
    // Runs sql; on failure error says why and sqlstate holds the server's code, if any.
    Result run(std::string_view sql, std::span<const Value> params, std::string& error,
               std::string* sqlstate = nullptr);
    std::optional<bool> try_lock(int64_t run, std::string& error);

    Connection c_;
    std::set<int64_t> held_;  // the runs this connection has locked
    std::chrono::milliseconds patience_ = FIRST_PATIENCE;
    bool given_up_ = false;  // a statement went unanswered: the connection's state is unknown
};

Result PostgresqlConnection::run(std::string_view sql, std::span<const Value> params,
                                 std::string& error, std::string* sqlstate) {
    if (given_up_) {
        error = "the connection to the server was given up";
        return nullptr;
    }
    PGconn* c = c_.get();
    std::vector<std::string> texts;
    texts.reserve(params.size());
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const Value& p : params) {
        if (const auto* number = std::get_if<int64_t>(&p)) {
            values.push_back(texts.emplace_back(std::to_string(*number)).c_str());
        } else if (const auto* text = std::get_if<std::string>(&p)) {
            values.push_back(text->c_str());
        } else {
            values.push_back(nullptr);
        }
    }
    const std::string statement(sql);
    if (PQsendQueryParams(c, statement.c_str(), static_cast<int>(values.size()), nullptr,
                          values.data(), nullptr, nullptr, 0) == 0) {
        error = trimmed(PQerrorMessage(c));
        return nullptr;
    }
    // Waits for the answer, at most the patience for the whole of it.
    int64_t left = patience_.count();
    while (PQisBusy(c) != 0) {
        if (wait_readable(PQsocket(c), left, &left) <= 0) {
            given_up_ = true;
            error = "the server did not answer within " + std::to_string(patience_.count() / 1000) +
                    " s";
            return nullptr;
        }
        if (PQconsumeInput(c) == 0) {
            error = trimmed(PQerrorMessage(c));
            return nullptr;
        }
    }
    Result r(PQgetResult(c));
    // A statement has one result; the loop also leaves the connection ready for the next.
    while (Result extra{PQgetResult(c)}) {
    }
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        error = trimmed(r ? PQresultErrorMessage(r.get()) : PQerrorMessage(c));
        const char* state = r ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
        if (sqlstate && state) *sqlstate = state;
        return nullptr;
    }
    return r;
}

std::optional<Rows> PostgresqlConnection::query(std::string_view sql, std::span<const Value> params,
                                                std::string& error) {
    const Result r = run(sql, params, error);
    if (!r) return std::nullopt;
    Rows rows;
    const int columns = PQnfields(r.get());
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        auto& row = rows.rows.emplace_back();
        for (int j = 0; j < columns; ++j) {
            if (PQgetisnull(r.get(), i, j)) {
                row.emplace_back();
            } else {
                row.emplace_back(PQgetvalue(r.get(), i, j));
            }
        }
    }
    return rows;
}

std::optional<int> PostgresqlConnection::schema_version(std::string& error) {
    std::string sqlstate;
    const Result r = run("SELECT max(version) FROM ovikstation_schema", {}, error, &sqlstate);
    if (r) return PQgetisnull(r.get(), 0, 0) ? 0 : std::atoi(PQgetvalue(r.get(), 0, 0));
    if (sqlstate == UNDEFINED_TABLE) return 0;
    return std::nullopt;
}

std::optional<bool> PostgresqlConnection::try_lock(int64_t run, std::string& error) {
    const Value key[] = {int64_t{RUN_LOCK_CLASS}, run};
    const std::optional<Rows> r =
        query("SELECT pg_try_advisory_lock($1::integer, $2::integer)", key, error);
    if (!r) return std::nullopt;
    return (*r)[0].text(0) == "t";
}

Claim PostgresqlConnection::lock_run(int64_t run, std::string& error) {
    const std::optional<bool> locked = try_lock(run, error);
    if (!locked) return Claim::failed;
    if (!*locked) return Claim::held;
    held_.insert(run);
    return Claim::taken;
}

bool PostgresqlConnection::reconnect(std::string& error) {
    given_up_ = false;
    PQreset(c_.get());
    if (PQstatus(c_.get()) != CONNECTION_OK) {
        error = trimmed(PQerrorMessage(c_.get()));
        return false;
    }
    for (const int64_t run : held_) {
        if (try_lock(run, error) != true) {
            if (error.empty()) error = "run " + std::to_string(run) + " is held by another station";
            return false;
        }
    }
    return true;
}

// Whether the connection string (a URL or key=value pairs) holds a password; nullopt, with
// why, when it cannot be read.
std::optional<bool> holds_password(const std::string& url, std::string& error) {
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &message);
    if (options == nullptr) {
        error = message ? trimmed(message) : "out of memory";
        PQfreemem(message);
        return std::nullopt;
    }
    bool found = false;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (std::string_view(o->keyword) == "password" && o->val != nullptr && *o->val != 0) {
            found = true;
        }
    }
    PQconninfoFree(options);
    return found;
}

}  // namespace

std::unique_ptr<RecordsConnection> connect_postgresql(const std::string& url, std::string& error) {
    // The command line is every local user's to read (ps, /proc): the password comes from a
    // password file or a service, which libpq reads itself.
    const std::optional<bool> password = holds_password(url, error);
    if (!password) return nullptr;
    if (*password) {
        error =
            "a password in --db shows in the process list to every user of this PC: put it in "
            "a password file instead (~/.pgpass, or the file that PGPASSFILE names, mode 0600), "
            "or name a connection service of pg_service.conf (--db service=NAME)";
        return nullptr;
    }
    // Defaults first: what the URL itself says wins. Text from devices is stored as the
    // station holds it, bytes above 0x7F as Latin-1, so the server converts it. The
    // keepalives and the user timeout find a server that went away within about 15 s.
    const char* keys[] = {"connect_timeout",
                          "keepalives",
                          "keepalives_idle",
                          "keepalives_interval",
                          "keepalives_count",
                          "tcp_user_timeout",
                          "application_name",
                          "client_encoding",
                          "options",
                          "dbname",
                          nullptr};
    const char* values[] = {"5",           "1",      "5",
                            "2",           "3",      "15000",
                            "ovikstation", "LATIN1", "-c statement_timeout=60000",
                            url.c_str(),   nullptr};
    Connection c(PQconnectdbParams(keys, values, 1));
    if (!c) {
        error = "out of memory";
        return nullptr;
    }
    if (PQstatus(c.get()) != CONNECTION_OK) {
        error = trimmed(PQerrorMessage(c.get()));
        return nullptr;
    }
    return std::make_unique<PostgresqlConnection>(std::move(c));
}

}  // namespace ovik::station::records
