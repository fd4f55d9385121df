#include "station/session/agent_session.h"

#include <algorithm>
#include <cstdio>

namespace ovik::station {
namespace {

using namespace wire;

// Added to the agent's number, it gives one the agent cannot hold: the agent refuses the query
// and answers with its own number and status, and nothing changes on it.
constexpr uint16_t PROBE_OFFSET = 0x8000;
// An agent that waits for its download is reset at most this many times while being aborted.
constexpr int MAX_RESETS = 3;
constexpr const char* ABORTED =
    "aborted by ovikstation abort: the run was stopped and declared failed";

Phase phase_of(uint16_t cmd) {
    switch (cmd) {
        case CMD_POLLING:
            return Phase::polling;
        case CMD_QUERY:
            return Phase::query;
        case CMD_SET_PARAMETER:
            return Phase::set_parameter;
        case CMD_START:
            return Phase::start;
        case CMD_STOP:
            return Phase::stop;
        default:
            return Phase::download;
    }
}

std::string seconds_text(Millis ms) {
    char text[32];
    if (ms.count() % 1000 == 0) {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(ms.count() / 1000));
    } else {
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms.count()) / 1000.0);
    }
    return text;
}

std::string whole_seconds(std::chrono::steady_clock::duration d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + " s";
}

std::string wrong_number(uint16_t got, uint16_t expected) {
    return "wrong sequence number " + std::to_string(got) + " (the station waits for " +
           std::to_string(expected) + ")";
}

bool is_probe_answer(const ResponseFrame& f) {
    return f.code == (NAK_BIT | CMD_QUERY) && f.error == ERR_SEQUENCE;
}

std::string hex_text(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

}  // namespace

const char* phase_name(Phase phase) {
    switch (phase) {
        case Phase::polling:
            return "polling";
        case Phase::query:
            return "query";
        case Phase::set_parameter:
            return "set parameter";
        case Phase::start:
            return "starting";
        case Phase::running:
            return "running";
        case Phase::stop:
            return "stopping";
        case Phase::download:
            return "download";
        case Phase::downloading:
            return "downloading";
        case Phase::adopt:
            return "re-adopting";
        case Phase::done:
            return "done";
    }
    return "unknown";
}

const char* verdict_name(Verdict verdict) {
    switch (verdict) {
        case Verdict::pending:
            return "pending";
        case Verdict::passed:
            return "passed";
        case Verdict::failed:
            return "failed";
        case Verdict::lost:
            return "lost";
        case Verdict::refused:
            return "refused";
        case Verdict::stopped:
            return "stopped";
        case Verdict::unknown:
            return "unknown";
        case Verdict::interrupted:
            return "interrupted";
    }
    return "unknown";
}

const char* download_result_name(DownloadResult result) {
    switch (result) {
        case DownloadResult::not_requested:
            return "not requested";
        case DownloadResult::pending:
            return "pending";
        case DownloadResult::skipped:
            return "skipped";
        case DownloadResult::done:
            return "done";
        case DownloadResult::failed:
            return "failed";
        case DownloadResult::no_answer:
            return "no answer";
        case DownloadResult::lost:
            return "lost";
    }
    return "unknown";
}

bool shows_failure(const ResponseFrame& f) {
    return std::any_of(f.item.begin(), f.item.end(),
                       [](const ItemRecord& item) { return item.fail != 0; }) ||
           std::any_of(f.portfail.begin(), f.portfail.end(), [](uint32_t n) { return n != 0; });
}

AgentSession::AgentSession(Endpoint agent, std::string label, const RunPlan& plan,
                           const Timing& timing)
    : agent_(agent),
      label_(std::move(label)),
      plan_(plan),
      timing_(timing),
      download_(plan.download_requested() ? DownloadResult::pending
                                          : DownloadResult::not_requested) {}

std::string AgentSession::who() const {
    if (!record_) return label_;
    return label_ + " (serial " + std::to_string(record_->serial) + ")";
}

Millis AgentSession::timeout_of(uint16_t cmd) const {
    return cmd == CMD_START ? timing_.start_answer_timeout : timing_.answer_timeout;
}

void AgentSession::begin(TimePoint now, SessionIo& io) {
    last_heard_ = now;
    send_command(CMD_POLLING, now, io);
}

void AgentSession::adopt(const Adoption& from, TimePoint now, SessionIo& io) {
    record_ = from.record;
    started_at_ = from.started_at;
    abort_ = from.abort;
    if (record_) ser_ = record_->ser;
    last_heard_ = now;
    pending_ = Pending{CMD_QUERY, probe_ser(), now, 0, now};
    phase_ = Phase::adopt;
    resend(now, io);
}

uint16_t AgentSession::probe_ser() const {
    return static_cast<uint16_t>(ser_ + PROBE_OFFSET);
}

void AgentSession::send_probe(TimePoint now, SessionIo& io) {
    CommandFrame f;
    f.cmd = CMD_QUERY;
    f.ser = probe_ser();
    io.send(agent_, f);
    next_probe_ = now + timing_.answer_timeout;
    probed_ = true;
}

void AgentSession::send_command(uint16_t cmd, TimePoint now, SessionIo& io) {
    pending_ = Pending{cmd, ser_, now, 0, now};
    if (cmd == CMD_STOP) {
        stop_sent_ = now;
        stop_until_ = std::max(now, run_started_ + plan_.duration) + grace();
    }
    phase_ = phase_of(cmd);
    resend(now, io);
}

void AgentSession::resend(TimePoint now, SessionIo& io) {
    ++pending_.tries;
    pending_.sent_at = now;
    CommandFrame f;
    f.cmd = pending_.cmd;
    f.ser = pending_.ser;
    if (f.cmd == CMD_SET_PARAMETER) {
        f.baud = plan_.baud;
        // The command line refuses names that do not fit.
        static_cast<void>(set_fwr(f.fwr, plan_.firmware));
    } else if (f.cmd == CMD_START) {
        f.time = io.wall_seconds();
    } else if (f.cmd == CMD_STOP) {
        f.fail = plan_.declare_fail || !stopped_early_.empty() || !fail_reason_.empty() ? 1 : 0;
    }
    io.send(agent_, f);
}

std::optional<std::string> AgentSession::misfit(const ResponseFrame& f, uint16_t from_port) const {
    if (from_port != agent_.port) {
        return "from port " + std::to_string(from_port) + ", not the agent's port " +
               std::to_string(agent_.port);
    }
    // Announcements answer nothing; on_frame decides by the phase.
    if (f.code == RSP_ALIVE) return std::nullopt;
    switch (phase_) {
        case Phase::adopt:
            return std::nullopt;  // the agent's number, whatever it is, is what adoption learns
        case Phase::running:
        case Phase::downloading:
            if (is_probe_answer(f) && !probed_) {
                return std::string("an answer to a query the station did not send");
            }
            if (is_probe_answer(f)) return std::nullopt;
            break;
        default: {
            const uint16_t cmd = pending_.cmd;
            // Out of sequence, the agent answers with its own number, whatever it is.
            if (f.code == (NAK_BIT | cmd) && f.error == ERR_SEQUENCE) return std::nullopt;
            const auto answer = static_cast<uint16_t>(cmd == CMD_POLLING ? 0 : pending_.ser + 1);
            if (f.code == (ACK_BIT | cmd)) {
                if (f.ser != answer) return wrong_number(f.ser, answer);
                return std::nullopt;
            }
            if (f.code == (NAK_BIT | cmd)) {
                if (f.ser != pending_.ser) return wrong_number(f.ser, pending_.ser);
                return std::nullopt;
            }
            // A report that shows the command taken.
            if (f.ser == answer) return std::nullopt;
            break;
        }
    }
    if (f.ser == ser_) return std::nullopt;
    return wrong_number(f.ser, ser_);
}

void AgentSession::ignore(const ResponseFrame& f, const std::string& why, SessionIo& io) {
    if (ignored_++ > 0) return;
    const uint32_t serial = record_ ? record_->serial : f.serial;
    io.warn("serial " + std::to_string(serial) + " at " + label_ + ": ignored a frame (code " +
            hex_text(f.code, 4) + ", sequence number " + std::to_string(f.ser) + "): " + why +
            "; frames that do not fit are counted, never acted on, and named once per device");
}

bool AgentSession::rides_out(TimePoint now) const {
    if (pending_.cmd == CMD_STOP) return now < stop_until_;
    // Before the run: an agent that answered polling and then went silent altogether is
    // behind a dark line, and a command it took meanwhile shows in its answer to a later copy.
    // An agent that is heard but does not answer is given up after its tries.
    const bool before_run =
        pending_.cmd == CMD_QUERY || pending_.cmd == CMD_SET_PARAMETER || pending_.cmd == CMD_START;
    return before_run && phase_ != Phase::adopt && !rebooted_ &&
           last_heard_ <= pending_.first_sent && now - last_heard_ < grace();
}

void AgentSession::note_outage(TimePoint now, SessionIo& io) {
    if (outage_noted_) return;
    outage_noted_ = true;
    const std::string head = who() + ": nothing heard for " + whole_seconds(now - last_heard_) +
                             ": the line or the device may be down; ";
    if (phase_ == Phase::running || phase_ == Phase::stop) {
        io.note(head +
                (phase_ == Phase::stop ? "sending the stop" : "asking the agent where it stands") +
                " every " + seconds_text(timing_.answer_timeout) + " until " +
                seconds_text(grace()) + " after its planned end");
        return;
    }
    io.note(head + "sending the " + command_name(pending_.cmd) + " every " +
            seconds_text(timeout_of(pending_.cmd)) + " until " + seconds_text(grace()) +
            " after it was last heard");
}

void AgentSession::on_frame(const ResponseFrame& f, uint16_t from_port, TimePoint now,
                            SessionIo& io) {
    if (phase_ == Phase::done) return;
    if (const std::optional<std::string> why = misfit(f, from_port)) {
        ignore(f, *why, io);
        return;
    }
    if (f.code == RSP_ALIVE && phase_ != Phase::polling) {
        // Anyone idle at the address may send it; whether this agent restarted, its answer to
        // the station's own query shows.
        if (phase_ == Phase::running) {
            ignore(f,
                   "an idle announcement while its run goes on; asking the agent whether it "
                   "restarted",
                   io);
            if (now >= next_probe_) send_probe(now, io);
        }
        return;
    }
    if (outage_noted_) {
        outage_noted_ = false;
        io.note(who() + ": heard again after " + whole_seconds(now - last_heard_) + " of silence");
    }
    last_heard_ = now;
    if (phase_ == Phase::adopt) {
        on_adopted(f, now, io);
        return;
    }
    // After a restart the run's record stays the last one from before it; while running it
    // is the agent's reports and its answers to the session's queries.
    if (!rebooted_ && (phase_ != Phase::running ||
                       ((f.code == RSP_DIAG || is_probe_answer(f)) && f.status != STATUS_IDLE))) {
        record_ = f;
    }
    // Reports come while the run goes on, also before a start's lost answer and after the stop
    // was sent; none once the stop is answered.
    if (f.code == RSP_DIAG && f.status == STATUS_RUNNING && sees_whole_run() &&
        (phase_ == Phase::start || phase_ == Phase::running || phase_ == Phase::stop)) {
        ++reports_;
        // Each report carries how many the agent sent before it in this run.
        reports_sent_ = std::max(reports_sent_.value_or(0), f.diagsent + 1);
    }
    switch (phase_) {
        case Phase::running:
            on_report(f, now, io);
            return;
        case Phase::downloading:
            on_download_report(f, io);
            return;
        default:
            handle_answer(f, now, io);
            return;
    }
}

void AgentSession::handle_answer(const ResponseFrame& f, TimePoint now, SessionIo& io) {
    const uint16_t cmd = pending_.cmd;
    if (f.code == (ACK_BIT | cmd)) {
        accepted(f, now, io);
        return;
    }
    if (cmd == CMD_POLLING) return;  // announcements until the polling arrives
    if (f.code == (NAK_BIT | cmd)) {
        if (f.error != ERR_SEQUENCE) {
            refused(f, io);
        } else if (f.ser == pending_.ser) {
            // The answer to a copy sent with an older number: the current copy is on its way.
        } else if (shows_taken(f)) {
            // An earlier copy was taken and its answer lost; the copy after it came too late.
            io.note(who() + ": " + command_name(cmd) + " refused as out of sequence, but the " +
                    "agent's number and status show an earlier copy was taken; going on");
            accepted(f, now, io);
        } else if (pending_.tries >= timing_.max_tries) {
            give_up(io);
        } else {
            io.note(who() + ": " + command_name(cmd) + " refused as out of sequence (ours " +
                    std::to_string(pending_.ser) + ", the agent's " + std::to_string(f.ser) +
                    "); sending it again with the agent's number");
            ser_ = f.ser;
            pending_.ser = f.ser;
            resend(now, io);
        }
        return;
    }
    // The first report of a started run or download also proves that the command was taken.
    if (f.code == RSP_DIAG && (cmd == CMD_START || cmd == CMD_DOWNLOAD) && shows_taken(f)) {
        io.note(who() + ": the answer to " + command_name(cmd) +
                " was lost, but the agent reports that it was taken; going on");
        accepted(f, now, io);
        if (phase_ == Phase::downloading) on_download_report(f, io);
        return;
    }
    if (f.code == RSP_DOWNLOAD_END && cmd == CMD_DOWNLOAD && shows_taken(f)) {
        accepted(f, now, io);
        on_download_report(f, io);
    }
    // Anything else is an answer to an earlier copy or a report sent before our command
    // arrived; the retry timer covers a command that really was lost.
}

void AgentSession::on_report(const ResponseFrame& f, TimePoint now, SessionIo& io) {
    const bool probe_answer = is_probe_answer(f);
    if (f.status == STATUS_RUNNING) {
        if (probe_answer) ser_ = f.ser;
    } else if (f.status == STATUS_IDLE && probe_answer) {
        take_over(f,
                  "rebooted during the run: the agent is idle again with its cycles back at 0 "
                  "(the device restarted or was reset); the run failed",
                  now, io);
    } else if (f.code == RSP_DIAG || probe_answer) {
        finish(Verdict::lost,
               std::string("the agent left the run (status ") + status_name(f.status) +
                   "): did another test PC send it commands?",
               io);
    }
}

void AgentSession::on_adopted(const ResponseFrame& f, TimePoint now, SessionIo& io) {
    // Any frame of the agent's carries its number and status: the answer to the query, a
    // report of a run that still sends them here, an announcement.
    adopted_ = true;
    ser_ = f.ser;
    const bool had_started = started_at_.has_value();
    switch (f.status) {
        case STATUS_RUNNING:
            record_ = f;
            if (abort_) {
                fail_reason_ = ABORTED;
                io.note(who() + ": re-adopted, running; stopping it declared failed");
                send_command(CMD_STOP, now, io);
            } else {
                resume_running(now, io);
            }
            return;
        case STATUS_OK:
            record_ = f;
            verdict_ = Verdict::passed;
            if (abort_) {
                if (resets_++ >= MAX_RESETS) {
                    finish(Verdict::refused, "the agent would not leave its passed run", io);
                    return;
                }
                // Waiting for its download; a stop needs a running agent, so it is reset and
                // taken through a start to a stop declared failed.
                CommandFrame reset;
                reset.cmd = CMD_RESET;
                io.send(agent_, reset);
                adopt(Adoption{record_, started_at_, true}, now, io);
            } else if (plan_.download_requested()) {
                io.note(who() + ": re-adopted; the run passed; downloading firmware " +
                        plan_.firmware);
                send_command(CMD_DOWNLOAD, now, io);
            } else {
                finish(Verdict::passed, "", io);
            }
            return;
        case STATUS_FAIL:
            record_ = f;
            finish(Verdict::failed, "", io);
            return;
        case STATUS_DOWNLOAD:
            record_ = f;
            verdict_ = Verdict::passed;
            phase_ = Phase::downloading;
            progress_ = std::min<uint32_t>(f.diagsent, 100);
            io.note(who() + ": re-adopted, downloading");
            return;
        case STATUS_DOWNLOAD_OK:
        case STATUS_DOWNLOAD_FAIL:
            // The download's last report.
            record_ = f;
            download_ =
                f.status == STATUS_DOWNLOAD_OK ? DownloadResult::done : DownloadResult::failed;
            finish(Verdict::passed, "", io);
            return;
        case STATUS_IDLE:
            if (abort_) {
                take_over(f, ABORTED, now, io);
            } else if (had_started) {
                take_over(f,
                          "rebooted while no station watched: the agent is idle again with its "
                          "cycles back at 0 (the device restarted or was reset); the run failed",
                          now, io);
            } else {
                // The run had not started: it goes on from the query.
                record_ = f;
                io.note(who() + ": re-adopted before its start");
                send_command(CMD_QUERY, now, io);
            }
            return;
        default:
            record_ = f;
            finish(Verdict::refused,
                   std::string("the agent's status is ") + status_name(f.status) +
                       ", which no run has",
                   io);
            return;
    }
}

void AgentSession::resume_running(TimePoint now, SessionIo& io) {
    const uint32_t wall = io.wall_seconds();
    if (!started_at_) {
        started_at_ = wall;
        io.note(who() + ": the records do not say when its run started; it counts from now");
    }
    const auto elapsed = std::chrono::seconds(wall > *started_at_ ? wall - *started_at_ : 0);
    run_started_ = now - elapsed;
    phase_ = Phase::running;
    next_diagnostic_ = now;
    const auto left = plan_.duration - std::chrono::duration_cast<Millis>(elapsed);
    io.note(who() + ": re-adopted, running; " +
            (left.count() > 0 ? "stopping it in " + seconds_text(left)
                              : std::string("its planned end has passed: stopping it now")));
}

void AgentSession::take_over(const ResponseFrame& f, std::string why, TimePoint now,
                             SessionIo& io) {
    rebooted_ = !abort_;
    fail_reason_ = std::move(why);
    if (!record_) record_ = f;
    ser_ = f.ser;
    io.note(who() + ": " + (rebooted_ ? "rebooted" : "aborting") +
            "; starting it and stopping it declared failed, so that it shows its fail LED");
    send_command(CMD_START, now, io);
}

bool AgentSession::shows_taken(const ResponseFrame& f) const {
    if (f.ser != static_cast<uint16_t>(pending_.ser + 1)) return false;
    switch (pending_.cmd) {
        case CMD_QUERY:
        case CMD_SET_PARAMETER:
            return f.status == STATUS_IDLE;
        case CMD_START:
            return f.status == STATUS_RUNNING;
        case CMD_STOP:
            return f.status == STATUS_OK || f.status == STATUS_FAIL;
        case CMD_DOWNLOAD:
            return f.status == STATUS_DOWNLOAD || f.status == STATUS_DOWNLOAD_OK ||
                   f.status == STATUS_DOWNLOAD_FAIL;
        default:
            return false;
    }
}

void AgentSession::accepted(const ResponseFrame& f, TimePoint now, SessionIo& io) {
    ser_ = f.ser;
    switch (pending_.cmd) {
        case CMD_POLLING:
            io.note(who() + ": answered polling; software id " + hex_text(f.softwareid, 4) +
                    ", AP id " + hex_text(f.apid, 8));
            send_command(CMD_QUERY, now, io);
            return;
        case CMD_QUERY:
            send_command(CMD_SET_PARAMETER, now, io);
            return;
        case CMD_SET_PARAMETER:
            send_command(CMD_START, now, io);
            return;
        case CMD_START:
            if (!fail_reason_.empty()) {
                // Started only to be stopped declared failed.
                if (!started_at_) started_at_ = io.wall_seconds();
                send_command(CMD_STOP, now, io);
                return;
            }
            phase_ = Phase::running;
            {
                // When the answer came late the agent has burned for a while already: the run
                // counts from its own burn time, never from before the first copy went out.
                const Millis already =
                    std::min(std::chrono::duration_cast<Millis>(now - pending_.first_sent),
                             Millis(std::chrono::seconds(f.burntime)));
                run_started_ = now - already;
                started_at_ = io.wall_seconds() - static_cast<uint32_t>(already.count() / 1000);
                next_diagnostic_ = now + timing_.diagnostic_interval;
                if (already < std::chrono::seconds(1)) {
                    io.note(who() + ": run started; stopping it in " +
                            seconds_text(plan_.duration));
                } else {
                    io.note(who() + ": run started " + seconds_text(already) +
                            " ago by its own burn time; stopping it in " +
                            seconds_text(std::max(Millis(0), plan_.duration - already)));
                }
            }
            return;
        case CMD_STOP:
            if (!fail_reason_.empty()) {
                finish(Verdict::failed, fail_reason_, io);
            } else if (f.status == STATUS_OK) {
                verdict_ = Verdict::passed;
                io.note(who() + ": run passed after " + std::to_string(f.cycles) + " cycles");
                if (plan_.download_requested()) {
                    send_command(CMD_DOWNLOAD, now, io);
                    io.note(who() + ": downloading firmware " + plan_.firmware);
                } else {
                    finish(Verdict::passed, "", io);
                }
            } else if (f.status == STATUS_FAIL && !stopped_early_.empty() && !shows_failure(f) &&
                       !plan_.declare_fail) {
                finish(Verdict::stopped, stopped_early_, io);
            } else if (f.status == STATUS_FAIL) {
                io.note(who() + ": run failed after " + std::to_string(f.cycles) + " cycles");
                finish(Verdict::failed, "", io);
            } else {
                finish(Verdict::refused,
                       std::string("stop answered with status ") + status_name(f.status), io);
            }
            return;
        case CMD_DOWNLOAD:
            phase_ = Phase::downloading;
            progress_ = 0;
            return;
        default:
            return;
    }
}

void AgentSession::refused(const ResponseFrame& f, SessionIo& io) {
    const uint16_t cmd = pending_.cmd;
    std::string why;
    switch (f.error) {
        case ERR_BAUD:
            why = "the agent takes no baud rate above " + std::to_string(MAX_BAUD);
            break;
        case ERR_STATE:
            why = std::string("the agent is ") + status_name(f.status) +
                  (cmd == CMD_STOP ? ", not running" : ", not idle") +
                  ": another test PC may be driving it; restart ovikburn on the device";
            break;
        default:
            why = "error " + std::to_string(f.error);
            break;
    }
    if (cmd == CMD_DOWNLOAD) {
        download_ = DownloadResult::failed;
        finish(verdict_, "download refused: " + why, io);
        return;
    }
    finish(Verdict::refused, std::string(command_name(cmd)) + " refused: " + why, io);
}

void AgentSession::give_up(SessionIo& io) {
    const std::string tries = std::to_string(pending_.tries) + " tries";
    if (rebooted_) {
        finish(Verdict::failed,
               fail_reason_ + "; then no answer to " + command_name(pending_.cmd) + " after " +
                   tries + ": the device may not show its fail LED",
               io);
        return;
    }
    if (phase_ == Phase::adopt) {
        const std::string why = "no answer to " + tries +
                                " of a query: the agent ended its run, or the device is off, "
                                "while no station watched; read its verdict from its LEDs";
        const uint16_t known = record_ ? record_->status : STATUS_IDLE;
        if (known == STATUS_FAIL) {
            finish(Verdict::failed, why, io);
        } else if (known == STATUS_OK || known == STATUS_DOWNLOAD) {
            if (download_ == DownloadResult::pending) download_ = DownloadResult::lost;
            finish(Verdict::passed, why, io);
        } else {
            finish(Verdict::lost, why, io);
        }
        return;
    }
    switch (pending_.cmd) {
        case CMD_POLLING:
            finish(Verdict::lost,
                   "no answer to polling after " + tries +
                       ": check the address and the cabling, and that ovikburn runs on the "
                       "device and is idle (it stops answering polling once a test PC has "
                       "taken it; restart it then)",
                   io);
            return;
        case CMD_STOP:
            if (stop_sent_ - last_heard_ >= timing_.silence_limit) {
                finish(Verdict::lost,
                       "nothing heard for " + whole_seconds(stop_until_ - last_heard_) +
                           ", though asked until " + seconds_text(grace()) +
                           " after its planned end: agent lost (the line or the device is "
                           "down); read its verdict from the device's LEDs",
                       io);
                return;
            }
            // The agent may have taken a copy, ended its run and closed the link: the verdict
            // went with the lost answer.
            finish(Verdict::unknown,
                   "verdict unknown (stop answer lost): no answer to stop after " + tries +
                       "; the agent may have ended the run and closed the link: read its "
                       "verdict from the device's LEDs",
                   io);
            return;
        case CMD_DOWNLOAD:
            download_ = DownloadResult::no_answer;
            finish(verdict_,
                   "no answer to the download command after " + tries +
                       ": the agent is likely not configured for a firmware download "
                       "(info:DownloadFWR in its configuration)",
                   io);
            return;
        default:
            finish(Verdict::lost,
                   std::string("no answer to ") + command_name(pending_.cmd) + " after " + tries +
                       (outage_noted_ ? ", nothing heard for " + whole_seconds(grace()) +
                                            ": agent lost (the line or the device is down)"
                                      : ": agent lost"),
                   io);
            return;
    }
}

void AgentSession::on_download_report(const ResponseFrame& f, SessionIo& io) {
    if (f.code == RSP_DIAG) {
        progress_ = std::min<uint32_t>(f.diagsent, 100);
    } else if (f.code == RSP_DOWNLOAD_END && f.status == STATUS_DOWNLOAD_OK) {
        progress_ = 100;
        download_ = DownloadResult::done;
        io.note(who() + ": download done");
        finish(verdict_, "", io);
    } else if (f.code == RSP_DOWNLOAD_END && f.status == STATUS_DOWNLOAD_FAIL) {
        download_ = DownloadResult::failed;
        finish(verdict_,
               "download failed: the agent's upgrade script reported an error (its console "
               "says which); check the file name and the TFTP server",
               io);
    }
}

void AgentSession::finish(Verdict verdict, const std::string& reason, SessionIo& io) {
    phase_ = Phase::done;
    if (ignored_ > 1) {
        io.warn("serial " + std::to_string(record_ ? record_->serial : 0) + " at " + label_ + ": " +
                std::to_string(ignored_) + " frames ignored in all");
    }
    ended_at_ = io.wall_seconds();
    verdict_ = verdict;
    // A download asked for but never reached.
    if (download_ == DownloadResult::pending) download_ = DownloadResult::skipped;
    reason_ = reason;
    if (!reason.empty()) io.note(who() + ": " + reason);
}

void AgentSession::on_tick(TimePoint now, SessionIo& io) {
    switch (phase_) {
        case Phase::done:
            return;
        case Phase::running:
            // However long the agent is silent, its stop goes at the planned end.
            if (now - run_started_ >= plan_.duration) {
                io.note(who() + ": stopping the run" +
                        (plan_.declare_fail ? " and declaring it failed" : ""));
                send_command(CMD_STOP, now, io);
            } else {
                if (now >= next_diagnostic_) {
                    CommandFrame f;
                    f.cmd = CMD_DIAGNOSTIC;
                    f.ser = ser_;
                    io.send(agent_, f);
                    next_diagnostic_ += timing_.diagnostic_interval;
                    if (next_diagnostic_ <= now) {
                        next_diagnostic_ = now + timing_.diagnostic_interval;
                    }
                }
                if (now - last_heard_ >= timing_.probe_after && now >= next_probe_) {
                    if (now - last_heard_ >= timing_.silence_limit) note_outage(now, io);
                    send_probe(now, io);
                }
            }
            return;
        case Phase::downloading:
            if (now - last_heard_ >= grace()) {
                download_ = DownloadResult::lost;
                finish(verdict_,
                       "no download report for " + seconds_text(grace()) +
                           ": agent lost during the download",
                       io);
            }
            return;
        default:
            if (now - pending_.sent_at < timeout_of(pending_.cmd)) return;
            if (pending_.tries >= timing_.max_tries && rides_out(now)) {
                note_outage(now, io);
                resend(now, io);
                return;
            }
            if (pending_.tries >= timing_.max_tries) {
                give_up(io);
                return;
            }
            io.note(who() + ": no answer to " + command_name(pending_.cmd) + " (ser " +
                    std::to_string(pending_.ser) + ") within " +
                    seconds_text(timeout_of(pending_.cmd)) + "; sending it again (try " +
                    std::to_string(pending_.tries + 1) + " of " +
                    std::to_string(timing_.max_tries) + ")");
            resend(now, io);
            return;
    }
}

void AgentSession::stop_early(const std::string& why, TimePoint now, SessionIo& io) {
    if (!fail_reason_.empty()) return;  // already on its way to a stop declared failed
    switch (phase_) {
        case Phase::polling:
        case Phase::query:
        case Phase::set_parameter:
        case Phase::start: {
            // Should the start have been taken already, the reset ends that run as well.
            CommandFrame f;
            f.cmd = CMD_RESET;
            io.send(agent_, f);
            finish(Verdict::stopped,
                   "not started: " + why + "; the agent was reset and announces itself again", io);
            return;
        }
        case Phase::running:
            stopped_early_ = "stopped after " +
                             seconds_text(std::chrono::duration_cast<Millis>(now - run_started_)) +
                             " of " + seconds_text(plan_.duration) + ": " + why +
                             "; declared failed, so the shortened run does not count as a pass";
            io.note(who() + ": stopping the run early: " + why);
            send_command(CMD_STOP, now, io);
            return;
        default:
            return;
    }
}

TimePoint AgentSession::next_deadline() const {
    switch (phase_) {
        case Phase::done:
            return TimePoint::max();
        case Phase::running:
            return std::min({run_started_ + plan_.duration, next_diagnostic_,
                             std::max(last_heard_ + timing_.probe_after, next_probe_)});
        case Phase::downloading:
            return last_heard_ + grace();
        default:
            return pending_.sent_at + timeout_of(pending_.cmd);
    }
}

}  // namespace ovik::station
