#include "station/records/records_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/unique_fd.h"
#include "station/records/json.h"

namespace ovik::station {
namespace {

// Rows older than this are behind: the loop hands them over once a second, and a commit
// takes a fraction of that. They caught up when none older than half of it waits.
constexpr Millis BEHIND{2000};
// After a failed write the writer tries again this long later, doubling up to RETRY_MAX.
constexpr Millis RETRY_FIRST{250};
constexpr Millis RETRY_MAX{4000};

long long whole_seconds(TimePoint::duration d) {
    return std::chrono::duration_cast<std::chrono::seconds>(d).count();
}

}  // namespace

RecordsWriter::RecordsWriter(RunRecords& records, Millis patience) : records_(records) {
    records_.set_patience(patience);
    thread_ = std::thread([this] { run(); });
}

RecordsWriter::~RecordsWriter() {
    if (thread_.joinable()) finish();
}

void RecordsWriter::put(std::size_t slot, const StoredDevice& device, TimePoint now) {
    {
        const std::lock_guard lock(mutex_);
        const auto [it, added] = devices_.try_emplace(slot, Pending{device, now});
        if (!added) it->second.device = device;  // the older change's time stays
    }
    changed_.notify_all();
}

void RecordsWriter::end_run(const RunEnd& end, TimePoint now) {
    {
        const std::lock_guard lock(mutex_);
        ends_.emplace_back(end, now);
    }
    changed_.notify_all();
}

std::size_t RecordsWriter::waiting() const {
    return devices_.size() + ends_.size() + writing_;
}

std::optional<TimePoint> RecordsWriter::oldest() const {
    std::optional<TimePoint> t = writing_since_;
    auto older = [&t](TimePoint since) {
        if (!t || since < *t) t = since;
    };
    for (const auto& [slot, p] : devices_) older(p.since);
    for (const auto& [end, since] : ends_) older(since);
    return t;
}

Millis RecordsWriter::lag(TimePoint now) const {
    const std::lock_guard lock(mutex_);
    const std::optional<TimePoint> since = oldest();
    return since && now > *since ? std::chrono::duration_cast<Millis>(now - *since) : Millis(0);
}

std::optional<std::string> RecordsWriter::news(TimePoint now) {
    std::size_t rows = 0;
    std::optional<TimePoint> since;
    std::string error;
    {
        const std::lock_guard lock(mutex_);
        rows = waiting();
        since = oldest();
        error = error_;
    }
    if (behind_since_) {
        if (since && now - *since >= BEHIND / 2) return std::nullopt;
        const long long took = whole_seconds(now - *behind_since_);
        behind_since_.reset();
        return "caught up after " + std::to_string(took) + " s";
    }
    if (!since || now - *since < BEHIND) return std::nullopt;
    behind_since_ = since;
    return "are " + std::to_string(whole_seconds(now - *since)) + " s behind (" +
           std::to_string(rows) + (rows == 1 ? " row" : " rows") + " waiting" +
           (error.empty() ? " for the database" : ": " + error) +
           "); the devices go on, and the records follow when the database answers";
}

bool RecordsWriter::wait(Millis wait) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, wait, [this] { return waiting() == 0; });
}

std::string RecordsWriter::error() const {
    const std::lock_guard lock(mutex_);
    return error_;
}

void RecordsWriter::run() {
    Millis retry = RETRY_FIRST;
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !devices_.empty() || !ends_.empty(); });
        if (stopping_) return;
        writing_since_ = oldest();
        writing_ = devices_.size() + ends_.size();
        std::map<std::size_t, Pending> devices;
        devices.swap(devices_);
        std::vector<std::pair<RunEnd, TimePoint>> ends;
        ends.swap(ends_);
        lock.unlock();

        std::vector<StoredDevice*> rows;
        rows.reserve(devices.size());
        for (auto& [slot, p] : devices) {
            if (const auto id = ids_.find(slot); id != ids_.end()) p.device.id = id->second;
            rows.push_back(&p.device);
        }
        std::vector<RunEnd> run_ends;
        run_ends.reserve(ends.size());
        for (const auto& [end, since] : ends) run_ends.push_back(end);
        std::string error;
        const bool written = records_.write(rows, run_ends, error);
        if (written) {
            for (const auto& [slot, p] : devices) ids_[slot] = p.device.id;
        }

        lock.lock();
        writing_ = 0;
        writing_since_.reset();
        if (written) {
            error_.clear();
            retry = RETRY_FIRST;
        } else {
            error_ = error;
            // Back in line: a newer row of a device that came meanwhile stays, with the older
            // change's time; the ends keep their order, before any that came meanwhile.
            for (auto& [slot, p] : devices) {
                const auto [it, added] = devices_.try_emplace(slot, std::move(p));
                if (!added) it->second.since = std::min(it->second.since, p.since);
            }
            ends.insert(ends.end(), ends_.begin(), ends_.end());
            ends_.swap(ends);
        }
        changed_.notify_all();
        if (!written) {
            changed_.wait_for(lock, retry, [this] { return stopping_; });
            retry = std::min(retry * 2, RETRY_MAX);
        }
    }
}

std::vector<Unwritten> RecordsWriter::finish() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    std::map<int64_t, Unwritten> runs;
    for (auto& [slot, p] : devices_) {
        if (const auto id = ids_.find(slot); id != ids_.end()) p.device.id = id->second;
        Unwritten& u = runs[p.device.run];
        u.run = p.device.run;
        u.devices.push_back(std::move(p.device));
    }
    for (const auto& [end, since] : ends_) {
        Unwritten& u = runs[end.run];
        u.run = end.run;
        u.end = end;
    }
    devices_.clear();
    ends_.clear();
    std::vector<Unwritten> left;
    left.reserve(runs.size());
    for (auto& [run, u] : runs) left.push_back(std::move(u));
    return left;
}

std::string unwritten_path(int64_t run, const StationRun& station_run,
                           const std::string& records_folder) {
    std::string folder = records_folder;
    for (const std::string* report :
         {&station_run.files.json, &station_run.files.csv, &station_run.files.junit}) {
        if (!report->empty()) {
            folder = std::filesystem::path(*report).parent_path().string();
            break;
        }
    }
    if (folder.empty()) {
        std::error_code ignored;
        folder = std::filesystem::current_path(ignored).string();
    }
    // The start in the name tells apart runs of the same number in two databases.
    return (std::filesystem::path(folder) / ("ovikstation-run-" + std::to_string(run) + "-" +
                                             std::to_string(station_run.started_at) + ".unwritten"))
        .string();
}

bool keep_unwritten(const Unwritten& rows, const std::string& path, std::string& error) {
    Json file = Json::object();
    file["run"] = rows.run;
    Json devices = Json::array();
    for (const StoredDevice& d : rows.devices) {
        Json columns = Json::array();
        for (const std::optional<std::string>& c : records::device_columns(d)) {
            columns.push_back(c ? Json(utf8_of_latin1(*c)) : Json(nullptr));
        }
        devices.push_back(std::move(columns));
    }
    file["devices"] = std::move(devices);
    if (rows.end) {
        file["end"] = {{"state", run_state_name(rows.end->state)},
                       {"ended_at", rows.end->ended_at}};
    }
    // Whole or not at all: a station killed while writing leaves no half file behind.
    const std::string partial = path + ".partial";
    const std::string text = json_line(file) + "\n";
    {
        const UniqueFile f(std::fopen(partial.c_str(), "w"));
        if (!f || std::fputs(text.c_str(), f.get()) < 0 || std::fflush(f.get()) != 0 ||
            ::fsync(::fileno(f.get())) != 0) {
            error = std::strerror(errno);
            std::remove(partial.c_str());
            return false;
        }
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        error = std::strerror(errno);
        std::remove(partial.c_str());
        return false;
    }
    return true;
}

namespace {

// Texts in the file are UTF-8; the records hold the station's bytes, Latin-1 above 0x7F.
std::string latin1_of_utf8(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0xC0 && i + 1 < text.size()) {
            out += static_cast<char>(((c & 0x03) << 6) | (text[++i] & 0x3F));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The rows of a kept file; nullopt when it is not one.
std::optional<Unwritten> read_unwritten(const std::string& path, int64_t run) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const Json file = Json::parse(text.str(), nullptr, false);
    if (file.is_discarded() || !file.is_object() || file.value("run", int64_t{0}) != run ||
        !file.contains("devices") || !file["devices"].is_array()) {
        return std::nullopt;
    }
    Unwritten u;
    u.run = run;
    for (const Json& d : file["devices"]) {
        if (!d.is_array() || d.size() != 8) return std::nullopt;
        std::vector<std::optional<std::string>> columns;
        for (const Json& c : d) {
            if (c.is_string()) {
                columns.emplace_back(latin1_of_utf8(c.get<std::string>()));
            } else {
                columns.emplace_back();
            }
        }
        u.devices.push_back(records::device_of_columns(records::Rows::Row{columns}, run));
    }
    if (file.contains("end")) {
        const Json& e = file["end"];
        RunEnd end{run, StationRunState::finished, e.value("ended_at", uint32_t{0})};
        if (e.value("state", "") == run_state_name(StationRunState::interrupted)) {
            end.state = StationRunState::interrupted;
        }
        u.end = end;
    }
    return u;
}

// The runs that are not finished and have a kept file, with its path.
std::vector<std::pair<int64_t, std::string>> files_of_unfinished_runs(RunRecords& records) {
    std::vector<std::pair<int64_t, std::string>> files;
    std::string error;
    const std::optional<std::vector<int64_t>> runs = records.unfinished_runs(std::nullopt, error);
    if (!runs) return files;
    for (const int64_t id : *runs) {
        const std::optional<StoredRun> run = records.load_run(id, error);
        if (!run) continue;
        std::string path = unwritten_path(id, run->run, records.folder());
        std::error_code missing;
        if (std::filesystem::exists(path, missing)) files.emplace_back(id, std::move(path));
    }
    return files;
}

}  // namespace

std::vector<std::pair<int64_t, std::string>> kept_unwritten(RunRecords& records) {
    std::vector<std::pair<int64_t, std::string>> kept;
    for (auto& [id, path] : files_of_unfinished_runs(records)) {
        std::string error;
        if (records.run_held(id, error) == false) kept.emplace_back(id, std::move(path));
    }
    return kept;
}

std::vector<TakenIn> take_in_unwritten(RunRecords& records) {
    std::vector<TakenIn> taken;
    std::string error;
    for (const auto& [id, path] : files_of_unfinished_runs(records)) {
        // A station that still runs holds its run, and writes the file only as it ends.
        if (records.claim(id, error) != Claim::taken) continue;
        TakenIn t{path, 0, ""};
        bool ended = false;  // the run's end, once written, let its lock go
        std::optional<Unwritten> rows = read_unwritten(path, id);
        if (!rows) {
            t.error = "it is not a file of unwritten run records";
        } else {
            std::vector<StoredDevice*> devices;
            for (StoredDevice& d : rows->devices) devices.push_back(&d);
            std::vector<RunEnd> ends;
            if (rows->end) ends.push_back(*rows->end);
            t.rows = devices.size() + ends.size();
            if (records.write(devices, ends, t.error)) {
                std::error_code ignored;
                std::filesystem::remove(path, ignored);
                ended = rows->end.has_value();
            }
        }
        if (!ended) records.release(id);
        taken.push_back(std::move(t));
    }
    return taken;
}

}  // namespace ovik::station
