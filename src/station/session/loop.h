// station: the test PC's side of the host link. It finds ovikburn agents on the factory
// network, drives each of them through a burn-in run and reports the verdicts.
//
// One UDP socket and one poll loop serve every agent of a run; each agent has an AgentSession
// of its own, found by the address its frames come from and the serial number they carry (two
// devices whose serial numbers give one address are two sessions, never one), with its own
// sequence number and timers, so one slow or lost agent holds up none of the others.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "station/session/agent_report.h"
#include "station/session/agent_session.h"
#include "station/session/endpoint.h"
#include "station/session/udp_socket.h"
#include "wire/frames.h"

namespace ovik::station {

// What the loop shows the operator: event lines, and the line's state a few times a second.
class LineView {
  public:
    virtual ~LineView() = default;
    // A line that stays in the log.
    virtual void note(const std::string& line) = 0;
    // A line for stderr: what the run goes on without (frames ignored, commands the kernel
    // would not send). By default written there as it is.
    virtual void warn(const std::string& line);
    // Whether show() would draw anything now.
    virtual bool due(TimePoint now) const = 0;
    // Draws when due, or at once with force (the last picture of a run).
    virtual void show(const std::vector<const AgentSession*>& sessions, TimePoint now,
                      bool force) = 0;
    // The run is over.
    virtual void finish() = 0;
};

struct RunTargets {
    std::vector<Endpoint> agents;  // polled directly
    Millis discover_for{0};        // and every agent that announces itself within this time
    // Discovery ends once this many agents announced themselves; any more are named, not
    // driven. 0: no such limit.
    std::size_t expect = 0;
    uint16_t usual_agent_port = wire::AGENT_PORT;  // addresses with this port show bare
};

// Sees every agent of the run, in the order they were found: called from the run loop about
// every 100 ms, and once more with final set at the end.
using LineObserver = std::function<void(const std::vector<const AgentSession*>& sessions,
                                        TimePoint now, bool final)>;

// Asked on every pass of the run loop (at least every 200 ms): true ends the loop at once and
// leaves the runs going on the agents, for ovikstation resume to take back.
using Interrupted = std::function<bool()>;

// Drives every target through the run and returns one report per agent, in the order they
// were found. Returns when every session is done and the discovery time is over, or when
// interrupted: the agents not done then have the verdict interrupted.
std::vector<AgentReport> run_agents(const UdpSocket& socket, const RunTargets& targets,
                                    const RunPlan& plan, const Timing& timing, LineView& view,
                                    const LineObserver& observe = {},
                                    const Interrupted& interrupted = {});

// One agent of a run that a station began and did not finish.
struct AdoptTarget {
    Endpoint agent;
    std::string label;
    RunPlan plan;
    // The station run it belongs to: --stop-all-on-fail stops the agents of that run only.
    std::size_t group = 0;
    Adoption from;
};

// Takes every target over (AgentSession::adopt) and drives it to the end of its run; one
// report per target, in order, as run_agents. stopping: per group, why its agents are to be
// stopped early at once (a failure seen before the station ended, with --stop-all-on-fail).
std::vector<AgentReport> adopt_agents(const UdpSocket& socket,
                                      const std::vector<AdoptTarget>& targets,
                                      const std::map<std::size_t, std::string>& stopping,
                                      const Timing& timing, LineView& view,
                                      const LineObserver& observe = {},
                                      const Interrupted& interrupted = {});

struct Announcement {
    Endpoint from;
    wire::ResponseFrame frame;
};

// Every agent that announces itself within window, once each (by address and serial number),
// in order of first sight;
// on_new is called at first sight.
std::vector<Announcement> listen_for_agents(const UdpSocket& socket, Millis window,
                                            const std::function<void(const Announcement&)>& on_new);

}  // namespace ovik::station
