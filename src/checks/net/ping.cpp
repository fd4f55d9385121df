#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/clock.h"
#include "base/console.h"
#include "base/unique_fd.h"
#include "checks/net/net_checks.h"
#include "platform/discovery.h"
#include "platform/netif.h"

namespace ovik {

uint16_t icmp_checksum(const uint8_t* buf, std::size_t len) {
    uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < len; i += 2) {
        uint16_t word = 0;
        std::memcpy(&word, buf + i, 2);
        sum += word;
    }
    if (i < len) {
        uint16_t word = 0;
        std::memcpy(&word, buf + i, 1);
        sum += word;
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::array<uint8_t, 128> echo_request() {
    std::array<uint8_t, 128> p{};
    p[0] = 8;
    // Stored in host order, which puts it right on the wire.
    const uint16_t sum = icmp_checksum(p.data(), p.size());
    std::memcpy(&p[2], &sum, 2);
    return p;
}

int NetChecks::testPing(const char* iface, const char* target, int limit_s, int uncounted) {
    TestResult& record = ctx_.run.testresult;
    const bool counted = uncounted == 0 && std::strcmp(iface, "wlan0") == 0;
    const UniqueFd sock(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!sock.valid()) {
        say("%s socket open ICMP fail !\n", iface);
        return -1;
    }
    if (!bind_to_device(sock.get(), iface)) {
        if (counted) bump(record.wlan_ping_sent);
        say("Cannot assign the opened socket file handle to %s !\n", iface);
        return -1;
    }
    const int on = 1;
    (void)::setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    (void)::fcntl(sock.get(), F_SETFL, O_NONBLOCK);
    uint8_t area[128] = {};

    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(target, nullptr, &hints, &found) != 0 || found == nullptr) {
        say("%s cannot resolve the ping target '%s' !\n", iface, target);
        return -1;
    }
    sockaddr_in to{};
    std::memcpy(&to, found->ai_addr, sizeof to);
    ::freeaddrinfo(found);
    to.sin_port = 0;

    const std::array<uint8_t, 128> request = echo_request();
    if (counted) bump(record.wlan_ping_sent);
    const ssize_t sent = ::sendto(sock.get(), request.data(), request.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent != static_cast<ssize_t>(request.size())) {
        say("%s send data error [%d] !\n", iface, errno);
        return -1;
    }
    const std::time_t start = std::time(nullptr);
    for (;;) {
        const int ready = wait_readable(sock.get(), 10);
        if (ready < 0) {
            say("%s ping select fail !\n", iface);
            return -1;
        }
        if (ready > 0) {
            const ssize_t n = ::recv(sock.get(), area, sizeof area, 0);
            if (n > 75) {
                const std::size_t header = static_cast<std::size_t>(area[0] & 0x0F) * 4;
                if (header < static_cast<std::size_t>(n) && area[header] == 0) {
                    say("%s test OK.\n", iface);
                    if (counted) bump(record.wlan_ping_recv);
                    return 0;
                }
            }
        }
        if (std::time(nullptr) - start > limit_s) {
            say("%s ping machine timeout fail !\n", iface);
            return -1;
        }
    }
}

int NetChecks::testLAN2Ping() {
    return testPing("eth1", pair_.text().c_str(), 10, 1);
}

int NetChecks::testWLANAlone() {
    get_bit_rate("wlan0");
    get_signal_level("wlan0");
    return testPing("wlan0", ctx_.config.ap_address.data(), 10, 0);
}

int NetChecks::testWLANPair() {
    // The lower serial number is the station and pings the access point.
    const long self = std::strtol(self_sn, nullptr, 10);
    const long pair = std::strtol(pair_sn, nullptr, 10);
    return testPing("wlan0", self < pair ? "172.17.0.101" : "172.17.0.102", 10, 0);
}

}  // namespace ovik
