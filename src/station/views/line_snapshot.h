// The line as the dashboard shows it: a snapshot of every agent of the run (status, counters,
// failures, download progress) and the line's totals, as one line of JSON; and the feed that
// carries the newest snapshot from the run loop to the web server's threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "station/session/agent_session.h"
#include "station/views/report.h"

namespace ovik::station {

// One agent, as far as its run has come.
struct LineDevice {
    AgentReport report;
    Phase phase = Phase::polling;
    uint32_t progress = 0;  // of the download, percent
    bool rebooted = false;  // restarted in the middle of its run (AgentSession::rebooted)
};

LineDevice line_device(const AgentSession& session);

// The colour of an agent's tile. clean: nothing failed (yet); failing: an item or serial port
// counted a failure, or the run or the download did not pass; stopped: cut short because
// another agent failed; waiting: the agent has not answered yet.
enum class Health { waiting, clean, failing, stopped };
Health health_of(const LineDevice& device);
Health health_of(const AgentSession& session);
const char* health_name(Health health);

// What the snapshot says about the station itself.
struct LineInfo {
    std::string station;  // its name
    // "running", "finished" (the run is over), "interrupted" (the station was stopped, the runs
    // go on) or "records" (serve)
    std::string state;
    std::optional<RunPlan> plan;  // none without a run
    uint32_t started_at = 0;      // PC clock, seconds since the epoch; 0 without a run
};

// What the metrics say of the station beside its line: how far the run records are behind
// (seconds), and the outbox's length.
struct LineGauges {
    std::optional<double> records_lag;
    std::optional<uint64_t> outbox;
};

// The snapshot as JSON without line breaks, so it fits in one server-sent event.
std::string line_json(const LineInfo& info, const std::vector<LineDevice>& devices);

// The newest snapshot, handed from the run loop to any number of readers on other threads. The
// run loop hands over the line as it is; a reader writes it as JSON, once per snapshot and
// outside the lock, so a thousand devices' JSON never holds up the loop.
class LineFeed {
  public:
    explicit LineFeed(std::string first);

    struct Snapshot {
        uint64_t version = 0;  // grows with every publish(); the first snapshot is 1
        std::string json;
        bool closed = false;  // no newer snapshot will come
    };

    void publish(LineInfo info, std::vector<LineDevice> devices, LineGauges gauges = {});
    // The snapshot stays as it is from now on; waiting readers wake up.
    void close();
    Snapshot latest() const;
    // The newest line in the metrics' text format (metrics.h), written once per snapshot
    // outside the lock; nullopt while the feed holds no line of a run (serve).
    std::optional<std::string> metrics() const;
    // The first snapshot newer than version seen, waiting for it at most wait; the current one
    // when none came (or the feed is closed).
    Snapshot next(uint64_t seen, Millis wait) const;

  private:
    struct Line;
    Snapshot read(std::unique_lock<std::mutex>& lock) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    uint64_t version_ = 1;
    bool closed_ = false;
    std::shared_ptr<Line> line_;
};

// Puts the run loop's sessions into the feed, at most once per interval and at the end.
class LinePublisher {
  public:
    LinePublisher(LineFeed& feed, LineInfo info, Millis interval);
    void show(const std::vector<const AgentSession*>& sessions, TimePoint now, bool final);
    // The metrics' gauges of the next snapshots.
    void set_gauges(const LineGauges& gauges) { gauges_ = gauges; }
    // The state the final snapshot gives the line ("finished" unless told otherwise).
    void end_as(std::string state) { end_state_ = std::move(state); }

  private:
    LineFeed& feed_;
    LineInfo info_;
    std::string end_state_ = "finished";
    LineGauges gauges_;
    Millis interval_;
    TimePoint next_{};
};

}  // namespace ovik::station
