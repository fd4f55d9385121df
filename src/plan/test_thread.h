// The test thread: idles while no run is active, runs cycles of the test plan back to back
// while one is, and ends for good at the run's verdict or stop.
#pragma once

#include <thread>

#include "plan/config.h"
#include "plan/testplan.h"
#include "plan/testresult.h"

namespace ovik {

// One cycle: every filled slot once, in catalogue order, failures counted.
void run_test_cycle(TestPlan& testplan, RunState& run, const Configuration& config);

// The thread body: numbers the items, then cycles while the run is active.
void test_main(TestPlan& testplan, RunState& run, const Configuration& config);

// Owner of the test thread. The thread ends by itself at the verdict or the stop; the owner
// only joins it when the owner goes away.
class TestThread {
  public:
    TestThread(TestPlan& testplan, RunState& run, const Configuration& config)
        : testplan_(testplan), run_(run), config_(config) {}
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    ~TestThread();
    void start();

  private:
    TestPlan& testplan_;
    RunState& run_;
    const Configuration& config_;
    std::thread thread_;
};

}  // namespace ovik
