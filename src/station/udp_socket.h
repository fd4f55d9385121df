// The station's one UDP socket. Every agent of a run talks to it; the event loop reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "station/endpoint.h"

namespace ovik::station {

struct Datagram {
    Endpoint from;
    std::vector<uint8_t> bytes;
};

class UdpSocket {
  public:
    // Bound to local with SO_REUSEADDR and SO_BROADCAST, non-blocking. On failure error says
    // what went wrong, with the system's reason.
    static std::optional<UdpSocket> open(const Endpoint& local, std::string& error);

    int fd() const { return fd_.get(); }
    Endpoint local() const { return local_; }

    // False when the kernel refused the datagram; errno says why.
    bool send_to(const Endpoint& to, std::span<const uint8_t> bytes) const;
    // Takes the next waiting datagram into into, reusing its buffer; false when none is
    // waiting.
    bool receive(Datagram& into) const;
    // Waits until a datagram is waiting or timeout_ms has passed; true when one is waiting.
    bool wait_readable(int timeout_ms) const;

  private:
    UdpSocket(UniqueFd fd, Endpoint local) : fd_(std::move(fd)), local_(local) {}
    UniqueFd fd_;
    Endpoint local_;
};

}  // namespace ovik::station
