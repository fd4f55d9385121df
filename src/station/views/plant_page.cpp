#include "station/views/plant_page.h"

#include <algorithm>

#include "station/records/json.h"
#include "station/views/report.h"

namespace ovik::station {
namespace {

constexpr std::string_view CHARTS[] = {"live", "yield", "pareto", "retest"};
// The station runs that the yield lists, newest first.
constexpr std::size_t YIELD_RUNS = 40;

Json time_or_null(uint32_t seconds) {
    return seconds != 0 ? Json(local_time_text(seconds)) : Json(nullptr);
}

Json yield_json(const YieldRow& row) {
    Json j{{"station", utf8_of_latin1(row.station)}};
    if (row.run != 0) {
        j["run"] = row.run;
        j["started"] = time_or_null(row.started_at);
    }
    j["devices"] = row.devices;
    j["passed"] = row.passed;
    return j;
}

Json bars_json(const std::vector<ParetoBar>& bars) {
    Json list = Json::array();
    for (const ParetoBar& b : bars) {
        list.push_back({{"name", utf8_of_latin1(b.name)}, {"failures", b.failures}});
    }
    return list;
}

std::optional<Json> chart_json(RunRecords& db, std::string_view chart, const PlantPeriod& period,
                               std::string& error) {
    if (chart == "yield") {
        const std::optional<PlantYield> y = plant_yield(db, period, error);
        if (!y) return std::nullopt;
        Json stations = Json::array();
        for (const YieldRow& row : y->stations) stations.push_back(yield_json(row));
        Json runs = Json::array();
        for (std::size_t i = 0; i < std::min(y->runs.size(), YIELD_RUNS); ++i) {
            runs.push_back(yield_json(y->runs[i]));
        }
        return Json{{"stations", std::move(stations)}, {"runs", std::move(runs)}};
    }
    if (chart == "pareto") {
        const std::optional<PlantPareto> p = plant_pareto(db, period, error);
        if (!p) return std::nullopt;
        return Json{{"failed_runs", p->failed_runs},
                    {"items", bars_json(p->items)},
                    {"ports", bars_json(p->ports)}};
    }
    if (chart == "retest") {
        const std::optional<PlantRetest> r = plant_retest(db, period, error);
        if (!r) return std::nullopt;
        return Json{{"devices", r->devices}, {"failed", r->failed}, {"retested", r->retested}};
    }
    const std::optional<std::vector<LiveRun>> live = plant_live(db, error);
    if (!live) return std::nullopt;
    Json stations = Json::array();
    for (const LiveRun& run : *live) {
        Json devices = Json::array();
        for (const LiveDevice& d : run.devices) {
            devices.push_back({{"serial", d.serial ? Json(*d.serial) : Json(nullptr)},
                               {"address", utf8_of_latin1(d.address)},
                               {"verdict", utf8_of_latin1(d.verdict)},
                               {"passed", d.passed},
                               {"failed_items", utf8_of_latin1(d.failed_items)},
                               {"failed_ports", utf8_of_latin1(d.failed_ports)},
                               {"cycles", d.cycles ? Json(*d.cycles) : Json(nullptr)}});
        }
        stations.push_back({{"station", utf8_of_latin1(run.station)},
                            {"run", run.id},
                            {"state", utf8_of_latin1(run.state)},
                            {"started", time_or_null(run.started_at)},
                            {"ended", time_or_null(run.ended_at)},
                            {"devices", std::move(devices)}});
    }
    return Json{{"stations", std::move(stations)}};
}

}  // namespace

bool plant_chart_known(std::string_view chart) {
    return std::find(std::begin(CHARTS), std::end(CHARTS), chart) != std::end(CHARTS);
}

std::optional<std::string> plant_json(RunRecords& db, std::string_view chart,
                                      const PlantPeriod& period, std::string& error) {
    const std::optional<int> version = db.schema_version(error);
    if (!version) return std::nullopt;
    if (*version == 1) {
        error = "the records were written by an older ovikstation: record a run into them once";
        return std::nullopt;
    }
    Json answer{{"since", period.since}, {"until", period.until}};
    if (*version == 0) return json_line(answer);  // no run was ever written to them
    std::optional<Json> data = chart_json(db, chart, period, error);
    if (!data) return std::nullopt;
    answer.update(*data);
    return json_line(answer);
}

}  // namespace ovik::station
