// Helpers shared by the station tests: captured console output and loopback sockets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "station/agent_session.h"
#include "station/udp_socket.h"

namespace ovik::station::test {

using namespace std::chrono_literals;

inline constexpr uint32_t LOOPBACK = 0x7F000001;

// A FILE* whose text the test can read.
class Captured {
  public:
    Captured() : file_(::open_memstream(&buffer_, &size_)) {}
    ~Captured() {
        std::fclose(file_);
        std::free(buffer_);
    }
    Captured(const Captured&) = delete;
    Captured& operator=(const Captured&) = delete;

    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

  private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

inline UdpSocket loopback_socket() {
    std::string error;
    std::optional<UdpSocket> s = UdpSocket::open(Endpoint{LOOPBACK, 0}, error);
    if (!s) throw std::runtime_error(error);
    return std::move(*s);
}

// A loopback port that was free a moment ago, for runs that bind their own socket.
inline uint16_t free_port() {
    return loopback_socket().local().port;
}

// Short enough for tests, with the same proportions as the real timings.
inline Timing fast_timing() {
    Timing t;
    t.answer_timeout = 500ms;
    t.start_answer_timeout = 3000ms;
    t.silence_limit = 1000ms;
    t.diagnostic_interval = 200ms;
    return t;
}

}  // namespace ovik::station::test
