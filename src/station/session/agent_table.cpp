#include "station/session/agent_table.h"

namespace ovik::station {

void AgentTable::add(const Endpoint& agent, std::size_t index, std::optional<uint32_t> serial) {
    at_[agent].push_back(Entry{index, serial});
}

std::optional<std::size_t> AgentTable::take(const Endpoint& from, uint32_t serial) {
    const auto it = at_.find(from);
    if (it == at_.end()) return std::nullopt;
    Entry* unheard = nullptr;
    for (Entry& e : it->second) {
        if (e.serial == serial) return e.index;
        if (!e.serial && unheard == nullptr) unheard = &e;
    }
    if (unheard == nullptr) return std::nullopt;
    unheard->serial = serial;
    return unheard->index;
}

std::vector<uint32_t> AgentTable::serials_at(const Endpoint& agent) const {
    std::vector<uint32_t> serials;
    const auto it = at_.find(agent);
    if (it == at_.end()) return serials;
    for (const Entry& e : it->second) {
        if (e.serial) serials.push_back(*e.serial);
    }
    return serials;
}

}  // namespace ovik::station
