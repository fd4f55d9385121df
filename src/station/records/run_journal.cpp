#include "station/records/run_journal.h"

namespace ovik::station {
namespace {

// Rows are written together, in one transaction at most this often, so that a line of a
// thousand agents costs a commit a second, not one per agent and step.
constexpr Millis BATCH{1000};
// How often a running agent's row gets its newest record; with BATCH, what a killed station
// loses at most (5 s).
constexpr Millis REFRESH{4000};
constexpr Millis RETRY{5000};

}  // namespace

void RunJournal::expect(const StoredDevice& device) {
    entries_.push_back(Entry{device, Phase::adopt, device.report.verdict, false, TimePoint{}});
}

std::optional<std::string> RunJournal::observe(const std::vector<const AgentSession*>& sessions,
                                               TimePoint now) {
    if (now < retry_at_ || now < next_batch_) return std::nullopt;
    next_batch_ = now + BATCH;
    // Agents found since the last pass get their entries first: the pointers below stay valid.
    while (entries_.size() < sessions.size()) entries_.push_back(Entry{StoredDevice{run_, 0, {}}});
    std::vector<StoredDevice*> changed;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const AgentSession& s = *sessions[i];
        Entry& e = entries_[i];
        const bool due = e.device.id == 0 || e.phase != s.phase() || e.verdict != s.verdict() ||
                         e.rebooted != s.rebooted() ||
                         (!s.done() && s.record() && now - e.written_at >= REFRESH);
        if (!due) continue;
        e.device.report = report_of(s);
        changed.push_back(&e.device);
        which.push_back(i);
    }
    if (changed.empty()) return std::nullopt;
    std::string error;
    if (!db_.save_devices(changed, error)) {
        retry_at_ = now + RETRY;
        return error;
    }
    for (const std::size_t i : which) {
        Entry& e = entries_[i];
        e.phase = sessions[i]->phase();
        e.verdict = sessions[i]->verdict();
        e.rebooted = sessions[i]->rebooted();
        e.written_at = now;
    }
    return std::nullopt;
}

bool RunJournal::save(const std::vector<AgentReport>& reports, std::string& error) {
    while (entries_.size() < reports.size()) entries_.push_back(Entry{StoredDevice{run_, 0, {}}});
    std::vector<StoredDevice*> all;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        entries_[i].device.report = reports[i];
        all.push_back(&entries_[i].device);
    }
    return all.empty() || db_.save_devices(all, error);
}

std::vector<StoredDevice> RunJournal::devices() const {
    std::vector<StoredDevice> devices;
    devices.reserve(entries_.size());
    for (const Entry& e : entries_) devices.push_back(e.device);
    return devices;
}

}  // namespace ovik::station
