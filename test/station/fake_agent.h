// A stand-in for ovikburn's host link on a loopback UDP socket, run on a thread of its own:
// the announcement, the sequence rule, a start answer that takes its time, status reports, a
// download with progress, and answers that get lost on the way.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "station/agent_session.h"
#include "station/udp_socket.h"
#include "wire/frames.h"

namespace ovik::station::test {

using namespace std::chrono_literals;

struct FakeAgentOptions {
    uint32_t serial = 1234;
    std::optional<Endpoint> announce_to{};  // none: quiet until polled
    Millis start_delay{50};
    Millis report_every{100};
    bool download_expected = false;
    bool download_fails = false;
    std::set<uint16_t> lose_first_answer{};  // the first answer to each of these is lost
    bool dies_after_start = false;           // answers start, then nothing more
    bool test_failures = false;              // item COM fails twice, serial port 1 three times
};

class FakeAgent {
  public:
    explicit FakeAgent(FakeAgentOptions options);
    ~FakeAgent();
    FakeAgent(const FakeAgent&) = delete;
    FakeAgent& operator=(const FakeAgent&) = delete;

    Endpoint endpoint() const { return socket_.local(); }
    // Every command frame received, in order.
    std::vector<wire::CommandFrame> received() const;
    int count(uint16_t cmd) const;

  private:
    void serve();
    void handle(const wire::CommandFrame& c);
    void respond(uint16_t code);

    FakeAgentOptions options_;
    UdpSocket socket_;
    wire::ResponseFrame rec_;
    Endpoint peer_;
    bool alive_pending_ = true;
    bool ended_ = false;
    bool dead_ = false;
    uint32_t progress_ = 0;
    std::chrono::steady_clock::time_point started_{};
    mutable std::mutex mutex_;
    std::vector<wire::CommandFrame> received_;
    std::atomic<bool> quit_{false};
    std::thread thread_;  // last: starts once everything above is set
};

}  // namespace ovik::station::test
