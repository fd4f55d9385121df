#include "base/clock.h"

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

SystemClock system_clock;
std::atomic<Clock*> current{&system_clock};

}  // namespace

Clock& clock() {
    return *current.load(std::memory_order_acquire);
}

Clock* set_clock(Clock* c) {
    return current.exchange(c != nullptr ? c : &system_clock, std::memory_order_acq_rel);
}

}  // namespace ovik
