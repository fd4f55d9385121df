// Peer discovery: two devices whose eth1 ports are wired together find each other's address
// with a broadcast handshake on UDP port 9999 ("IP_FOUND" / "IP_FOUND_ACK").
#pragma once

#include <mutex>
#include <string>
#include <thread>

#include "base/unique_fd.h"

namespace ovik {

inline constexpr int DISCOVERY_PORT = 9999;

// The pair device's eth1 address as dotted text (pair_ip): written by the discovery
// responder and the Wi-Fi pair exchange, read by the ping tests, on different threads.
class PairAddress {
  public:
    // Empty until one is known.
    std::string text() const;
    void set(const char* text);

  private:
    mutable std::mutex mutex_;
    char pair_ip[16] = {};
};

// The broadcast text "A.B.255.255" of a dotted address; "0.0.255.255" for a malformed one.
std::string discovery_broadcast(const std::string& own_address);

// Broadcasts requests in series of five until an answer arrives: 0, or -1 on socket errors.
int discover_peer(const char* broadcast);

// Owner of the responder thread: it answers other devices' requests, noting the sender as the
// pair, for as long as the agent lives, and ends at once when its owner goes.
class PeerDiscovery {
  public:
    explicit PeerDiscovery(PairAddress& pair) : pair_(pair) {}
    PeerDiscovery(const PeerDiscovery&) = delete;
    PeerDiscovery& operator=(const PeerDiscovery&) = delete;
    ~PeerDiscovery() { stop(); }

    // Starts the responder for the interface's address, then searches until a partner answers.
    // 0 when one answered, negative when the search cannot run.
    int start_peer_discovery(const char* iface);
    // Starts only the responder (nothing when it runs already).
    void start_responder(const std::string& own_address);
    void stop();

  private:
    void respond(const std::string& own_address);

    PairAddress& pair_;
    UniqueFd wake_;
    std::thread thread_;
};

}  // namespace ovik
