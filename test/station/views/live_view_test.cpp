// The live view: on a terminal a summary, the failing devices first and as many rows as fit,
// failing cells in bold red, redrawn in place and cut to the terminal's width; into a file a
// line per device when what matters changes, and the summary every 10 s.
#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "station/views/live_view.h"
#include "station_support.h"

namespace ovik::station::test {
namespace {

using namespace wire;

struct NoIo final : SessionIo {
    void send(const Endpoint&, const CommandFrame&) override {}
    void note(const std::string&) override {}
    uint32_t wall_seconds() override { return 0; }
};

ResponseFrame frame(uint16_t code, uint16_t ser, uint16_t status, uint32_t serial) {
    ResponseFrame f;
    f.code = code;
    f.ser = ser;
    f.status = status;
    f.error = code & NAK_BIT ? ERR_STATE : 0;
    f.serial = serial;
    std::copy_n("COM", 3, f.item[0].name.begin());
    return f;
}

// 100 running clean, 101 running with failures, 102 refused, and one not answered yet.
struct Line {
    Line() {
        for (const char* label : {"10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7"}) {
            sessions.emplace_back(Endpoint{LOOPBACK, AGENT_PORT}, label, RunPlan{}, Timing{});
            sessions.back().begin(TimePoint{}, io);
            view.push_back(&sessions.back());
        }
        for (const uint32_t serial : {100u, 101u}) {
            for (const ResponseFrame& f :
                 {frame(ACK_BIT | CMD_POLLING, 0, STATUS_IDLE, serial),
                  frame(ACK_BIT | CMD_QUERY, 1, STATUS_IDLE, serial),
                  frame(ACK_BIT | CMD_SET_PARAMETER, 2, STATUS_IDLE, serial),
                  frame(ACK_BIT | CMD_START, 3, STATUS_RUNNING, serial)}) {
                sessions[serial - 100].on_frame(f, TimePoint{}, io);
            }
        }
        report(1, 7, 9, [](ResponseFrame& f) {
            f.item[0].fail = 2;
            f.portfail[1] = 3;
        });
        sessions[2].on_frame(frame(ACK_BIT | CMD_POLLING, 0, STATUS_IDLE, 102), TimePoint{}, io);
        sessions[2].on_frame(frame(NAK_BIT | CMD_QUERY, 0, STATUS_RUNNING, 102), TimePoint{}, io);
    }
    void report(std::size_t i, uint32_t cycles, uint32_t burn,
                const std::function<void(ResponseFrame&)>& change = {}) {
        ResponseFrame f = frame(RSP_DIAG, 3, STATUS_RUNNING, static_cast<uint32_t>(100 + i));
        f.cycles = cycles;
        f.burntime = burn;
        if (change) change(f);
        sessions[i].on_frame(f, TimePoint{}, io);
    }
    NoIo io;
    std::deque<AgentSession> sessions;
    std::vector<const AgentSession*> view;
};

std::string red(const std::string& text) {
    return "\x1b[1;31m" + text + "\x1b[0m";
}

TEST(LiveView, TableShowsEveryAgentGivenAndHighlightsFailuresOnRequest) {
    const Line line;
    const std::vector<const AgentSession*> rows(line.view.begin() + 1, line.view.end());
    EXPECT_EQ(live_table(rows, false),
              "SERIAL  ADDRESS   STATUS   CYCLES  BURN TIME  FAILED ITEMS  FAILED PORTS  DOWNLOAD\n"
              "101     10.0.0.5  running  7       0:00:09    COM:2         1:3           -\n"
              "102     10.0.0.6  refused  0       0:00:00    -             -             -\n"
              "?       10.0.0.7  polling  -       -          -             -             -\n");
    EXPECT_EQ(live_table(rows, true),
              "SERIAL  ADDRESS   STATUS   CYCLES  BURN TIME  FAILED ITEMS  FAILED PORTS  DOWNLOAD\n"
              "101     10.0.0.5  running  7       0:00:09    " +
                  red("COM:2") + "         " + red("1:3") +
                  "           -\n"
                  "102     10.0.0.6  " +
                  red("refused") +
                  "  0       0:00:00    -             -             -\n"
                  "?       10.0.0.7  polling  -       -          -             -             -\n");
}

TEST(LiveView, TerminalShowsSummaryThenFailingDevicesAsManyAsFitRedrawnInPlace) {
    const Line line;
    const std::string summary = "4 agents: 1 starting, 2 running, 1 done (0 passed); 2 failing";
    Captured terminal;
    // 6 lines: the summary, the header and the two failing devices, "+2 more", and the cursor's.
    LiveView live(terminal.file(), true, 62, 6);
    live.show(line.view, TimePoint{});
    live.note("found agent");
    live.show(line.view, TimePoint{} + 1ms);
    live.finish();
    // Cut to the terminal's width: a highlight cut short is ended.
    const std::string table = summary +
                              "\n"
                              "SERIAL  ADDRESS   STATUS   CYCLES  BURN TIME  FAILED ITEMS  FA\n"
                              "101     10.0.0.5  running  7       0:00:09    " +
                              red("COM:2") + "         " + red("1:") +
                              "\n"
                              "102     10.0.0.6  " +
                              red("refused") + "  0       0:00:00    -             - \n+2 more";
    // Back to the table's first line and cleared, the note, then the table again below it.
    EXPECT_EQ(terminal.text(), table + "\r\x1b[4A\x1b[Jfound agent\n" + table + "\n");
}

TEST(LiveView, PlainLinesWhenStatusFailuresOrVerdictChangeAndSummaryEvery10s) {
    Line line;
    const std::vector<const AgentSession*> one(line.view.begin(), line.view.begin() + 1);
    const std::string head = "serial 100        10.0.0.4              running       cycles ";
    struct Step {
        const char* what;
        Millis at;
        std::function<void(Line&)> change;
        std::string written;
    };
    const Step steps[] = {
        {"the first look", 0ms, {}, head + "0  burn 0:00:00  no failures\n1 agent: 1 running\n"},
        {"cycles and burn time", 1000ms, [](Line& l) { l.report(0, 1, 2); }, ""},
        {"an item fails", 2000ms,
         [](Line& l) { l.report(0, 2, 3, [](ResponseFrame& f) { f.item[0].fail = 1; }); },
         head + "2  burn 0:00:03  failed items COM:1\n"},
        {"it fails again", 3000ms,
         [](Line& l) { l.report(0, 3, 4, [](ResponseFrame& f) { f.item[0].fail = 2; }); }, ""},
        {"not due within the second", 3500ms,
         [](Line& l) {
             l.report(0, 3, 4, [](ResponseFrame& f) {
                 f.item[0].fail = 2;
                 f.portfail[5] = 1;
             });
         },
         ""},
        {"a port fails",
         4000ms,
         {},
         head + "3  burn 0:00:04  failed items COM:2  failed ports 5:1\n"},
        {"the summary's 10 s", 10000ms, {}, "1 agent: 1 running; 1 failing\n"},
    };
    Captured plain;
    LiveView log(plain.file(), false, 0);
    std::size_t shown = 0;
    for (const Step& step : steps) {
        if (step.change) step.change(line);
        log.show(one, TimePoint{} + step.at);
        const std::string text = plain.text();
        EXPECT_EQ(text.substr(shown), step.written) << step.what;
        shown = text.size();
    }
}

}  // namespace
}  // namespace ovik::station::test
