#include "station/session/loop.h"

#include "station/session/agent_table.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <set>

namespace ovik::station {
namespace {

using Clock = std::chrono::steady_clock;

// Longest sleep of the loop, so the live lines stay fresh while nothing arrives.
constexpr Millis MAX_WAIT{200};
// Datagrams taken per wake-up, so a flood cannot hold off the timers.
constexpr std::size_t MAX_BURST = 64;
// How often the loop lets its observers and the adoption count look at every session.
constexpr Millis LOOK_EVERY{100};

class LoopIo final : public SessionIo {
  public:
    LoopIo(const UdpSocket& socket, LineView& view) : socket_(socket), view_(view) {}

    // A dark line refuses sends to every agent at once (network unreachable, no buffer space,
    // a firewall): each kind of error is named once, at its first failure; the rest are
    // counted, and the count is given when sends to every agent go through again.
    void send(const Endpoint& to, const wire::CommandFrame& frame) override {
        const wire::CommandBytes bytes = wire::encode_command(frame);
        if (socket_.send_to(to, bytes)) {
            if (failing_.erase(to) != 0 && failing_.empty()) back_again();
            return;
        }
        const int error = errno;
        ++failed_sends_;
        failing_.insert(to);
        episode_.insert(to);
        if (!named_.insert(error).second) return;
        view_.warn(std::string("cannot send ") + wire::command_name(frame.cmd) + " to " +
                   to.text() + ": " + std::strerror(error) +
                   "; the run goes on and commands are sent again when due (further send "
                   "errors are counted, and the count is given when sends go through again)");
    }
    void note(const std::string& line) override { view_.note(line); }
    void warn(const std::string& line) override { view_.warn(line); }
    uint32_t wall_seconds() override { return static_cast<uint32_t>(std::time(nullptr)); }

  private:
    void back_again() {
        view_.warn("sends go through again: " + std::to_string(failed_sends_) + " send" +
                   (failed_sends_ == 1 ? "" : "s") + " to " + std::to_string(episode_.size()) +
                   " agent" + (episode_.size() == 1 ? "" : "s") + " had failed");
        failed_sends_ = 0;
        episode_.clear();
        named_.clear();
    }

    const UdpSocket& socket_;
    LineView& view_;
    std::set<Endpoint> failing_;  // agents whose last send failed
    std::set<Endpoint> episode_;  // agents a send failed to since sends last went through
    std::set<int> named_;         // the errors named since then
    uint64_t failed_sends_ = 0;
};

std::optional<wire::ResponseFrame> response_of(std::span<const uint8_t> bytes) {
    // Decoded straight from the socket's buffer: nothing is allocated per datagram.
    if (bytes.size() != wire::RESPONSE_FRAME_SIZE) return std::nullopt;
    return wire::decode_response(
        std::span<const uint8_t, wire::RESPONSE_FRAME_SIZE>(bytes.data(), bytes.size()));
}

int wait_ms(TimePoint now, TimePoint deadline) {
    if (deadline <= now) return 0;
    const auto left = std::chrono::ceil<Millis>(deadline - now);
    return static_cast<int>(std::min(left, MAX_WAIT).count());
}

// The sessions of one loop, the order they were found in, and the policy that stops a run's
// agents together. A frame finds its session by address and serial number through a hash
// table, and the sessions' timers wait in a queue ordered by time: neither costs a pass over
// every session, so a line of a thousand agents costs about what one agent does per frame.
class Line {
  public:
    Line(const UdpSocket& socket, const Timing& timing, LineView& view)
        : socket_(socket), timing_(timing), view_(view), io_(socket, view) {}

    // serial: the device's, when known (from its announcement, or the records).
    AgentSession& add(const Endpoint& agent, std::optional<uint32_t> serial,
                      const std::string& label, const RunPlan& plan, std::size_t group) {
        auto& m =
            members_.emplace_back(std::make_unique<Member>(agent, label, plan, timing_, group));
        table_.add(agent, members_.size() - 1, serial);
        order_.push_back(&m->session);
        return m->session;
    }
    const AgentTable& table() const { return table_; }
    SessionIo& io() { return io_; }
    void stop_group(std::size_t group, const std::string& why) { stopping_[group] = why; }

    // Frames of agents that no session has; it may end the discovery early (discover_end).
    using Found = std::function<void(const Endpoint&, const wire::ResponseFrame&, TimePoint now,
                                     TimePoint& discover_end)>;
    // Runs the loop until every session is done and discover_end has passed (or interrupted);
    // frames of agents that no session has go to found.
    std::vector<AgentReport> drive(TimePoint discover_end, const LineObserver& observe,
                                   const Interrupted& interrupted, const Found& found);
    std::size_t size() const { return members_.size(); }

  private:
    struct Member {
        Member(const Endpoint& agent, const std::string& label, const RunPlan& plan,
               const Timing& timing, std::size_t g)
            : session(agent, label, plan, timing), group(g) {}
        AgentSession session;
        std::size_t group;
        TimePoint due = TimePoint::max();  // of its entry in the timer queue; max: none
        bool counted_done = false;
    };
    using Timer = std::pair<TimePoint, std::size_t>;

    void schedule(std::size_t index);
    void run_timers(TimePoint now);
    void on_frame(std::size_t index, const wire::ResponseFrame& frame, uint16_t from_port,
                  TimePoint now, TimePoint& discover_end);
    void note_adoption(TimePoint began, TimePoint now);

    const UdpSocket& socket_;
    const Timing& timing_;
    LineView& view_;
    LoopIo io_;
    std::vector<std::unique_ptr<Member>> members_;  // as found: rows and reports keep this order
    AgentTable table_;
    std::vector<const AgentSession*> order_;
    // Earliest first; an entry whose time is no longer its member's due is left over and skipped.
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
    std::size_t done_ = 0;
    std::map<std::size_t, std::string> stopping_;  // groups being stopped, and why
    bool adoption_noted_ = false;
};

void Line::schedule(std::size_t index) {
    Member& m = *members_[index];
    if (!m.counted_done && m.session.done()) {
        m.counted_done = true;
        ++done_;
    }
    const TimePoint due = m.session.next_deadline();
    if (due == m.due) return;
    m.due = due;
    if (due != TimePoint::max()) timers_.emplace(due, index);
}

void Line::run_timers(TimePoint now) {
    while (!timers_.empty() && timers_.top().first <= now) {
        const auto [due, index] = timers_.top();
        timers_.pop();
        Member& m = *members_[index];
        if (m.due != due) continue;
        m.due = TimePoint::max();
        m.session.on_tick(now, io_);
        schedule(index);
    }
}

void Line::on_frame(std::size_t index, const wire::ResponseFrame& frame, uint16_t from_port,
                    TimePoint now, TimePoint& discover_end) {
    Member& m = *members_[index];
    AgentSession& s = m.session;
    s.on_frame(frame, from_port, now, io_);
    schedule(index);
    // With the policy, the first report that shows a failure ends every run of the group and
    // the discovery.
    if (s.plan().stop_all_on_fail && stopping_.count(m.group) == 0 && s.run_shows_failure()) {
        const std::string why = failure_text(*s.record(), s.label());
        view_.note("stopping every agent: " + why);
        stopping_[m.group] = why;
        discover_end = std::min(discover_end, now);
        for (std::size_t i = 0; i < members_.size(); ++i) {
            if (members_[i]->group != m.group) continue;
            members_[i]->session.stop_early(why, now, io_);
            schedule(i);
        }
        return;
    }
    // Agents taken over once the group was stopping are stopped as soon as they answer.
    const auto stopping = stopping_.find(m.group);
    if (stopping != stopping_.end() && s.adopted()) {
        s.stop_early(stopping->second, now, io_);
        schedule(index);
    }
}

void Line::note_adoption(TimePoint began, TimePoint now) {
    std::size_t adopted = 0;
    for (const AgentSession* s : order_) {
        if (s->phase() == Phase::adopt) return;
        adopted += s->adopted() ? 1 : 0;
    }
    adoption_noted_ = true;
    char text[96];
    std::snprintf(text, sizeof text, "re-adopted %zu of %zu agent%s in %.2f s", adopted,
                  order_.size(), order_.size() == 1 ? "" : "s",
                  std::chrono::duration<double>(now - began).count());
    view_.note(text);
}

std::vector<AgentReport> Line::drive(TimePoint discover_end, const LineObserver& observe,
                                     const Interrupted& interrupted, const Found& found) {
    const TimePoint began = Clock::now();
    adoption_noted_ = std::none_of(order_.begin(), order_.end(), [](const AgentSession* s) {
        return s->phase() == Phase::adopt;
    });
    for (std::size_t i = 0; i < members_.size(); ++i) schedule(i);
    bool was_interrupted = false;
    TimePoint next_look{};
    DatagramBatch batch(MAX_BURST);
    while (true) {
        if (interrupted && interrupted()) {
            was_interrupted = true;
            break;
        }
        TimePoint now = Clock::now();
        run_timers(now);
        const bool discovering = now < discover_end;
        if (!discovering && done_ == members_.size()) break;
        // What looks at every session (the adoption count, the records, the dashboard) does so
        // a few times a second, not on every pass.
        if (now >= next_look) {
            next_look = now + LOOK_EVERY;
            if (!adoption_noted_) note_adoption(began, now);
            if (observe) observe(order_, now, false);
        }
        if (view_.due(now)) view_.show(order_, now, false);

        TimePoint deadline = std::min(discovering ? discover_end : TimePoint::max(), next_look);
        if (!timers_.empty()) deadline = std::min(deadline, timers_.top().first);
        if (!socket_.wait_readable(wait_ms(now, deadline))) continue;

        const std::size_t n = batch.receive(socket_);
        now = Clock::now();
        for (std::size_t i = 0; i < n; ++i) {
            const std::optional<wire::ResponseFrame> frame = response_of(batch.bytes(i));
            if (!frame) continue;  // not an agent's frame
            const Endpoint from = batch.from(i);
            if (const std::optional<std::size_t> index = table_.take(from, frame->serial)) {
                on_frame(*index, *frame, from.port, now, discover_end);
            } else if (found) {
                const std::size_t before = members_.size();
                found(from, *frame, now, discover_end);
                for (std::size_t k = before; k < members_.size(); ++k) schedule(k);
            }
        }
    }
    view_.show(order_, Clock::now(), true);
    view_.finish();
    if (observe) observe(order_, Clock::now(), true);

    std::vector<AgentReport> reports;
    reports.reserve(order_.size());
    for (const AgentSession* s : order_) {
        reports.push_back(report_of(*s));
        if (was_interrupted && !s->done()) reports.back().verdict = Verdict::interrupted;
    }
    return reports;
}

}  // namespace

std::vector<AgentReport> run_agents(const UdpSocket& socket, const RunTargets& targets,
                                    const RunPlan& plan, const Timing& timing, LineView& view,
                                    const LineObserver& observe, const Interrupted& interrupted) {
    Line line(socket, timing, view);
    std::set<Endpoint> added;
    for (const Endpoint& agent : targets.agents) {
        if (added.insert(agent).second) {
            line.add(agent, std::nullopt, agent_label(agent, targets.usual_agent_port), plan, 0)
                .begin(Clock::now(), line.io());
        }
    }
    std::set<std::pair<Endpoint, uint32_t>> not_driven;
    auto found = [&](const Endpoint& from, const wire::ResponseFrame& frame, TimePoint now,
                     TimePoint& discover_end) {
        if (frame.code != wire::RSP_ALIVE) return;
        const std::string label = agent_label(from, targets.usual_agent_port);
        const bool enough = targets.expect > 0 && line.size() >= targets.expect;
        if (enough && not_driven.emplace(from, frame.serial).second) {
            view.note("serial " + std::to_string(frame.serial) + " at " + label +
                      " not driven: --expect " + std::to_string(targets.expect) + " reached");
        }
        if (enough || now >= discover_end) return;
        std::string shared;
        for (const uint32_t other : line.table().serials_at(from)) {
            shared += (shared.empty() ? "serial " : ", serial ") + std::to_string(other);
        }
        AgentSession& s = line.add(from, frame.serial, label, plan, 0);
        view.note("found agent serial " + std::to_string(frame.serial) + " at " + label);
        if (!shared.empty()) {
            view.note("serial " + std::to_string(frame.serial) + " shares the address " + label +
                      " with " + shared +
                      ": their serial numbers give one address; each is shown and recorded on "
                      "its own, but commands to the address reach whichever device the network "
                      "delivers them to");
        }
        s.on_frame(frame, now, line.io());
        s.begin(now, line.io());
        if (line.size() == targets.expect) discover_end = now;
    };
    return line.drive(Clock::now() + targets.discover_for, observe, interrupted, found);
}

std::vector<AgentReport> adopt_agents(const UdpSocket& socket,
                                      const std::vector<AdoptTarget>& targets,
                                      const std::map<std::size_t, std::string>& stopping,
                                      const Timing& timing, LineView& view,
                                      const LineObserver& observe, const Interrupted& interrupted) {
    Line line(socket, timing, view);
    for (const auto& [group, why] : stopping) line.stop_group(group, why);
    for (const AdoptTarget& t : targets) {
        const std::optional<uint32_t> serial =
            t.from.record ? std::optional<uint32_t>(t.from.record->serial) : std::nullopt;
        line.add(t.agent, serial, t.label, t.plan, t.group).adopt(t.from, Clock::now(), line.io());
    }
    return line.drive(Clock::now(), observe, interrupted, {});
}

void LineView::warn(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::vector<Announcement> listen_for_agents(
    const UdpSocket& socket, Millis window,
    const std::function<void(const Announcement&)>& on_new) {
    std::vector<Announcement> found;
    // By address and serial number: devices that share an address are still two.
    std::set<std::pair<Endpoint, uint32_t>> seen;
    const TimePoint end = Clock::now() + window;
    DatagramBatch batch(MAX_BURST);
    for (TimePoint now = Clock::now(); now < end; now = Clock::now()) {
        if (!socket.wait_readable(wait_ms(now, end))) continue;
        const std::size_t n = batch.receive(socket);
        for (std::size_t i = 0; i < n; ++i) {
            const std::optional<wire::ResponseFrame> frame = response_of(batch.bytes(i));
            if (!frame || frame->code != wire::RSP_ALIVE) continue;
            if (!seen.emplace(batch.from(i), frame->serial).second) continue;
            found.push_back(Announcement{batch.from(i), *frame});
            on_new(found.back());
        }
    }
    return found;
}

}  // namespace ovik::station
