// The one place where the agent reads the system clock for intervals and sleeps, so that
// schedules can be driven by a test clock.
#pragma once

#include <atomic>
#include <cstdint>

namespace ovik {

// Seconds and milliseconds of the system clock.
struct MsStamp {
    int64_t sec = 0;
    int32_t ms = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    virtual MsStamp now_ms() = 0;
    virtual void sleep_ms(int64_t ms) = 0;
};

// The process's clock: the system clock unless a test installed another.
Clock& clock();
// Installs c (nullptr restores the system clock). Returns the previous one.
Clock* set_clock(Clock* c);

inline MsStamp now_ms() {
    return clock().now_ms();
}
inline void sleep_ms(int64_t ms) {
    clock().sleep_ms(ms);
}
inline void sleep_s(int64_t s) {
    clock().sleep_ms(s * 1000);
}

// Waits until fd is readable, at most timeout_ms: 1 when it is, 0 at the time limit, -1 on an
// error (errno says which). With left_ms, the time not used is stored there, so that several
// waits can share one budget.
int wait_readable(int fd, int64_t timeout_ms, int64_t* left_ms = nullptr);

}  // namespace ovik
