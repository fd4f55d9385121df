// What the plant hears of a line: the device events that matter, one message each (found,
// started, first failure, rebooted, stopped with its verdict, downloaded, lost), numbered
// without gaps within each run so that a consumer can drop a repeat, and the device's final
// verdict once more, retained under its serial number. A summary of the line every few
// seconds. Topics (station is the station's name, with '/', '+' and '#' as '_'):
//   ovikstation/<station>/run/<run>/event             every event of a run, in order
//   ovikstation/<station>/device/<serial>/verdict     the final verdict, retained
//   ovikstation/<station>/summary                     the line, retained
// DeviceEvents only sees the loop's sessions, as the records' journal does; the messages go to
// the outbox (outbox.h) through the publisher.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "station/records/outbox.h"
#include "station/session/agent_session.h"

namespace ovik::station {

class DeviceEvents {
  public:
    // last: the last number of each run's messages that stations before sent.
    DeviceEvents(const std::string& station, std::map<int64_t, int64_t> last);

    // The messages of what changed since the last call; run_of gives the run of the session in
    // a slot; wall is the PC clock (seconds since the epoch).
    using RunOf = std::function<int64_t(std::size_t slot)>;
    std::vector<OutboxMessage> observe(const std::vector<const AgentSession*>& sessions,
                                       const RunOf& run_of, int64_t wall);
    // The line's summary: its topic and body.
    OutboxMessage summary(const std::vector<const AgentSession*>& sessions,
                          const std::vector<int64_t>& runs, int64_t wall) const;

  private:
    struct Seen {
        bool found = false;
        bool started = false;
        bool failure = false;
        bool rebooted = false;
        bool stopped = false;
        bool downloaded = false;
        bool done = false;
        int64_t number = 0;  // of the device's last event
    };

    std::string prefix_;  // "ovikstation/<station>/"
    std::string station_;
    std::map<int64_t, int64_t> last_;
    std::vector<Seen> seen_;
};

}  // namespace ovik::station
