#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/console.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "checks/net/net_checks.h"
#include "platform/discovery.h"
#include "platform/netif.h"

namespace ovik {

namespace {

int fail(const char* fmt, const char* wired) {
    say(fmt, wired);
    return -1;
}

}  // namespace

PairMessage build_pair_message(const char* serial_text, const char* ip_text) {
    PairMessage msg{};
    char head[PAIR_MSG_SIZE + 1] = {};
    std::snprintf(head, sizeof head, "ABC%s", serial_text);
    std::memcpy(msg.data(), head, std::min<std::size_t>(std::strlen(head), PAIR_MSG_SIZE));
    // The address goes to offset 8 whatever the serial text left there.
    std::memset(msg.data() + 8, 0, 16);
    std::memcpy(msg.data() + 8, ip_text, std::min<std::size_t>(std::strlen(ip_text), 15));
    return msg;
}

bool pair_message_valid(const PairMessage& msg) {
    if (msg[0] != 'A' || msg[1] != 'B' || msg[2] != 'C') return false;
    // The serial number: up to four digits at offset 3, the rest of the field zero or digits.
    if (std::isdigit(msg[3]) == 0) return false;
    for (std::size_t i = 4; i < 8; ++i) {
        if (msg[i] != 0 && std::isdigit(msg[i]) == 0) return false;
    }
    // The address: a terminated dotted IPv4 text.
    char ip[17] = {};
    std::memcpy(ip, msg.data() + 8, 16);
    if (std::strlen(ip) > 15) return false;
    in_addr parsed{};
    return ::inet_pton(AF_INET, ip, &parsed) == 1;
}

int NetChecks::wlan_pair_exchange(const char* wired, const char* wifi, uint32_t serial) {
    std::snprintf(self_sn, sizeof self_sn, "%d", static_cast<int>(serial));
    char self_ip[16];
    copy_text(self_ip, get_if_ipv4(wired));
    const PairMessage self_msg = build_pair_message(self_sn, self_ip);

    const UniqueFd sock(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL)));
    if (!sock.valid()) return fail("%s socket open fail !\n", wired);
    if (!bind_to_device(sock.get(), wired)) {
        return fail("Cannot assign the opened socket file handle to %s !\n", wired);
    }
    const int on = 1;
    (void)::setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ifreq ifr{};
    copy_text(ifr.ifr_name, wired);
    (void)::ioctl(sock.get(), SIOCGIFINDEX, &ifr);
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ALL);
    link.sll_ifindex = ifr.ifr_ifindex;
    link.sll_pkttype = 0;
    link.sll_halen = ETH_ALEN;
    std::memset(link.sll_addr, 0xFF, sizeof link.sll_addr);
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&link), sizeof link) != 0) {
        return fail("Bind %s the local UDP port fail !\n", wired);
    }
    auto send_self = [&] {
        return ::sendto(sock.get(), self_msg.data(), self_msg.size(), 0,
                        reinterpret_cast<const sockaddr*>(&link), sizeof link) >= 1;
    };

    PairMessage pair_msg{};
    for (;;) {
        if (!send_self()) {
            say("%s send data error [%d] !\n", wired, errno);
            return -1;
        }
        if (wait_readable(sock.get(), 30000) <= 0) {
            return fail("%s wait data coming timeout !\n", wired);
        }
        pair_msg.fill(0);
        const ssize_t n = ::recv(sock.get(), pair_msg.data(), pair_msg.size(), 0);
        if (n != static_cast<ssize_t>(PAIR_MSG_SIZE)) {
            say("%s receive data length fail !\n", wired);
            char got[PAIR_MSG_SIZE + 1] = {};
            std::memcpy(got, pair_msg.data(), std::max<ssize_t>(0, std::min<ssize_t>(n, 24)));
            say("  got data: %s\n", got);
            return -1;
        }
        // Text from the other device reaches command lines: only a well-formed message counts.
        if (pair_message_valid(pair_msg)) break;
        say("payload is not correct!\n");
    }
    if (!send_self()) {
        say("%s send data error [%d] !\n", wired, errno);
        return -1;
    }
    char self_text[PAIR_MSG_SIZE + 1] = {};
    char pair_text[PAIR_MSG_SIZE + 1] = {};
    std::memcpy(self_text, self_msg.data(), PAIR_MSG_SIZE);
    std::memcpy(pair_text, pair_msg.data(), PAIR_MSG_SIZE);
    say("self_msg: %s\npair_msg: %s\n", self_text, pair_text);
    std::memcpy(pair_sn, pair_msg.data() + 3, 4);
    char peer_ip[17] = {};
    std::memcpy(peer_ip, pair_msg.data() + 8, 16);
    pair_.set(peer_ip);
    say("pair ip: %s\n", peer_ip);
    say("self_sn: %s\npair_sn: %s\n", self_sn, pair_sn);

    int result = 0;
    std::string ssid = "burnin";
    const bool station = std::strtol(self_sn, nullptr, 10) < std::strtol(pair_sn, nullptr, 10);
    if (station) {
        sleep_s(5);
        if (std::strcmp(wifi, "wlan0") == 0) {
            std::memcpy(final_sn, pair_sn, sizeof final_sn);
            ssid += pair_sn;
            ifup("wlan0", "172.17.0.102");
            result = wlan_connect_station("wlan0", ssid.c_str(), final_sn);
        }
    } else if (std::strcmp(wifi, "wlan0") == 0) {
        std::memcpy(final_sn, self_sn, sizeof final_sn);
        ssid += self_sn;
        ifup("wlan0", "172.17.0.101");
        result = wlan_start_ap("wlan0", ssid.c_str(), final_sn);
    }
    say("final_sn: %s\n", final_sn);
    if (std::strcmp(wifi, "wlan0") == 0) {
        UniqueFile f(std::fopen(WLAN0_SSID, "w"));
        if (f) std::fputs(ssid.c_str(), f.get());
    }
    return result;
}

}  // namespace ovik
