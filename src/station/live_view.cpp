#include "station/live_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace ovik::station {
namespace {

constexpr Millis TERMINAL_REFRESH{200};
constexpr Millis PLAIN_REFRESH{1000};

}  // namespace

LiveView::LiveView(std::FILE* out, bool terminal, std::size_t width)
    : out_(out), terminal_(terminal), width_(width) {}

LiveView LiveView::for_stream(std::FILE* out) {
    const int fd = ::fileno(out);
    const bool terminal = fd >= 0 && ::isatty(fd) == 1;
    std::size_t width = 0;
    winsize ws{};
    if (terminal && ::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) {
        width = ws.ws_col - 1u;  // writing the last column wraps on some terminals
    }
    return LiveView(out, terminal, width);
}

void LiveView::erase() {
    if (drawn_ == 0) return;
    // Back to the start of the first live line, and clear from there down.
    std::fputc('\r', out_);
    if (drawn_ > 1) std::fprintf(out_, "\x1b[%zuA", drawn_ - 1);
    std::fputs("\x1b[J", out_);
    drawn_ = 0;
}

void LiveView::draw() {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (i > 0) std::fputc('\n', out_);
        const std::string& row = rows_[i];
        std::fputs((width_ > 0 && row.size() > width_ ? row.substr(0, width_) : row).c_str(), out_);
    }
    drawn_ = rows_.size();
    std::fflush(out_);
}

void LiveView::note(const std::string& line) {
    if (terminal_) {
        erase();
        std::fprintf(out_, "%s\n", line.c_str());
        draw();
    } else {
        std::fprintf(out_, "%s\n", line.c_str());
    }
}

void LiveView::show(const std::vector<LiveRow>& rows, TimePoint now, bool force) {
    if (!force && !due(now)) return;
    if (terminal_) {
        next_draw_ = now + TERMINAL_REFRESH;
        erase();
        rows_.clear();
        for (const LiveRow& row : rows) rows_.push_back(row.text);
        draw();
        return;
    }
    next_draw_ = now + PLAIN_REFRESH;
    for (const LiveRow& row : rows) {
        if (row.active) std::fprintf(out_, "%s\n", row.text.c_str());
    }
}

void LiveView::finish() {
    if (terminal_ && drawn_ > 0) {
        std::fputc('\n', out_);
        drawn_ = 0;
        rows_.clear();
    }
    std::fflush(out_);
}

}  // namespace ovik::station
