// The operator's console during a run: event lines, and the line's state. On a terminal a live
// table stays at the bottom and is redrawn in place: a summary line, then the failing devices
// first, as many rows as the terminal has lines for, then "+N more"; failures in bold red. Into
// a file or a pipe a device gets a plain line when its status, its failing items or ports, or
// its verdict change (not for cycles and burn time), and the summary comes every 10 s, so a
// log of a thousand devices stays readable.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "station/session/loop.h"

namespace ovik::station {

// "serial 1234  10.0.0.5  running  cycles 7  burn 0:00:09  failed items COM:2": a plain line.
std::string live_line(const AgentSession& session);
// A header and a row per agent: serial, address, status, cycles, burn time, failed items,
// failed ports, download. With highlight, failing cells are in ANSI bold red.
std::string live_table(const std::vector<const AgentSession*>& sessions, bool highlight);
// "1000 agents: 2 starting, 950 running, 48 done (45 passed); 5 failing, 1 stopped".
std::string live_summary(const std::vector<const AgentSession*>& sessions);

class LiveView final : public LineView {
  public:
    // width and height: the terminal's columns and lines, to fit the table in (0: no limit).
    LiveView(std::FILE* out, bool terminal, std::size_t width, std::size_t height = 0);
    // For out: a live table when it is a terminal, fitted to the terminal.
    static LiveView for_stream(std::FILE* out);

    // A line that stays in the log. On a terminal it goes above the table, which the next
    // show() draws again: a burst of lines costs one redraw.
    void note(const std::string& line) override;
    // Whether show() would draw anything now.
    bool due(TimePoint now) const override { return now >= next_draw_; }
    // Draws when due, or at once with force (the last picture of a run).
    void show(const std::vector<const AgentSession*>& sessions, TimePoint now,
              bool force = false) override;
    // Leaves the live table where it is and moves below it.
    void finish() override;

  private:
    // What a plain line is written again for: the status, which items and serial ports
    // failed, the verdict.
    struct Seen {
        const char* state = nullptr;
        uint8_t items = 0;
        uint64_t ports = 0;
        Verdict verdict = Verdict::pending;
        bool operator==(const Seen&) const = default;
    };
    static Seen seen_of(const AgentSession& session);

    void erase();
    void draw();
    void show_table(const std::vector<const AgentSession*>& sessions);
    void show_lines(const std::vector<const AgentSession*>& sessions, TimePoint now, bool force);

    std::FILE* out_;
    bool terminal_;
    std::size_t width_;
    std::size_t height_;
    std::vector<std::string> lines_;  // of the table on screen
    std::size_t drawn_ = 0;
    TimePoint next_draw_{};
    std::vector<Seen> seen_;  // per session, as last written
    TimePoint next_summary_{};
};

}  // namespace ovik::station
