// The station's numbers for the plant's monitoring: GET /metrics in the Prometheus text format
// (version 0.0.4). During a run they are the line's own, taken from the dashboard's snapshot
// (so a scrape never holds up the loop); for ovikstation serve they come from the run
// records. Labels name the line (the station's name, --station), a phase, a verdict, a test
// item or a serial port, never a device.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "station/records/run_db.h"
#include "station/views/line_snapshot.h"

namespace ovik::station {

// The numbers of one or more lines, by line.
struct LineMetrics {
    using Counts = std::map<std::pair<std::string, std::string>, uint64_t>;  // (line, label)
    Counts devices;                                                          // by phase
    Counts verdicts;                                                         // by verdict_label
    Counts failing_items;  // devices with failures, by test item
    Counts failing_ports;  // by serial port
    // A run's alone:
    std::map<std::string, std::pair<uint64_t, uint64_t>> reports;  // received, lost
    std::optional<double> records_lag;                             // seconds
    std::optional<uint64_t> outbox;                                // messages
};

// What the verdicts_total metric calls a final outcome: "passed" for a pass (agent_passed),
// "download_failed" for a passed run whose download did not pass, else the verdict's name.
std::string verdict_label(Verdict verdict, DownloadResult download);

// A run's line as the snapshot holds it.
LineMetrics line_metrics(const LineInfo& info, const std::vector<LineDevice>& devices,
                         const LineGauges& gauges);
// The records' lines: counts of every device run by station, verdict and download, and the
// devices of runs that go on.
LineMetrics records_metrics(const std::vector<DeviceCount>& counts,
                            const std::vector<OpenDevice>& open);

std::string metrics_text(const LineMetrics& metrics);

}  // namespace ovik::station
