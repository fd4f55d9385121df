// The seam between the run records and their database: one connection to SQLite or to
// PostgreSQL, which runs the statements that RunRecords writes once for both. What differs
// between the two stays behind it: how a statement's parameters are bound and its rows read,
// the column types a table is created with, where the schema's version is kept, how a
// station's lock on a run is held, and what becomes of a connection that broke.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ovik::station {

enum class Claim { taken, held, failed };

namespace records {

// A statement's parameter: NULL, a number or a text.
using Value = std::variant<std::monostate, int64_t, std::string>;

// A statement's rows, each column as its text (nullopt for NULL).
struct Rows {
    std::vector<std::vector<std::optional<std::string>>> rows;

    struct Row {
        const std::vector<std::optional<std::string>>& columns;
        std::optional<int64_t> number(int column) const;
        std::string text(int column) const;  // "" for NULL
    };
    std::size_t size() const { return rows.size(); }
    Row operator[](std::size_t row) const { return Row{rows[row]}; }
};

// What the tables are created with where the two databases differ.
struct Dialect {
    const char* id_column;    // a row id that the database assigns
    const char* json_column;  // the record as JSON
    const char* begin_write;  // a transaction that writes
};

class RecordsConnection {
  public:
    virtual ~RecordsConnection() = default;

    virtual const Dialect& dialect() const = 0;
    // Runs one statement; its parameters are $1, $2, ... On failure error says why.
    virtual std::optional<Rows> query(std::string_view sql, std::span<const Value> params,
                                      std::string& error) = 0;
    // The schema's version; 0 for a database without run records.
    virtual std::optional<int> schema_version(std::string& error) = 0;
    // Opens the transaction that changes the schema, so that stations which start at the
    // same moment change it one after the other.
    virtual bool begin_schema_change(std::string& error) = 0;
    virtual bool set_schema_version(int version, std::string& error) = 0;
    // The lock that a station holds on each run it drives; it ends with the station's process.
    virtual Claim lock_run(int64_t run, std::string& error) = 0;
    virtual void unlock_run(int64_t run) = 0;
    // Whether a live station holds the run's lock, asked without taking it (a reader may
    // have no right to write); nullopt, with why, when that cannot be read.
    virtual std::optional<bool> run_held(int64_t run, std::string& error) = 0;
    // How long one statement may wait for the database (for locks, for the server's answer)
    // before it fails.
    virtual void set_patience(std::chrono::milliseconds patience) = 0;
    // The patience of a writer that tries again itself: short for a locked file, longer for
    // a server, which may be busy without being gone.
    virtual std::chrono::milliseconds writer_patience() const = 0;
    // Whether the connection broke; reconnect() makes a new one and takes its runs' locks
    // again.
    virtual bool broken() const { return false; }
    virtual bool reconnect(std::string& error) {
        error = "the connection cannot be made anew";
        return false;
    }
    // The folder of the records file; "" for a server.
    virtual std::string folder() const { return ""; }
};

// Ends in a rollback unless committed, so no half-written change stays behind.
class Transaction {
  public:
    Transaction(RecordsConnection& c, const char* begin, std::string& error)
        : c_(c), open_(c.query(begin, {}, error).has_value()) {}
    // For a transaction that the connection opened.
    explicit Transaction(RecordsConnection& c) : c_(c), open_(true) {}
    ~Transaction() {
        std::string ignored;
        if (open_) c_.query("ROLLBACK", {}, ignored);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool open() const { return open_; }
    bool commit(std::string& error) {
        open_ = !c_.query("COMMIT", {}, error);
        return !open_;
    }

  private:
    RecordsConnection& c_;
    bool open_;
};

// Runs attempt; when the connection broke (a run may last hours, and the server may have
// restarted meanwhile), once more on a new connection.
template <class Attempt>
bool retried(RecordsConnection& c, Attempt attempt, std::string& error) {
    if (c.broken() && !c.reconnect(error)) return false;
    if (attempt()) return true;
    return c.broken() && c.reconnect(error) && attempt();
}

std::unique_ptr<RecordsConnection> connect_sqlite(const std::string& path, bool writable,
                                                  std::string& error);
std::unique_ptr<RecordsConnection> connect_postgresql(const std::string& url, std::string& error);

}  // namespace records
}  // namespace ovik::station
