#include "station/session/agent_table.h"

namespace ovik::station {

void AgentTable::add(const Endpoint& agent, std::size_t index, std::optional<uint32_t> serial) {
    at_[agent.address].push_back(Entry{index, agent.port, serial});
}

std::optional<std::size_t> AgentTable::take(const Endpoint& from, uint32_t serial) {
    const auto it = at_.find(from.address);
    if (it == at_.end()) return std::nullopt;
    Entry* unheard = nullptr;
    Entry* elsewhere = nullptr;
    for (Entry& e : it->second) {
        if (e.port != from.port) {
            if (e.serial == serial && elsewhere == nullptr) elsewhere = &e;
            continue;
        }
        if (e.serial == serial) return e.index;
        if (!e.serial && unheard == nullptr) unheard = &e;
    }
    if (unheard != nullptr) {
        unheard->serial = serial;
        return unheard->index;
    }
    if (elsewhere != nullptr) return elsewhere->index;
    return std::nullopt;
}

std::vector<uint32_t> AgentTable::serials_at(const Endpoint& agent) const {
    std::vector<uint32_t> serials;
    const auto it = at_.find(agent.address);
    if (it == at_.end()) return serials;
    for (const Entry& e : it->second) {
        if (e.port == agent.port && e.serial) serials.push_back(*e.serial);
    }
    return serials;
}

}  // namespace ovik::station
