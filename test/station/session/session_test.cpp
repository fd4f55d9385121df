// The session's decisions, driven by hand with a clock that moves only when told, so the real
// timings cost nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "station/session/agent_session.h"
#include "station_support.h"

namespace ovik::station::test {
namespace {

using namespace wire;

ResponseFrame frame(uint16_t code, uint16_t ser, uint16_t status, uint16_t error = 0) {
    ResponseFrame f;
    f.code = code;
    f.ser = ser;
    f.status = status;
    f.error = error;
    return f;
}

constexpr uint32_t NOW = 1700000000;

// A session with the real timings, its commands recorded and its clock in the test's hand.
struct Drive final : SessionIo {
    explicit Drive(const char* firmware = "na", Millis duration = 5s, bool begin = true)
        : plan{115200, firmware, duration, false} {
        if (begin) s.begin(t, *this);
    }
    void send(const Endpoint&, const CommandFrame& f) override { sent.push_back(f); }
    void note(const std::string& line) override { notes += line + "\n"; }
    void warn(const std::string& line) override { warnings += line + "\n"; }
    uint32_t wall_seconds() override { return NOW; }

    void after(Millis ms) { s.on_tick(t += ms, *this); }
    void answer(const ResponseFrame& f, uint16_t port = AGENT_PORT) {
        s.on_frame(f, port, t, *this);
    }
    void silence(Millis ms) {  // time passes without a frame from the agent
        for (const TimePoint end = t + ms; t < end && !s.done();) after(500ms);
    }
    int count(uint16_t cmd) const {
        return static_cast<int>(std::count_if(
            sent.begin(), sent.end(), [cmd](const CommandFrame& c) { return c.cmd == cmd; }));
    }
    // Answers as a healthy agent would until the session is in phase; while running, a report
    // comes every second.
    void ack_until(Phase phase) {
        for (int i = 0; i < 40 && s.phase() != phase; ++i) {
            const CommandFrame c = sent.back();
            if (s.phase() == Phase::running) {
                answer(frame(RSP_DIAG, 3, STATUS_RUNNING));
                after(1000ms);
            } else if (c.cmd == CMD_POLLING) {
                answer(frame(ACK_BIT | CMD_POLLING, 0, STATUS_IDLE));
            } else {
                const uint16_t status = c.cmd == CMD_START  ? STATUS_RUNNING
                                        : c.cmd == CMD_STOP ? STATUS_OK
                                                            : STATUS_IDLE;
                answer(frame(ACK_BIT | c.cmd, static_cast<uint16_t>(c.ser + 1), status));
            }
        }
        ASSERT_EQ(s.phase(), phase);
    }

    std::vector<CommandFrame> sent;
    std::string notes;
    std::string warnings;
    TimePoint t{};
    RunPlan plan;
    AgentSession s{Endpoint{LOOPBACK, AGENT_PORT}, "10.0.0.5", plan, Timing{}};
};

TEST(AgentSession, GivesUpOnSilentAgentAfterBoundedRetries) {
    struct Case {
        Phase phase;
        const char* reason;
        Millis patience;  // no copy of the command before this
        const char* within;
        int copies;  // sent before the agent is given up
    };
    // The agent answers start only after setting its clock, up to 5 s late. Once it answered
    // polling, a silent agent is behind a dark line: it is asked for a minute after it was
    // last heard.
    const Case cases[] = {
        {Phase::polling, "no answer to polling after 4 tries: check the address", 1s, "1 s", 4},
        {Phase::query, "no answer to query after 60 tries, nothing heard for 60 s: agent lost", 1s,
         "1 s", 60},
        {Phase::start, "no answer to start after 10 tries, nothing heard for 60 s: agent lost", 5s,
         "6.5 s", 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        Drive d;
        d.ack_until(c.phase);
        const uint16_t cmd = d.sent.back().cmd;
        const TimePoint sent = d.t;
        while (d.count(cmd) == 1 && d.t - sent < 30s) d.after(500ms);
        EXPECT_GE(d.t - sent, c.patience);
        EXPECT_LT(d.t - sent, c.patience + 2s);
        for (int i = 0; i < 200 && !d.s.done(); ++i) d.after(500ms);
        EXPECT_EQ(d.count(cmd), c.copies);
        EXPECT_EQ(d.s.verdict(), Verdict::lost);
        EXPECT_NE(d.s.reason().find(c.reason), std::string::npos) << d.s.reason();
        const std::string retry = std::string("no answer to ") + command_name(cmd) + " (ser " +
                                  std::to_string(d.sent.back().ser) + ") within " + c.within +
                                  "; sending it again (try 4 of 4)\n";
        EXPECT_NE(d.notes.find(retry), std::string::npos) << d.notes;
        EXPECT_EQ(d.notes.rfind("10.0.0.5", 0), 0u);
    }
    // An agent heard again after the dark line answers the copy it took with its own number.
    Drive d("na", 20s);
    d.ack_until(Phase::start);
    d.silence(30s);
    EXPECT_NE(d.notes.find("nothing heard for 26 s: the line or the device may be down; sending "
                           "the start every 6.5 s until 60 s after it was last heard"),
              std::string::npos)
        << d.notes;
    ResponseFrame taken = frame(NAK_BIT | CMD_START, 3, STATUS_RUNNING, ERR_SEQUENCE);
    taken.burntime = 28;
    d.answer(taken);
    EXPECT_EQ(d.s.phase(), Phase::running);
}

TEST(AgentSession, ResyncsAfterLostAnswers) {
    struct Case {
        const char* name;
        Phase phase;
        bool retry_first;
        ResponseFrame from_agent;
        Phase then;
        uint16_t next_cmd;
        uint16_t next_ser;
    };
    const Case cases[] = {
        {"query taken, its answer lost", Phase::query, true,
         frame(NAK_BIT | CMD_QUERY, 1, STATUS_IDLE, ERR_SEQUENCE), Phase::set_parameter,
         CMD_SET_PARAMETER, 1},
        {"stop taken, its answer lost", Phase::stop, true,
         frame(NAK_BIT | CMD_STOP, 4, STATUS_OK, ERR_SEQUENCE), Phase::download, CMD_DOWNLOAD, 4},
        {"agent counts elsewhere", Phase::query, false,
         frame(NAK_BIT | CMD_QUERY, 7, STATUS_IDLE, ERR_SEQUENCE), Phase::query, CMD_QUERY, 7},
        {"start answer lost, run reported", Phase::start, false, frame(RSP_DIAG, 3, STATUS_RUNNING),
         Phase::running, CMD_START, 2},
        {"stale answer carrying our own number", Phase::query, false,
         frame(NAK_BIT | CMD_QUERY, 0, STATUS_IDLE, ERR_SEQUENCE), Phase::query, CMD_QUERY, 0},
        {"late answer to an earlier copy", Phase::set_parameter, false,
         frame(NAK_BIT | CMD_QUERY, 2, STATUS_IDLE, ERR_SEQUENCE), Phase::set_parameter,
         CMD_SET_PARAMETER, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drive d("fw.bin");
        d.ack_until(c.phase);
        if (c.retry_first) d.after(1000ms);
        d.answer(c.from_agent);
        EXPECT_EQ(d.s.phase(), c.then);
        EXPECT_EQ(d.sent.back().cmd, c.next_cmd);
        EXPECT_EQ(d.sent.back().ser, c.next_ser);
    }
    // A run whose start answer was lost lasts its planned time by the agent's own burn time,
    // which never reaches back before the first copy of start.
    for (const uint32_t burned : {3u, 60u}) {
        SCOPED_TRACE(burned);
        Drive d("na", 20s);
        d.ack_until(Phase::start);
        d.after(3500ms);
        ResponseFrame report = frame(RSP_DIAG, 3, STATUS_RUNNING);
        report.burntime = burned;
        d.answer(report);
        ASSERT_EQ(d.s.phase(), Phase::running);
        const TimePoint reported = d.t;
        while (d.count(CMD_STOP) == 0 && d.t - reported < 30s) d.after(100ms);
        EXPECT_NEAR(std::chrono::duration<double>(d.t - reported).count(),
                    burned == 3 ? 17.0 : 16.5, 0.15);
    }
}

TEST(AgentSession, EndsWithTheAgentsVerdictOrRefusal) {
    struct Case {
        const char* name;
        Phase phase;
        Millis duration;
        std::function<void(Drive&)> act;
        Verdict verdict;
        DownloadResult download;
        const char* reason;
    };
    const Case cases[] = {
        {"baud refused", Phase::set_parameter, 5s,
         [](Drive& d) { d.answer(frame(NAK_BIT | CMD_SET_PARAMETER, 1, STATUS_IDLE, ERR_BAUD)); },
         Verdict::refused, DownloadResult::skipped, "set parameter refused"},
        {"start while busy", Phase::start, 5s,
         [](Drive& d) { d.answer(frame(NAK_BIT | CMD_START, 2, STATUS_RUNNING, ERR_STATE)); },
         Verdict::refused, DownloadResult::skipped, "the agent is running, not idle"},
        {"failed run skips the download", Phase::stop, 5s,
         [](Drive& d) { d.answer(frame(ACK_BIT | CMD_STOP, 4, STATUS_FAIL, ERR_RUN_FAILED)); },
         Verdict::failed, DownloadResult::skipped, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drive d("fw.bin", c.duration);
        d.ack_until(c.phase);
        c.act(d);
        EXPECT_TRUE(d.s.done());
        EXPECT_EQ(d.s.verdict(), c.verdict);
        EXPECT_EQ(d.s.download(), c.download);
        if (*c.reason == '\0') {
            EXPECT_EQ(d.s.reason(), "");
        } else {
            EXPECT_NE(d.s.reason().find(c.reason), std::string::npos) << d.s.reason();
        }
    }
}

TEST(AgentSession, ActsOnlyOnFramesThatFit) {
    const ResponseFrame report = frame(RSP_DIAG, 3, STATUS_RUNNING);
    const ResponseFrame idle = frame(RSP_ALIVE, 0, STATUS_IDLE);
    const ResponseFrame asked_idle = frame(NAK_BIT | CMD_QUERY, 0, STATUS_IDLE, ERR_SEQUENCE);
    const ResponseFrame asked_running = frame(NAK_BIT | CMD_QUERY, 3, STATUS_RUNNING, ERR_SEQUENCE);
    auto of = [](auto... frames) { return std::vector<ResponseFrame>{frames...}; };
    struct Case {
        Phase phase;
        std::vector<ResponseFrame> frames;
        uint16_t port;  // they came from
        Phase then;
        uint16_t last_sent;
        const char* warning;
    };
    const Case cases[] = {
        {Phase::stop, of(frame(ACK_BIT | CMD_STOP, 9, STATUS_OK)), AGENT_PORT, Phase::stop,
         CMD_STOP,
         "(code 0x8005, sequence number 9): wrong sequence number 9 (the station waits for 4)"},
        {Phase::stop, of(frame(ACK_BIT | CMD_STOP, 4, STATUS_OK)), 40000, Phase::stop, CMD_STOP,
         "from port 40000, not the agent's port 1033"},
        {Phase::running, of(frame(RSP_DIAG, 7, STATUS_OK)), AGENT_PORT, Phase::running, CMD_START,
         "wrong sequence number 7 (the station waits for 3)"},
        {Phase::running, of(idle, asked_running, report), AGENT_PORT, Phase::running, CMD_QUERY,
         "an idle announcement while its run goes on; asking the agent whether it restarted"},
        {Phase::running, of(idle, asked_idle), AGENT_PORT, Phase::start, CMD_START, "announcement"},
        {Phase::running, of(asked_idle), AGENT_PORT, Phase::running, CMD_START,
         "an answer to a query the station did not send"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.warning);
        Drive d("na", 5s);
        d.ack_until(c.phase);
        d.answer(report);
        for (const ResponseFrame& f : c.frames) d.answer(f, c.port);
        EXPECT_EQ(d.s.phase(), c.then);
        EXPECT_EQ(d.sent.back().cmd, c.last_sent);
        EXPECT_EQ(d.s.rebooted(), c.then == Phase::start);
        EXPECT_EQ(d.s.record()->status, STATUS_RUNNING);
        EXPECT_NE(d.warnings.find(c.warning), std::string::npos) << d.warnings;
        EXPECT_EQ(d.s.ignored(), 1u);
    }
}

TEST(AgentSession, RidesOutADarkLineUntilItsPlannedEndAndAGrace) {
    struct Case {
        Millis dark_from;  // into the 60-s run
        Millis dark_for;
        Verdict verdict;
        Millis ends_after;  // the session ends this long after the start, at least
        const char* note;
    };
    const Case cases[] = {
        {5s, 50s, Verdict::passed, 60s, "heard again after 51 s of silence"},
        {30s, 60s, Verdict::passed, 90s,
         "nothing heard for 10 s: the line or the device may be down; asking the agent"},
        {5s, 1000s, Verdict::lost, 120s,
         "nothing heard for 116 s, though asked until 60 s after its planned end: agent lost"},
        {60s, 1000s, Verdict::unknown, 120s, "verdict unknown (stop answer lost)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        Drive d("na", 60s);
        d.ack_until(Phase::running);
        const TimePoint started = d.t;
        while (d.t - started < c.dark_from && d.s.phase() == Phase::running) {
            d.answer(frame(RSP_DIAG, 3, STATUS_RUNNING));
            d.after(1000ms);
        }
        d.silence(c.dark_for);
        while (!d.s.done() && d.t - started < 200s) {
            const CommandFrame last = d.sent.back();
            d.answer(last.cmd == CMD_STOP ? frame(ACK_BIT | CMD_STOP, 4, STATUS_OK)
                                          : frame(RSP_DIAG, 3, STATUS_RUNNING));
            d.after(1000ms);
        }
        EXPECT_EQ(d.s.verdict(), c.verdict);
        EXPECT_GE(d.t - started, c.ends_after);
        EXPECT_NE((d.notes + d.s.reason()).find(c.note), std::string::npos)
            << d.notes << d.s.reason();
    }
}

TEST(AgentSession, TakesOverARunWhereTheAgentSaysItStands) {
    const ResponseFrame kept = frame(RSP_DIAG, 3, STATUS_RUNNING);  // the earlier station's last
    struct Case {
        const char* name;
        std::optional<uint32_t> started_at;
        ResponseFrame answer;  // to the query with a number the agent cannot hold
        Phase phase;           // then
        uint16_t cmd;          // the command sent then, and its number
        uint16_t ser;
        const char* note;
    };
    const Case cases[] = {
        {"passed, waiting for its download", NOW - 20,
         frame(NAK_BIT | CMD_QUERY, 4, STATUS_OK, ERR_SEQUENCE), Phase::download, CMD_DOWNLOAD, 4,
         "re-adopted; the run passed; downloading firmware fw.bin"},
        {"downloading", NOW - 20, frame(RSP_DIAG, 5, STATUS_DOWNLOAD), Phase::downloading,
         CMD_QUERY, 0x8003, "re-adopted, downloading"},
        {"restarted while no station watched", NOW - 20,
         frame(NAK_BIT | CMD_QUERY, 0, STATUS_IDLE, ERR_SEQUENCE), Phase::start, CMD_START, 0,
         "rebooted; starting it and stopping it declared failed"},
        {"not started yet", std::nullopt, frame(NAK_BIT | CMD_QUERY, 2, STATUS_IDLE, ERR_SEQUENCE),
         Phase::query, CMD_QUERY, 2, "re-adopted before its start"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drive d("fw.bin", 60s, false);
        d.s.adopt(Adoption{kept, c.started_at, false}, d.t, d);
        EXPECT_EQ(d.sent.back().ser, 0x8003);
        d.answer(c.answer);
        EXPECT_EQ(d.s.phase(), c.phase);
        EXPECT_EQ(d.sent.back().cmd, c.cmd);
        EXPECT_EQ(d.sent.back().ser, c.ser);
        EXPECT_NE(d.notes.find(c.note), std::string::npos) << d.notes;
    }
}

}  // namespace
}  // namespace ovik::station::test
