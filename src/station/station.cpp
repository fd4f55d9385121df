#include "station/station.h"

#include <algorithm>
#include <cerrno>
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

}  // namespace

std::vector<AgentReport> run_agents(const UdpSocket& socket, const RunTargets& targets,
                                    const RunPlan& plan, const Timing& timing, LiveView& view,
                                    const LineObserver& observe) {
    LoopIo io(socket, view);
    std::map<Endpoint, AgentSession> sessions;
    std::vector<const AgentSession*> order;  // as found: rows and reports keep this order

    auto add = [&](const Endpoint& agent) -> AgentSession& {
        auto [it, inserted] = sessions.try_emplace(
            agent, agent, agent_label(agent, targets.usual_agent_port), plan, timing);
        order.push_back(&it->second);
        return it->second;
    };
    TimePoint discover_end = Clock::now() + targets.discover_for;
    // With the policy, the first report that shows a failure ends every run and the discovery.
    bool stopping_all = false;
    auto stop_all_on_fail = [&](const AgentSession& failing, TimePoint now) {
        if (!plan.stop_all_on_fail || stopping_all || !failing.run_shows_failure()) return;
        stopping_all = true;
        discover_end = std::min(discover_end, now);
        const wire::ResponseFrame& f = *failing.record();
        const std::string items = failed_items_text(f);
        const std::string ports = failed_ports_text(f);
        const std::string why = "serial " + std::to_string(f.serial) + " at " + failing.label() +
                                " reported a failure (" + items +
                                (items.empty() || ports.empty() ? "" : ", ") +
                                (ports.empty() ? "" : "ports " + ports) + ")";
        view.note("stopping every agent: " + why);
        for (auto& entry : sessions) entry.second.stop_early(why, now, io);
    };

    for (const Endpoint& agent : targets.agents) {
        if (sessions.count(agent) == 0) add(agent).begin(Clock::now(), io);
    }

    Datagram datagram;
    while (true) {
        TimePoint now = Clock::now();
        for (auto& entry : sessions) entry.second.on_tick(now, io);
        const bool discovering = now < discover_end;
        const bool all_done = std::all_of(sessions.begin(), sessions.end(),
                                          [](const auto& entry) { return entry.second.done(); });
        if (!discovering && all_done) break;
        if (view.due(now)) view.show(order, now);
        if (observe) observe(order, now, false);

        TimePoint deadline = discovering ? discover_end : TimePoint::max();
        for (const auto& entry : sessions)
            deadline = std::min(deadline, entry.second.next_deadline());
        if (!socket.wait_readable(wait_ms(now, deadline))) continue;

        for (int n = 0; n < MAX_BURST && socket.receive(datagram); ++n) {
            const std::optional<wire::ResponseFrame> frame = response_of(datagram);
            if (!frame) continue;  // not an agent's frame
            now = Clock::now();
            const auto it = sessions.find(datagram.from);
            if (it != sessions.end()) {
                it->second.on_frame(*frame, now, io);
                stop_all_on_fail(it->second, now);
            } else if (now < discover_end && frame->code == wire::RSP_ALIVE) {
                AgentSession& s = add(datagram.from);
                view.note("found agent serial " + std::to_string(frame->serial) + " at " +
                          s.label());
                s.on_frame(*frame, now, io);
                s.begin(now, io);
            }
        }
    }
    view.show(order, Clock::now(), true);
    view.finish();
    if (observe) observe(order, Clock::now(), true);

    std::vector<AgentReport> reports;
    reports.reserve(order.size());
    for (const AgentSession* s : order) reports.push_back(report_of(*s));
    return reports;
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
