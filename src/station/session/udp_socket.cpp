#include "station/session/udp_socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ovik::station {

std::optional<UdpSocket> UdpSocket::open(const Endpoint& local, const std::string& interface,
                                         std::string& error, int& error_number) {
    auto failed = [&](std::string what) {
        error_number = errno;
        error = std::move(what) + ": " + std::strerror(error_number);
        return std::nullopt;
    };
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return failed("cannot open a UDP socket");
    const int on = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        return failed("cannot allow broadcasts on the socket");
    }
    // Before the bind: the kernel looks at the device when it checks whether the port is free.
    if (!interface.empty() && ::setsockopt(fd.get(), SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(),
                                           static_cast<socklen_t>(interface.size())) != 0) {
        return failed("cannot tie the socket to --interface " + interface +
                      (errno == EPERM ? " (it needs CAP_NET_RAW: run ovikstation as root, or "
                                        "give it the capability with setcap cap_net_raw+ep)"
                                      : ""));
    }
    const sockaddr_in sa = local.to_sockaddr();
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        return failed("cannot bind " + local.text());
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
        return failed("cannot read the socket's address");
    }
    return UdpSocket(std::move(fd), Endpoint::from_sockaddr(bound));
}

ReceiveBuffer UdpSocket::size_receive_buffer(std::size_t bytes) const {
    const int asked = static_cast<int>(bytes);
    std::string shortfall;
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0) {
        shortfall = std::string("SO_RCVBUFFORCE: ") + std::strerror(errno) +
                    "; SO_RCVBUF is held to net.core.rmem_max";
        static_cast<void>(::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked));
    }
    int granted = 0;
    socklen_t len = sizeof granted;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &granted, &len) != 0) granted = 0;
    ReceiveBuffer result{static_cast<std::size_t>(std::max(granted, 0)), ""};
    // The kernel grants twice the size asked for, its bookkeeping included.
    if (result.bytes < 2 * bytes) result.shortfall = shortfall.empty() ? "capped" : shortfall;
    return result;
}

bool UdpSocket::send_to(const Endpoint& to, std::span<const uint8_t> bytes) const {
    const sockaddr_in sa = to.to_sockaddr();
    const ssize_t n = ::sendto(fd_.get(), bytes.data(), bytes.size(), 0,
                               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n == static_cast<ssize_t>(bytes.size());
}

bool UdpSocket::receive(Datagram& into) const {
    // Room for more than a response frame, so a longer datagram shows as longer. The buffer's
    // capacity stays from one datagram to the next: no allocation per datagram.
    into.bytes.resize(2048);
    sockaddr_in from{};
    while (true) {
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_.get(), into.bytes.data(), into.bytes.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n >= 0) {
            into.bytes.resize(static_cast<std::size_t>(n));
            into.from = Endpoint::from_sockaddr(from);
            return true;
        }
        // ICMP errors of earlier sends show up here on some kernels; they are no datagram.
        if (errno == EINTR || errno == ECONNREFUSED) continue;
        into.bytes.clear();
        return false;
    }
}

bool UdpSocket::wait_readable(int timeout_ms) const {
    pollfd p{fd_.get(), POLLIN, 0};
    const int n = ::poll(&p, 1, timeout_ms);
    return n > 0 && (p.revents & POLLIN) != 0;
}

namespace {

// Room for more than a response frame, so a longer datagram shows as longer.
constexpr std::size_t SLOT = 1024;

}  // namespace

DatagramBatch::DatagramBatch(std::size_t capacity)
    : buffer_(capacity * SLOT), from_(capacity), iov_(capacity), headers_(capacity) {}

std::size_t DatagramBatch::receive(const UdpSocket& socket) {
    size_ = 0;
    for (std::size_t i = 0; i < headers_.size(); ++i) {
        iov_[i] = iovec{buffer_.data() + i * SLOT, SLOT};
        headers_[i] = mmsghdr{};
        headers_[i].msg_hdr.msg_name = &from_[i];
        headers_[i].msg_hdr.msg_namelen = sizeof from_[i];
        headers_[i].msg_hdr.msg_iov = &iov_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
    }
    while (true) {
        const int n = ::recvmmsg(socket.fd(), headers_.data(),
                                 static_cast<unsigned>(headers_.size()), MSG_DONTWAIT, nullptr);
        if (n >= 0) {
            size_ = static_cast<std::size_t>(n);
            return size_;
        }
        // ICMP errors of earlier sends show up here on some kernels; they are no datagram.
        if (errno != EINTR && errno != ECONNREFUSED) return 0;
    }
}

std::span<const uint8_t> DatagramBatch::bytes(std::size_t i) const {
    return {buffer_.data() + i * SLOT, std::min<std::size_t>(headers_[i].msg_len, SLOT)};
}

}  // namespace ovik::station
