// One agent's road through a run, as the station drives it: polling, query, set parameter,
// start, status reports for the run's duration, stop, and the firmware download when one was
// asked for. The session holds the agent's sequence number, retries commands whose answer is
// lost, and gives up on an agent after a bounded number of tries or a bounded silence. A
// running agent that falls silent (a dark line, a switch that re-converges) is asked where it
// stands until its planned end and a grace after it; the run goes on when it is heard again.
// Only frames that fit are acted on: an answer with the sequence number the session waits
// for, from the agent's port; any other frame is counted and named once. It can also take
// over a run that an earlier station began (adopt), and it takes over an agent that restarted
// in the middle of its run (the agent's answer to the session's own query shows it idle), to
// stop it declared failed. It does no I/O itself and reads no clock: the event loop hands it
// the time and a SessionIo.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "station/session/endpoint.h"
#include "wire/frames.h"

namespace ovik::station {

using TimePoint = std::chrono::steady_clock::time_point;
using Millis = std::chrono::milliseconds;

// How patient the station is with an agent.
struct Timing {
    Millis answer_timeout{1000};  // polling, query, set parameter, stop, download
    // The agent sets its hardware clock before it answers start, and tries a second time
    // after 3 s when that fails: the answer can take about 5 s.
    Millis start_answer_timeout{6500};
    int max_tries = 4;  // sends of one command before the agent is given up
    // Running or downloading: no frame at all for this long is an outage, named once.
    Millis silence_limit{10000};
    // A silent agent is still asked where it stands (and sent its stop) for this long after
    // its planned end, and a download is waited for as long, before it is declared lost; the
    // silence limit when that is longer.
    Millis outage_grace{60000};
    Millis diagnostic_interval{1000};
    // Running: no report for this long (a running agent reports at least once a second), so
    // the agent is asked where it stands; a restarted agent answers idle.
    Millis probe_after{3000};
};

// What the operator asked for; the same for every agent of a run.
struct RunPlan {
    uint32_t baud = 115200;
    std::string firmware = "na";  // "na": no download
    Millis duration{60000};
    bool declare_fail = false;
    // When any agent reports a failure, every agent's run ends at once (see stop_early).
    bool stop_all_on_fail = false;

    bool download_requested() const { return firmware != "na"; }
};

enum class Phase {
    polling,
    query,
    set_parameter,
    start,
    running,
    stop,
    download,
    downloading,
    adopt,  // asking an agent whose run another station began where it stands
    done
};
// stopped: the run was ended early because another agent failed (see stop_early). unknown: the
// agent took a stop (or may have) but its answer, the verdict, never arrived. interrupted: the
// station was stopped while the run went on; ovikstation resume takes it back.
enum class Verdict { pending, passed, failed, lost, refused, stopped, unknown, interrupted };
enum class DownloadResult { not_requested, pending, skipped, done, failed, no_answer, lost };

const char* phase_name(Phase phase);
const char* verdict_name(Verdict verdict);
const char* download_result_name(DownloadResult result);

// Whether a record shows a failure: any item or serial port counter above zero.
bool shows_failure(const wire::ResponseFrame& f);

// The session's way out: commands to its agent, lines for the operator, the PC's clock.
class SessionIo {
  public:
    virtual ~SessionIo() = default;
    virtual void send(const Endpoint& to, const wire::CommandFrame& frame) = 0;
    virtual void note(const std::string& line) = 0;
    // A line for the operator's error stream: frames the session ignored.
    virtual void warn(const std::string& line) { note(line); }
    virtual uint32_t wall_seconds() = 0;
};

// What the records know of a run that a station began and did not finish.
struct Adoption {
    std::optional<wire::ResponseFrame> record;  // the last frame that station had
    std::optional<uint32_t> started_at;         // PC clock when the agent took the start
    bool abort = false;  // stop the run declared failed instead of finishing it
};

class AgentSession {
  public:
    AgentSession(Endpoint agent, std::string label, const RunPlan& plan, const Timing& timing);

    // Sends the first polling command.
    void begin(TimePoint now, SessionIo& io);
    // Takes over a run that a station began and did not finish: asks the agent where it stands,
    // then finishes the run as planned (the same end, counted from the recorded start), or with
    // from.abort stops it declared failed. An agent found idle after its start restarted: its
    // run is failed (see rebooted).
    void adopt(const Adoption& from, TimePoint now, SessionIo& io);
    // A response frame that came from this agent's address, carrying its serial number, sent
    // from from_port.
    void on_frame(const wire::ResponseFrame& frame, uint16_t from_port, TimePoint now,
                  SessionIo& io);
    // The same, from the agent's own port.
    void on_frame(const wire::ResponseFrame& frame, TimePoint now, SessionIo& io) {
        on_frame(frame, agent_.port, now, io);
    }
    // Time has passed: retries, the end of the run's duration, diagnostics, silence.
    void on_tick(TimePoint now, SessionIo& io);
    // When on_tick has something to do next; max() when the session is done.
    TimePoint next_deadline() const;
    // Ends the run early because of a failure somewhere on the line (why says where). A running
    // agent is stopped at once and the run declared failed, so that a shortened run is never
    // marked burned in; an agent not started yet is reset, so it announces itself again for
    // the next run. Agents already stopping, downloading or done go on as they are.
    void stop_early(const std::string& why, TimePoint now, SessionIo& io);
    // The run has started and the agent's last frame shows a failure.
    bool run_shows_failure() const { return started_at_ && record_ && shows_failure(*record_); }

    const Endpoint& agent() const { return agent_; }
    const std::string& label() const { return label_; }
    const RunPlan& plan() const { return plan_; }
    // The agent restarted in the middle of its run (it was idle again, its counters at 0). The
    // run is failed; the session starts the fresh agent and stops it declared failed, so that
    // the device shows its fail LED. record() stays the last one from before the restart.
    bool rebooted() const { return rebooted_; }
    // An adopted agent answered, so the session knows where its run stands.
    bool adopted() const { return adopted_; }
    Phase phase() const { return phase_; }
    bool done() const { return phase_ == Phase::done; }
    Verdict verdict() const { return verdict_; }
    DownloadResult download() const { return download_; }
    // Why the session ended other than in a pass; empty otherwise.
    const std::string& reason() const { return reason_; }
    // The last frame the agent sent.
    const std::optional<wire::ResponseFrame>& record() const { return record_; }
    uint32_t progress() const { return progress_; }
    // Frames from the agent's address that were not acted on: from another port, or with a
    // sequence number that no answer or report of the agent's can carry now.
    uint32_t ignored() const { return ignored_; }
    // Status reports of the run that arrived, and how many the agent had sent up to the last
    // of them (each report carries its number; none when no report came, or when the session
    // did not see the whole run: taken over, restarted). The difference is what the network or
    // the station lost.
    uint32_t reports() const { return reports_; }
    std::optional<uint32_t> reports_sent() const { return reports_sent_; }
    // PC clock, seconds since the epoch: when the agent took the start command (none when it
    // never did), and when the session ended (0 while it runs).
    std::optional<uint32_t> started_at() const { return started_at_; }
    uint32_t ended_at() const { return ended_at_; }

  private:
    struct Pending {
        uint16_t cmd = 0;
        uint16_t ser = 0;
        TimePoint sent_at{};
        int tries = 0;
        TimePoint first_sent{};
    };

    std::string who() const;
    bool rides_out(TimePoint now) const;
    Millis grace() const { return std::max(timing_.outage_grace, timing_.silence_limit); }
    std::optional<std::string> misfit(const wire::ResponseFrame& f, uint16_t from_port) const;
    void ignore(const wire::ResponseFrame& f, const std::string& why, SessionIo& io);
    void note_outage(TimePoint now, SessionIo& io);
    bool sees_whole_run() const { return !adopted_ && !rebooted_ && fail_reason_.empty(); }
    Millis timeout_of(uint16_t cmd) const;
    void send_command(uint16_t cmd, TimePoint now, SessionIo& io);
    void resend(TimePoint now, SessionIo& io);
    void handle_answer(const wire::ResponseFrame& f, TimePoint now, SessionIo& io);
    void on_report(const wire::ResponseFrame& f, TimePoint now, SessionIo& io);
    void on_adopted(const wire::ResponseFrame& f, TimePoint now, SessionIo& io);
    void resume_running(TimePoint now, SessionIo& io);
    void take_over(const wire::ResponseFrame& f, std::string why, TimePoint now, SessionIo& io);
    void send_probe(TimePoint now, SessionIo& io);
    uint16_t probe_ser() const;
    bool shows_taken(const wire::ResponseFrame& f) const;
    void accepted(const wire::ResponseFrame& f, TimePoint now, SessionIo& io);
    void refused(const wire::ResponseFrame& f, SessionIo& io);
    void give_up(SessionIo& io);
    void on_download_report(const wire::ResponseFrame& f, SessionIo& io);
    void finish(Verdict verdict, const std::string& reason, SessionIo& io);

    Endpoint agent_;
    std::string label_;
    RunPlan plan_;
    Timing timing_;

    Phase phase_ = Phase::polling;
    Verdict verdict_ = Verdict::pending;
    DownloadResult download_;
    std::string reason_;
    std::optional<wire::ResponseFrame> record_;
    uint16_t ser_ = 0;  // the number the agent expects next
    Pending pending_;
    TimePoint last_heard_{};
    TimePoint run_started_{};
    TimePoint next_diagnostic_{};
    uint32_t progress_ = 0;
    uint32_t reports_ = 0;
    std::optional<uint32_t> reports_sent_;
    std::optional<uint32_t> started_at_;
    uint32_t ended_at_ = 0;
    std::string stopped_early_;  // why the run was ended early; empty when it was not
    // Why the run is failed whatever the agent says (a restart, an abort): its stop is declared
    // failed and the verdict is failed. Empty otherwise.
    std::string fail_reason_;
    bool abort_ = false;
    bool rebooted_ = false;
    bool adopted_ = false;
    int resets_ = 0;  // sent while aborting a run that waits for its download
    TimePoint next_probe_{};
    bool probed_ = false;  // a query was sent to ask where the running agent stands
    uint32_t ignored_ = 0;
    bool outage_noted_ = false;  // the present silence was named
    TimePoint stop_sent_{};      // the first copy of the stop
    TimePoint stop_until_{};     // its copies go on until then while the agent is silent
};

}  // namespace ovik::station
