#include "station/mqtt/device_events.h"

#include <ctime>
#include <utility>

#include "station/records/json.h"
#include "station/session/agent_report.h"

namespace ovik::station {
namespace {

// A topic level of text: MQTT's level separator and wildcards become '_'.
std::string topic_level(const std::string& text) {
    std::string level = text.empty() ? "_" : text;
    for (char& c : level) {
        if (c == '/' || c == '+' || c == '#') c = '_';
    }
    return level;
}

std::string iso_time(int64_t wall) {
    const auto t = static_cast<std::time_t>(wall);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

bool download_ended(DownloadResult d) {
    return d == DownloadResult::done || d == DownloadResult::failed ||
           d == DownloadResult::no_answer || d == DownloadResult::lost;
}

}  // namespace

DeviceEvents::DeviceEvents(const std::string& station, std::map<int64_t, int64_t> last)
    : prefix_("ovikstation/" + topic_level(utf8_of_latin1(station)) + "/"),
      station_(utf8_of_latin1(station)),
      last_(std::move(last)) {}

std::vector<OutboxMessage> DeviceEvents::observe(const std::vector<const AgentSession*>& sessions,
                                                 const RunOf& run_of, int64_t wall) {
    std::vector<OutboxMessage> out;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const AgentSession& s = *sessions[i];
        if (i == seen_.size()) {
            Seen first;
            // A run taken back: the station that began it told its finding and start.
            if (s.phase() == Phase::adopt || s.adopted()) {
                first.found = true;
                first.started = s.started_at().has_value();
                first.failure = s.run_shows_failure();
            }
            seen_.push_back(first);
        }
        Seen& seen = seen_[i];
        if (seen.done) continue;
        const int64_t run = run_of(i);
        const std::optional<wire::ResponseFrame>& record = s.record();
        const auto body = [&](const char* kind, int64_t number) {
            Json b = Json::object();
            b["station"] = station_;
            b["run"] = run;
            b["number"] = number;
            b["kind"] = kind;
            b["serial"] = record ? Json(record->serial) : Json(nullptr);
            b["address"] = s.label();
            b["time"] = iso_time(wall);
            b["phase"] = phase_name(s.phase());
            b["verdict"] = verdict_name(s.verdict());
            b["download"] = download_result_name(s.download());
            b["passed"] = passes(s.verdict(), s.download());
            b["reason"] = utf8_of_latin1(s.reason());
            if (record) {
                b["failed_items"] = utf8_of_latin1(failed_items_text(*record));
                b["failed_ports"] = failed_ports_text(*record);
                b["cycles"] = record->cycles;
                b["burntime"] = record->burntime;
            }
            return json_line(b);
        };
        const auto message = [&](const char* kind) {
            seen.number = ++last_[run];
            out.push_back(OutboxMessage{0, run, seen.number,
                                        prefix_ + "run/" + std::to_string(run) + "/event",
                                        body(kind, seen.number), false});
        };
        const auto once = [&message](bool& told, bool now, const char* kind) {
            if (told || !now) return;
            told = true;
            message(kind);
        };
        once(seen.found, record.has_value(), "found");
        once(seen.started, s.started_at().has_value(), "started");
        once(seen.failure, s.run_shows_failure(), "failure");
        once(seen.rebooted, s.rebooted(), "rebooted");
        const bool ended = s.verdict() != Verdict::pending && s.verdict() != Verdict::interrupted;
        once(seen.stopped, ended, s.verdict() == Verdict::lost ? "lost" : "stopped");
        once(seen.downloaded, download_ended(s.download()), "downloaded");
        if (!s.done() || !ended) continue;
        seen.done = true;
        if (!record) continue;  // a device that never answered has no serial to keep it under
        // The final verdict, retained, numbered as the device's last event.
        out.push_back(OutboxMessage{
            0, run, seen.number, prefix_ + "device/" + std::to_string(record->serial) + "/verdict",
            body("verdict", seen.number), true});
    }
    return out;
}

OutboxMessage DeviceEvents::summary(const std::vector<const AgentSession*>& sessions,
                                    const std::vector<int64_t>& runs, int64_t wall) const {
    Json phases = Json::object();
    Json verdicts = Json::object();
    int passed = 0;
    int failed = 0;
    for (const AgentSession* s : sessions) {
        phases[phase_name(s->phase())] = phases.value(phase_name(s->phase()), 0) + 1;
        verdicts[verdict_name(s->verdict())] = verdicts.value(verdict_name(s->verdict()), 0) + 1;
        if (s->done()) ++(passes(s->verdict(), s->download()) ? passed : failed);
    }
    Json body = Json::object();
    body["station"] = station_;
    body["runs"] = runs;
    body["time"] = iso_time(wall);
    body["devices"] = sessions.size();
    body["passed"] = passed;
    body["failed"] = failed;
    body["phases"] = std::move(phases);
    body["verdicts"] = std::move(verdicts);
    return OutboxMessage{0, 0, 0, prefix_ + "summary", json_line(body), true};
}

}  // namespace ovik::station
