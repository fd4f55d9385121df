#include "station/cli.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>

#include "base/unique_fd.h"
#include "station/run_db.h"
#include "station/station.h"

namespace ovik::station {
namespace {

constexpr const char* NO_AGENT_HINT = "check the cabling and that ovikburn runs on the device";

// Where the station listens, and which agent port counts as the usual one.
struct Link {
    std::string bind = "0.0.0.0";
    uint16_t port = wire::PC_PORT;
    uint16_t agent_port = wire::AGENT_PORT;
};

struct RunArgs {
    std::string agent;
    double discover = 0;
    uint32_t baud = 115200;
    std::string firmware = "na";
    double duration = 60;
    bool fail = false;
    bool stop_all_on_fail = false;
    std::string json;
    std::string csv;
    std::string junit;
    std::string db = "ovikstation.db";
};

// A report file of the run, opened before the run so that a wrong path costs no burn-in time.
struct ReportFile {
    const char* option;
    const std::string& path;
    std::string (*render)(const std::vector<AgentReport>&);
    UniqueFile file{};
};

uint32_t wall_seconds() {
    return static_cast<uint32_t>(std::time(nullptr));
}

Millis millis_of(double seconds) {
    return Millis(std::llround(seconds * 1000.0));
}

void add_link_options(CLI::App* cmd, Link& link) {
    cmd->add_option("--bind", link.bind, "local IPv4 address of the station's socket")
        ->capture_default_str();
    cmd->add_option("--port", link.port, "UDP port of the station (agents send to it)")
        ->capture_default_str();
    cmd->add_option("--agent-port", link.agent_port, "UDP port the agents listen on")
        ->capture_default_str();
}

std::optional<UdpSocket> open_socket(const Link& link, std::FILE* err) {
    const std::optional<uint32_t> address = parse_ipv4(link.bind);
    if (!address) {
        std::fprintf(err, "ovikstation: --bind %s is not an IPv4 address (like 0.0.0.0)\n",
                     link.bind.c_str());
        return std::nullopt;
    }
    std::string error;
    std::optional<UdpSocket> socket = UdpSocket::open(Endpoint{*address, link.port}, error);
    if (!socket) {
        std::fprintf(err,
                     "ovikstation: %s; is another ovikstation running on this PC? Stop it, or "
                     "choose another --bind or --port\n",
                     error.c_str());
    }
    return socket;
}

int listen_command(double seconds, const Link& link, std::FILE* out, std::FILE* err) {
    const std::optional<UdpSocket> socket = open_socket(link, err);
    if (!socket) return EXIT_USAGE;
    std::fprintf(out, "listening on %s for %g s for agents to announce themselves\n",
                 socket->local().text().c_str(), seconds);
    const std::vector<Announcement> found =
        listen_for_agents(*socket, millis_of(seconds), [&](const Announcement& a) {
            std::fprintf(out, "serial %-10u address %-21s software 0x%04X  AP 0x%08X  status %s\n",
                         a.frame.serial, agent_label(a.from, link.agent_port).c_str(),
                         a.frame.softwareid, a.frame.apid, wire::status_name(a.frame.status));
            std::fflush(out);
        });
    if (found.empty()) {
        std::fprintf(err, "no agent announced itself within %g s: %s\n", seconds, NO_AGENT_HINT);
    } else {
        std::fprintf(out, "%zu agent%s found\n", found.size(), found.size() == 1 ? "" : "s");
    }
    return EXIT_ALL_PASSED;
}

int run_command(const RunArgs& args, bool discover, const Link& link, const Timing& timing,
                std::FILE* out, std::FILE* err) {
    if (args.agent.empty() == !discover) {
        std::fprintf(err,
                     "ovikstation run: give --agent ADDR to run one agent, or --discover SECONDS "
                     "to run every agent that announces itself\n");
        return EXIT_USAGE;
    }
    if (args.firmware.empty()) {
        std::fprintf(err, "ovikstation run: --firmware is empty; give na for no download\n");
        return EXIT_USAGE;
    }
    RunPlan plan;
    std::array<char, wire::FWR_SIZE> fwr{};
    if (!wire::set_fwr(fwr, args.firmware)) {
        std::fprintf(err,
                     "ovikstation run: --firmware \"%s\" is %zu bytes, but the agent takes a file "
                     "name of at most %zu bytes; rename the file on the TFTP server\n",
                     args.firmware.c_str(), args.firmware.size(), wire::FWR_SIZE);
        return EXIT_USAGE;
    }
    if (args.baud == 0 || args.baud > wire::MAX_BAUD) {
        std::fprintf(err, "ovikstation run: --baud %u: the agent takes 1 to %u\n", args.baud,
                     wire::MAX_BAUD);
        return EXIT_USAGE;
    }
    plan.baud = args.baud;
    plan.firmware = args.firmware;
    plan.duration = millis_of(args.duration);
    plan.declare_fail = args.fail;
    plan.stop_all_on_fail = args.stop_all_on_fail;

    RunTargets targets;
    targets.usual_agent_port = link.agent_port;
    if (discover) {
        targets.discover_for = millis_of(args.discover);
    } else {
        const std::optional<uint32_t> address = parse_ipv4(args.agent);
        if (!address) {
            std::fprintf(err,
                         "ovikstation run: --agent %s is not an IPv4 address (like "
                         "192.168.1.20)\n",
                         args.agent.c_str());
            return EXIT_USAGE;
        }
        targets.agents.push_back(Endpoint{*address, link.agent_port});
    }

    ReportFile files[] = {{"--json", args.json, report_json},
                          {"--csv", args.csv, report_csv},
                          {"--junit", args.junit, report_junit}};
    for (ReportFile& f : files) {
        if (f.path.empty()) continue;
        f.file.reset(std::fopen(f.path.c_str(), "w"));
        if (!f.file) {
            std::fprintf(err, "ovikstation run: cannot write %s %s: %s\n", f.option, f.path.c_str(),
                         std::strerror(errno));
            return EXIT_USAGE;
        }
    }
    std::string error;
    std::optional<RunDb> db = RunDb::open(args.db, true, error);
    if (!db) {
        std::fprintf(err, "ovikstation run: cannot use --db %s: %s\n", args.db.c_str(),
                     error.c_str());
        return EXIT_USAGE;
    }
    const std::optional<UdpSocket> socket = open_socket(link, err);
    if (!socket) return EXIT_USAGE;

    if (discover) {
        std::fprintf(out, "listening on %s for %g s for agents to announce themselves\n",
                     socket->local().text().c_str(), args.discover);
    } else {
        std::fprintf(out, "polling agent %s from %s\n", targets.agents.front().text().c_str(),
                     socket->local().text().c_str());
    }
    LiveView view = LiveView::for_stream(out);
    const StationRun station_run{plan, wall_seconds()};
    const std::vector<AgentReport> reports = run_agents(*socket, targets, plan, timing, view);

    int status = exit_status(reports);
    if (reports.empty()) {
        std::fprintf(err, "no agent announced itself within %g s: %s\n", args.discover,
                     NO_AGENT_HINT);
    } else {
        std::fprintf(out, "\n%s", verdict_table(reports).c_str());
    }
    for (ReportFile& f : files) {
        if (!f.file) continue;
        const std::string text = f.render(reports);
        const bool written = std::fputs(text.c_str(), f.file.get()) >= 0;
        if (!written || std::fclose(f.file.release()) != 0) {
            std::fprintf(err, "ovikstation run: cannot write %s %s: %s\n", f.option, f.path.c_str(),
                         std::strerror(errno));
            if (status == EXIT_ALL_PASSED) status = EXIT_NOT_ALL_PASSED;
        }
    }
    if (!reports.empty()) {
        StationRun finished = station_run;
        finished.ended_at = wall_seconds();
        if (!db->add(finished, reports, error)) {
            std::fprintf(err, "ovikstation run: cannot record the run in --db %s: %s\n",
                         args.db.c_str(), error.c_str());
            if (status == EXIT_ALL_PASSED) status = EXIT_NOT_ALL_PASSED;
        }
    }
    return status;
}

int history_command(uint32_t serial, const std::string& path, std::FILE* out, std::FILE* err) {
    std::string error;
    const std::optional<RunDb> db = RunDb::open(path, false, error);
    std::optional<std::vector<RunRecord>> runs;
    if (db) runs = db->history(serial, error);
    if (!runs) {
        std::fprintf(err, "ovikstation history: cannot read --db %s: %s\n", path.c_str(),
                     error.c_str());
        return EXIT_USAGE;
    }
    if (runs->empty()) {
        std::fprintf(err, "ovikstation history: no run of serial %u in %s\n", serial, path.c_str());
        return EXIT_NO_RUNS;
    }
    std::fprintf(out, "serial %u: %zu run%s in %s, newest first\n", serial, runs->size(),
                 runs->size() == 1 ? "" : "s", path.c_str());
    std::fputs(history_table(*runs).c_str(), out);
    return EXIT_ALL_PASSED;
}

}  // namespace

int station_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
                 const Timing& timing) {
    CLI::App app{"Drives ovikburn burn-in agents from the test PC.", "ovikstation"};
    // At most one command; a missing one is reported below, so that a mistyped command is
    // named in the error instead.
    app.require_subcommand(0, 1);

    Link link;
    double listen_seconds = 10;
    CLI::App* listen = app.add_subcommand("listen", "Print every agent that announces itself.");
    listen->add_option("--seconds", listen_seconds, "how long to listen")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    add_link_options(listen, link);

    RunArgs args;
    CLI::App* run = app.add_subcommand("run", "Drive agents through a burn-in run.");
    CLI::Option* agent = run->add_option("--agent", args.agent, "IPv4 address of one agent");
    CLI::Option* discover =
        run->add_option("--discover", args.discover,
                        "run every agent that announces itself within this many seconds")
            ->check(CLI::PositiveNumber);
    agent->excludes(discover);
    run->add_option("--baud", args.baud, "baud rate of the serial-port tests")
        ->capture_default_str();
    run->add_option("--firmware", args.firmware,
                    "firmware file to download after a passed run; agents whose run did not pass "
                    "never download (at most 16 bytes; na: none)")
        ->capture_default_str();
    run->add_option("--duration", args.duration, "seconds from start to stop")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    run->add_flag("--fail", args.fail, "declare the run failed when stopping it");
    run->add_flag("--stop-all-on-fail", args.stop_all_on_fail,
                  "stop every agent at once when any reports a failing item or serial port; the "
                  "others are declared failed, verdict stopped (default: every run lasts "
                  "--duration)");
    run->add_option("--json", args.json, "write the agents' final records to this file")
        ->type_name("FILE");
    run->add_option("--csv", args.csv, "write a CSV line per agent, after a header, to this file")
        ->type_name("FILE");
    run->add_option("--junit", args.junit,
                    "write a JUnit XML report to this file: a test suite per agent")
        ->type_name("FILE");
    run->add_option("--db", args.db,
                    "SQLite database that keeps every run of every device (created when "
                    "missing; ovikstation history reads it)")
        ->type_name("FILE")
        ->capture_default_str();
    long diagnostic_ms = static_cast<long>(timing.diagnostic_interval.count());
    run->add_option("--diagnostic-ms", diagnostic_ms,
                    "how often a running agent gets a diagnostic command; each one wakes the "
                    "agent for a status report (100: its full report rate)")
        ->check(CLI::Range(100L, 60000L))
        ->capture_default_str();
    add_link_options(run, link);

    uint32_t history_serial = 0;
    std::string history_db = "ovikstation.db";
    CLI::App* history = app.add_subcommand(
        "history", "Print the runs of one device from the database, newest first.");
    history->add_option("SERIAL", history_serial, "serial number of the device")->required();
    history->add_option("--db", history_db, "SQLite database that ovikstation run wrote")
        ->type_name("FILE")
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        std::ostringstream o;
        std::ostringstream e2;
        const int code = app.exit(e, o, e2);
        std::fputs(o.str().c_str(), out);
        std::fputs(e2.str().c_str(), err);
        return code == 0 ? EXIT_ALL_PASSED : EXIT_USAGE;
    }
    if (listen->parsed()) return listen_command(listen_seconds, link, out, err);
    if (run->parsed()) {
        Timing run_timing = timing;
        run_timing.diagnostic_interval = Millis(diagnostic_ms);
        return run_command(args, discover->count() > 0, link, run_timing, out, err);
    }
    if (history->parsed()) return history_command(history_serial, history_db, out, err);
    std::fprintf(err,
                 "ovikstation: give a command, listen, run or history; see ovikstation --help\n");
    return EXIT_USAGE;
}

}  // namespace ovik::station
