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
    };
    const Case cases[] = {
        {"query answer lost", CMD_QUERY, 50ms, 2},
        {"start answer lost", CMD_START, 50ms, 1},  // the first report shows the run
        {"stop answer lost", CMD_STOP, 50ms, 2},
        {"start answer late", 0, 1200ms, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAgent agent({.start_delay = c.start_delay,
                         .download_expected = true,
                         .lose_first_answer = {c.lost}});
        const UdpSocket socket = loopback_socket();
        const Outcome r = run(socket, direct(agent), short_plan("fw.bin"));
        ASSERT_EQ(r.reports.size(), 1u);
        EXPECT_TRUE(agent_passed(r.reports[0])) << r.console;
        EXPECT_EQ(agent.count(c.lost != 0 ? c.lost : CMD_START), c.sends) << r.console;
    }
}

TEST(StationRun, RunsEveryAnnouncedAgentAndGoesOnWithoutALostOne) {
    const UdpSocket socket = loopback_socket();
    std::vector<std::unique_ptr<FakeAgent>> agents;
    agents.push_back(std::make_unique<FakeAgent>(
        FakeAgentOptions{.serial = 101, .announce_to = socket.local()}));
    agents.push_back(std::make_unique<FakeAgent>(
        FakeAgentOptions{.serial = 102, .announce_to = socket.local(), .test_failures = true}));
    agents.push_back(std::make_unique<FakeAgent>(
        FakeAgentOptions{.serial = 103, .announce_to = socket.local(), .dies_after_start = true}));
    RunTargets targets;
    targets.discover_for = 400ms;
    const Outcome r = run(socket, targets, short_plan());

    ASSERT_EQ(r.reports.size(), 3u) << r.console;
    std::map<uint32_t, const AgentReport*> by_serial;
    for (const AgentReport& a : r.reports) by_serial[a.record->serial] = &a;
    EXPECT_EQ(by_serial.at(101)->verdict, Verdict::passed);
    EXPECT_EQ(by_serial.at(102)->verdict, Verdict::failed);
    EXPECT_EQ(by_serial.at(103)->verdict, Verdict::lost);
    EXPECT_EQ(exit_status(r.reports), 1);
    EXPECT_EQ(failed_items_text(*by_serial.at(102)->record), "COM:2");
    EXPECT_EQ(failed_ports_text(*by_serial.at(102)->record), "1:3");
    EXPECT_NE(by_serial.at(103)->reason.find("no answer to stop after 4 tries"), std::string::npos)
        << r.console;
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
