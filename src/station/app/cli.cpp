#include "station/app/cli.h"

#include <CLI/CLI.hpp>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "base/unique_fd.h"
#include "station/app/stop_signals.h"
#include "station/records/records_writer.h"
#include "station/records/run_db.h"
#include "station/records/run_journal.h"
#include "station/session/loop.h"
#include "station/views/line_snapshot.h"
#include "station/views/live_view.h"
#include "station/views/report.h"
#include "station/views/web_server.h"

namespace ovik::station {
namespace {

constexpr const char* NO_AGENT_HINT = "check the cabling and that ovikburn runs on the device";
// How often the dashboard's snapshot of the line is renewed during a run.
constexpr Millis DASHBOARD_INTERVAL{500};
// The socket's receive queue, asked for from the kernel: room for more than a second of every
// report of a thousand agents at their full rate (about 10,000 frames of some 2 KiB each in
// the kernel's accounting, which counts twice the size asked for), so that a pause of the
// loop (a commit of the records, a slow terminal) loses none.
constexpr std::size_t RECEIVE_BUFFER = std::size_t{16} << 20;
constexpr const char* DB_HELP =
    "where every run of every device is kept: an SQLite database file, or a postgresql:// URL "
    "of a database that several stations share";

// Where the station listens, and which agent port counts as the usual one.
struct Link {
    std::string bind = "0.0.0.0";
    uint16_t port = wire::PC_PORT;
    uint16_t agent_port = wire::AGENT_PORT;
    std::string interface;  // empty: every interface
};

struct RunArgs {
    std::string agent;
    double discover = 0;
    std::size_t expect = 0;  // 0: every agent found
    uint32_t baud = 115200;
    std::string firmware = "na";
    double duration = 60;
    bool fail = false;
    bool stop_all_on_fail = false;
    std::string json;
    std::string csv;
    std::string junit;
    std::string db = "ovikstation.db";
    std::string web;
    std::string station;
};

// A report file of a run: run opens it before the run, so that a wrong path costs no burn-in
// time; resume and abort open it at the end.
struct ReportFile {
    const char* option;
    std::string path;
    std::string (*render)(const std::vector<AgentReport>&);
    UniqueFile file{};
};
using ReportFileSet = std::array<ReportFile, 3>;

ReportFileSet report_files(const ReportFiles& paths) {
    return {ReportFile{"--json", paths.json, report_json},
            ReportFile{"--csv", paths.csv, report_csv},
            ReportFile{"--junit", paths.junit, report_junit}};
}

// Where the records keep a report file: a path that a later resume finds from anywhere.
std::string absolute_path(const std::string& path) {
    std::error_code ignored;
    return path.empty() ? path : std::filesystem::absolute(path, ignored).string();
}

// Opens the files that are not open yet; false, after saying why, when one cannot be.
bool open_report_files(ReportFileSet& files, const char* command, std::FILE* err) {
    for (ReportFile& f : files) {
        if (f.path.empty() || f.file) continue;
        f.file.reset(std::fopen(f.path.c_str(), "w"));
        if (!f.file) {
            std::fprintf(err, "ovikstation %s: cannot write %s %s: %s\n", command, f.option,
                         f.path.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

// Writes the reports into the open files and closes them; false when one failed.
bool write_report_files(ReportFileSet& files, const std::vector<AgentReport>& reports,
                        const char* command, std::FILE* err) {
    bool all = true;
    for (ReportFile& f : files) {
        if (!f.file) continue;
        const std::string text = f.render(reports);
        const bool written = std::fputs(text.c_str(), f.file.get()) >= 0;
        if (!written || std::fclose(f.file.release()) != 0) {
            std::fprintf(err, "ovikstation %s: cannot write %s %s: %s\n", command, f.option,
                         f.path.c_str(), std::strerror(errno));
            all = false;
        }
    }
    return all;
}

// This PC's host name: how the run records name the station unless --station says otherwise.
std::string host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

// The device's runs for the dashboard: each request reads the records afresh, on the web
// server's thread, through a connection of its own.
HistorySource history_source(const std::string& where) {
    return [where](uint32_t serial, std::string& error) -> std::optional<std::vector<RunRecord>> {
        const std::unique_ptr<RunRecords> db = RunRecords::open(where, false, error);
        if (!db) return std::nullopt;
        return db->history(serial, error);
    };
}

std::optional<WebAddress> web_address(const char* command, const std::string& text,
                                      std::FILE* err) {
    std::optional<WebAddress> address = parse_web_address(text);
    if (!address) {
        std::fprintf(err,
                     "ovikstation %s: --web %s is not ADDR:PORT with an IPv4 address (like "
                     "127.0.0.1:8080; port 0: any free port)\n",
                     command, text.c_str());
    }
    return address;
}

std::unique_ptr<WebServer> start_dashboard(const char* command, const WebAddress& address,
                                           const LineFeed& feed, const std::string& db,
                                           std::FILE* err) {
    std::string error;
    std::unique_ptr<WebServer> web = WebServer::start(address, feed, history_source(db), error);
    if (!web) {
        std::fprintf(err, "ovikstation %s: cannot serve the dashboard: %s\n", command,
                     error.c_str());
    }
    return web;
}

uint32_t wall_seconds() {
    return static_cast<uint32_t>(std::time(nullptr));
}

// text as one word of a shell command line.
std::string shell_word(const std::string& text) {
    if (!text.empty() &&
        text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789_./:@%+=,-") == std::string::npos) {
        return text;
    }
    std::string quoted = "'";
    for (const char ch : text) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

std::size_t interrupted_count(const std::vector<AgentReport>& reports) {
    return static_cast<std::size_t>(
        std::count_if(reports.begin(), reports.end(),
                      [](const AgentReport& r) { return r.verdict == Verdict::interrupted; }));
}

// The line that ends an interrupted run or resume: how to take the runs back or stop them.
void print_interrupted(std::size_t left, const std::string& db, const std::string& station,
                       std::FILE* err) {
    std::string options = " --db " + shell_word(run_db_name(db));
    if (station != host_name()) options += " --station " + shell_word(station);
    std::fprintf(err,
                 "ovikstation: interrupted; %zu run%s left running on the devices: `ovikstation "
                 "resume%s` takes %s back, `ovikstation abort%s` stops %s failed\n",
                 left, left == 1 ? "" : "s", options.c_str(), left == 1 ? "it" : "them",
                 options.c_str(), left == 1 ? "it" : "them");
}

// Sees the loop's sessions for the dashboard and the records.
LineObserver line_observer(std::optional<LinePublisher>& publisher, RunJournal& journal,
                           const StopSignals& stop, LiveView& view, const char* command,
                           const std::string& db, std::FILE* err) {
    return [&publisher, &journal, &stop, &view, command, db, err](
               const std::vector<const AgentSession*>& sessions, TimePoint now, bool final) {
        if (publisher) {
            const bool left = std::any_of(sessions.begin(), sessions.end(),
                                          [](const AgentSession* s) { return !s->done(); });
            if (final && stop.caught() != 0 && left) publisher->end_as("interrupted");
            publisher->show(sessions, now, final);
        }
        if (final) return;  // the end is written with the reports
        if (const std::optional<std::string> news = journal.observe(sessions, now)) {
            view.finish();  // a live table goes on below the line
            std::fprintf(err, "ovikstation %s: the run records in --db %s %s\n", command,
                         run_db_name(db).c_str(), news->c_str());
            std::fflush(err);
        }
    };
}

// How long a station waits at its end for the run records to be written.
constexpr Millis RECORDS_WAIT{10000};

// Opens the records to write a run, and takes in what stations before could not write.
std::unique_ptr<RunRecords> open_records(const char* command, const std::string& where,
                                         std::FILE* out, std::FILE* err) {
    std::string error;
    std::unique_ptr<RunRecords> db = RunRecords::open(where, true, error);
    if (!db) {
        std::fprintf(err, "ovikstation %s: cannot use --db %s: %s\n", command,
                     run_db_name(where).c_str(), error.c_str());
        return db;
    }
    for (const TakenIn& t : take_in_unwritten(*db)) {
        if (t.error.empty()) {
            std::fprintf(out, "took %zu unwritten run records from %s into --db %s\n", t.rows,
                         t.path.c_str(), run_db_name(where).c_str());
        } else {
            std::fprintf(err,
                         "ovikstation %s: cannot take %s into --db %s: %s; it stays for the next "
                         "ovikstation\n",
                         command, t.path.c_str(), run_db_name(where).c_str(), t.error.c_str());
        }
    }
    return db;
}

// Waits until deadline for the records; what is not written by then is kept in a file per run
// for the next station. False when some are.
bool finish_records(RunJournal& journal, TimePoint deadline, const RunRecords& db,
                    const std::map<int64_t, const StationRun*>& runs, const char* command,
                    const std::string& where, std::FILE* err) {
    journal.wait(std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now()));
    const std::string why = journal.error();
    const std::vector<Unwritten> left = journal.finish();
    for (const Unwritten& u : left) {
        const std::string path = unwritten_path(u.run, *runs.at(u.run), db.folder());
        const std::size_t rows = u.devices.size() + (u.end ? 1 : 0);
        std::string error;
        if (keep_unwritten(u, path, error)) {
            std::fprintf(err,
                         "ovikstation %s: %zu run record%s of run %lld not written to --db %s "
                         "within %lld s (%s): kept in %s, which the next ovikstation that opens "
                         "--db %s takes in\n",
                         command, rows, rows == 1 ? "" : "s", static_cast<long long>(u.run),
                         run_db_name(where).c_str(),
                         static_cast<long long>(RECORDS_WAIT.count() / 1000), why.c_str(),
                         path.c_str(), run_db_name(where).c_str());
        } else {
            std::fprintf(err,
                         "ovikstation %s: %zu run record%s of run %lld not written to --db %s "
                         "(%s), and they cannot be kept in %s: %s\n",
                         command, rows, rows == 1 ? "" : "s", static_cast<long long>(u.run),
                         run_db_name(where).c_str(), why.c_str(), path.c_str(), error.c_str());
        }
    }
    return left.empty();
}

Millis millis_of(double seconds) {
    return Millis(std::llround(seconds * 1000.0));
}

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

// status: the exit status when the socket cannot be opened.
std::optional<UdpSocket> open_socket(const Link& link, std::FILE* err, int& status) {
    status = EXIT_USAGE;
    const std::optional<uint32_t> address = parse_ipv4(link.bind);
    if (!address) {
        std::fprintf(err, "ovikstation: --bind %s is not an IPv4 address (like 0.0.0.0)\n",
                     link.bind.c_str());
        return std::nullopt;
    }
    std::string error;
    int error_number = 0;
    std::optional<UdpSocket> socket =
        UdpSocket::open(Endpoint{*address, link.port}, link.interface, error, error_number);
    if (!socket && error_number == EADDRINUSE) {
        status = EXIT_PORT_IN_USE;
        std::fprintf(err,
                     "ovikstation: port %u is in use by another program (another "
                     "ovikstation?): find it with `ss -ulpn 'sport = :%u'`; stop it, or give "
                     "each station a network interface of its own with --interface\n",
                     link.port, link.port);
        return socket;
    }
    if (!socket) {
        std::fprintf(err, "ovikstation: %s\n", error.c_str());
        return socket;
    }
    const ReceiveBuffer buffer = socket->size_receive_buffer(RECEIVE_BUFFER);
    if (!buffer.shortfall.empty()) {
        std::fprintf(err,
                     "ovikstation: the socket's receive buffer is %zu KiB, not the %zu KiB asked "
                     "for (%s): with hundreds of agents reports may be lost; run ovikstation with "
                     "CAP_NET_ADMIN, or raise net.core.rmem_max to %zu\n",
                     buffer.bytes >> 10, (2 * RECEIVE_BUFFER) >> 10, buffer.shortfall.c_str(),
                     RECEIVE_BUFFER);
    }
    return socket;
}

int listen_command(double seconds, const Link& link, std::FILE* out, std::FILE* err) {
    int socket_status = EXIT_USAGE;
    const std::optional<UdpSocket> socket = open_socket(link, err, socket_status);
    if (!socket) return socket_status;
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

int run_verb(const RunArgs& args, bool discover, const Link& link, const Timing& timing,
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
        targets.expect = args.expect;
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

    ReportFileSet files = report_files(ReportFiles{args.json, args.csv, args.junit});
    if (!open_report_files(files, "run", err)) return EXIT_USAGE;
    std::optional<WebAddress> dashboard_address;
    if (!args.web.empty()) {
        dashboard_address = web_address("run", args.web, err);
        if (!dashboard_address) return EXIT_USAGE;
    }
    const std::unique_ptr<RunRecords> db = open_records("run", args.db, out, err);
    if (!db) return EXIT_USAGE;
    int socket_status = EXIT_USAGE;
    const std::optional<UdpSocket> socket = open_socket(link, err, socket_status);
    if (!socket) return socket_status;

    // From the run's record on, a stop signal leaves a run that resume can take back.
    const StopSignals stop;
    StationRun station_run;
    station_run.station = args.station;
    station_run.plan = plan;
    station_run.started_at = wall_seconds();
    station_run.agent_port = link.agent_port;
    station_run.files =
        ReportFiles{absolute_path(args.json), absolute_path(args.csv), absolute_path(args.junit)};
    std::string error;
    const std::optional<int64_t> run_id = db->begin_run(station_run, error);
    if (!run_id) {
        std::fprintf(err, "ovikstation run: cannot record the run in --db %s: %s\n",
                     run_db_name(args.db).c_str(), error.c_str());
        return EXIT_USAGE;
    }
    const LineInfo line{args.station, "running", plan, station_run.started_at};
    LineFeed feed(line_json(line, {}));
    std::unique_ptr<WebServer> web;
    std::optional<LinePublisher> publisher;
    if (dashboard_address) {
        web = start_dashboard("run", *dashboard_address, feed, args.db, err);
        if (!web) return EXIT_USAGE;
        std::fprintf(out, "dashboard on http://%s:%u/\n", dashboard_address->host.c_str(),
                     web->port());
        publisher.emplace(feed, line, DASHBOARD_INTERVAL);
    }

    if (discover) {
        std::fprintf(out, "listening on %s for %g s for agents to announce themselves\n",
                     socket->local().text().c_str(), args.discover);
    } else {
        std::fprintf(out, "polling agent %s from %s\n", targets.agents.front().text().c_str(),
                     socket->local().text().c_str());
    }
    LiveView view = LiveView::for_stream(out);
    RunJournal journal(*db, *run_id);
    const std::vector<AgentReport> reports =
        run_agents(*socket, targets, plan, timing, view,
                   line_observer(publisher, journal, stop, view, "run", args.db, err),
                   [&stop] { return stop.caught() != 0; });
    // Open pages get the last snapshot, the one with the verdicts.
    feed.close();
    web.reset();

    int status = exit_status(reports);
    const auto recording = std::chrono::steady_clock::now();
    const TimePoint records_deadline = recording + RECORDS_WAIT;
    journal.save(reports);
    if (journal.wait(RECORDS_WAIT) && !reports.empty()) {
        std::fprintf(
            out, "recorded %zu agent%s in --db %s in %.3f s\n", reports.size(),
            reports.size() == 1 ? "" : "s", run_db_name(args.db).c_str(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - recording).count());
    }
    const std::map<int64_t, const StationRun*> runs{{*run_id, &station_run}};
    const std::size_t left = interrupted_count(reports);
    if (left > 0) {
        journal.end_run(*run_id, StationRunState::interrupted, 0);
        const bool recorded =
            finish_records(journal, records_deadline, *db, runs, "run", args.db, err);
        print_interrupted(left, args.db, args.station, err);
        return recorded ? 128 + stop.caught() : EXIT_RECORDS_KEPT;
    }
    if (reports.empty()) {
        std::fprintf(err, "no agent announced itself within %g s: %s\n", args.discover,
                     NO_AGENT_HINT);
    } else {
        std::fprintf(out, "\n%s%s", verdict_table(reports).c_str(),
                     reports_summary(reports).c_str());
    }
    if (!write_report_files(files, reports, "run", err) && status == EXIT_ALL_PASSED) {
        status = EXIT_NOT_ALL_PASSED;
    }
    journal.end_run(*run_id, StationRunState::finished, wall_seconds());
    if (!finish_records(journal, records_deadline, *db, runs, "run", args.db, err)) {
        return EXIT_RECORDS_KEPT;
    }
    return stop.caught() != 0 ? 128 + stop.caught() : status;
}

// The runs of this station that no station finished, as resume and abort take them back.
struct TakeBack {
    std::vector<StoredRun> runs;
    std::vector<AdoptTarget> targets;
    std::vector<StoredDevice*> rows;  // of the targets, in runs
    std::map<std::size_t, std::string> stopping;
};

// Claims the runs; returns the exit status when there is nothing to take back.
std::optional<int> claim_runs(const char* command, RunRecords& db, const std::string& where,
                              const std::string& station, TakeBack& back, std::FILE* err) {
    std::string error;
    const std::optional<std::vector<int64_t>> ids = db.unfinished_runs(station, error);
    if (!ids) {
        std::fprintf(err, "ovikstation %s: cannot read --db %s: %s\n", command,
                     run_db_name(where).c_str(), error.c_str());
        return EXIT_USAGE;
    }
    std::size_t held = 0;
    for (const int64_t id : *ids) {
        const Claim claim = db.claim(id, error);
        std::optional<StoredRun> run;
        if (claim == Claim::taken) run = db.load_run(id, error);
        if (claim == Claim::held) {
            ++held;
            std::fprintf(err,
                         "ovikstation %s: run %lld of station %s is held by an ovikstation that "
                         "is still running; it is left to it\n",
                         command, static_cast<long long>(id), station.c_str());
            continue;
        }
        if (!run) {
            std::fprintf(err, "ovikstation %s: cannot take run %lld from --db %s: %s\n", command,
                         static_cast<long long>(id), run_db_name(where).c_str(), error.c_str());
            return EXIT_USAGE;
        }
        // Finished meanwhile by another resume.
        if (run->run.state != StationRunState::finished) back.runs.push_back(std::move(*run));
    }
    if (back.runs.empty()) {
        if (held == 0) {
            std::fprintf(err, "ovikstation %s: no unfinished run of station %s in %s\n", command,
                         station.c_str(), run_db_name(where).c_str());
        }
        return held == 0 ? EXIT_NO_RUNS : EXIT_USAGE;
    }
    return std::nullopt;
}

// The agents of the claimed runs whose runs are not finished; each device once, with the newest
// run that has it.
void gather_targets(TakeBack& back, bool abort) {
    std::map<Endpoint, std::size_t> taken;
    for (std::size_t g = 0; g < back.runs.size(); ++g) {
        const StationRun& run = back.runs[g].run;
        for (StoredDevice& d : back.runs[g].devices) {
            AgentReport& r = d.report;
            if (r.verdict != Verdict::pending && r.verdict != Verdict::interrupted) {
                if (run.plan.stop_all_on_fail && back.stopping.count(g) == 0 && r.started_at &&
                    r.record && shows_failure(*r.record)) {
                    back.stopping[g] = failure_text(*r.record, r.address);
                }
                continue;
            }
            const std::optional<Endpoint> agent = parse_agent_label(r.address, run.agent_port);
            if (!agent) {
                r.verdict = Verdict::lost;
                r.reason = "the records name no agent address (" + r.address + ")";
                continue;
            }
            AdoptTarget target{*agent, r.address, run.plan, g,
                               Adoption{r.record, r.started_at, abort}};
            const auto [it, added] = taken.try_emplace(*agent, back.targets.size());
            if (added) {
                back.targets.push_back(std::move(target));
                back.rows.push_back(&d);
                continue;
            }
            StoredDevice& older = *back.rows[it->second];
            older.report.verdict = Verdict::lost;
            older.report.reason = "the device went on to a later run of this station";
            back.targets[it->second] = std::move(target);
            back.rows[it->second] = &d;
        }
    }
}

struct TakeBackArgs {
    std::string db = "ovikstation.db";
    std::string station;
    std::string web;
};

// resume: finishes the runs as planned; abort: stops them declared failed.
int take_back_command(const char* command, bool abort, const TakeBackArgs& args, const Link& link,
                      const Timing& timing, std::FILE* out, std::FILE* err) {
    std::optional<WebAddress> dashboard_address;
    if (!args.web.empty()) {
        dashboard_address = web_address(command, args.web, err);
        if (!dashboard_address) return EXIT_USAGE;
    }
    const std::unique_ptr<RunRecords> db = open_records(command, args.db, out, err);
    if (!db) return EXIT_USAGE;
    // From the claims on, a stop signal leaves the runs as they are, for the next resume.
    const StopSignals stop;
    TakeBack back;
    if (const std::optional<int> nothing =
            claim_runs(command, *db, args.db, args.station, back, err)) {
        return *nothing;
    }
    int socket_status = EXIT_USAGE;
    const std::optional<UdpSocket> socket = open_socket(link, err, socket_status);
    if (!socket) return socket_status;
    gather_targets(back, abort);

    RunJournal journal(*db, 0);
    for (const StoredDevice* row : back.rows) journal.expect(*row);
    const StationRun& first = back.runs.front().run;
    const LineInfo line{args.station, "running", first.plan, first.started_at};
    LineFeed feed(line_json(line, {}));
    std::unique_ptr<WebServer> web;
    std::optional<LinePublisher> publisher;
    if (dashboard_address) {
        web = start_dashboard(command, *dashboard_address, feed, args.db, err);
        if (!web) return EXIT_USAGE;
        std::fprintf(out, "dashboard on http://%s:%u/\n", dashboard_address->host.c_str(),
                     web->port());
        publisher.emplace(feed, line, DASHBOARD_INTERVAL);
    }
    std::fprintf(out, "%s %zu agent%s of %zu run%s of station %s from %s\n",
                 abort ? "aborting" : "taking back", back.targets.size(),
                 back.targets.size() == 1 ? "" : "s", back.runs.size(),
                 back.runs.size() == 1 ? "" : "s", args.station.c_str(),
                 socket->local().text().c_str());
    LiveView view = LiveView::for_stream(out);
    const std::vector<AgentReport> reports =
        adopt_agents(*socket, back.targets, back.stopping, timing, view,
                     line_observer(publisher, journal, stop, view, command, args.db, err),
                     [&stop] { return stop.caught() != 0; });
    feed.close();
    web.reset();

    int status = EXIT_ALL_PASSED;
    const TimePoint records_deadline = std::chrono::steady_clock::now() + RECORDS_WAIT;
    for (std::size_t i = 0; i < reports.size(); ++i) back.rows[i]->report = reports[i];
    const std::size_t left = interrupted_count(reports);
    std::vector<AgentReport> all;
    std::map<int64_t, const StationRun*> runs;
    for (StoredRun& run : back.runs) {
        runs[run.id] = &run.run;
        std::vector<StoredDevice*> rows;
        std::vector<AgentReport> run_reports;
        for (StoredDevice& d : run.devices) {
            rows.push_back(&d);
            run_reports.push_back(d.report);
        }
        // With the rows that no session wrote: agents the records could not name, or that
        // went on.
        journal.save(rows);
        if (left > 0) {
            journal.end_run(run.id, StationRunState::interrupted, 0);
            continue;
        }
        ReportFileSet files = report_files(run.run.files);
        if (!open_report_files(files, command, err) ||
            !write_report_files(files, run_reports, command, err)) {
            status = EXIT_NOT_ALL_PASSED;
        }
        journal.end_run(run.id, StationRunState::finished, wall_seconds());
        all.insert(all.end(), run_reports.begin(), run_reports.end());
    }
    const bool recorded =
        finish_records(journal, records_deadline, *db, runs, command, args.db, err);
    if (left > 0) {
        print_interrupted(left, args.db, args.station, err);
        return recorded ? 128 + stop.caught() : EXIT_RECORDS_KEPT;
    }
    std::fprintf(out, "\n%s", verdict_table(all).c_str());
    if (!recorded) return EXIT_RECORDS_KEPT;
    if (status == EXIT_ALL_PASSED) status = exit_status(all);
    return stop.caught() != 0 ? 128 + stop.caught() : status;
}

int history_command(uint32_t serial, const std::string& where, std::FILE* out, std::FILE* err) {
    std::string error;
    const std::unique_ptr<RunRecords> db = RunRecords::open(where, false, error);
    std::optional<std::vector<RunRecord>> runs;
    if (db) runs = db->history(serial, error);
    const std::string name = run_db_name(where);
    if (!runs) {
        std::fprintf(err, "ovikstation history: cannot read --db %s: %s\n", name.c_str(),
                     error.c_str());
        return EXIT_USAGE;
    }
    if (runs->empty()) {
        std::fprintf(err, "ovikstation history: no run of serial %u in %s\n", serial, name.c_str());
        return EXIT_NO_RUNS;
    }
    std::fprintf(out, "serial %u: %zu run%s in %s, newest first\n", serial, runs->size(),
                 runs->size() == 1 ? "" : "s", name.c_str());
    std::fputs(history_table(*runs).c_str(), out);
    return EXIT_ALL_PASSED;
}

// Serves the dashboard for the records alone until SIGINT or SIGTERM.
int serve_command(const std::string& web_text, const std::string& where, const std::string& station,
                  std::FILE* out, std::FILE* err) {
    const std::optional<WebAddress> address = web_address("serve", web_text, err);
    if (!address) return EXIT_USAGE;
    std::string error;
    if (!RunRecords::open(where, false, error)) {
        std::fprintf(err, "ovikstation serve: cannot read --db %s: %s\n",
                     run_db_name(where).c_str(), error.c_str());
        return EXIT_USAGE;
    }
    // Blocked before the server's threads start, so they inherit the mask and the signal
    // comes to sigwait below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);

    LineFeed feed(line_json(LineInfo{station, "records", std::nullopt, 0}, {}));
    std::unique_ptr<WebServer> web = start_dashboard("serve", *address, feed, where, err);
    int status = EXIT_USAGE;
    if (web) {
        std::fprintf(out, "serving the records of %s on http://%s:%u/\n",
                     run_db_name(where).c_str(), address->host.c_str(), web->port());
        std::fflush(out);
        int received = 0;
        sigwait(&stop_signals, &received);
        feed.close();
        web.reset();
        status = EXIT_ALL_PASSED;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return status;
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
    run->add_option("--json", args.json, "write the agents' final records to this file")
        ->type_name("FILE");
    run->add_option("--csv", args.csv, "write a CSV line per agent, after a header, to this file")
        ->type_name("FILE");
    run->add_option("--junit", args.junit,
                    "write a JUnit XML report to this file: a test suite per agent")
        ->type_name("FILE");
    run->add_option("--db", args.db,
                    std::string(DB_HELP) +
                        " (a missing file or missing tables are created; ovikstation history "
                        "reads it)")
        ->type_name("FILE|URL")
        ->capture_default_str();
    run->add_option("--web", args.web,
                    "serve a live dashboard of the line on this IPv4 address and TCP port")
        ->type_name("ADDR:PORT");
    args.station = host_name();
    run->add_option("--station", args.station, "name of this station in the run records")
        ->type_name("NAME")
        ->capture_default_str();
    long diagnostic_ms = static_cast<long>(timing.diagnostic_interval.count());
    run->add_option("--diagnostic-ms", diagnostic_ms,
                    "how often a running agent gets a diagnostic command; each one wakes the "
                    "agent for a status report (100: its full report rate)")
        ->check(CLI::Range(100L, 60000L))
        ->capture_default_str();
    add_link_options(run, link);

    TakeBackArgs resume_args;
    resume_args.station = host_name();
    CLI::App* resume = app.add_subcommand(
        "resume",
        "Take back the runs that this station left unfinished (stopped by a signal, killed, or "
        "without power) and finish them as planned.");
    TakeBackArgs abort_args = resume_args;
    CLI::App* abort_cmd = app.add_subcommand(
        "abort",
        "Stop every device of the runs that this station left unfinished, declared failed.");
    for (auto [cmd, a] : {std::pair{resume, &resume_args}, std::pair{abort_cmd, &abort_args}}) {
        cmd->add_option("--db", a->db, DB_HELP)->type_name("FILE|URL")->capture_default_str();
        cmd->add_option("--station", a->station, "name of this station in the run records")
            ->type_name("NAME")
            ->capture_default_str();
        cmd->add_option("--bind", link.bind, "local IPv4 address of the station's socket")
            ->capture_default_str();
        cmd->add_option("--port", link.port, "UDP port of the station")->capture_default_str();
        add_interface_option(cmd, link);
    }
    resume
        ->add_option("--web", resume_args.web,
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
        "serve", "Serve the dashboard's device pages for the run records alone, until stopped.");
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
    if (listen->parsed()) return listen_command(listen_seconds, link, out, err);
    if (run->parsed()) {
        Timing run_timing = timing;
        run_timing.diagnostic_interval = Millis(diagnostic_ms);
        run_timing.outage_grace = millis_of(grace);
        return run_verb(args, discover->count() > 0, link, run_timing, out, err);
    }
    if (resume->parsed()) {
        return take_back_command("resume", false, resume_args, link, timing, out, err);
    }
    if (abort_cmd->parsed()) {
        return take_back_command("abort", true, abort_args, link, timing, out, err);
    }
    if (history->parsed()) return history_command(history_serial, history_db, out, err);
    if (serve->parsed()) return serve_command(serve_web, serve_db, serve_station, out, err);
    std::fprintf(err,
                 "ovikstation: give a command, listen, run, resume, abort, history or serve; "
                 "see ovikstation --help\n");
    return EXIT_USAGE;
}

}  // namespace ovik::station
