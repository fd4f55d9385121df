#include "station/line_snapshot.h"

#include <utility>

namespace ovik::station {
namespace {

std::string json_bool(bool value) {
    return value ? "true" : "false";
}

// A name for every item that has one or that counted a failure.
std::string items_json(const wire::ResponseFrame& f) {
    std::string j = "[";
    for (std::size_t i = 0; i < wire::ITEM_COUNT; ++i) {
        std::string name = wire::field_text(f.item[i].name);
        if (name.empty() && f.item[i].fail == 0) continue;
        if (name.empty()) name = "item" + std::to_string(i);
        if (j.size() > 1) j += ',';
        j += "{\"name\":" + json_string(name) + ",\"fail\":" + std::to_string(f.item[i].fail) + "}";
    }
    return j + "]";
}

// The ports the agent tests, and any other that counted a failure.
std::string ports_json(const wire::ResponseFrame& f) {
    std::string j = "[";
    for (std::size_t i = 0; i < wire::PORT_COUNT; ++i) {
        if (i >= f.portnum && f.portfail[i] == 0) continue;
        if (j.size() > 1) j += ',';
        j += "{\"port\":" + std::to_string(i) + ",\"fail\":" + std::to_string(f.portfail[i]) + "}";
    }
    return j + "]";
}

std::string device_json(const LineDevice& d) {
    const AgentReport& r = d.report;
    const bool done = d.phase == Phase::done;
    std::string j = "{\"key\":" + json_string(r.address);
    j += ",\"serial\":" + (r.record ? std::to_string(r.record->serial) : std::string("null"));
    j += ",\"address\":" + json_string(r.address);
    j += ",\"state\":" + json_string(done ? verdict_name(r.verdict) : phase_name(d.phase));
    j += ",\"done\":" + json_bool(done);
    j += ",\"verdict\":" + json_string(verdict_name(r.verdict));
    j += ",\"health\":" + json_string(health_name(health_of(d)));
    j += ",\"download\":" + json_string(download_result_name(r.download));
    j += ",\"progress\":" +
         (d.phase == Phase::downloading ? std::to_string(d.progress) : std::string("null"));
    j += ",\"reason\":" + json_string(r.reason);
    if (r.record) {
        const wire::ResponseFrame& f = *r.record;
        j += ",\"cycles\":" + std::to_string(f.cycles);
        j += ",\"burntime\":" + std::to_string(f.burntime);
        j += ",\"burn\":" + json_string(burn_time_text(f.burntime));
        j += ",\"failed_items\":" + json_string(failed_items_text(f));
        j += ",\"failed_ports\":" + json_string(failed_ports_text(f));
        j += ",\"status\":" + json_string(wire::status_name(f.status));
        j += ",\"error\":" + std::to_string(f.error);
        j += ",\"diagsent\":" + std::to_string(f.diagsent);
        j += ",\"diagrecv\":" + std::to_string(f.diagrecv);
        j += ",\"items\":" + items_json(f);
        j += ",\"ports\":" + ports_json(f);
    } else {
        j += ",\"cycles\":null,\"burntime\":null,\"burn\":null,\"failed_items\":\"\","
             "\"failed_ports\":\"\",\"status\":null,\"error\":null,\"diagsent\":null,"
             "\"diagrecv\":null,\"items\":[],\"ports\":[]";
    }
    return j + "}";
}

}  // namespace

LineDevice line_device(const AgentSession& session) {
    return LineDevice{report_of(session), session.phase(), session.progress()};
}

Health health_of(const LineDevice& d) {
    const AgentReport& r = d.report;
    if (r.record && shows_failure(*r.record)) return Health::failing;
    if (r.verdict == Verdict::stopped) return Health::stopped;
    switch (r.download) {
        case DownloadResult::failed:
        case DownloadResult::no_answer:
        case DownloadResult::lost:
            return Health::failing;
        default:
            break;
    }
    if (d.phase == Phase::done && r.verdict != Verdict::passed) return Health::failing;
    return r.record ? Health::clean : Health::waiting;
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
    std::string list = "[";
    for (const LineDevice& d : devices) {
        ++health_count[static_cast<int>(health_of(d))];
        running += d.phase == Phase::running ? 1 : 0;
        downloading += d.phase == Phase::downloading ? 1 : 0;
        done += d.phase == Phase::done ? 1 : 0;
        passed += d.phase == Phase::done && agent_passed(d.report) ? 1 : 0;
        if (list.size() > 1) list += ',';
        list += device_json(d);
    }
    list += ']';

    std::string j = "{\"station\":" + json_string(info.station);
    j += ",\"state\":" + json_string(info.state);
    j += ",\"started_at\":" + (info.started_at != 0 ? std::to_string(info.started_at) : "null");
    if (info.plan) {
        const RunPlan& p = *info.plan;
        j += ",\"plan\":{\"duration_ms\":" + std::to_string(p.duration.count()) +
             ",\"baud\":" + std::to_string(p.baud) + ",\"firmware\":" + json_string(p.firmware) +
             ",\"declare_fail\":" + json_bool(p.declare_fail) +
             ",\"stop_all_on_fail\":" + json_bool(p.stop_all_on_fail) + "}";
    } else {
        j += ",\"plan\":null";
    }
    j += ",\"totals\":{\"devices\":" + std::to_string(devices.size());
    for (const Health h : {Health::waiting, Health::clean, Health::failing, Health::stopped}) {
        j += ",\"" + std::string(health_name(h)) +
             "\":" + std::to_string(health_count[static_cast<int>(h)]);
    }
    j += ",\"running\":" + std::to_string(running) +
         ",\"downloading\":" + std::to_string(downloading) + ",\"done\":" + std::to_string(done) +
         ",\"passed\":" + std::to_string(passed) + "}";
    return j + ",\"devices\":" + list + "}";
}

LineFeed::LineFeed(std::string first) : snapshot_{1, std::move(first), false} {}

void LineFeed::publish(std::string json) {
    {
        const std::lock_guard lock(mutex_);
        if (snapshot_.closed || json == snapshot_.json) return;
        snapshot_.json = std::move(json);
        ++snapshot_.version;
    }
    changed_.notify_all();
}

void LineFeed::close() {
    {
        const std::lock_guard lock(mutex_);
        snapshot_.closed = true;
    }
    changed_.notify_all();
}

LineFeed::Snapshot LineFeed::latest() const {
    const std::lock_guard lock(mutex_);
    return snapshot_;
}

LineFeed::Snapshot LineFeed::next(uint64_t seen, Millis wait) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return snapshot_.version > seen || snapshot_.closed; });
    return snapshot_;
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
    if (final) info_.state = "finished";
    feed_.publish(line_json(info_, devices));
}

}  // namespace ovik::station
