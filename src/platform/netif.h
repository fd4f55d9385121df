// platform: the device's clock, boot-loader environment, firmware upgrade and network
// interfaces, as the agent reaches them through device nodes, sockets and the image's tools.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ovik {

// Third and fourth octet of the plan addresses for serial s.
struct PlanOctets {
    int third;
    int fourth;
};
PlanOctets plan_octets(uint32_t serial);

// Address text of the interface for the serial number; nullopt for interfaces outside the plan.
std::optional<std::string> plan_address_text(const char* iface, uint32_t serial);

// "ifconfig IFACE ADDRESS netmask 255.255.0.0 up"; the tool's exit status is not looked at.
// An empty interface name does nothing.
void ifup(const char* iface, const char* address);

// Binds the socket to the interface (SO_BINDTODEVICE, the name in a 32-byte zero-filled
// buffer); false on failure, with errno set.
bool bind_to_device(int fd, const char* iface);

// The interface's IPv4 address as dotted text, "0.0.0.0" when it has none; prints it.
std::string get_if_ipv4(const char* iface);

}  // namespace ovik
