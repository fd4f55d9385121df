// The plant's view of the run records, which every station of a plant writes into one
// database: each station's newest run as it goes on, and over a period the first-pass yield
// per station and per station run, which test items and serial ports fail most, and how many
// devices that failed passed a later run (retested). The queries read through RunRecords and
// lean on the indexes of the schema's last step (run_db.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/records/run_db.h"

namespace ovik::station {

namespace records {
// passes() in SQL over a row of device_runs: a run that passed, with its download done when
// one was asked for.
inline constexpr const char* PASSED =
    "(verdict = 'passed' AND download IN ('not requested', 'done'))";
inline constexpr const char* NOT_PASSED =
    "NOT (verdict = 'passed' AND download IN ('not requested', 'done'))";
// A device run that is over: its row holds its verdict for good.
inline constexpr const char* ENDED = "verdict NOT IN ('running', 'interrupted')";
}  // namespace records

// The device runs that ended in [since, until), PC clock.
struct PlantPeriod {
    uint32_t since = 0;
    uint32_t until = 0;
};
// "day", "week" or "month" (30 days) up to now; nullopt for any other name.
std::optional<PlantPeriod> plant_period(std::string_view name, uint32_t now);

struct YieldRow {
    std::string station;
    int64_t run = 0;          // the station run; 0 in a station's total
    uint32_t started_at = 0;  // of the station run
    int64_t devices = 0;      // device runs that ended in the period
    int64_t passed = 0;       // of those, passed the first time round
};
struct PlantYield {
    std::vector<YieldRow> stations;  // by name
    std::vector<YieldRow> runs;      // newest first
};

// A bar of a Pareto chart: how many device runs failed the item or the port.
struct ParetoBar {
    std::string name;
    int64_t failures = 0;
};
struct PlantPareto {
    std::vector<ParetoBar> items;  // most failures first, then by name
    std::vector<ParetoBar> ports;  // by port number as its name
    int64_t failed_runs = 0;       // device runs with a failing item or port
};

// Devices by serial number: those with a run that ended in the period, those of them with a
// run that did not pass, and those of these that passed a later run.
struct PlantRetest {
    int64_t devices = 0;
    int64_t failed = 0;
    int64_t retested = 0;
};

// A device of a station's newest run, as its row stands (a running one's is at most a few
// seconds old, run_journal.h).
struct LiveDevice {
    std::optional<uint32_t> serial;
    std::string address;
    std::string verdict;
    bool passed = false;
    std::string failed_items;
    std::string failed_ports;
    std::optional<uint32_t> cycles;
};
struct LiveRun {
    int64_t id = 0;
    std::string station;
    // running, interrupted, finished; unattended: recorded running, but no live station
    // drives it (its station was killed; resume or abort takes it back)
    std::string state;
    uint32_t started_at = 0;
    uint32_t ended_at = 0;
    std::vector<LiveDevice> devices;  // in the order they were found
};

std::optional<PlantYield> plant_yield(RunRecords& db, PlantPeriod period, std::string& error);
std::optional<PlantPareto> plant_pareto(RunRecords& db, PlantPeriod period, std::string& error);
std::optional<PlantRetest> plant_retest(RunRecords& db, PlantPeriod period, std::string& error);
// Each station's newest run, by station name.
std::optional<std::vector<LiveRun>> plant_live(RunRecords& db, std::string& error);

// Adds one to the bar of each name in a failed-items or failed-ports text ("COM:3 LAN:1").
void count_failures(std::string_view text, std::vector<ParetoBar>& bars);

}  // namespace ovik::station
