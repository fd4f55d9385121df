// Run records in an SQLite file. Several stations may share the file; SQLite makes their
// writes take turns. The file is kept in write-ahead-log mode, so the history and the
// dashboard read it while a station writes. The locks on the runs that stations drive are
// bytes of a file beside it.
#include <fcntl.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/unique_fd.h"
#include "station/records/records_connection.h"

namespace ovik::station::records {
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

constexpr Dialect SQLITE{"INTEGER PRIMARY KEY", "TEXT", "BEGIN IMMEDIATE"};

std::string failure(sqlite3* db, const char* what) {
    return std::string(what) + ": " + sqlite3_errmsg(db);
}

// The statement with SQLite's numbered parameters: $n becomes ?n.
std::string sqlite_sql(std::string_view sql) {
    std::string text(sql);
    for (std::size_t i = text.find('$'); i != std::string::npos; i = text.find('$', i + 1)) {
        text[i] = '?';
    }
    return text;
}

bool bind(sqlite3_stmt* s, int index, const Value& value) {
    if (const auto* number = std::get_if<int64_t>(&value)) {
        return sqlite3_bind_int64(s, index, *number) == SQLITE_OK;
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        return sqlite3_bind_text(s, index, text->data(), static_cast<int>(text->size()),
                                 SQLITE_TRANSIENT) == SQLITE_OK;
    }
    return sqlite3_bind_null(s, index) == SQLITE_OK;
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
    std::optional<bool> held(int64_t run, std::string& error) const {
        // A description of its own, so that a lock of this process counts as well.
        const UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) {
            if (errno == ENOENT) return false;  // no station has locked a run here
            error = "cannot open the lock file " + path_ + ": " + std::strerror(errno);
            return std::nullopt;
        }
        struct flock l = byte_of(run, F_WRLCK);
        if (::fcntl(fd.get(), F_OFD_GETLK, &l) != 0) {
            error = "cannot read the lock on run " + std::to_string(run) + " in " + path_ + ": " +
                    std::strerror(errno);
            return std::nullopt;
        }
        return l.l_type != F_UNLCK;
    }

  private:
    // The lock of one run: its byte of the file.
    static struct flock byte_of(int64_t run, short type) {
        struct flock l {};
        l.l_type = type;
        l.l_whence = SEEK_SET;
        l.l_start = static_cast<off_t>(run);
        l.l_len = 1;
        return l;
    }
    bool set(int64_t run, short type) const {
        struct flock l = byte_of(run, type);
        return ::fcntl(fd_.get(), F_OFD_SETLK, &l) == 0;
    }

    std::string path_;
    UniqueFd fd_;
};

class SqliteConnection final : public RecordsConnection {
  public:
    SqliteConnection(SqliteHandle db, const std::string& path)
        : db_(std::move(db)), path_(path), locks_(path + "-runs.lock") {}

    const Dialect& dialect() const override { return SQLITE; }
    std::optional<Rows> query(std::string_view sql, std::span<const Value> params,
                              std::string& error) override;
    std::optional<int> schema_version(std::string& error) override {
        const std::optional<Rows> r = query("PRAGMA user_version", {}, error);
        if (!r) return std::nullopt;
        return static_cast<int>((*r)[0].number(0).value_or(0));
    }
    bool begin_schema_change(std::string& error) override {
        return query(SQLITE.begin_write, {}, error).has_value();
    }
    bool set_schema_version(int version, std::string& error) override {
        return query("PRAGMA user_version = " + std::to_string(version), {}, error).has_value();
    }
    Claim lock_run(int64_t run, std::string& error) override { return locks_.lock(run, error); }
    void unlock_run(int64_t run) override { locks_.unlock(run); }
    std::optional<bool> run_held(int64_t run, std::string& error) override {
        return locks_.held(run, error);
    }
    void set_patience(std::chrono::milliseconds patience) override {
        sqlite3_busy_timeout(db_.get(), static_cast<int>(patience.count()));
    }
    std::chrono::milliseconds writer_patience() const override {
        return std::chrono::milliseconds(1000);
    }
    std::string folder() const override {
        return std::filesystem::absolute(path_).parent_path().string();
    }

  private:
    SqliteHandle db_;
    std::string path_;
    RunLocks locks_;
};

std::optional<Rows> SqliteConnection::query(std::string_view sql, std::span<const Value> params,
                                            std::string& error) {
    sqlite3* db = db_.get();
    const std::string text = sqlite_sql(sql);
    sqlite3_stmt* raw = nullptr;
    const int prepared = sqlite3_prepare_v2(db, text.c_str(), -1, &raw, nullptr);
    const Statement s(raw);
    if (prepared != SQLITE_OK) {
        error = failure(db, "cannot prepare a statement");
        return std::nullopt;
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!bind(s.get(), static_cast<int>(i + 1), params[i])) {
            error = failure(db, "cannot bind a value");
            return std::nullopt;
        }
    }
    Rows rows;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        auto& row = rows.rows.emplace_back();
        for (int c = 0; c < sqlite3_column_count(s.get()); ++c) {
            const unsigned char* value = sqlite3_column_text(s.get(), c);
            if (value) {
                row.emplace_back(reinterpret_cast<const char*>(value));
            } else {
                row.emplace_back();
            }
        }
    }
    if (rc != SQLITE_DONE) {
        error = failure(db, sqlite3_stmt_readonly(s.get()) ? "cannot read" : "cannot write");
        return std::nullopt;
    }
    return rows;
}

}  // namespace

std::unique_ptr<RecordsConnection> connect_sqlite(const std::string& path, bool writable,
                                                  std::string& error) {
    sqlite3* raw = nullptr;
    const int flags = writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    SqliteHandle db(raw);  // owns the handle even when the open failed
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
        return nullptr;
    }
    auto c = std::make_unique<SqliteConnection>(std::move(db), path);
    c->set_patience(std::chrono::milliseconds(BUSY_TIMEOUT_MS));
    // Readers go on while a station writes, and a writer never waits for a reader.
    if (writable && !c->query("PRAGMA journal_mode = WAL", {}, error)) return nullptr;
    return c;
}

}  // namespace ovik::station::records
