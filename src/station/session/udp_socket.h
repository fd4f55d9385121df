// The station's one UDP socket. Every agent of a run talks to it; the event loop reads it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "station/session/endpoint.h"

namespace ovik::station {

struct Datagram {
    Endpoint from;
    std::vector<uint8_t> bytes;
};

// What the kernel granted for the socket's receive queue, in its own accounting (twice the
// size asked for); shortfall says why it is less than asked, "" when it is not.
struct ReceiveBuffer {
    std::size_t bytes = 0;
    std::string shortfall;
};

class UdpSocket {
  public:
    // Bound to local with SO_BROADCAST, non-blocking, and with interface (when not empty) to
    // that network device alone (SO_BINDTODEVICE, which needs CAP_NET_RAW). The port is not
    // shared (no SO_REUSEADDR): a second station on it fails with EADDRINUSE, unless each is
    // bound to a device of its own, which the kernel keeps apart. On failure error says what
    // went wrong, with the system's reason, and error_number is its errno.
    static std::optional<UdpSocket> open(const Endpoint& local, const std::string& interface,
                                         std::string& error, int& error_number);

    int fd() const { return fd_.get(); }
    Endpoint local() const { return local_; }

    // Asks for a receive queue of bytes with SO_RCVBUFFORCE, which net.core.rmem_max does not
    // cap but which needs CAP_NET_ADMIN; without it, with SO_RCVBUF up to that cap.
    ReceiveBuffer size_receive_buffer(std::size_t bytes) const;
    // False when the kernel refused the datagram; errno says why.
    bool send_to(const Endpoint& to, std::span<const uint8_t> bytes) const;
    // Takes the next waiting datagram into into, reusing its buffer; false when none is
    // waiting.
    bool receive(Datagram& into) const;
    // Waits until a datagram is waiting or timeout_ms has passed; true when one is waiting.
    bool wait_readable(int timeout_ms) const;

  private:
    UdpSocket(UniqueFd fd, Endpoint local) : fd_(std::move(fd)), local_(local) {}
    UniqueFd fd_;
    Endpoint local_;
};

// Datagrams taken from the socket many at once (recvmmsg): a burst of reports costs one system
// call instead of one each. Its buffers are allocated once.
class DatagramBatch {
  public:
    explicit DatagramBatch(std::size_t capacity);
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // Takes up to capacity waiting datagrams; how many (0 when none is waiting).
    std::size_t receive(const UdpSocket& socket);
    std::size_t size() const { return size_; }
    Endpoint from(std::size_t i) const { return Endpoint::from_sockaddr(from_[i]); }
    // Cut at the slot's size: a longer datagram shows as longer than any frame all the same.
    std::span<const uint8_t> bytes(std::size_t i) const;

  private:
    std::vector<uint8_t> buffer_;
    std::vector<sockaddr_in> from_;
    std::vector<iovec> iov_;
    std::vector<mmsghdr> headers_;
    std::size_t size_ = 0;
};

}  // namespace ovik::station
