#include "station/records/hook_queue.h"

#include <ctime>

#include "station/records/run_db.h"

namespace ovik::station {
namespace {

int64_t wall_seconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

std::unique_ptr<HookQueue> HookQueue::open(const std::string& where, std::string& error) {
    std::unique_ptr<records::RecordsConnection> c = records::connect(where, true, error);
    if (!c) return nullptr;
    c->set_patience(c->writer_patience());
    return std::make_unique<HookQueue>(std::move(c));
}

std::optional<bool> HookQueue::add(HookCall& call, const std::string& station, std::string& error) {
    const records::Value insert[] = {call.run, station, call.device, call.body, wall_seconds()};
    if (!c_->query("INSERT INTO verdict_hooks (station_run, station, device, body, state, "
                   "attempts, status, stderr, updated_at) VALUES ($1, $2, $3, $4, 'pending', 0, "
                   "NULL, '', $5) ON CONFLICT (station_run, device) DO NOTHING",
                   insert, error)) {
        return std::nullopt;
    }
    const records::Value key[] = {call.run, call.device};
    const std::optional<records::Rows> rows = c_->query(
        "SELECT id, state, attempts FROM verdict_hooks WHERE station_run = $1 AND device = $2", key,
        error);
    if (!rows) return std::nullopt;
    if (rows->size() != 1) {
        error = "the verdict hook's call was not recorded";
        return std::nullopt;
    }
    const records::Rows::Row row = (*rows)[0];
    call.id = row.number(0).value_or(0);
    call.attempts = static_cast<int>(row.number(2).value_or(0));
    return row.text(1) != "done" && call.attempts < MAX_ATTEMPTS;
}

std::optional<std::vector<HookCall>> HookQueue::due(const std::string& station, std::size_t limit,
                                                    std::string& error) {
    const records::Value params[] = {station, int64_t{MAX_ATTEMPTS}, static_cast<int64_t>(limit)};
    const std::optional<records::Rows> rows = c_->query(
        "SELECT id, station_run, device, body, attempts FROM verdict_hooks "
        "WHERE station = $1 AND state <> 'done' AND attempts < $2 ORDER BY id LIMIT $3",
        params, error);
    if (!rows) return std::nullopt;
    std::vector<HookCall> calls;
    for (std::size_t i = 0; i < rows->size(); ++i) {
        const records::Rows::Row row = (*rows)[i];
        calls.push_back(HookCall{row.number(0).value_or(0), row.number(1).value_or(0), row.text(2),
                                 row.text(3), static_cast<int>(row.number(4).value_or(0))});
    }
    return calls;
}

bool HookQueue::attempted(const HookCall& call, int status, const std::string& stderr_text,
                          std::string& error) {
    const records::Value params[] = {call.id, std::string(status == 0 ? "done" : "failed"),
                                     int64_t{status}, stderr_text, wall_seconds()};
    return c_
        ->query(
            "UPDATE verdict_hooks SET state = $2, attempts = attempts + 1, status = $3, "
            "stderr = $4, updated_at = $5 WHERE id = $1",
            params, error)
        .has_value();
}

}  // namespace ovik::station
