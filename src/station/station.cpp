#include "station/station.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

namespace ovik::station {
namespace {

using Clock = std::chrono::steady_clock;

// Longest sleep of the loop, so the live lines stay fresh while nothing arrives.
constexpr Millis MAX_WAIT{200};
// Datagrams taken per wake-up, so a flood cannot hold off the timers.
constexpr int MAX_BURST = 64;

class LoopIo final : public SessionIo {
  public:
    LoopIo(const UdpSocket& socket, LiveView& view) : socket_(socket), view_(view) {}

    void send(const Endpoint& to, const wire::CommandFrame& frame) override {
        const wire::CommandBytes bytes = wire::encode_command(frame);
        if (!socket_.send_to(to, bytes)) {
            view_.note(std::string("cannot send ") + wire::command_name(frame.cmd) + " to " +
                       to.text() + ": " + std::strerror(errno));
        }
    }
    void note(const std::string& line) override { view_.note(line); }
    uint32_t wall_seconds() override { return static_cast<uint32_t>(std::time(nullptr)); }

  private:
    const UdpSocket& socket_;
    LiveView& view_;
};

std::optional<wire::ResponseFrame> response_of(const Datagram& d) {
    // Decoded straight from the socket's buffer: nothing is allocated per datagram.
    if (d.bytes.size() != wire::RESPONSE_FRAME_SIZE) return std::nullopt;
    return wire::decode_response(
        std::span<const uint8_t, wire::RESPONSE_FRAME_SIZE>(d.bytes.data(), d.bytes.size()));
}

int wait_ms(TimePoint now, TimePoint deadline) {
    if (deadline <= now) return 0;
    const auto left = std::chrono::ceil<Millis>(deadline - now);
    return static_cast<int>(std::min(left, MAX_WAIT).count());
}

// The sessions of one loop, the order they were found in, and the policy that stops a run's
// agents together.
class Line {
  public:
    Line(const UdpSocket& socket, const Timing& timing, LiveView& view)
        : socket_(socket), timing_(timing), view_(view), io_(socket, view) {}

    AgentSession& add(const Endpoint& agent, const std::string& label, const RunPlan& plan,
                      std::size_t group) {
        const auto [it, inserted] = members_.try_emplace(agent, agent, label, plan, timing_, group);
        if (inserted) order_.push_back(&it->second.session);
        return it->second.session;
    }
    SessionIo& io() { return io_; }
    void stop_group(std::size_t group, const std::string& why) { stopping_[group] = why; }

    // Runs the loop until every session is done and discover_end has passed (or interrupted);
    // frames of unknown agents go to found while discovering.
    std::vector<AgentReport> drive(
        TimePoint discover_end, const LineObserver& observe, const Interrupted& interrupted,
        const std::function<void(const Datagram&, const wire::ResponseFrame&, TimePoint)>& found);

  private:
    struct Member {
        Member(const Endpoint& agent, const std::string& label, const RunPlan& plan,
               const Timing& timing, std::size_t g)
            : session(agent, label, plan, timing), group(g) {}
        AgentSession session;
        std::size_t group;
    };

    void on_frame(Member& m, const wire::ResponseFrame& frame, TimePoint now,
                  TimePoint& discover_end);
    void note_adoption(TimePoint began, TimePoint now);

    const UdpSocket& socket_;
    const Timing& timing_;
    LiveView& view_;
    LoopIo io_;
    std::map<Endpoint, Member> members_;
    std::vector<const AgentSession*> order_;       // as found: rows and reports keep this order
    std::map<std::size_t, std::string> stopping_;  // groups being stopped, and why
    bool adoption_noted_ = false;
};

void Line::on_frame(Member& m, const wire::ResponseFrame& frame, TimePoint now,
                    TimePoint& discover_end) {
    AgentSession& s = m.session;
    s.on_frame(frame, now, io_);
    // With the policy, the first report that shows a failure ends every run of the group and
    // the discovery.
    if (s.plan().stop_all_on_fail && stopping_.count(m.group) == 0 && s.run_shows_failure()) {
        const std::string why = failure_text(*s.record(), s.label());
        view_.note("stopping every agent: " + why);
        stopping_[m.group] = why;
        discover_end = std::min(discover_end, now);
        for (auto& entry : members_) {
            if (entry.second.group == m.group) entry.second.session.stop_early(why, now, io_);
        }
        return;
    }
    // Agents taken over once the group was stopping are stopped as soon as they answer.
    const auto stopping = stopping_.find(m.group);
    if (stopping != stopping_.end() && s.adopted()) s.stop_early(stopping->second, now, io_);
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

std::vector<AgentReport> Line::drive(
    TimePoint discover_end, const LineObserver& observe, const Interrupted& interrupted,
    const std::function<void(const Datagram&, const wire::ResponseFrame&, TimePoint)>& found) {
    const TimePoint began = Clock::now();
    adoption_noted_ = std::none_of(order_.begin(), order_.end(), [](const AgentSession* s) {
        return s->phase() == Phase::adopt;
    });
    bool was_interrupted = false;
    Datagram datagram;
    while (true) {
        if (interrupted && interrupted()) {
            was_interrupted = true;
            break;
        }
        TimePoint now = Clock::now();
        for (auto& entry : members_) entry.second.session.on_tick(now, io_);
        if (!adoption_noted_) note_adoption(began, now);
        const bool discovering = now < discover_end;
        const bool all_done = std::all_of(members_.begin(), members_.end(), [](const auto& entry) {
            return entry.second.session.done();
        });
        if (!discovering && all_done) break;
        if (view_.due(now)) view_.show(order_, now);
        if (observe) observe(order_, now, false);

        TimePoint deadline = discovering ? discover_end : TimePoint::max();
        for (const auto& entry : members_)
            deadline = std::min(deadline, entry.second.session.next_deadline());
        if (!socket_.wait_readable(wait_ms(now, deadline))) continue;

        for (int n = 0; n < MAX_BURST && socket_.receive(datagram); ++n) {
            const std::optional<wire::ResponseFrame> frame = response_of(datagram);
            if (!frame) continue;  // not an agent's frame
            now = Clock::now();
            const auto it = members_.find(datagram.from);
            if (it != members_.end()) {
                on_frame(it->second, *frame, now, discover_end);
            } else if (now < discover_end && found) {
                found(datagram, *frame, now);
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

std::string failure_text(const wire::ResponseFrame& record, const std::string& label) {
    const std::string items = failed_items_text(record);
    const std::string ports = failed_ports_text(record);
    return "serial " + std::to_string(record.serial) + " at " + label + " reported a failure (" +
           items + (items.empty() || ports.empty() ? "" : ", ") +
           (ports.empty() ? "" : "ports " + ports) + ")";
}

std::vector<AgentReport> run_agents(const UdpSocket& socket, const RunTargets& targets,
                                    const RunPlan& plan, const Timing& timing, LiveView& view,
                                    const LineObserver& observe, const Interrupted& interrupted) {
    Line line(socket, timing, view);
    std::set<Endpoint> added;
    for (const Endpoint& agent : targets.agents) {
        if (added.insert(agent).second) {
            line.add(agent, agent_label(agent, targets.usual_agent_port), plan, 0)
                .begin(Clock::now(), line.io());
        }
    }
    auto found = [&](const Datagram& d, const wire::ResponseFrame& frame, TimePoint now) {
        if (frame.code != wire::RSP_ALIVE) return;
        AgentSession& s = line.add(d.from, agent_label(d.from, targets.usual_agent_port), plan, 0);
        view.note("found agent serial " + std::to_string(frame.serial) + " at " + s.label());
        s.on_frame(frame, now, line.io());
        s.begin(now, line.io());
    };
    return line.drive(Clock::now() + targets.discover_for, observe, interrupted, found);
}

std::vector<AgentReport> adopt_agents(const UdpSocket& socket,
                                      const std::vector<AdoptTarget>& targets,
                                      const std::map<std::size_t, std::string>& stopping,
                                      const Timing& timing, LiveView& view,
                                      const LineObserver& observe, const Interrupted& interrupted) {
    Line line(socket, timing, view);
    for (const auto& [group, why] : stopping) line.stop_group(group, why);
    for (const AdoptTarget& t : targets) {
        line.add(t.agent, t.label, t.plan, t.group).adopt(t.from, Clock::now(), line.io());
    }
    return line.drive(Clock::now(), observe, interrupted, {});
}

std::vector<Announcement> listen_for_agents(
    const UdpSocket& socket, Millis window,
    const std::function<void(const Announcement&)>& on_new) {
    std::vector<Announcement> found;
    std::set<Endpoint> seen;
    const TimePoint end = Clock::now() + window;
    Datagram datagram;
    for (TimePoint now = Clock::now(); now < end; now = Clock::now()) {
        if (!socket.wait_readable(wait_ms(now, end))) continue;
        for (int n = 0; n < MAX_BURST && socket.receive(datagram); ++n) {
            const std::optional<wire::ResponseFrame> frame = response_of(datagram);
            if (!frame || frame->code != wire::RSP_ALIVE) continue;
            if (!seen.insert(datagram.from).second) continue;
            found.push_back(Announcement{datagram.from, *frame});
            on_new(found.back());
        }
    }
    return found;
}

}  // namespace ovik::station
