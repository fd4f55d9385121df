#include "plan/test_thread.h"

#include "base/clock.h"
#include "base/console.h"

namespace ovik {

void run_test_cycle(TestPlan& testplan, RunState& run, TestDevice& device) {
    for (TestSlot& s : testplan.slots()) {
        // A slot with an interval skips that many cycles between two runs of its test.
        if (s.countdown > 0) {
            --s.countdown;
            continue;
        }
        s.countdown = s.interval;
        if (!s.filled()) continue;
        if (device.run_check(*s.row, s.call()) != -1) continue;
        if (s.numbered()) bump(run.testresult.item[s.item].fail);
        run.mark_failed();
    }
}

void TestLoop::begin() {
    say("Enter test main thread !\n");
    number_test_items(testplan_, run_.testresult);
    for (const TestSlot& s : testplan_.slots()) {
        if (s.filled() && s.row->address != nullptr) {
            device_.assign_address(run_.testresult, s.row->address);
        }
    }
}

bool TestLoop::step() {
    if (cycle_ran_) bump(run_.testresult.cycles);
    cycle_ran_ = false;
    if (run_.teststop.load(std::memory_order_relaxed) == 0) {
        const uint16_t status = run_.status();
        if (status == wire::STATUS_IDLE) {
            say("Test main loop sleep !\n");
            return true;
        }
        if (status == wire::STATUS_OK) {
            say("status: STATUS_OK! Test main loop break !\n");
        } else if (status == wire::STATUS_FAIL) {
            say("status: STATUS_FAIL! Test main loop break !\n");
        } else {
            run_test_cycle(testplan_, run_, device_);
            cycle_ran_ = true;
            return true;
        }
    }
    say("Exit from test_main\n");
    return false;
}

void test_main(TestPlan& testplan, RunState& run, TestDevice& device) {
    TestLoop loop(testplan, run, device);
    loop.begin();
    while (loop.step()) sleep_s(1);
}

TestThread::~TestThread() {
    if (thread_.joinable()) thread_.join();
}

void TestThread::start() {
    thread_ = std::thread([this] { test_main(testplan_, run_, device_); });
}

}  // namespace ovik
