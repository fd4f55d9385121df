// The operator's console during a run: event lines, and a live table with a row per agent. On
// a terminal the table stays at the bottom and is redrawn in place, failures in bold red; into
// a file or a pipe the rows of the agents that are running or downloading are written as plain
// lines about once per second, so a log stays readable.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "station/agent_session.h"

namespace ovik::station {

// "serial 1234  10.0.0.5  running  cycles 7  burn 0:00:09  failed items COM:2": a plain line.
std::string live_line(const AgentSession& session);
// A header and a row per agent: serial, address, status, cycles, burn time, failed items,
// failed ports, download. With highlight, failing cells are in ANSI bold red.
std::string live_table(const std::vector<const AgentSession*>& sessions, bool highlight);

class LiveView {
  public:
    // width and height: the terminal's columns and lines, to fit the table in (0: no limit).
    LiveView(std::FILE* out, bool terminal, std::size_t width, std::size_t height = 0);
    // For out: a live table when it is a terminal, fitted to the terminal.
    static LiveView for_stream(std::FILE* out);

    // A line that stays in the log. On a terminal it goes above the table, which the next
    // show() draws again: a burst of lines costs one redraw.
    void note(const std::string& line);
    // Whether show() would draw anything now.
    bool due(TimePoint now) const { return now >= next_draw_; }
    // Draws when due, or at once with force (the last picture of a run).
    void show(const std::vector<const AgentSession*>& sessions, TimePoint now, bool force = false);
    // Leaves the live table where it is and moves below it.
    void finish();

  private:
    void erase();
    void draw();

    std::FILE* out_;
    bool terminal_;
    std::size_t width_;
    std::size_t height_;
    std::vector<std::string> lines_;  // of the table on screen
    std::size_t drawn_ = 0;
    TimePoint next_draw_{};
};

}  // namespace ovik::station
