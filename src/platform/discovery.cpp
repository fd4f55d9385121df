#include "platform/discovery.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/clock.h"
#include "base/console.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "platform/netif.h"

namespace ovik {
namespace {

sockaddr_in any_port(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    return a;
}

}  // namespace

std::string PairAddress::text() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::string(pair_ip, ::strnlen(pair_ip, sizeof pair_ip));
}

void PairAddress::set(const char* text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    copy_text(pair_ip, text);
}

std::string discovery_broadcast(const std::string& own_address) {
    int a = 0;
    int b = 0;
    int c = 0;
    int d = 0;
    if (std::sscanf(own_address.c_str(), "%d.%d.%d.%d", &a, &b, &c, &d) != 4) a = b = 0;
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.255.255", a, b);
    return text;
}

void PeerDiscovery::start_responder(const std::string& own_address) {
    if (thread_.joinable()) return;
    wake_.reset(::eventfd(0, EFD_CLOEXEC));
    thread_ = std::thread([this, own_address] { respond(own_address); });
}

void PeerDiscovery::stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    (void)::write(wake_.get(), &one, sizeof one);
    thread_.join();
}

void PeerDiscovery::respond(const std::string& own_address) {
    const UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        std::fprintf(stderr, "sock error\n: %s\n", std::strerror(errno));
        return;
    }
    const int on = 1;
    (void)::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = any_port(DISCOVERY_PORT);
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "bind error\n: %s\n", std::strerror(errno));
        return;
    }
    for (;;) {
        pollfd fds[2] = {{sock.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, 5000) <= 0) continue;
        if ((fds[1].revents & POLLIN) != 0) return;
        char buf[1025] = {};
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(sock.get(), buf, 1024, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0 || std::strstr(buf, "IP_FOUND") == nullptr) continue;
        char sender[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
        // Our own broadcasts come back to us; they are not a partner.
        if (own_address == sender) continue;
        pair_.set(sender);
        (void)::sendto(sock.get(), "IP_FOUND_ACK", 12, 0, reinterpret_cast<const sockaddr*>(&from),
                       len);
    }
}

int discover_peer(const char* broadcast) {
    const UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        std::fprintf(stderr, "sock error: %s\n", std::strerror(errno));
        return -1;
    }
    const int on = 1;
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        std::fprintf(stderr, "setsockopt error: %s\n", std::strerror(errno));
        return -1;
    }
    sockaddr_in to = any_port(DISCOVERY_PORT);
    to.sin_addr.s_addr = ::inet_addr(broadcast);
    for (;;) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            (void)::sendto(sock.get(), "IP_FOUND", 8, 0, reinterpret_cast<const sockaddr*>(&to),
                           sizeof to);
            if (wait_readable(sock.get(), 1000) > 0) {
                char buf[1025] = {};
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n =
                    ::recvfrom(sock.get(), buf, 1024, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n > 0 && std::strstr(buf, "IP_FOUND_ACK") != nullptr) {
                    char sender[INET_ADDRSTRLEN] = {};
                    ::inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
                    std::printf("found server IP is %s, Port is %d\n", sender,
                                ntohs(from.sin_port));
                    return 0;
                }
            }
            sleep_s(1);
        }
        sleep_s(10);
    }
}

int PeerDiscovery::start_peer_discovery(const char* iface) {
    const std::string own = get_if_ipv4(iface);
    start_responder(own);
    const std::string broadcast = discovery_broadcast(own);
    const int r = discover_peer(broadcast.c_str());
    if (r != 0) std::printf("Broadcast get IP %s failed. (ret:%d)\n", broadcast.c_str(), r);
    return r;
}

}  // namespace ovik
