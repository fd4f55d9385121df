#include "station/records/run_journal.h"

#include <algorithm>
#include <chrono>

namespace ovik::station {
namespace {

// Rows are handed over together at most this often, so that a line of a thousand agents
// costs a commit a second, not one per agent and step.
constexpr Millis BATCH{1000};
// How often a running agent's row gets its newest record; with BATCH, what a killed station
// loses at most while the database keeps up (5 s).
constexpr Millis REFRESH{4000};

TimePoint now() {
    return std::chrono::steady_clock::now();
}

}  // namespace

RunJournal::RunJournal(RunRecords& records, int64_t new_devices_run)
    : run_(new_devices_run), writer_(records, records.writer_patience()) {}

void RunJournal::expect(const StoredDevice& device) {
    entries_.push_back(
        Entry{device, Phase::adopt, device.report.verdict, false, TimePoint{}, false});
}

std::optional<std::string> RunJournal::observe(const std::vector<const AgentSession*>& sessions,
                                               TimePoint now) {
    if (now >= next_batch_) {
        next_batch_ = now + BATCH;
        while (entries_.size() < sessions.size()) {
            entries_.push_back(Entry{StoredDevice{run_, 0, {}}});
        }
        for (std::size_t i = 0; i < sessions.size(); ++i) {
            const AgentSession& s = *sessions[i];
            Entry& e = entries_[i];
            const bool due = !e.handed_over || e.phase != s.phase() || e.verdict != s.verdict() ||
                             e.rebooted != s.rebooted() ||
                             (!s.done() && s.record() && now - e.written_at >= REFRESH);
            if (!due) continue;
            e.device.report = report_of(s);
            e.phase = s.phase();
            e.verdict = s.verdict();
            e.rebooted = s.rebooted();
            e.written_at = now;
            e.handed_over = true;
            writer_.put(i, e.device, now);
        }
    }
    return writer_.news(now);
}

void RunJournal::save(const std::vector<AgentReport>& reports) {
    while (entries_.size() < reports.size()) entries_.push_back(Entry{StoredDevice{run_, 0, {}}});
    const TimePoint t = now();
    for (std::size_t i = 0; i < reports.size(); ++i) {
        entries_[i].device.report = reports[i];
        writer_.put(i, entries_[i].device, t);
    }
}

void RunJournal::save(const std::vector<StoredDevice*>& rows) {
    const TimePoint t = now();
    for (const StoredDevice* row : rows) {
        std::size_t slot = 0;
        while (slot < entries_.size() && entries_[slot].device.id != row->id) ++slot;
        if (slot == entries_.size()) entries_.push_back(Entry{*row});
        entries_[slot].device = *row;
        writer_.put(slot, *row, t);
    }
}

void RunJournal::end_run(int64_t run, StationRunState state, uint32_t ended_at) {
    writer_.end_run(RunEnd{run, state, ended_at}, now());
}

std::vector<int64_t> RunJournal::runs() const {
    std::vector<int64_t> runs;
    if (run_ != 0) runs.push_back(run_);
    for (const Entry& e : entries_) {
        if (std::find(runs.begin(), runs.end(), e.device.run) == runs.end()) {
            runs.push_back(e.device.run);
        }
    }
    return runs;
}

}  // namespace ovik::station
