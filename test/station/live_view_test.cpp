// The live table: its rows, failing cells in bold red only on a terminal, redrawn in place and
// cut to the terminal's width; plain lines into a file.
#include <gtest/gtest.h>

#include <deque>

#include "station/live_view.h"
#include "support.h"

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
    return f;
}

// Serial 101 running with failures, 102 refused, and one that has not answered yet.
struct Line {
    Line() {
        const char* labels[] = {"10.0.0.5", "10.0.0.6", "10.0.0.7"};
        for (const char* label : labels) {
            sessions.emplace_back(Endpoint{LOOPBACK, AGENT_PORT}, label, RunPlan{}, Timing{});
            sessions.back().begin(TimePoint{}, io);
            view.push_back(&sessions.back());
        }
        ResponseFrame report = frame(RSP_DIAG, 3, STATUS_RUNNING, 101);
        report.cycles = 7;
        report.burntime = 9;
        std::copy_n("COM", 3, report.item[0].name.begin());
        report.item[0].fail = 2;
        report.portfail[1] = 3;
        for (const ResponseFrame& f :
             {frame(ACK_BIT | CMD_POLLING, 0, STATUS_IDLE, 101),
              frame(ACK_BIT | CMD_QUERY, 1, STATUS_IDLE, 101),
              frame(ACK_BIT | CMD_SET_PARAMETER, 2, STATUS_IDLE, 101),
              frame(ACK_BIT | CMD_START, 3, STATUS_RUNNING, 101), report}) {
            sessions[0].on_frame(f, TimePoint{}, io);
        }
        sessions[1].on_frame(frame(ACK_BIT | CMD_POLLING, 0, STATUS_IDLE, 102), TimePoint{}, io);
        sessions[1].on_frame(frame(NAK_BIT | CMD_QUERY, 0, STATUS_RUNNING, 102), TimePoint{}, io);
    }
    NoIo io;
    std::deque<AgentSession> sessions;
    std::vector<const AgentSession*> view;
};

std::string red(const std::string& text) {
    return "\x1b[1;31m" + text + "\x1b[0m";
}

TEST(LiveView, TableShowsEveryAgentAndHighlightsFailuresOnRequest) {
    const Line line;
    EXPECT_EQ(live_table(line.view, false),
              "SERIAL  ADDRESS   STATUS   CYCLES  BURN TIME  FAILED ITEMS  FAILED PORTS  DOWNLOAD\n"
              "101     10.0.0.5  running  7       0:00:09    COM:2         1:3           -\n"
              "102     10.0.0.6  refused  0       0:00:00    -             -             -\n"
              "?       10.0.0.7  polling  -       -          -             -             -\n");
    EXPECT_EQ(live_table(line.view, true),
              "SERIAL  ADDRESS   STATUS   CYCLES  BURN TIME  FAILED ITEMS  FAILED PORTS  DOWNLOAD\n"
              "101     10.0.0.5  running  7       0:00:09    " +
                  red("COM:2") + "         " + red("1:3") +
                  "           -\n"
                  "102     10.0.0.6  " +
                  red("refused") +
                  "  0       0:00:00    -             -             -\n"
                  "?       10.0.0.7  polling  -       -          -             -             -\n");
}

TEST(LiveView, RedrawsInPlaceOnATerminalAndWritesPlainLinesElsewhere) {
    const Line line;
    Captured terminal;
    LiveView live(terminal.file(), true, 48, 4);
    live.show(line.view, TimePoint{});
    live.note("found agent");
    live.note("run started");
    live.show(line.view, TimePoint{} + 1ms);
    live.finish();
    // Cut to the terminal's size: a highlight cut short is ended.
    const std::string table =
        "SERIAL  ADDRESS   STATUS   CYCLES  BURN TIME  FA\n"
        "101     10.0.0.5  running  7       0:00:09    " +
        red("CO") + "\n... and 2 more agents";
    // Back to the table's first line and cleared, the notes, then the table again below them.
    EXPECT_EQ(terminal.text(), table + "\r\x1b[2A\x1b[Jfound agent\nrun started\n" + table + "\n");

    Captured plain;
    LiveView log(plain.file(), false, 48);
    log.show(line.view, TimePoint{});
    log.note("found agent");
    log.show(line.view, TimePoint{} + 500ms);  // not due yet
    EXPECT_EQ(plain.text(),
              "serial 101        10.0.0.5              running       cycles 7  burn 0:00:09  "
              "failed items COM:2  failed ports 1:3\nfound agent\n");
}

}  // namespace
}  // namespace ovik::station::test
