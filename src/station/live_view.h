// The operator's console during a run: event lines, and a live line per agent. On a terminal
// the live lines stay at the bottom and are redrawn in place; into a file or a pipe they are
// written as plain lines about once per second, so a log stays readable.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "station/agent_session.h"

namespace ovik::station {

struct LiveRow {
    std::string text;
    bool active = false;  // running or downloading: worth a plain line
};

class LiveView {
  public:
    // width: terminal columns to cut the live lines to (0: no cut).
    LiveView(std::FILE* out, bool terminal, std::size_t width);
    // For out: live redraws when it is a terminal, cut to the terminal's width.
    static LiveView for_stream(std::FILE* out);

    // A line that stays in the log.
    void note(const std::string& line);
    // Whether show() would draw anything now.
    bool due(TimePoint now) const { return now >= next_draw_; }
    // Draws when due, or at once with force (the last picture of a run).
    void show(const std::vector<LiveRow>& rows, TimePoint now, bool force = false);
    // Leaves the live lines where they are and moves below them.
    void finish();

  private:
    void erase();
    void draw();

    std::FILE* out_;
    bool terminal_;
    std::size_t width_;
    std::vector<std::string> rows_;  // on screen (terminal) or last shown
    std::size_t drawn_ = 0;
    TimePoint next_draw_{};
};

}  // namespace ovik::station
