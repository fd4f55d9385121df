// Whole runs over loopback UDP against fake agents: the bytes the agents receive, retries and
// resynchronisation when answers are lost, several agents on one socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>

#include "fake_agent.h"
#include "station/station.h"
#include "support.h"

namespace ovik::station::test {
namespace {

using namespace wire;

struct Outcome {
    std::vector<AgentReport> reports;
    std::string console;
};

Outcome run(const UdpSocket& socket, const RunTargets& targets, const RunPlan& plan,
            const Timing& timing = fast_timing()) {
    Captured out;
    LiveView view(out.file(), false, 0);
    Outcome r;
    r.reports = run_agents(socket, targets, plan, timing, view);
    r.console = out.text();
    return r;
}

RunPlan short_plan(const std::string& firmware = "na") {
    RunPlan plan;
    plan.firmware = firmware;
    plan.duration = 500ms;
    plan.baud = 57600;
    return plan;
}

RunTargets direct(const FakeAgent& agent) {
    RunTargets t;
    t.agents.push_back(agent.endpoint());
    return t;
}

TEST(StationRun, DrivesAgentThroughRunAndDownload) {
    FakeAgent agent({.download_expected = true});
    const UdpSocket socket = loopback_socket();
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    const Outcome r = run(socket, direct(agent), short_plan("fw-1.2.bin"));

    ASSERT_EQ(r.reports.size(), 1u);
    EXPECT_EQ(r.reports[0].verdict, Verdict::passed) << r.console;
    EXPECT_EQ(r.reports[0].download, DownloadResult::done) << r.console;
    EXPECT_EQ(r.reports[0].record->status, STATUS_DOWNLOAD_OK);
    EXPECT_EQ(exit_status(r.reports), 0);

    std::vector<std::pair<uint16_t, uint16_t>> commands;
    CommandFrame set_parameter;
    CommandFrame start;
    for (const CommandFrame& c : agent.received()) {
        if (c.cmd == CMD_DIAGNOSTIC) continue;
        commands.emplace_back(c.cmd, c.ser);
        if (c.cmd == CMD_SET_PARAMETER) set_parameter = c;
        if (c.cmd == CMD_START) start = c;
    }
    const std::vector<std::pair<uint16_t, uint16_t>> expected = {
        {CMD_POLLING, 0}, {CMD_QUERY, 0}, {CMD_SET_PARAMETER, 1},
        {CMD_START, 2},   {CMD_STOP, 3},  {CMD_DOWNLOAD, 4}};
    EXPECT_EQ(commands, expected);
    EXPECT_EQ(set_parameter.baud, 57600u);
    EXPECT_EQ(fwr_text(set_parameter.fwr), "fw-1.2.bin");
    EXPECT_GE(start.time, before);
    EXPECT_LE(start.time, before + 5);
    EXPECT_GE(agent.count(CMD_DIAGNOSTIC), 1);
    EXPECT_NE(r.console.find("downloading firmware fw-1.2.bin"), std::string::npos) << r.console;
    EXPECT_NE(r.console.find("download done"), std::string::npos);
}

TEST(StationRun, GoesOnWhenAnswersAreLostOrLate) {
    struct Case {
        const char* name;
        uint16_t lost;
        Millis start_delay;
        int sends;  // of the command whose answer is lost or late
        const char* firmware = "fw.bin";
        Verdict verdict = Verdict::passed;
    };
    const Case cases[] = {
        {"query answer lost", CMD_QUERY, 50ms, 2},
        {"start answer lost", CMD_START, 50ms, 1},  // the first report shows the run
        {"stop answer lost", CMD_STOP, 50ms, 2},
        {"start answer late", 0, 1200ms, 1},
        // The agent ended its run with the stop and reads no later copy: never a pass.
        {"stop answer lost, the agent's link closed", CMD_STOP, 50ms, 1, "na", Verdict::unknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAgent agent({.start_delay = c.start_delay,
                         .download_expected = true,
                         .lose_first_answer = {c.lost}});
        const UdpSocket socket = loopback_socket();
        const Outcome r = run(socket, direct(agent), short_plan(c.firmware));
        ASSERT_EQ(r.reports.size(), 1u);
        EXPECT_EQ(r.reports[0].verdict, c.verdict) << r.console;
        EXPECT_EQ(agent_passed(r.reports[0]), c.verdict == Verdict::passed) << r.console;
        EXPECT_EQ(agent.count(c.lost != 0 ? c.lost : CMD_START), c.sends) << r.console;
    }
}

TEST(StationRun, RunsEveryAnnouncedAgentAndStopsThemAllOnAFailureWhenAsked) {
    // 101 is healthy, 102 fails an item and a port from its first report, 103 dies after start.
    struct Case {
        const char* name;
        bool stop_all_on_fail;
        Millis duration;
        std::map<uint32_t, std::pair<Verdict, const char*>> expected;  // verdict, reason
    };
    const Case cases[] = {
        {"every run lasts its duration",
         false,
         500ms,
         {{101, {Verdict::passed, ""}},
          {102, {Verdict::failed, ""}},
          {103, {Verdict::unknown, "verdict unknown (stop answer lost): no answer to stop"}}}},
        {"the first failure stops every run",
         true,
         30s,
         {{101, {Verdict::stopped, "reported a failure (COM:2, ports 1:3)"}},
          {102, {Verdict::failed, ""}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const UdpSocket socket = loopback_socket();
        std::map<uint32_t, std::unique_ptr<FakeAgent>> agents;
        for (const auto& entry : c.expected) {
            const uint32_t serial = entry.first;
            agents[serial] =
                std::make_unique<FakeAgent>(FakeAgentOptions{.serial = serial,
                                                             .announce_to = socket.local(),
                                                             .dies_after_start = serial == 103,
                                                             .test_failures = serial == 102});
        }
        RunTargets targets;
        targets.discover_for = 400ms;
        RunPlan plan = short_plan();
        plan.duration = c.duration;
        plan.stop_all_on_fail = c.stop_all_on_fail;
        const auto began = std::chrono::steady_clock::now();
        const Outcome r = run(socket, targets, plan);
        EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);

        ASSERT_EQ(r.reports.size(), c.expected.size()) << r.console;
        for (const AgentReport& a : r.reports) {
            const auto& [verdict, reason] = c.expected.at(a.record->serial);
            EXPECT_EQ(a.verdict, verdict) << a.record->serial << "\n" << r.console;
            EXPECT_NE(a.reason.find(reason), std::string::npos) << a.reason;
            if (a.record->serial == 102) {
                EXPECT_EQ(failed_items_text(*a.record), "COM:2");
                EXPECT_EQ(failed_ports_text(*a.record), "1:3");
            }
        }
        EXPECT_EQ(exit_status(r.reports), 1);
        // A healthy run cut short is declared failed, never stopped as a pass.
        for (const CommandFrame& f : agents.at(101)->received()) {
            if (f.cmd == CMD_STOP) {
                EXPECT_EQ(f.fail != 0, c.stop_all_on_fail);
            }
        }
    }
}

TEST(StationRun, ReportsDownloadThatFailsOrIsNotConfigured) {
    struct Case {
        const char* name;
        bool download_expected;
        DownloadResult result;
        const char* says;
    };
    const Case cases[] = {
        {"upgrade fails", true, DownloadResult::failed, "download failed"},
        {"not configured", false, DownloadResult::no_answer,
         "no answer to the download command after 4 tries: the agent is likely not configured"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAgent agent({.download_expected = c.download_expected, .download_fails = true});
        const UdpSocket socket = loopback_socket();
        const Outcome r = run(socket, direct(agent), short_plan("fw.bin"));
        ASSERT_EQ(r.reports.size(), 1u);
        EXPECT_EQ(r.reports[0].verdict, Verdict::passed);
        EXPECT_EQ(r.reports[0].download, c.result);
        EXPECT_EQ(exit_status(r.reports), 1);
        EXPECT_NE(r.console.find(c.says), std::string::npos) << r.console;
    }
}

}  // namespace
}  // namespace ovik::station::test
