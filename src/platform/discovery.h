// Peer discovery: two devices whose eth1 ports are wired together find each other's address
// with a broadcast handshake on UDP port 9999 ("IP_FOUND" / "IP_FOUND_ACK").
#pragma once

#include <string>

namespace ovik {

inline constexpr int DISCOVERY_PORT = 9999;

// The pair device's eth1 address as dotted text (empty until one is known).
std::string pair_ip_text();
void set_pair_ip(const char* text);

// Starts the responder for the interface's address, then searches until a partner answers.
// 0 when one answered, negative when the search cannot run.
int start_peer_discovery(const char* iface);

// Answers other devices' requests until the process ends (or stop_discovery_responder).
void discovery_responder(const std::string& own_address);

// Broadcasts requests in series of five until an answer arrives: 0, or -1 on socket errors.
int discover_peer(const char* broadcast);

// The broadcast text "A.B.255.255" of a dotted address; "0.0.255.255" for a malformed one.
std::string discovery_broadcast(const std::string& own_address);

// Ends the responder thread (the process's end does it too).
void stop_discovery_responder();

}  // namespace ovik
