// A clock for tests: time moves only when the code under test sleeps.
#pragma once

#include <mutex>
#include <vector>

#include "base/clock.h"

namespace ovik::testsupport {

class FakeClock final : public Clock {
  public:
    FakeClock() : previous_(set_clock(this)) {}
    ~FakeClock() override { set_clock(previous_); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    MsStamp now_ms() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return MsStamp{now_ / 1000, static_cast<int32_t>(now_ % 1000)};
    }
    void sleep_ms(int64_t ms) override {
        std::lock_guard<std::mutex> lock(mutex_);
        now_ += ms;
        sleeps_.push_back(ms);
    }
    std::vector<int64_t> sleeps() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sleeps_;
    }

  private:
    Clock* previous_;
    std::mutex mutex_;
    int64_t now_ = 1'700'000'000'000;
    std::vector<int64_t> sleeps_;
};

}  // namespace ovik::testsupport
