#include "station/views/line_snapshot.h"

#include "station/views/metrics.h"

#include <mutex>
#include <unordered_set>
#include <utility>

#include "station/records/json.h"

namespace ovik::station {
namespace {

// A name for every item that has one or that counted a failure.
Json items_value(const wire::ResponseFrame& f) {
    Json items = Json::array();
    for (std::size_t i = 0; i < wire::ITEM_COUNT; ++i) {
        std::string name = wire::field_text(f.item[i].name);
        if (name.empty() && f.item[i].fail == 0) continue;
        if (name.empty()) name = "item" + std::to_string(i);
        items.push_back(Json{{"name", utf8_of_latin1(name)}, {"fail", f.item[i].fail}});
    }
    return items;
}

// The ports the agent tests, and any other that counted a failure.
Json ports_value(const wire::ResponseFrame& f) {
    Json ports = Json::array();
    for (std::size_t i = 0; i < wire::PORT_COUNT; ++i) {
        if (i >= f.portnum && f.portfail[i] == 0) continue;
        ports.push_back(Json{{"port", i}, {"fail", f.portfail[i]}});
    }
    return ports;
}

// key: the device's own in the line (see line_json).
Json device_value(const LineDevice& d, const std::string& key) {
    const AgentReport& r = d.report;
    const bool done = d.phase == Phase::done;
    Json j;
    j["key"] = utf8_of_latin1(key);
    j["serial"] = r.record ? Json(r.record->serial) : Json(nullptr);
    j["address"] = utf8_of_latin1(r.address);
    j["state"] = d.rebooted ? "rebooted" : done ? verdict_name(r.verdict) : phase_name(d.phase);
    j["done"] = done;
    j["verdict"] = verdict_name(r.verdict);
    j["health"] = health_name(health_of(d));
    j["download"] = download_result_name(r.download);
    j["progress"] = d.phase == Phase::downloading ? Json(d.progress) : Json(nullptr);
    j["reason"] = utf8_of_latin1(r.reason);
    if (r.record) {
        const wire::ResponseFrame& f = *r.record;
        j["cycles"] = f.cycles;
        j["burntime"] = f.burntime;
        j["burn"] = burn_time_text(f.burntime);
        j["failed_items"] = utf8_of_latin1(failed_items_text(f));
        j["failed_ports"] = failed_ports_text(f);
        j["status"] = wire::status_name(f.status);
        j["error"] = f.error;
        j["diagsent"] = f.diagsent;
        j["diagrecv"] = f.diagrecv;
        j["items"] = items_value(f);
        j["ports"] = ports_value(f);
    } else {
        // The same keys, so the page need not tell the cases apart: no counters, no failures.
        j["cycles"] = nullptr;
        j["burntime"] = nullptr;
        j["burn"] = nullptr;
        j["failed_items"] = "";
        j["failed_ports"] = "";
        j["status"] = nullptr;
        j["error"] = nullptr;
        j["diagsent"] = nullptr;
        j["diagrecv"] = nullptr;
        j["items"] = Json::array();
        j["ports"] = Json::array();
    }
    return j;
}

}  // namespace

LineDevice line_device(const AgentSession& session) {
    return LineDevice{report_of(session), session.phase(), session.progress(), session.rebooted()};
}

namespace {

Health health(const std::optional<wire::ResponseFrame>& record, Verdict verdict,
              DownloadResult download, Phase phase, bool rebooted) {
    if (rebooted || (record && shows_failure(*record))) return Health::failing;
    if (verdict == Verdict::stopped) return Health::stopped;
    switch (download) {
        case DownloadResult::failed:
        case DownloadResult::no_answer:
        case DownloadResult::lost:
            return Health::failing;
        default:
            break;
    }
    if (phase == Phase::done && !passes(verdict, download)) return Health::failing;
    return record ? Health::clean : Health::waiting;
}

}  // namespace

Health health_of(const LineDevice& d) {
    return health(d.report.record, d.report.verdict, d.report.download, d.phase, d.rebooted);
}

Health health_of(const AgentSession& s) {
    return health(s.record(), s.verdict(), s.download(), s.phase(), s.rebooted());
}

const char* health_name(Health health) {
    switch (health) {
        case Health::waiting:
            return "waiting";
        case Health::clean:
            return "clean";
        case Health::failing:
            return "failing";
        case Health::stopped:
            return "stopped";
    }
    return "unknown";
}

std::string line_json(const LineInfo& info, const std::vector<LineDevice>& devices) {
    std::size_t health_count[4] = {};
    std::size_t running = 0;
    std::size_t downloading = 0;
    std::size_t done = 0;
    std::size_t passed = 0;
    Json list = Json::array();
    // A device's key is its address; a later device at an address already taken (serial
    // numbers whose addresses collide) adds its serial number, so the two stay apart.
    std::unordered_set<std::string> keys;
    for (const LineDevice& d : devices) {
        std::string key = d.report.address;
        if (!keys.insert(key).second) {
            key += "/" + (d.report.record ? std::to_string(d.report.record->serial)
                                          : std::to_string(keys.size()));
            keys.insert(key);
        }
        ++health_count[static_cast<int>(health_of(d))];
        running += d.phase == Phase::running ? 1 : 0;
        downloading += d.phase == Phase::downloading ? 1 : 0;
        done += d.phase == Phase::done ? 1 : 0;
        passed += d.phase == Phase::done && agent_passed(d.report) ? 1 : 0;
        list.push_back(device_value(d, key));
    }

    Json j;
    j["station"] = utf8_of_latin1(info.station);
    j["state"] = utf8_of_latin1(info.state);
    j["started_at"] = info.started_at != 0 ? Json(info.started_at) : Json(nullptr);
    if (info.plan) {
        const RunPlan& p = *info.plan;
        j["plan"] = Json{{"duration_ms", p.duration.count()},
                         {"baud", p.baud},
                         {"firmware", utf8_of_latin1(p.firmware)},
                         {"declare_fail", p.declare_fail},
                         {"stop_all_on_fail", p.stop_all_on_fail}};
    } else {
        j["plan"] = nullptr;
    }
    Json totals;
    totals["devices"] = devices.size();
    for (const Health h : {Health::waiting, Health::clean, Health::failing, Health::stopped}) {
        totals[health_name(h)] = health_count[static_cast<int>(h)];
    }
    totals["running"] = running;
    totals["downloading"] = downloading;
    totals["done"] = done;
    totals["passed"] = passed;
    j["totals"] = std::move(totals);
    j["devices"] = std::move(list);
    return json_line(j);
}

struct LineFeed::Line {
    std::optional<LineInfo> info;  // none: json was given
    std::vector<LineDevice> devices;
    LineGauges gauges;
    std::once_flag written;
    std::string json;
    std::once_flag measured;
    std::string metrics;

    const std::string& text() {
        std::call_once(written, [this] {
            if (info) json = line_json(*info, devices);
        });
        return json;
    }
    const std::string& metrics_text() {
        std::call_once(measured, [this] {
            metrics = station::metrics_text(line_metrics(*info, devices, gauges));
        });
        return metrics;
    }
};

LineFeed::LineFeed(std::string first) : line_(std::make_shared<Line>()) {
    line_->json = std::move(first);
}

void LineFeed::publish(LineInfo info, std::vector<LineDevice> devices, LineGauges gauges) {
    auto line = std::make_shared<Line>();
    line->info = std::move(info);
    line->devices = std::move(devices);
    line->gauges = gauges;
    {
        const std::lock_guard lock(mutex_);
        if (closed_) return;
        line_.swap(line);
        ++version_;
    }
    changed_.notify_all();
}

void LineFeed::close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

LineFeed::Snapshot LineFeed::read(std::unique_lock<std::mutex>& lock) const {
    const std::shared_ptr<Line> line = line_;
    Snapshot snapshot{version_, {}, closed_};
    lock.unlock();
    snapshot.json = line->text();
    return snapshot;
}

LineFeed::Snapshot LineFeed::latest() const {
    std::unique_lock lock(mutex_);
    return read(lock);
}

std::optional<std::string> LineFeed::metrics() const {
    std::shared_ptr<Line> line;
    {
        const std::lock_guard lock(mutex_);
        line = line_;
    }
    if (!line->info) return std::nullopt;
    return line->metrics_text();
}

LineFeed::Snapshot LineFeed::next(uint64_t seen, Millis wait) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return version_ > seen || closed_; });
    return read(lock);
}

LinePublisher::LinePublisher(LineFeed& feed, LineInfo info, Millis interval)
    : feed_(feed), info_(std::move(info)), interval_(interval) {}

void LinePublisher::show(const std::vector<const AgentSession*>& sessions, TimePoint now,
                         bool final) {
    if (!final && now < next_) return;
    next_ = now + interval_;
    std::vector<LineDevice> devices;
    devices.reserve(sessions.size());
    for (const AgentSession* s : sessions) devices.push_back(line_device(*s));
    if (final) info_.state = end_state_;
    feed_.publish(info_, std::move(devices), gauges_);
}

}  // namespace ovik::station
