#include "station/views/live_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <string_view>

#include "station/views/line_snapshot.h"

#include "station/views/report.h"

namespace ovik::station {
namespace {

constexpr Millis TERMINAL_REFRESH{200};
constexpr Millis PLAIN_REFRESH{1000};
constexpr Millis PLAIN_SUMMARY{10000};

const char* state_name(const AgentSession& s) {
    return s.rebooted() ? "rebooted" : s.done() ? verdict_name(s.verdict()) : phase_name(s.phase());
}

std::string count_text(std::size_t n, const char* what) {
    return std::to_string(n) + " " + what;
}

Cell download_cell(const AgentSession& s) {
    switch (s.download()) {
        case DownloadResult::not_requested:
            return {"-"};
        case DownloadResult::pending:
            return {s.phase() == Phase::downloading ? progress_bar(s.progress()) : "pending"};
        case DownloadResult::failed:
        case DownloadResult::no_answer:
        case DownloadResult::lost:
            return {download_result_name(s.download()), true};
        default:
            return {download_result_name(s.download())};
    }
}

Cell failures_cell(const std::string& text) {
    return text.empty() ? Cell{"-"} : Cell{text, true};
}

// The first width visible characters of a line; ANSI sequences are kept and do not count.
std::string cut(const std::string& line, std::size_t width) {
    std::string out;
    std::size_t shown = 0;
    bool styled = false;  // a highlight is on at this point
    for (std::size_t i = 0; i < line.size();) {
        if (shown == width) {
            if (styled) out += "\x1b[0m";
            break;
        }
        if (line[i] == '\x1b') {
            std::size_t end = i + 1;
            if (end < line.size() && line[end] == '[') {
                ++end;
                while (end < line.size() && (line[end] < 0x40 || line[end] > 0x7E)) ++end;
            }
            end = std::min(end + 1, line.size());
            const std::string_view sequence(&line[i], end - i);
            out += sequence;
            styled = sequence != "\x1b[0m";
            i = end;
            continue;
        }
        out += line[i++];
        ++shown;
    }
    return out;
}

}  // namespace

std::string live_line(const AgentSession& s) {
    const auto& record = s.record();
    const std::string serial = record ? std::to_string(record->serial) : "?";
    const char* state = state_name(s);
    char head[96];
    std::snprintf(head, sizeof head, "serial %-10s %-21s %-13s", serial.c_str(), s.label().c_str(),
                  state);
    std::string line = head;
    if (!record) return line;
    line +=
        " cycles " + std::to_string(record->cycles) + "  burn " + burn_time_text(record->burntime);
    if (s.phase() == Phase::downloading) line += "  download " + progress_bar(s.progress());
    const std::string items = failed_items_text(*record);
    const std::string ports = failed_ports_text(*record);
    if (items.empty() && ports.empty()) {
        line += "  no failures";
    } else {
        if (!items.empty()) line += "  failed items " + items;
        if (!ports.empty()) line += "  failed ports " + ports;
    }
    return line;
}

std::string live_table(const std::vector<const AgentSession*>& sessions, bool highlight) {
    std::vector<std::vector<Cell>> rows;
    rows.reserve(sessions.size() + 1);
    rows.push_back({{"SERIAL"},
                    {"ADDRESS"},
                    {"STATUS"},
                    {"CYCLES"},
                    {"BURN TIME"},
                    {"FAILED ITEMS"},
                    {"FAILED PORTS"},
                    {"DOWNLOAD"}});
    for (const AgentSession* s : sessions) {
        const auto& record = s->record();
        const Cell status = s->rebooted() ? Cell{"rebooted", true}
                            : s->done()
                                ? Cell{verdict_name(s->verdict()), s->verdict() != Verdict::passed}
                                : Cell{phase_name(s->phase())};
        if (!record) {
            rows.push_back(
                {{"?"}, {s->label()}, status, {"-"}, {"-"}, {"-"}, {"-"}, download_cell(*s)});
            continue;
        }
        rows.push_back({{std::to_string(record->serial)},
                        {s->label()},
                        status,
                        {std::to_string(record->cycles)},
                        {burn_time_text(record->burntime)},
                        failures_cell(failed_items_text(*record)),
                        failures_cell(failed_ports_text(*record)),
                        download_cell(*s)});
    }
    return table_text(rows, highlight);
}

std::string live_summary(const std::vector<const AgentSession*>& sessions) {
    std::size_t starting = 0;
    std::size_t running = 0;
    std::size_t stopping = 0;
    std::size_t downloading = 0;
    std::size_t done = 0;
    std::size_t passed = 0;
    std::size_t failing = 0;
    std::size_t stopped = 0;
    for (const AgentSession* s : sessions) {
        switch (s->phase()) {
            case Phase::running:
                ++running;
                break;
            case Phase::stop:
                ++stopping;
                break;
            case Phase::download:
            case Phase::downloading:
                ++downloading;
                break;
            case Phase::done:
                ++done;
                passed += passes(s->verdict(), s->download()) ? 1 : 0;
                break;
            default:
                ++starting;
                break;
        }
        const Health health = health_of(*s);
        failing += health == Health::failing ? 1 : 0;
        stopped += health == Health::stopped ? 1 : 0;
    }
    std::string phases;
    for (const auto& [n, what] : {std::pair{starting, "starting"},
                                  {running, "running"},
                                  {stopping, "stopping"},
                                  {downloading, "downloading"}}) {
        if (n > 0) phases += (phases.empty() ? "" : ", ") + count_text(n, what);
    }
    if (done > 0) {
        phases += (phases.empty() ? "" : ", ") + count_text(done, "done") + " (" +
                  count_text(passed, "passed") + ")";
    }
    std::string text = count_text(sessions.size(), sessions.size() == 1 ? "agent" : "agents");
    if (!phases.empty()) text += ": " + phases;
    if (failing > 0) text += "; " + count_text(failing, "failing");
    if (stopped > 0) text += (failing > 0 ? ", " : "; ") + count_text(stopped, "stopped");
    return text;
}

LiveView::LiveView(std::FILE* out, bool terminal, std::size_t width, std::size_t height)
    : out_(out), terminal_(terminal), width_(width), height_(height) {}

LiveView LiveView::for_stream(std::FILE* out) {
    const int fd = ::fileno(out);
    const bool terminal = fd >= 0 && ::isatty(fd) == 1;
    winsize ws{};
    if (!terminal || ::ioctl(fd, TIOCGWINSZ, &ws) != 0) return LiveView(out, terminal, 0);
    // Writing the last column wraps on some terminals.
    return LiveView(out, terminal, ws.ws_col > 1 ? ws.ws_col - 1u : 0, ws.ws_row);
}

void LiveView::erase() {
    if (drawn_ == 0) return;
    // Back to the start of the table's first line, and clear from there down.
    std::fputc('\r', out_);
    if (drawn_ > 1) std::fprintf(out_, "\x1b[%zuA", drawn_ - 1);
    std::fputs("\x1b[J", out_);
    drawn_ = 0;
}

void LiveView::draw() {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (i > 0) std::fputc('\n', out_);
        std::fputs(width_ > 0 ? cut(lines_[i], width_).c_str() : lines_[i].c_str(), out_);
    }
    drawn_ = lines_.size();
    std::fflush(out_);
}

void LiveView::note(const std::string& line) {
    if (terminal_) {
        erase();
        next_draw_ = TimePoint{};
    }
    std::fprintf(out_, "%s\n", line.c_str());
    // A log file or a pipe gets each line as it happens.
    if (!terminal_) std::fflush(out_);
}

void LiveView::show(const std::vector<const AgentSession*>& sessions, TimePoint now, bool force) {
    if (!force && !due(now)) return;
    if (terminal_) {
        next_draw_ = now + TERMINAL_REFRESH;
        show_table(sessions);
    } else {
        next_draw_ = now + PLAIN_REFRESH;
        show_lines(sessions, now, force);
    }
}

void LiveView::show_table(const std::vector<const AgentSession*>& sessions) {
    // Failing devices first, each group in the order found.
    std::vector<const AgentSession*> rows;
    rows.reserve(sessions.size());
    for (const bool failing : {true, false}) {
        for (const AgentSession* s : sessions) {
            if ((health_of(*s) == Health::failing) == failing) rows.push_back(s);
        }
    }
    // The cursor cannot go back above the screen's top: the summary, the header and the rows
    // stay within the terminal's lines but one, and a last line says how many rows are left
    // out.
    std::size_t hidden = 0;
    if (height_ > 0 && rows.size() + 2 > height_ - 1) {
        const std::size_t fit = height_ > 4 ? height_ - 4 : 0;
        hidden = rows.size() - fit;
        rows.resize(fit);
    }
    erase();
    lines_.clear();
    lines_.push_back(live_summary(sessions));
    const std::string table = live_table(rows, true);
    std::size_t start = 0;
    for (std::size_t end = 0; (end = table.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines_.push_back(table.substr(start, end - start));
    }
    if (hidden > 0) lines_.push_back("+" + std::to_string(hidden) + " more");
    draw();
}

LiveView::Seen LiveView::seen_of(const AgentSession& s) {
    Seen seen{state_name(s), 0, 0, s.verdict()};
    if (const auto& record = s.record()) {
        for (std::size_t i = 0; i < wire::ITEM_COUNT; ++i) {
            if (record->item[i].fail != 0) seen.items |= static_cast<uint8_t>(1u << i);
        }
        for (std::size_t i = 0; i < wire::PORT_COUNT; ++i) {
            if (record->portfail[i] != 0) seen.ports |= uint64_t{1} << i;
        }
    }
    return seen;
}

void LiveView::show_lines(const std::vector<const AgentSession*>& sessions, TimePoint now,
                          bool force) {
    if (seen_.size() < sessions.size()) seen_.resize(sessions.size());
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const Seen seen = seen_of(*sessions[i]);
        if (seen == seen_[i]) continue;
        seen_[i] = seen;
        std::fprintf(out_, "%s\n", live_line(*sessions[i]).c_str());
    }
    if (!sessions.empty() && (force || now >= next_summary_)) {
        next_summary_ = now + PLAIN_SUMMARY;
        std::fprintf(out_, "%s\n", live_summary(sessions).c_str());
    }
    std::fflush(out_);
}

void LiveView::finish() {
    if (terminal_ && drawn_ > 0) {
        std::fputc('\n', out_);
        drawn_ = 0;
        lines_.clear();
    }
    std::fflush(out_);
}

}  // namespace ovik::station
