// The run records' totals, for the station's metrics.
#include "station/records/run_db.h"

namespace ovik::station {

std::optional<std::vector<DeviceCount>> RunRecords::device_counts(std::string& error) {
    const std::optional<records::Rows> rows = c_->query(
        "SELECT s.station, d.verdict, d.download, COUNT(*) FROM device_runs d "
        "JOIN station_runs s ON s.id = d.station_run "
        "GROUP BY s.station, d.verdict, d.download",
        {}, error);
    if (!rows) return std::nullopt;
    std::vector<DeviceCount> counts;
    for (std::size_t i = 0; i < rows->size(); ++i) {
        const records::Rows::Row row = (*rows)[i];
        counts.push_back(DeviceCount{row.text(0), row.text(1), row.text(2),
                                     static_cast<uint64_t>(row.number(3).value_or(0))});
    }
    return counts;
}

std::optional<std::vector<OpenDevice>> RunRecords::open_devices(std::size_t limit,
                                                                std::string& error) {
    const records::Value params[] = {static_cast<int64_t>(limit)};
    const std::optional<records::Rows> rows = c_->query(
        "SELECT s.station, d.failed_items, d.failed_ports FROM station_runs s "
        "JOIN device_runs d ON d.station_run = s.id WHERE s.state = 'running' "
        "AND d.verdict = 'running' LIMIT $1",
        params, error);
    if (!rows) return std::nullopt;
    std::vector<OpenDevice> devices;
    for (std::size_t i = 0; i < rows->size(); ++i) {
        const records::Rows::Row row = (*rows)[i];
        devices.push_back(OpenDevice{row.text(0), row.text(1), row.text(2)});
    }
    return devices;
}

}  // namespace ovik::station
