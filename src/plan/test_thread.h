// The test thread: idles while no run is active, runs cycles of the test plan back to back
// while one is, and ends for good at the run's verdict or stop.
#pragma once

#include <thread>

namespace ovik {

// One cycle: every filled slot once, in catalogue order, failures counted.
void run_test_cycle();

// The thread body.
void test_main();

// Owner of the test thread. The thread ends by itself at the verdict or the stop; the owner
// only joins it when the owner goes away.
class TestThread {
  public:
    TestThread() = default;
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    ~TestThread();
    void start();

  private:
    std::thread thread_;
};

}  // namespace ovik
