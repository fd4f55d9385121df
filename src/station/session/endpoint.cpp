#include "station/session/endpoint.h"

#include <arpa/inet.h>

#include <charconv>

namespace ovik::station {

sockaddr_in Endpoint::to_sockaddr() const {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

Endpoint Endpoint::from_sockaddr(const sockaddr_in& sa) {
    return Endpoint{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

std::string Endpoint::host_text() const {
    return std::to_string((address >> 24) & 0xFF) + "." + std::to_string((address >> 16) & 0xFF) +
           "." + std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string Endpoint::text() const {
    return host_text() + ":" + std::to_string(port);
}

std::optional<uint32_t> parse_ipv4(const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return ntohl(a.s_addr);
}

std::string agent_label(const Endpoint& agent, uint16_t usual_port) {
    return agent.port == usual_port ? agent.host_text() : agent.text();
}

std::optional<Endpoint> parse_agent_label(const std::string& label, uint16_t usual_port) {
    const std::size_t colon = label.find(':');
    const std::optional<uint32_t> address = parse_ipv4(label.substr(0, colon));
    if (!address) return std::nullopt;
    if (colon == std::string::npos) return Endpoint{*address, usual_port};
    unsigned port = 0;
    const char* first = label.data() + colon + 1;
    const char* last = label.data() + label.size();
    const auto [end, ec] = std::from_chars(first, last, port);
    if (ec != std::errc() || end != last || first == last || port == 0 || port > 0xFFFF) {
        return std::nullopt;
    }
    return Endpoint{*address, static_cast<uint16_t>(port)};
}

}  // namespace ovik::station
