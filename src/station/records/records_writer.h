// The run records' own writer: a thread that owns the database connection while a run goes
// on, so that the loop which drives the devices never waits for storage. The loop hands each
// device's newest row over (a newer row of a device replaces an older one not yet written, so
// what waits is bounded by the devices, not by their reports) and the ends of runs (never
// replaced or dropped); the writer writes them, all that waits in one transaction, and after a
// failure tries again a little later, longer each time up to a few seconds. When the database
// is slow or gone the rows wait; the loop asks how far behind they are.
//
// At the end the station waits a bounded time for the rows; what the writer could not write is
// kept in a file that the next station opening the same records takes in.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "station/records/run_db.h"

namespace ovik::station {

// What a station could not write of one run.
struct Unwritten {
    int64_t run = 0;
    std::vector<StoredDevice> devices;
    std::optional<RunEnd> end;
};

class RecordsWriter {
  public:
    // From now until finish() the writer's thread alone uses records; each of its statements
    // waits at most patience for the database.
    RecordsWriter(RunRecords& records, Millis patience);
    ~RecordsWriter();
    RecordsWriter(const RecordsWriter&) = delete;
    RecordsWriter& operator=(const RecordsWriter&) = delete;

    // The newest row of the device that slot names; it replaces one not written yet.
    void put(std::size_t slot, const StoredDevice& device, TimePoint now);
    void end_run(const RunEnd& end, TimePoint now);
    // Once when the rows fell behind by more than a moment, with how far and why, and once
    // when they caught up: "are 3 s behind (...)", "caught up after 31 s".
    std::optional<std::string> news(TimePoint now);
    // How long the oldest row not yet written has waited.
    Millis lag(TimePoint now) const;
    // Waits until all that was handed over is written, at most wait; whether it is.
    bool wait(Millis wait);
    // Why the last write failed; "" when it did not.
    std::string error() const;
    // Stops the writer after the statement it is in, and gives back what it did not write.
    std::vector<Unwritten> finish();

  private:
    struct Pending {
        StoredDevice device;
        TimePoint since;  // when its oldest unwritten change was handed over
    };
    void run();
    // How many rows wait, and since when the oldest; with mutex_ held.
    std::size_t waiting() const;
    std::optional<TimePoint> oldest() const;

    RunRecords& records_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::size_t, Pending> devices_;
    std::vector<std::pair<RunEnd, TimePoint>> ends_;
    std::size_t writing_ = 0;                 // rows in the writer's hands
    std::optional<TimePoint> writing_since_;  // the oldest of them
    std::string error_;                       // why the last write failed; "" after a success
    bool stopping_ = false;
    std::map<std::size_t, int64_t> ids_;     // the rows the writer inserted; its thread's alone
    std::optional<TimePoint> behind_since_;  // the loop's alone
    std::thread thread_;
};

// The file that keeps what a station could not write of a run: beside the run's report
// files, else beside the records file (records_folder), else in the current folder.
std::string unwritten_path(int64_t run, const StationRun& station_run,
                           const std::string& records_folder);
// Writes it; false, with why, when it cannot be written.
bool keep_unwritten(const Unwritten& rows, const std::string& path, std::string& error);

// A file of unwritten rows that a station took in, or could not.
struct TakenIn {
    std::string path;
    std::size_t rows = 0;
    std::string error;  // "" when the rows are in the records and the file is gone
};
// Takes in the files that stations kept of runs that are not finished, and removes them.
std::vector<TakenIn> take_in_unwritten(RunRecords& records);
// The files kept of runs that are not finished and that no live station drives, by run:
// what a reader of the records does not see until a station takes them in.
std::vector<std::pair<int64_t, std::string>> kept_unwritten(RunRecords& records);

}  // namespace ovik::station
