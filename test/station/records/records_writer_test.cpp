// The records' writer against an SQLite file that another connection holds locked: the rows
// wait without holding the loop, the lag is told once and its end once, and rows that cannot
// be written are kept in a file that the next station takes in.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "station/records/records_writer.h"
#include "temp_dir.h"

namespace ovik::station::test {
namespace {

// Another station's connection that holds the file's write lock until it ends.
class WriteLock {
  public:
    explicit WriteLock(const std::string& path) {
        sqlite3_open(path.c_str(), &db_);
        locked_ = sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~WriteLock() { sqlite3_close(db_); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    bool locked() const { return locked_; }

  private:
    sqlite3* db_ = nullptr;
    bool locked_ = false;
};

StoredDevice device(int64_t run, uint32_t serial, const std::string& reason) {
    wire::ResponseFrame f;
    f.serial = serial;
    f.cycles = 7;
    return StoredDevice{
        run, 0, {"10.0.0.5", Verdict::failed, DownloadResult::skipped, reason, f, 1700000001, 0}};
}

struct BegunRun {
    std::unique_ptr<RunRecords> records;
    StationRun run;
    int64_t id = 0;
};

BegunRun begin(const std::string& path) {
    BegunRun r;
    std::string error;
    r.records = RunRecords::open(path, true, error);
    EXPECT_TRUE(r.records) << error;
    r.run.station = "line-3";
    r.run.started_at = 1700000000;
    r.id = r.records->begin_run(r.run, error).value_or(0);
    EXPECT_NE(r.id, 0) << error;
    return r;
}

TEST(RecordsWriter, LockedDatabaseHoldsNotTheLoopAndTheRecordsCatchUp) {
    const ovik::testsupport::TempDir dir;
    const std::string path = dir.file("locked.db");
    BegunRun r = begin(path);
    auto lock = std::make_unique<WriteLock>(path);
    ASSERT_TRUE(lock->locked());
    // A patience far longer than the test: a put that waited for the database would leave
    // the writer failed, not waiting.
    RecordsWriter writer(*r.records, Millis(60000));
    const TimePoint t0{};
    writer.put(0, device(r.id, 1234, ""), t0);
    EXPECT_EQ(writer.news(t0 + Millis(1000)), std::nullopt);
    EXPECT_EQ(writer.news(t0 + Millis(3000)),
              "are 3 s behind (1 row waiting for the database); the devices go on, and the "
              "records follow when the database answers");
    EXPECT_EQ(writer.news(t0 + Millis(4000)), std::nullopt);  // said once

    lock.reset();
    ASSERT_TRUE(writer.wait(Millis(10000)));
    EXPECT_EQ(writer.news(t0 + Millis(5000)), "caught up after 5 s");
    EXPECT_TRUE(writer.finish().empty());
    std::string error;
    const std::optional<std::vector<RunRecord>> runs =
        RunRecords::open(path, false, error)->history(1234, error);
    ASSERT_TRUE(runs) << error;
    EXPECT_EQ(runs->size(), 1u);
}

TEST(RecordsWriter, RowsNotWrittenAreKeptAndTakenInByTheNextStation) {
    const ovik::testsupport::TempDir dir;
    const std::string path = dir.file("kept.db");
    std::string kept;
    std::string error;
    {
        BegunRun r = begin(path);
        const WriteLock lock(path);
        ASSERT_TRUE(lock.locked());
        RecordsWriter writer(*r.records, Millis(20));
        writer.put(0,
                   device(r.id, 1234,
                          "port 3 at 38 \xb0"
                          "C"),
                   TimePoint{});
        writer.end_run(RunEnd{r.id, StationRunState::finished, 1700000100}, TimePoint{});
        EXPECT_FALSE(writer.wait(Millis(200)));
        const std::vector<Unwritten> left = writer.finish();
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].devices.size(), 1u);
        kept = unwritten_path(r.id, r.run, r.records->folder());
        EXPECT_EQ(std::filesystem::path(kept).parent_path(),
                  std::filesystem::path(path).parent_path());
        ASSERT_TRUE(keep_unwritten(left[0], kept, error)) << error;
    }

    const std::unique_ptr<RunRecords> next = RunRecords::open(path, true, error);
    ASSERT_TRUE(next) << error;
    const std::vector<TakenIn> taken = take_in_unwritten(*next);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].path, kept);
    EXPECT_EQ(taken[0].rows, 2u);
    EXPECT_EQ(taken[0].error, "");
    EXPECT_FALSE(std::filesystem::exists(kept));
    EXPECT_EQ(next->unfinished_runs(std::nullopt, error), std::vector<int64_t>{});
    const std::optional<std::vector<RunRecord>> runs = next->history(1234, error);
    ASSERT_TRUE(runs && runs->size() == 1) << error;
    EXPECT_EQ((*runs)[0].verdict, "failed");
    EXPECT_EQ((*runs)[0].reason,
              "port 3 at 38 \xb0"
              "C");
    EXPECT_EQ((*runs)[0].cycles, 7u);
}

TEST(RecordsWriter, UnwrittenRowsAreKeptBesideTheReportsElseBesideTheRecords) {
    StationRun run;
    run.started_at = 1700000000;
    EXPECT_EQ(unwritten_path(12, run, "/srv/records"),
              "/srv/records/ovikstation-run-12-1700000000.unwritten");
    run.files.csv = "/srv/reports/line.csv";
    EXPECT_EQ(unwritten_path(12, run, "/srv/records"),
              "/srv/reports/ovikstation-run-12-1700000000.unwritten");
    run.files.json = "/srv/json/line.json";
    EXPECT_EQ(unwritten_path(12, run, ""), "/srv/json/ovikstation-run-12-1700000000.unwritten");
}

}  // namespace
}  // namespace ovik::station::test
