// The records of the runs a loop drives, kept up to date while they go on (see run_db.h): a
// row per agent within a second of its finding, written again when its phase or verdict
// changes and every few seconds while it runs, and once more at the end; the rows due are
// written together, in one transaction a second at most. So a station that ends without
// finishing leaves each agent's last state for ovikstation resume.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "station/records/run_db.h"
#include "station/session/agent_session.h"

namespace ovik::station {

class RunJournal {
  public:
    // Agents that the loop finds go into the run new_devices_run.
    RunJournal(RunDb& db, int64_t new_devices_run) : db_(db), run_(new_devices_run) {}

    // The loop's next session is this stored agent (a run taken back).
    void expect(const StoredDevice& device);
    // Sees the loop's sessions (a LineObserver) and writes what changed; on a failed write,
    // why, and it tries again a few seconds later.
    std::optional<std::string> observe(const std::vector<const AgentSession*>& sessions,
                                       TimePoint now);
    // Writes the loop's reports, in the order of its sessions.
    bool save(const std::vector<AgentReport>& reports, std::string& error);
    // The agents' rows, in the order of the loop's sessions.
    std::vector<StoredDevice> devices() const;

  private:
    struct Entry {
        StoredDevice device;
        Phase phase = Phase::polling;
        Verdict verdict = Verdict::pending;
        bool rebooted = false;
        TimePoint written_at{};
    };

    RunDb& db_;
    int64_t run_;
    std::vector<Entry> entries_;
    TimePoint retry_at_{};
    TimePoint next_batch_{};
};

}  // namespace ovik::station
