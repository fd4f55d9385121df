// An IPv4 address and UDP port: how the station names an agent and its own socket.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ovik::station {

struct Endpoint {
    uint32_t address = 0;  // host byte order
    uint16_t port = 0;

    bool operator==(const Endpoint&) const = default;
    bool operator<(const Endpoint& other) const {
        return address != other.address ? address < other.address : port < other.port;
    }

    sockaddr_in to_sockaddr() const;
    static Endpoint from_sockaddr(const sockaddr_in& sa);

    std::string host_text() const;
    std::string text() const;  // "a.b.c.d:port"
};

struct EndpointHash {
    std::size_t operator()(const Endpoint& e) const noexcept {
        return std::hash<uint64_t>{}((static_cast<uint64_t>(e.address) << 16) | e.port);
    }
};

// Dotted IPv4 text; nullopt for anything else (names are not looked up).
std::optional<uint32_t> parse_ipv4(const std::string& text);

// What the operator reads: the bare address when the agent uses the usual port, else address
// and port (test set-ups, several agents behind one address).
std::string agent_label(const Endpoint& agent, uint16_t usual_port);
// The agent that agent_label named; nullopt for other text.
std::optional<Endpoint> parse_agent_label(const std::string& label, uint16_t usual_port);

}  // namespace ovik::station
