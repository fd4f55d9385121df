#include "platform/netif.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "base/console.h"
#include "base/process.h"
#include "base/text.h"
#include "base/unique_fd.h"

namespace ovik {

PlanOctets plan_octets(uint32_t serial) {
    int third = static_cast<int>((serial / 254 + 1) % 256);
    if (third == 0 || third == 255) third = 1;
    return PlanOctets{third, static_cast<int>(serial % 253)};
}

std::optional<std::string> plan_address_text(const char* iface, uint32_t serial) {
    const PlanOctets o = plan_octets(serial);
    const char* format = nullptr;
    if (std::strcmp(iface, "eth0") == 0) {
        format = "192.180.%d.%d";
    } else if (std::strcmp(iface, "eth1") == 0) {
        format = "192.181.%d.%d";
    } else if (std::strcmp(iface, "eth2") == 0) {
        format = "192.182.%d.%d";
    } else if (std::strcmp(iface, "eth3") == 0) {
        format = "192.183.%d.%d";
    } else if (std::strcmp(iface, "wlan0") == 0 || std::strcmp(iface, "wlp1s0") == 0) {
        char text[32];
        std::snprintf(text, sizeof text, "172.16.0.%d", o.fourth);
        return std::string(text);
    } else {
        return std::nullopt;
    }
    char text[32];
    std::snprintf(text, sizeof text, format, o.third, o.fourth);
    return std::string(text);
}

void ifup(const char* iface, const char* address) {
    if (iface[0] == '\0') return;
    const Argv argv{"ifconfig", iface, address, "netmask", "255.255.0.0", "up"};
    say("ifup : %s\n", render_command(argv).c_str());
    run_command(argv);
}

bool bind_to_device(int fd, const char* iface) {
    char device[32];
    copy_text(device, iface);
    return ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device, sizeof device) == 0;
}

std::string get_if_ipv4(const char* iface) {
    std::string text = "0.0.0.0";
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.valid()) {
        ifreq ifr{};
        ifr.ifr_addr.sa_family = AF_INET;
        copy_text(ifr.ifr_name, iface);
        if (::ioctl(sock.get(), SIOCGIFADDR, &ifr) == 0) {
            sockaddr_in sin{};
            std::memcpy(&sin, &ifr.ifr_addr, sizeof sin);
            char buf[INET_ADDRSTRLEN];
            if (::inet_ntop(AF_INET, &sin.sin_addr, buf, sizeof buf) != nullptr) text = buf;
        }
    }
    std::printf("# %s IP:%s\n", iface, text.c_str());
    return text;
}

}  // namespace ovik
