// ovikstation run: its targets are the agents it is given or finds, in a new run of the records.
#include <array>
#include <chrono>
#include <filesystem>

#include "station/app/cli.h"
#include "station/app/commands.h"
#include "station/app/station.h"

namespace ovik::station {
namespace {

// Where the records keep a report file: a path that a later resume finds from anywhere.
std::string absolute_path(const std::string& path) {
    std::error_code ignored;
    return path.empty() ? path : std::filesystem::absolute(path, ignored).string();
}

// The run the options ask for; nullopt after saying what is wrong with them.
std::optional<RunPlan> plan_of(const RunOptions& run, std::FILE* err) {
    if (run.firmware.empty()) {
        std::fprintf(err, "ovikstation run: --firmware is empty; give na for no download\n");
        return std::nullopt;
    }
    std::array<char, wire::FWR_SIZE> fwr{};
    if (!wire::set_fwr(fwr, run.firmware)) {
        std::fprintf(err,
                     "ovikstation run: --firmware \"%s\" is %zu bytes, but the agent takes a file "
                     "name of at most %zu bytes; rename the file on the TFTP server\n",
                     run.firmware.c_str(), run.firmware.size(), wire::FWR_SIZE);
        return std::nullopt;
    }
    if (run.baud == 0 || run.baud > wire::MAX_BAUD) {
        std::fprintf(err, "ovikstation run: --baud %u: the agent takes 1 to %u\n", run.baud,
                     wire::MAX_BAUD);
        return std::nullopt;
    }
    RunPlan plan;
    plan.baud = run.baud;
    plan.firmware = run.firmware;
    plan.duration = millis_of(run.duration);
    plan.declare_fail = run.fail;
    plan.stop_all_on_fail = run.stop_all_on_fail;
    return plan;
}

// The agents the options name; nullopt after saying what is wrong with them.
std::optional<RunTargets> targets_of(const RunOptions& run, const Link& link, std::FILE* err) {
    RunTargets targets;
    targets.usual_agent_port = link.agent_port;
    if (run.discover) {
        targets.discover_for = millis_of(run.discover_seconds);
        targets.expect = run.expect;
        return targets;
    }
    const std::optional<uint32_t> address = parse_ipv4(run.agent);
    if (!address) {
        std::fprintf(err,
                     "ovikstation run: --agent %s is not an IPv4 address (like 192.168.1.20)\n",
                     run.agent.c_str());
        return std::nullopt;
    }
    targets.agents.push_back(Endpoint{*address, link.agent_port});
    return targets;
}

}  // namespace

int run_verb(const RunOptions& run, const StationOptions& options, const Timing& timing,
             std::FILE* out, std::FILE* err) {
    if (run.agent.empty() == !run.discover) {
        std::fprintf(err,
                     "ovikstation run: give --agent ADDR to run one agent, or --discover SECONDS "
                     "to run every agent that announces itself\n");
        return EXIT_USAGE;
    }
    const std::optional<RunPlan> plan = plan_of(run, err);
    if (!plan) return EXIT_USAGE;
    const std::optional<RunTargets> targets = targets_of(run, options.link, err);
    if (!targets) return EXIT_USAGE;
    // Before the run, so that a wrong path costs no burn-in time.
    if (!each_report_file("run", run.files, err,
                          [](const ReportFile& f) { return check_replaceable(f.path); })) {
        return EXIT_USAGE;
    }
    const std::unique_ptr<Station> station = Station::open("run", options, out, err);
    if (!station) return EXIT_USAGE;
    if (int status = EXIT_USAGE; !station->listen(status)) return status;

    // From the run's record on, a stop signal leaves a run that resume can take back.
    StationRun record;
    record.station = options.name;
    record.plan = *plan;
    record.started_at = static_cast<uint32_t>(std::time(nullptr));
    record.agent_port = options.link.agent_port;
    record.files = ReportFiles{absolute_path(run.files.json), absolute_path(run.files.csv),
                               absolute_path(run.files.junit)};
    std::string error;
    const std::optional<int64_t> id = station->records().begin_run(record, error);
    if (!id) {
        station->record_failed(error);
        return EXIT_USAGE;
    }
    RunJournal journal(station->records(), *id);
    char heading[160];
    const std::string local = station->socket().local().text();
    if (run.discover) {
        std::snprintf(heading, sizeof heading,
                      "listening on %s for %g s for agents to announce themselves", local.c_str(),
                      run.discover_seconds);
    } else {
        std::snprintf(heading, sizeof heading, "polling agent %s from %s",
                      targets->agents.front().text().c_str(), local.c_str());
    }
    const std::optional<std::vector<AgentReport>> reports = station->drive(
        LineInfo{options.name, "running", *plan, record.started_at}, heading, journal,
        [&](LineView& view, const LineObserver& observe, const Interrupted& interrupted) {
            return run_agents(station->socket(), *targets, *plan, timing, view, observe,
                              interrupted);
        });
    if (!reports) return EXIT_USAGE;

    const auto recording = std::chrono::steady_clock::now();
    journal.save(*reports);
    if (journal.wait(Station::RECORDS_WAIT) && !reports->empty()) {
        std::fprintf(
            out, "recorded %zu agent%s in --db %s in %.3f s\n", reports->size(),
            reports->size() == 1 ? "" : "s", run_db_name(options.db).c_str(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - recording).count());
    }
    char none[200];
    std::snprintf(none, sizeof none, "no agent announced itself within %g s: %s",
                  run.discover_seconds, NO_AGENT_HINT);
    return station->end(journal, {Station::Ending{*id, &record, *reports}},
                        recording + Station::RECORDS_WAIT, none);
}

}  // namespace ovik::station
