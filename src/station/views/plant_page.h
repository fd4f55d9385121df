// The plant page's data: what plant_queries.h reads from the records of every station, as the
// JSON that web/plant.js draws its charts from. One chart a request, so each is as fast as
// its own query:
//
//   GET /api/plant/live                  each station's newest run, device by device
//   GET /api/plant/yield?period=P        first-pass yield per station and station run
//   GET /api/plant/pareto?period=P       failing test items and serial ports, most first
//   GET /api/plant/retest?period=P       devices that failed and passed a later run
//
// P is day, week or month (30 days), up to now.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "station/records/plant_queries.h"
#include "station/records/run_db.h"

namespace ovik::station {

// Whether the page has a chart of this name.
bool plant_chart_known(std::string_view chart);
// The chart's JSON; nullopt, with why, when the records cannot be read.
std::optional<std::string> plant_json(RunRecords& db, std::string_view chart,
                                      const PlantPeriod& period, std::string& error);

}  // namespace ovik::station
