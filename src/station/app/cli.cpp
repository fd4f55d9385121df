// The command line: parses the arguments and calls the command they name (commands.h).
#include "station/app/cli.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <sstream>
#include <string>

#include "station/app/commands.h"

namespace ovik::station {
namespace {

constexpr const char* DB_HELP =
    "where every run of every device is kept: an SQLite database file, or a postgresql:// URL "
    "or connection service (service=NAME) of a database that several stations share; its "
    "password from a password file (~/.pgpass, PGPASSFILE), never in the URL";

void add_interface_option(CLI::App* cmd, Link& link) {
    cmd->add_option("--interface", link.interface,
                    "serve only the devices on this network interface (the socket is bound to "
                    "it and to 0.0.0.0, so the agents' broadcasts arrive; needs CAP_NET_RAW); "
                    "one station per interface can run at once")
        ->type_name("IFNAME");
}

void add_link_options(CLI::App* cmd, Link& link) {
    cmd->add_option("--bind", link.bind, "local IPv4 address of the station's socket")
        ->capture_default_str();
    cmd->add_option("--port", link.port, "UDP port of the station (agents send to it)")
        ->capture_default_str();
    cmd->add_option("--agent-port", link.agent_port, "UDP port the agents listen on")
        ->capture_default_str();
    add_interface_option(cmd, link);
}

// The verdict hook, on every command whose verdicts become final.
void add_hook_options(CLI::App* cmd, StationOptions& station) {
    cmd->add_option("--on-verdict", station.on_verdict,
                    "run this program once per device when its verdict is final (after its "
                    "download), the device's JSON on its standard input; started without a "
                    "shell, at most 4 at once; its failures are logged and recorded, and the "
                    "next station calls it again; it never changes a verdict")
        ->type_name("PROGRAM");
    cmd->add_option("--on-verdict-timeout", station.on_verdict_timeout,
                    "seconds a call of --on-verdict may take before it is killed (with what it "
                    "started)")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
}

void add_mqtt_options(CLI::App* cmd, MqttOptions& mqtt) {
    cmd->add_option("--mqtt", mqtt.url,
                    "publish every device event, each device's verdict (retained) and the line's "
                    "summary to this MQTT broker; messages wait in the records' outbox while it "
                    "is unreachable (no password here: see --mqtt-password-file)")
        ->type_name("mqtt[s]://[USER@]HOST[:PORT]");
    cmd->add_option("--mqtt-password-file", mqtt.password_file,
                    "the broker's password: the first line of this file (else the environment's "
                    "OVIKSTATION_MQTT_PASSWORD)")
        ->type_name("FILE");
    cmd->add_option("--mqtt-ca-file", mqtt.ca_file,
                    "mqtts://: the CA certificates that sign the broker's (default: the "
                    "system's)")
        ->type_name("FILE");
    cmd->add_option("--mqtt-cert", mqtt.cert_file, "mqtts://: the station's client certificate")
        ->type_name("FILE");
    cmd->add_option("--mqtt-key", mqtt.key_file, "mqtts://: the client certificate's key")
        ->type_name("FILE");
}

}  // namespace

int station_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
                 const Timing& timing) {
    CLI::App app{"Drives ovikburn burn-in agents from the test PC.", "ovikstation"};
    // At most one command; a missing one is reported below, so that a mistyped command is
    // named in the error instead.
    app.require_subcommand(0, 1);

    StationOptions station;
    station.name = host_name();
    Link& link = station.link;
    double listen_seconds = 10;
    CLI::App* listen = app.add_subcommand("listen", "Print every agent that announces itself.");
    listen->add_option("--seconds", listen_seconds, "how long to listen")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    add_link_options(listen, link);

    RunOptions args;
    CLI::App* run = app.add_subcommand("run", "Drive agents through a burn-in run.");
    CLI::Option* agent = run->add_option("--agent", args.agent, "IPv4 address of one agent");
    CLI::Option* discover =
        run->add_option("--discover", args.discover_seconds,
                        "run every agent that announces itself within this many seconds")
            ->check(CLI::PositiveNumber);
    agent->excludes(discover);
    run->add_option("--expect", args.expect,
                    "end the discovery as soon as this many agents announced themselves; any "
                    "more are named and not driven")
        ->check(CLI::PositiveNumber)
        ->needs(discover);
    double grace = std::chrono::duration<double>(timing.outage_grace).count();
    run->add_option("--grace", grace,
                    "how long after its planned end a silent agent is still asked where it "
                    "stands, before it is declared lost (a line that goes dark for a while loses "
                    "no run)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
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
    run->add_option("--json", args.files.json, "write the agents' final records to this file")
        ->type_name("FILE");
    run->add_option("--csv", args.files.csv,
                    "write a CSV line per agent, after a header, to this file")
        ->type_name("FILE");
    run->add_option("--junit", args.files.junit,
                    "write a JUnit XML report to this file: a test suite per agent")
        ->type_name("FILE");
    run->add_option("--db", station.db,
                    std::string(DB_HELP) +
                        " (a missing file or missing tables are created; ovikstation history "
                        "reads it)")
        ->type_name("FILE|URL")
        ->capture_default_str();
    run->add_option("--web", station.web,
                    "serve a live dashboard of the line on this IPv4 address and TCP port")
        ->type_name("ADDR:PORT");
    run->add_option("--station", station.name, "name of this station in the run records")
        ->type_name("NAME")
        ->capture_default_str();
    long diagnostic_ms = static_cast<long>(timing.diagnostic_interval.count());
    run->add_option("--diagnostic-ms", diagnostic_ms,
                    "how often a running agent gets a diagnostic command; each one wakes the "
                    "agent for a status report (100: its full report rate)")
        ->check(CLI::Range(100L, 60000L))
        ->capture_default_str();
    add_hook_options(run, station);
    add_mqtt_options(run, station.mqtt);
    add_link_options(run, link);

    CLI::App* resume = app.add_subcommand(
        "resume",
        "Take back the runs that this station left unfinished (stopped by a signal, killed, or "
        "without power) and finish them as planned.");
    CLI::App* abort_cmd = app.add_subcommand(
        "abort",
        "Stop every device of the runs that this station left unfinished, declared failed.");
    for (CLI::App* cmd : {resume, abort_cmd}) {
        cmd->add_option("--db", station.db, DB_HELP)->type_name("FILE|URL")->capture_default_str();
        cmd->add_option("--station", station.name, "name of this station in the run records")
            ->type_name("NAME")
            ->capture_default_str();
        cmd->add_option("--bind", link.bind, "local IPv4 address of the station's socket")
            ->capture_default_str();
        cmd->add_option("--port", link.port, "UDP port of the station")->capture_default_str();
        add_interface_option(cmd, link);
        add_hook_options(cmd, station);
        add_mqtt_options(cmd, station.mqtt);
    }
    resume
        ->add_option("--web", station.web,
                     "serve a live dashboard of the line on this IPv4 address and TCP port")
        ->type_name("ADDR:PORT");

    uint32_t history_serial = 0;
    std::string history_db = "ovikstation.db";
    CLI::App* history = app.add_subcommand(
        "history", "Print the runs of one device from the database, newest first.");
    history->add_option("SERIAL", history_serial, "serial number of the device")->required();
    history->add_option("--db", history_db, DB_HELP)->type_name("FILE|URL")->capture_default_str();

    std::string serve_web;
    std::string serve_db = "ovikstation.db";
    std::string serve_station = host_name();
    CLI::App* serve = app.add_subcommand(
        "serve",
        "Serve the dashboard's device pages and the plant page (/plant: every station of the "
        "records, its yield and failures) for the run records alone, until stopped.");
    serve->add_option("--web", serve_web, "IPv4 address and TCP port to serve on")
        ->type_name("ADDR:PORT")
        ->required();
    serve->add_option("--db", serve_db, DB_HELP)->type_name("FILE|URL")->capture_default_str();
    serve->add_option("--station", serve_station, "name of this station on the pages")
        ->type_name("NAME")
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
    if (listen->parsed()) return listen_verb(listen_seconds, link, out, err);
    if (run->parsed()) {
        Timing run_timing = timing;
        run_timing.diagnostic_interval = Millis(diagnostic_ms);
        run_timing.outage_grace = millis_of(grace);
        args.discover = discover->count() > 0;
        return run_verb(args, station, run_timing, out, err);
    }
    if (resume->parsed()) return resume_verb(station, timing, out, err);
    if (abort_cmd->parsed()) return abort_verb(station, timing, out, err);
    if (history->parsed()) return history_verb(history_serial, history_db, out, err);
    if (serve->parsed()) return serve_verb(serve_web, serve_db, serve_station, out, err);
    std::fprintf(err,
                 "ovikstation: give a command, listen, run, resume, abort, history or serve; "
                 "see ovikstation --help\n");
    return EXIT_USAGE;
}

}  // namespace ovik::station
