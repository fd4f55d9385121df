#include "plan/test_thread.h"

#include "base/clock.h"
#include "base/console.h"

namespace ovik {
namespace {

void count_result(RunState& run, const TestSlot& s, int result) {
    if (result != -1) return;
    if (s.numbered()) bump(run.testresult.item[s.item].fail);
    run.mark_failed();
}

void run_slot(TestPlan& plan, RunState& run, Slot id) {
    const TestSlot& s = plan.slot(id);
    if (!s.filled()) return;
    switch (id) {
        case Slot::CAN:
            count_result(run, s, s.func_on_device("can0"));
            break;
        case Slot::CAN2:
            count_result(run, s, s.func_on_device("can1"));
            break;
        case Slot::CAN0CAN1:
            count_result(run, s, s.func_on_pair("can0", "can1"));
            break;
        default:
            count_result(run, s, s.func());
            break;
    }
}

void run_cellular_slot(TestPlan& plan, RunState& run, Slot id, const char* device) {
    TestSlot& s = plan.slot(id);
    if (s.countdown <= 0) {
        s.countdown = s.interval;
        if (s.filled()) count_result(run, s, s.func_on_device(device));
    } else {
        --s.countdown;
    }
}

}  // namespace

void run_test_cycle(TestPlan& testplan, RunState& run, const Configuration& config) {
    for (Slot id = Slot::Serial; id <= Slot::GPS;
         id = static_cast<Slot>(static_cast<int>(id) + 1)) {
        run_slot(testplan, run, id);
    }
    run_cellular_slot(testplan, run, Slot::Cellular, config.modem_device[0].data());
    run_cellular_slot(testplan, run, Slot::Cellular2, config.modem_device[1].data());
    run_cellular_slot(testplan, run, Slot::Cellular3, config.modem_device[2].data());
    run_slot(testplan, run, Slot::WLAN);
    run_slot(testplan, run, Slot::TPM);
    run_slot(testplan, run, Slot::TPM2);
}

void test_main(TestPlan& testplan, RunState& run, const Configuration& config) {
    say("Enter test main thread !\n");
    build_test_items(testplan, run.testresult);
    while (run.teststop.load(std::memory_order_relaxed) == 0) {
        const uint16_t status = run.status();
        if (status == wire::STATUS_IDLE) {
            say("Test main loop sleep !\n");
            sleep_s(1);
            continue;
        }
        if (status == wire::STATUS_OK) {
            say("status: STATUS_OK! Test main loop break !\n");
            break;
        }
        if (status == wire::STATUS_FAIL) {
            say("status: STATUS_FAIL! Test main loop break !\n");
            break;
        }
        run_test_cycle(testplan, run, config);
        sleep_s(1);
        bump(run.testresult.cycles);
    }
    say("Exit from test_main\n");
}

TestThread::~TestThread() {
    if (thread_.joinable()) thread_.join();
}

void TestThread::start() {
    thread_ = std::thread([this] { test_main(testplan_, run_, config_); });
}

}  // namespace ovik
