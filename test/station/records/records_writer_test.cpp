// The records' writer against an SQLite file whose write lock another connection holds: the
// rows wait without holding the loop, the lag is told once and its end once. What the station
// keeps of rows it cannot write, and the next station's taking them in, the system tests show
// (test/system/test_station_resume.py).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "station/records/records_writer.h"
#include "temp_dir.h"

namespace ovik::station::test {
namespace {

struct SqliteCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};

TEST(RecordsWriter, LockedDatabaseHoldsNotTheLoopAndTheRecordsCatchUp) {
    const ovik::testsupport::TempDir dir;
    const std::string path = dir.file("locked.db");
    std::string error;
    const std::unique_ptr<RunRecords> records = RunRecords::open(path, true, error);
    ASSERT_TRUE(records) << error;
    const std::optional<int64_t> run = records->begin_run(StationRun{}, error);
    ASSERT_TRUE(run) << error;
    sqlite3* other = nullptr;
    sqlite3_open(path.c_str(), &other);
    std::unique_ptr<sqlite3, SqliteCloser> lock(other);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    // A patience far longer than the test: a put that waited for the database would leave
    // the writer failed, not waiting.
    RecordsWriter writer(*records, Millis(60000));
    wire::ResponseFrame f;
    f.serial = 1234;
    const TimePoint t0{};
    writer.put(0, StoredDevice{*run, 0, {"10.0.0.5", Verdict::pending, {}, "", f, 1, 0}}, t0);
    EXPECT_EQ(writer.news(t0 + Millis(1000)), std::nullopt);
    EXPECT_EQ(writer.news(t0 + Millis(3000)),
              "are 3 s behind (1 row waiting for the database); the devices go on, and the "
              "records follow when the database answers");
    EXPECT_EQ(writer.news(t0 + Millis(4000)), std::nullopt);  // said once

    lock.reset();
    ASSERT_TRUE(writer.wait(Millis(10000)));
    EXPECT_EQ(writer.news(t0 + Millis(5000)), "caught up after 5 s");
    EXPECT_TRUE(writer.finish().empty());
    const std::optional<std::vector<RunRecord>> runs =
        RunRecords::open(path, false, error)->history(1234, error);
    ASSERT_TRUE(runs) << error;
    EXPECT_EQ(runs->size(), 1u);
}

}  // namespace
}  // namespace ovik::station::test
