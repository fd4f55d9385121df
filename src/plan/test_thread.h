// The test thread: idles while no run is active, runs cycles of the test plan back to back
// while one is, and ends for good at the run's verdict or stop. Its steps are the same for
// every device; what a check does and how an interface gets its address is the device's.
#pragma once

#include <thread>

#include "plan/testplan.h"
#include "plan/testresult.h"

namespace ovik {

// What the test thread drives: the device's checks and its interfaces' addresses.
class TestDevice {
  public:
    virtual ~TestDevice() = default;
    virtual int run_check(const TestRow& row, const TestCall& call) = 0;
    virtual void assign_address(TestResult& record, const char* iface) = 0;
};

// One cycle: every filled slot once, in the table's order, failures counted.
void run_test_cycle(TestPlan& testplan, RunState& run, TestDevice& device);

// The test thread's steps, with its pause of a second between two of them.
class TestLoop {
  public:
    TestLoop(TestPlan& testplan, RunState& run, TestDevice& device)
        : testplan_(testplan), run_(run), device_(device) {}
    // Numbers the items; the interfaces of numbered tests get their addresses.
    void begin();
    // The step after a pause: the cycle before it counts, then the loop idles, runs the next
    // cycle, or ends (false) at the stop or the verdict.
    bool step();

  private:
    TestPlan& testplan_;
    RunState& run_;
    TestDevice& device_;
    bool cycle_ran_ = false;
};

// The thread body: begin, then a step after every second until the loop ends.
void test_main(TestPlan& testplan, RunState& run, TestDevice& device);

// Owner of the test thread. The thread ends by itself at the verdict or the stop; the owner
// only joins it when the owner goes away.
class TestThread {
  public:
    TestThread(TestPlan& testplan, RunState& run, TestDevice& device)
        : testplan_(testplan), run_(run), device_(device) {}
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    ~TestThread();
    void start();

  private:
    TestPlan& testplan_;
    RunState& run_;
    TestDevice& device_;
    std::thread thread_;
};

}  // namespace ovik
