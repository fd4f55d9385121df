// The records of the runs a loop drives, kept up to date while they go on (see run_db.h): a
// row per agent within a second of its finding, written again when its phase or verdict
// changes and every few seconds while it runs, and once more at the end. The rows go to the
// records' own writer (records_writer.h), so the loop never waits for the database; what a
// killed station loses is what the writer had not written, each agent's last few seconds
// while the database keeps up.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "station/records/records_writer.h"
#include "station/records/run_db.h"
#include "station/session/agent_session.h"

namespace ovik::station {

class RunJournal {
  public:
    // Agents that the loop finds go into the run new_devices_run. The journal's writer uses
    // records until finish().
    RunJournal(RunRecords& records, int64_t new_devices_run);

    // The loop's next session is this stored agent (a run taken back).
    void expect(const StoredDevice& device);
    // Sees the loop's sessions (a LineObserver) and hands over what changed; once when the
    // records fell behind and once when they caught up, what to say (see
    // RecordsWriter::news).
    std::optional<std::string> observe(const std::vector<const AgentSession*>& sessions,
                                       TimePoint now);
    // The loop's reports, in the order of its sessions.
    void save(const std::vector<AgentReport>& reports);
    // Rows of the records that no session had (a run taken back): by their ids.
    void save(const std::vector<StoredDevice*>& rows);
    void end_run(int64_t run, StationRunState state, uint32_t ended_at);
    // How long the oldest row not yet written has waited.
    Millis lag(TimePoint now) const { return writer_.lag(now); }
    // Waits until the records hold all that was handed over, at most wait; whether they do.
    bool wait(Millis wait) { return writer_.wait(wait); }
    // Why the last write failed; "" when it did not.
    std::string error() const { return writer_.error(); }
    // Stops the writer; what it could not write, by run.
    std::vector<Unwritten> finish() { return writer_.finish(); }
    // The run of the loop's session in slot, and every run the journal records.
    int64_t run_of(std::size_t slot) const {
        return slot < entries_.size() ? entries_[slot].device.run : run_;
    }
    std::vector<int64_t> runs() const;

  private:
    struct Entry {
        StoredDevice device;
        Phase phase = Phase::polling;
        Verdict verdict = Verdict::pending;
        bool rebooted = false;
        TimePoint written_at{};
        bool handed_over = false;
    };

    int64_t run_;
    std::vector<Entry> entries_;
    TimePoint next_batch_{};
    RecordsWriter writer_;
};

}  // namespace ovik::station
