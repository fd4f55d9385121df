#include "station/records/plant_queries.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace ovik::station {
namespace {

constexpr uint32_t DAY = 24 * 3600;
// A page shows at most this many devices of the stations' newest runs.
constexpr int LIVE_DEVICES = 4000;

std::vector<records::Value> bounds(PlantPeriod period) {
    return {int64_t{period.since}, int64_t{period.until}};
}

std::optional<uint32_t> number_of(const records::Rows::Row& row, int column) {
    const std::optional<int64_t> value = row.number(column);
    if (!value) return std::nullopt;
    return static_cast<uint32_t>(*value);
}

// Port names sort by number, so port 10 follows port 9.
int64_t port_number(const std::string& name) {
    int64_t n = 0;
    std::from_chars(name.data(), name.data() + name.size(), n);
    return n;
}

}  // namespace

std::optional<PlantPeriod> plant_period(std::string_view name, uint32_t now) {
    const std::pair<std::string_view, uint32_t> spans[] = {
        {"day", DAY}, {"week", 7 * DAY}, {"month", 30 * DAY}};
    for (const auto& [span_name, span] : spans) {
        if (name == span_name) return PlantPeriod{now > span ? now - span : 0, now + 1};
    }
    return std::nullopt;
}

void count_failures(std::string_view text, std::vector<ParetoBar>& bars) {
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view entry = text.substr(0, space);
        text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        const std::size_t colon = entry.rfind(':');
        if (entry.empty() || colon == 0) continue;
        const std::string name(entry.substr(0, colon));
        auto bar = std::find_if(bars.begin(), bars.end(),
                                [&name](const ParetoBar& b) { return b.name == name; });
        if (bar == bars.end()) bar = bars.insert(bars.end(), ParetoBar{name, 0});
        ++bar->failures;
    }
}

std::optional<PlantYield> plant_yield(RunRecords& db, PlantPeriod period, std::string& error) {
    // Counted per station run over the covering index, then named.
    const std::string sql =
        std::string(
            "SELECT s.station, s.id, s.started_at, d.devices, d.passed FROM "
            "(SELECT station_run, count(*) AS devices, sum(CASE WHEN ") +
        records::PASSED +
        " THEN 1 ELSE 0 END) AS passed FROM device_runs WHERE ended_at >= $1 AND ended_at < $2 "
        "AND " +
        records::ENDED +
        " GROUP BY station_run) d JOIN station_runs s ON s.id = d.station_run "
        "ORDER BY s.started_at DESC, s.id DESC";
    const std::vector<records::Value> params = bounds(period);
    const std::optional<records::Rows> r = db.read(sql, params, error);
    if (!r) return std::nullopt;
    PlantYield y;
    std::map<std::string, YieldRow> stations;
    for (std::size_t i = 0; i < r->size(); ++i) {
        const records::Rows::Row row = (*r)[i];
        YieldRow run{row.text(0), row.number(1).value_or(0), number_of(row, 2).value_or(0),
                     row.number(3).value_or(0), row.number(4).value_or(0)};
        YieldRow& total = stations[run.station];
        total.station = run.station;
        total.devices += run.devices;
        total.passed += run.passed;
        y.runs.push_back(std::move(run));
    }
    for (auto& [name, total] : stations) y.stations.push_back(std::move(total));
    return y;
}

std::optional<PlantPareto> plant_pareto(RunRecords& db, PlantPeriod period, std::string& error) {
    // The runs that did not pass, from their partial index; few beside all.
    const std::string sql =
        std::string("SELECT failed_items, failed_ports FROM device_runs WHERE ") +
        records::NOT_PASSED +
        " AND ended_at >= $1 AND ended_at < $2 AND (failed_items <> '' OR failed_ports <> '')";
    const std::vector<records::Value> params = bounds(period);
    const std::optional<records::Rows> r = db.read(sql, params, error);
    if (!r) return std::nullopt;
    PlantPareto p;
    p.failed_runs = static_cast<int64_t>(r->size());
    for (std::size_t i = 0; i < r->size(); ++i) {
        count_failures((*r)[i].text(0), p.items);
        count_failures((*r)[i].text(1), p.ports);
    }
    std::sort(p.items.begin(), p.items.end(), [](const ParetoBar& a, const ParetoBar& b) {
        return a.failures != b.failures ? a.failures > b.failures : a.name < b.name;
    });
    std::sort(p.ports.begin(), p.ports.end(), [](const ParetoBar& a, const ParetoBar& b) {
        return a.failures != b.failures ? a.failures > b.failures
                                        : port_number(a.name) < port_number(b.name);
    });
    return p;
}

std::optional<PlantRetest> plant_retest(RunRecords& db, PlantPeriod period, std::string& error) {
    const std::vector<records::Value> params = bounds(period);
    const std::optional<records::Rows> all = db.read(
        std::string("SELECT count(DISTINCT serial) FROM device_runs WHERE ended_at >= $1 AND "
                    "ended_at < $2 AND ") +
            records::ENDED,
        params, error);
    if (!all) return std::nullopt;
    // A later pass may end after the period: the device was retested all the same. In the
    // inner query the columns are p's, in the outer one f's.
    const std::optional<records::Rows> failed = db.read(
        std::string("SELECT count(DISTINCT serial), count(DISTINCT CASE WHEN EXISTS (SELECT 1 "
                    "FROM device_runs p WHERE p.serial = f.serial AND p.ended_at > f.ended_at "
                    "AND ") +
            records::PASSED + ") THEN serial END) FROM device_runs f WHERE " + records::NOT_PASSED +
            " AND ended_at >= $1 AND ended_at < $2 AND " + records::ENDED,
        params, error);
    if (!failed) return std::nullopt;
    return PlantRetest{(*all)[0].number(0).value_or(0), (*failed)[0].number(0).value_or(0),
                       (*failed)[0].number(1).value_or(0)};
}

std::optional<std::vector<LiveRun>> plant_live(RunRecords& db, std::string& error) {
    constexpr const char* NEWEST = "SELECT max(id) FROM station_runs GROUP BY station";
    const std::optional<records::Rows> runs =
        db.read(std::string("SELECT id, station, state, started_at, ended_at FROM station_runs "
                            "WHERE id IN (") +
                    NEWEST + ") ORDER BY station",
                {}, error);
    if (!runs) return std::nullopt;
    const records::Value limit[] = {int64_t{LIVE_DEVICES}};
    const std::optional<records::Rows> devices =
        db.read(std::string("SELECT station_run, serial, address, verdict, ") + records::PASSED +
                    ", failed_items, failed_ports, cycles FROM device_runs WHERE station_run IN (" +
                    NEWEST + ") ORDER BY station_run, id LIMIT $1",
                limit, error);
    if (!devices) return std::nullopt;
    std::vector<LiveRun> live;
    std::map<int64_t, std::size_t> by_id;
    for (std::size_t i = 0; i < runs->size(); ++i) {
        const records::Rows::Row row = (*runs)[i];
        const int64_t id = row.number(0).value_or(0);
        std::string state = row.text(2);
        if (state == "running") {
            // A station killed outright leaves its run "running", but not its lock.
            const std::optional<bool> held = db.run_held(id, error);
            if (!held) return std::nullopt;
            if (!*held) state = "unattended";
        }
        by_id[id] = live.size();
        live.push_back(LiveRun{id,
                               row.text(1),
                               std::move(state),
                               number_of(row, 3).value_or(0),
                               number_of(row, 4).value_or(0),
                               {}});
    }
    for (std::size_t i = 0; i < devices->size(); ++i) {
        const records::Rows::Row row = (*devices)[i];
        const auto run = by_id.find(row.number(0).value_or(0));
        if (run == by_id.end()) continue;
        const std::string passed = row.text(4);
        live[run->second].devices.push_back(LiveDevice{number_of(row, 1), row.text(2), row.text(3),
                                                       passed == "1" || passed == "t", row.text(5),
                                                       row.text(6), number_of(row, 7)});
    }
    return live;
}

}  // namespace ovik::station
