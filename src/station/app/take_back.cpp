// The runs of a station that no station finished, taken back by resume and abort.
#include "station/app/take_back.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "station/app/cli.h"
#include "station/app/station.h"

namespace ovik::station {
namespace {

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

}  // namespace

int take_back(const char* command, bool abort, const StationOptions& options, const Timing& timing,
              std::FILE* out, std::FILE* err) {
    const std::unique_ptr<Station> station = Station::open(command, options, out, err);
    if (!station) return EXIT_USAGE;
    // From the claims on, a stop signal leaves the runs as they are, for the next resume.
    TakeBack back;
    if (const std::optional<int> nothing =
            claim_runs(command, station->records(), options.db, options.name, back, err)) {
        return *nothing;
    }
    if (int status = EXIT_USAGE; !station->listen(status)) return status;
    gather_targets(back, abort);

    RunJournal journal(station->records(), 0);
    for (const StoredDevice* row : back.rows) journal.expect(*row);
    const StationRun& first = back.runs.front().run;
    char heading[200];
    std::snprintf(heading, sizeof heading, "%s %zu agent%s of %zu run%s of station %s from %s",
                  abort ? "aborting" : "taking back", back.targets.size(),
                  back.targets.size() == 1 ? "" : "s", back.runs.size(),
                  back.runs.size() == 1 ? "" : "s", options.name.c_str(),
                  station->socket().local().text().c_str());
    const std::optional<std::vector<AgentReport>> reports = station->drive(
        LineInfo{options.name, "running", first.plan, first.started_at}, heading, journal,
        [&](LineView& view, const LineObserver& observe, const Interrupted& interrupted) {
            return adopt_agents(station->socket(), back.targets, back.stopping, timing, view,
                                observe, interrupted);
        });
    if (!reports) return EXIT_USAGE;

    const TimePoint records_deadline = std::chrono::steady_clock::now() + Station::RECORDS_WAIT;
    for (std::size_t i = 0; i < reports->size(); ++i) back.rows[i]->report = (*reports)[i];
    std::vector<Station::Ending> endings;
    for (StoredRun& run : back.runs) {
        std::vector<StoredDevice*> rows;
        Station::Ending ending{run.id, &run.run, {}};
        for (StoredDevice& d : run.devices) {
            rows.push_back(&d);
            ending.reports.push_back(d.report);
        }
        // With the rows that no session wrote: agents the records could not name, or that
        // went on.
        journal.save(rows);
        endings.push_back(std::move(ending));
    }
    return station->end(journal, endings, records_deadline);
}

}  // namespace ovik::station
