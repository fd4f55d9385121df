// Round trip of the host link: query commands against the agent, or the same datagrams against
// a bare UDP echo server, so the agent's own cost can be read as a ratio.
//
//   ovik-roundtrip echo PORT                 answer every datagram with 512 bytes
//   ovik-roundtrip query ADDR PORT COUNT     polling once, then COUNT query commands
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "wire/frames.h"

namespace {

using namespace ovik;
using Clock = std::chrono::steady_clock;

int serve_echo(uint16_t port) {
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (!sock.valid() ||
        ::bind(sock.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "echo: cannot bind port %u: %s\n", port, std::strerror(errno));
        return 1;
    }
    wire::ResponseBytes reply{};
    for (;;) {
        uint8_t buf[wire::COMMAND_FRAME_SIZE];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        if (::recvfrom(sock.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len) <
            0) {
            continue;
        }
        ::sendto(sock.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                 len);
    }
}

// Sends one command and waits (at most 2 s) for a reply that is not a status report.
bool exchange(const UniqueFd& sock, const sockaddr_in& to, const wire::CommandFrame& cmd,
              wire::ResponseFrame& out) {
    const wire::CommandBytes bytes = wire::encode_command(cmd);
    ::sendto(sock.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < deadline) {
        pollfd pfd{sock.get(), POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (::poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        wire::ResponseBytes buf{};
        const ssize_t n = ::recv(sock.get(), buf.data(), buf.size(), 0);
        if (n != static_cast<ssize_t>(buf.size())) continue;
        out = wire::decode_response(buf);
        if (out.code == wire::RSP_ALIVE || out.code == wire::RSP_DIAG) continue;
        return true;
    }
    return false;
}

int run_queries(const char* addr, uint16_t port, int count) {
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (!sock.valid() || ::inet_pton(AF_INET, addr, &to.sin_addr) != 1) {
        std::fprintf(stderr, "query: bad address %s\n", addr);
        return 2;
    }
    wire::CommandFrame cmd;
    wire::ResponseFrame reply;
    cmd.cmd = wire::CMD_POLLING;
    if (!exchange(sock, to, cmd, reply)) {
        std::fprintf(stderr, "query: no answer to polling from %s:%u\n", addr, port);
        return 1;
    }
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    uint16_t ser = reply.ser;
    for (int i = 0; i < count; ++i) {
        cmd.cmd = wire::CMD_QUERY;
        cmd.ser = ser;
        const auto t0 = Clock::now();
        if (!exchange(sock, to, cmd, reply)) {
            std::fprintf(stderr, "query %d: no answer within 2 s\n", i);
            return 1;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        ser = reply.code == (wire::ACK_BIT | wire::CMD_QUERY) ? reply.ser : ser;
    }
    std::sort(us.begin(), us.end());
    auto pct = [&](double p) {
        return us[static_cast<std::size_t>(p * static_cast<double>(us.size() - 1))];
    };
    std::printf("count=%d p50_us=%.1f p99_us=%.1f max_us=%.1f\n", count, pct(0.50), pct(0.99),
                us.back());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "echo") == 0) {
        return serve_echo(static_cast<uint16_t>(std::atoi(argv[2])));
    }
    if (argc == 5 && std::strcmp(argv[1], "query") == 0) {
        return run_queries(argv[2], static_cast<uint16_t>(std::atoi(argv[3])), std::atoi(argv[4]));
    }
    std::fprintf(stderr, "usage: %s echo PORT | query ADDR PORT COUNT\n", argv[0]);
    return 2;
}
