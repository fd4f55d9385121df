// Which of a run's sessions a frame belongs to: found by the address it came from and the serial
// number it carries, through a hash table. Devices whose serial numbers give one address (the
// address plan repeats), and devices that share one serial number at different addresses, are
// sessions of their own: a frame never goes to the session of another device. A frame that
// carries a session's serial number from its address but another port goes to that session all
// the same, which tells it from its agent's own frames by the port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "station/session/endpoint.h"

namespace ovik::station {

class AgentTable {
  public:
    // Session index at agent; serial: its device's, none while the session has not heard it.
    void add(const Endpoint& agent, std::size_t index, std::optional<uint32_t> serial);
    // The session of the device with serial at from. A session there that has not heard its
    // device yet takes the first serial that comes (and keeps it from then on); then a session
    // with that serial at another port of the address; none when no session is the device's,
    // which is then a device of its own.
    std::optional<std::size_t> take(const Endpoint& from, uint32_t serial);
    // The serial numbers of the devices at agent that sessions have heard.
    std::vector<uint32_t> serials_at(const Endpoint& agent) const;

  private:
    struct Entry {
        std::size_t index;
        uint16_t port;
        std::optional<uint32_t> serial;
    };
    std::unordered_map<uint32_t, std::vector<Entry>> at_;  // by address
};

}  // namespace ovik::station
