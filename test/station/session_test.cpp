// The session's decisions, driven by hand with a clock that moves only when told, so the real
// timings cost nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include "station/agent_session.h"
#include "station/live_view.h"
#include "support.h"

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
    uint32_t wall_seconds() override { return NOW; }

    void after(Millis ms) { s.on_tick(t += ms, *this); }
    void answer(const ResponseFrame& f) { s.on_frame(f, t, *this); }
    // The last command sent: code, number, fail field.
    std::tuple<uint16_t, uint16_t, uint16_t> last() const {
        return {sent.back().cmd, sent.back().ser, sent.back().fail};
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
                answer(frame(RSP_DIAG, c.ser, STATUS_RUNNING));
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
    TimePoint t{};
    RunPlan plan;
    AgentSession s{Endpoint{LOOPBACK, AGENT_PORT}, "10.0.0.5", plan, Timing{}};
};

TEST(AgentSession, GivesUpOnSilentAgentAfterBoundedRetries) {
    const std::pair<Phase, const char*> cases[] = {
        {Phase::polling, "no answer to polling after 4 tries: check the address"},
        {Phase::query, "no answer to query after 4 tries: agent lost"},
        {Phase::stop, "verdict unknown (stop answer lost): no answer to stop after 4 tries"},
    };
    for (const auto& [phase, reason] : cases) {
        SCOPED_TRACE(reason);
        Drive d;
        d.ack_until(phase);
        const uint16_t cmd = d.sent.back().cmd;
        for (int i = 0; i < 10 && !d.s.done(); ++i) d.after(1000ms);
        EXPECT_EQ(d.count(cmd), 4);
        EXPECT_EQ(d.s.verdict(), cmd == CMD_STOP ? Verdict::unknown : Verdict::lost);
        EXPECT_NE(d.s.reason().find(reason), std::string::npos) << d.s.reason();
        const std::string retry = std::string("no answer to ") + command_name(cmd) + " (ser " +
                                  std::to_string(d.sent.back().ser) +
                                  ") within 1 s; sending it again (try 4 of 4)\n";
        EXPECT_NE(d.notes.find(retry), std::string::npos) << d.notes;
        EXPECT_EQ(d.notes.rfind("10.0.0.5", 0), 0u);
    }
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
}

TEST(AgentSession, WaitsSecondsForTheStartAnswer) {
    Drive d;
    d.ack_until(Phase::start);
    d.after(5000ms);
    EXPECT_EQ(d.count(CMD_START), 1) << "the agent may still be setting its clock";
    d.after(1500ms);
    EXPECT_EQ(d.count(CMD_START), 2);
    d.answer(frame(ACK_BIT | CMD_START, 3, STATUS_RUNNING));
    d.after(1000ms);
    EXPECT_EQ(d.sent.back().cmd, CMD_DIAGNOSTIC);
    EXPECT_EQ(d.sent.back().ser, 3);
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
        {"silence during the run", Phase::running, 60s,
         [](Drive& d) {
             d.after(6000ms);
             d.after(6000ms);
         },
         Verdict::lost, DownloadResult::skipped, "no status report for 10 s"},
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

TEST(AgentSession, TakesOverARunWhereTheAgentSaysItStands) {
    using Sent = std::tuple<uint16_t, uint16_t, uint16_t>;
    const ResponseFrame kept = frame(RSP_DIAG, 3, STATUS_RUNNING);  // the earlier station's last
    struct Case {
        const char* name;
        bool abort;
        std::optional<uint32_t> started_at;
        ResponseFrame answer;  // to the query with a wrong number
        int runs_for;          // seconds, after the answer
        Phase phase;
        Sent sent;  // then
    };
    const Case cases[] = {
        {"running, stopped at its planned end", false, NOW - 20,
         frame(NAK_BIT | CMD_QUERY, 3, STATUS_RUNNING, ERR_SEQUENCE), 40, Phase::stop,
         Sent{CMD_STOP, 3, 0}},
        {"running, aborted", true, NOW - 20,
         frame(NAK_BIT | CMD_QUERY, 3, STATUS_RUNNING, ERR_SEQUENCE), 0, Phase::stop,
         Sent{CMD_STOP, 3, 1}},
        {"passed, waiting for its download", false, NOW - 20,
         frame(NAK_BIT | CMD_QUERY, 4, STATUS_OK, ERR_SEQUENCE), 0, Phase::download,
         Sent{CMD_DOWNLOAD, 4, 0}},
        {"downloading", false, NOW - 20, frame(RSP_DIAG, 5, STATUS_DOWNLOAD), 0, Phase::downloading,
         Sent{CMD_QUERY, 0x8003, 0}},
        {"restarted while no station watched", false, NOW - 20,
         frame(NAK_BIT | CMD_QUERY, 0, STATUS_IDLE, ERR_SEQUENCE), 0, Phase::start,
         Sent{CMD_START, 0, 0}},
        {"not started yet", false, std::nullopt,
         frame(NAK_BIT | CMD_QUERY, 2, STATUS_IDLE, ERR_SEQUENCE), 0, Phase::query,
         Sent{CMD_QUERY, 2, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drive d("fw.bin", 60s, false);
        d.s.adopt(Adoption{kept, c.started_at, c.abort}, d.t, d);
        EXPECT_EQ(d.last(), (Sent{CMD_QUERY, 0x8003, 0})) << "a number the agent cannot hold";
        d.answer(c.answer);
        // Reports until the run's end: 60 s after the recorded start.
        int seconds = 0;
        for (; seconds < 60 && d.s.phase() == Phase::running; ++seconds) {
            d.answer(frame(RSP_DIAG, 3, STATUS_RUNNING));
            d.after(1s);
        }
        EXPECT_EQ(seconds, c.runs_for);
        EXPECT_EQ(d.s.phase(), c.phase);
        EXPECT_EQ(d.last(), c.sent);
    }

    Drive silent("na", 60s, false);
    silent.s.adopt(Adoption{kept, NOW - 20, false}, silent.t, silent);
    for (int i = 0; i < 5; ++i) silent.after(1s);
    EXPECT_EQ(silent.count(CMD_QUERY), 4);
    EXPECT_EQ(silent.s.verdict(), Verdict::lost);
    EXPECT_NE(silent.s.reason().find("while no station watched"), std::string::npos);
}

TEST(AgentSession, RebootedAgentIsFailedAndStoppedDeclaredFailed) {
    const std::pair<const char*, std::function<void(Drive&)>> cases[] = {
        {"it announces itself", [](Drive& d) { d.answer(frame(RSP_ALIVE, 0, STATUS_IDLE)); }},
        {"its reports stop: asked, it answers idle",
         [](Drive& d) {
             d.after(3s);
             ASSERT_EQ(d.sent.back().cmd, CMD_QUERY);
             d.answer(frame(NAK_BIT | CMD_QUERY, 0, STATUS_IDLE, ERR_SEQUENCE));
         }},
    };
    for (const auto& [name, reboot] : cases) {
        SCOPED_TRACE(name);
        Drive d("na", 60s);
        d.ack_until(Phase::running);
        ResponseFrame before = frame(RSP_DIAG, 3, STATUS_RUNNING);
        before.cycles = 7;
        d.answer(before);
        reboot(d);
        EXPECT_TRUE(d.s.rebooted());
        EXPECT_EQ(live_line(d.s).find("rebooted"), 40u) << live_line(d.s);
        EXPECT_EQ(d.last(), (std::tuple<uint16_t, uint16_t, uint16_t>{CMD_START, 0, 0}));
        d.answer(frame(ACK_BIT | CMD_START, 1, STATUS_RUNNING));
        EXPECT_EQ(d.last(), (std::tuple<uint16_t, uint16_t, uint16_t>{CMD_STOP, 1, 1}));
        d.answer(frame(ACK_BIT | CMD_STOP, 2, STATUS_FAIL, ERR_RUN_FAILED));
        EXPECT_EQ(d.s.verdict(), Verdict::failed);
        EXPECT_EQ(d.s.reason().rfind("rebooted during the run", 0), 0u) << d.s.reason();
        EXPECT_EQ(d.s.record()->cycles, 7u) << "the run's record is the one before the restart";
    }
}

}  // namespace
}  // namespace ovik::station::test
