#include "base/clock.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace ovik {
namespace {

class SystemClock final : public Clock {
  public:
    MsStamp now_ms() override {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return MsStamp{ts.tv_sec, static_cast<int32_t>(ts.tv_nsec / 1000000)};
    }
    void sleep_ms(int64_t ms) override {
        timespec req{static_cast<std::time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (::nanosleep(&req, &req) != 0 && errno == EINTR) {
        }
    }
};

// Process-wide by nature: every thread reads time through one clock, and a test swaps it.
SystemClock system_clock;
std::atomic<Clock*> current{&system_clock};

}  // namespace

int wait_readable(int fd, int64_t timeout_ms, int64_t* left_ms) {
    const auto monotonic_ms = [] {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    };
    const int64_t deadline = monotonic_ms() + timeout_ms;
    int ready = 0;
    for (;;) {
        const int64_t left = std::max<int64_t>(0, deadline - monotonic_ms());
        pollfd pfd{fd, POLLIN, 0};
        ready = ::poll(&pfd, 1, static_cast<int>(left));
        if (ready >= 0 || errno != EINTR) break;
    }
    if (left_ms != nullptr) *left_ms = std::max<int64_t>(0, deadline - monotonic_ms());
    return ready > 0 ? 1 : ready;
}

Clock& clock() {
    return *current.load(std::memory_order_acquire);
}

Clock* set_clock(Clock* c) {
    return current.exchange(c != nullptr ? c : &system_clock, std::memory_order_acq_rel);
}

}  // namespace ovik
