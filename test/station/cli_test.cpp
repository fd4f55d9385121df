// The command line as the operator meets it: exit statuses, error texts, listen and run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "fake_agent.h"
#include "station/cli.h"
#include "support.h"

namespace ovik::station::test {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

// Runs keep their records in a database of this test process's own (other builds' tests may
// run at the same time, with other station versions) unless the case names a --db.
struct OwnDatabase {
    const std::string path =
        ::testing::TempDir() + "station_cli-" + std::to_string(::getpid()) + ".db";
    ~OwnDatabase() {
        std::remove(path.c_str());
        std::remove((path + "-runs.lock").c_str());
    }
};
const OwnDatabase own_database;

Result cli(std::vector<std::string> args) {
    if (!args.empty() && args[0] == "run" &&
        std::find(args.begin(), args.end(), "--db") == args.end()) {
        args.insert(args.end(), {"--db", own_database.path});
    }
    std::vector<const char*> argv{"ovikstation"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    Captured out;
    Captured err;
    const int status =
        station_main(static_cast<int>(argv.size()), argv.data(), out.file(), err.file());
    return Result{status, out.text(), err.text()};
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(StationCli, RefusesBadCommandLinesWithStatus2) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"run", "--agent", "127.0.0.1", "--firmware", "firmware-17bytes."},
         "--firmware \"firmware-17bytes.\" is 17 bytes, but the agent takes a file name of at "
         "most 16 bytes"},
        // A name of exactly 16 bytes passes; the bad --bind behind it stops the run.
        {{"run", "--agent", "127.0.0.1", "--firmware", "firmware-16bytes", "--bind", "x"},
         "--bind x is not an IPv4 address"},
        {{"run", "--agent", "127.0.0.1", "--firmware", ""}, "--firmware is empty"},
        {{"run"}, "give --agent ADDR to run one agent, or --discover SECONDS"},
        {{"run", "--agent", "127.0.0.1", "--discover", "2"}, "--agent excludes --discover"},
        {{"run", "--agent", "dut-7"}, "--agent dut-7 is not an IPv4 address"},
        {{"run", "--agent", "127.0.0.1", "--baud", "921601"}, "--baud 921601: the agent takes"},
        {{"run", "--agent", "127.0.0.1", "--json", "/nonexistent/r.json"},
         "cannot write --json /nonexistent/r.json: No such file or directory"},
        {{"run", "--agent", "127.0.0.1", "--db", "/nonexistent/r.db"},
         "cannot use --db /nonexistent/r.db: unable to open database file"},
        {{"history", "1234", "--db", "/nonexistent/r.db"},
         "cannot read --db /nonexistent/r.db: unable to open database file"},
        {{"history"}, "SERIAL is required"},
        {{"listen", "--seconds", "-1"}, "--seconds"},
        {{"burn"}, "not expected: burn"},
        {{}, "give a command, listen, run, resume, abort, history or serve"},
    };
    for (const Case& c : cases) {
        const Result r = cli(c.args);
        SCOPED_TRACE(r.err);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.says), std::string::npos);
    }
}

TEST(StationCli, SaysSoWhenNoAgentAnnouncesItself) {
    const Result r = cli({"run", "--discover", "0.3", "--bind", "127.0.0.1", "--port", "0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "no agent announced itself within 0.3 s: check the cabling and that ovikburn runs "
              "on the device\n");
}

TEST(StationCli, ListenPrintsEachAnnouncingAgentOnce) {
    const uint16_t port = free_port();
    FakeAgent agent({.serial = 4321, .announce_to = Endpoint{LOOPBACK, port}});
    const Result r =
        cli({"listen", "--seconds", "0.5", "--bind", "127.0.0.1", "--port", std::to_string(port)});
    EXPECT_EQ(r.status, 0);
    const std::string line = "serial 4321       address " + agent.endpoint().text();
    const auto first = r.out.find(line);
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(line, first + 1), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("software 0x0102  AP 0x00000A0B  status idle\n1 agent found\n"),
              std::string::npos)
        << r.out;
}

TEST(StationCli, RunRecordsTheVerdictInReportFilesAndHistory) {
    struct Case {
        bool declare_fail;
        int status;
        const char* verdict;
        const char* junit_verdict;
    };
    const std::string dir = ::testing::TempDir();
    const std::string db = dir + "station_history.db";
    std::remove(db.c_str());
    for (const Case& c : {Case{false, 0, "passed", "name=\"verdict\"/>"},
                          Case{true, 1, "failed", "<failure message=\"failed\"/>"}}) {
        SCOPED_TRACE(c.verdict);
        FakeAgent agent({});
        const std::string port = std::to_string(agent.endpoint().port);
        std::vector<std::string> args = {
            "run",    "--agent", "127.0.0.1",  "--agent-port", port,   "--bind", "127.0.0.1",
            "--port", "0",       "--duration", "0.3",          "--db", db};
        for (const std::string kind : {"json", "csv", "junit"}) {
            args.insert(args.end(), {"--" + kind, dir + "r."});
            args.back() += kind;
        }
        if (c.declare_fail) args.emplace_back("--fail");
        const Result r = cli(args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find("SERIAL  ADDRESS"), std::string::npos) << r.out;
        // The agent uses the port given as the agents' port, so its address shows bare.
        EXPECT_NE(r.out.find(std::string("1234    127.0.0.1  ") + c.verdict), std::string::npos)
            << r.out;
        const std::string json = read_file(dir + "r.json");
        EXPECT_EQ(json.rfind("[\n  {\n    \"serial\": 1234,\n", 0), 0u) << json;
        EXPECT_NE(json.find(std::string("\"verdict\": \"") + c.verdict + "\""), std::string::npos);
        EXPECT_NE(json.find("\"items\": [{\"name\": \"COM\", \"fail\": 0}"), std::string::npos)
            << json;
        EXPECT_EQ(json.substr(json.size() - 6), "  }\n]\n");
        const std::string csv = read_file(dir + "r.csv");
        EXPECT_NE(csv.find(std::string("\n1234,127.0.0.1,") + c.verdict + ",not requested,"),
                  std::string::npos)
            << csv;
        // Three named items, four serial ports in use, the verdict.
        const std::string junit = read_file(dir + "r.junit");
        EXPECT_NE(junit.find("<testsuite name=\"1234\" tests=\"8\""), std::string::npos) << junit;
        EXPECT_NE(junit.find(c.junit_verdict), std::string::npos) << junit;
    }

    const Result history = cli({"history", "1234", "--db", db});
    EXPECT_EQ(history.status, 0) << history.err;
    EXPECT_EQ(history.out.rfind("serial 1234: 2 runs in " + db + ", newest first\nENDED  ", 0), 0u)
        << history.out;
    const auto failed = history.out.find("  127.0.0.1  failed   ");
    EXPECT_NE(failed, std::string::npos) << history.out;
    EXPECT_LT(failed, history.out.find("  127.0.0.1  passed   ")) << history.out;
    EXPECT_NE(history.out.find("115200  na        0.3 s     --fail\n"), std::string::npos)
        << history.out;

    const Result none = cli({"history", "4321", "--db", db});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "ovikstation history: no run of serial 4321 in " + db + "\n");
}

// SIGINT leaves the run going on the agent; while the run's station lives no other takes it,
// then resume finishes it as planned or abort stops it declared failed, and the records show
// one run.
TEST(StationCli, InterruptedRunIsResumedOrAbortedFromTheRecords) {
    struct Case {
        const char* command;
        int status;
        const char* verdict;
        uint16_t fail;  // of the last stop the agent got
    };
    for (const Case& c : {Case{"resume", 0, "passed", 0}, Case{"abort", 1, "failed", 1}}) {
        SCOPED_TRACE(c.command);
        const std::string base =
            ::testing::TempDir() + "station_" + c.command + "-" + std::to_string(::getpid());
        const std::string db = base + ".db";
        const std::string json = base + ".json";
        FakeAgent agent({});
        Result run;
        std::thread station([&] {
            run = cli({"run", "--agent", "127.0.0.1", "--agent-port",
                       std::to_string(agent.endpoint().port), "--bind", "127.0.0.1", "--port", "0",
                       "--duration", "3", "--db", db, "--json", json});
        });
        for (int i = 0; i < 500 && agent.count(wire::CMD_DIAGNOSTIC) == 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        const std::vector<std::string> take = {c.command,   "--db",   db, "--bind",
                                               "127.0.0.1", "--port", "0"};
        const Result live = cli(take);
        EXPECT_EQ(live.status, 2);
        EXPECT_NE(live.err.find("is held by an ovikstation that is still running"),
                  std::string::npos)
            << live.err;
        ::kill(::getpid(), SIGINT);
        station.join();
        EXPECT_EQ(run.status, 130) << run.out;
        EXPECT_EQ(run.err,
                  "ovikstation: interrupted; 1 run left running on the devices: "
                  "`ovikstation resume --db " +
                      db +
                      "` takes it back, `ovikstation "
                      "abort --db " +
                      db + "` stops it failed\n");
        EXPECT_NE(cli({"history", "1234", "--db", db}).out.find("  interrupted  "),
                  std::string::npos);

        const Result back = cli(take);
        EXPECT_EQ(back.status, c.status) << back.out << back.err;
        EXPECT_NE(back.out.find("re-adopted 1 of 1 agent in "), std::string::npos) << back.out;
        EXPECT_EQ(agent.count(wire::CMD_START), 1);
        const std::vector<wire::CommandFrame> got = agent.received();
        const auto stop = std::find_if(got.rbegin(), got.rend(), [](const wire::CommandFrame& f) {
            return f.cmd == wire::CMD_STOP;
        });
        ASSERT_NE(stop, got.rend());
        EXPECT_EQ(stop->fail, c.fail);
        const Result history = cli({"history", "1234", "--db", db});
        EXPECT_NE(history.out.find("serial 1234: 1 run in"), std::string::npos) << history.out;
        EXPECT_NE(history.out.find(std::string("  ") + c.verdict + "  "), std::string::npos)
            << history.out;
        EXPECT_NE(read_file(json).find(std::string("\"verdict\": \"") + c.verdict),
                  std::string::npos);
        for (const std::string& file : {db, db + "-runs.lock", json}) std::remove(file.c_str());
    }
}

}  // namespace
}  // namespace ovik::station::test
