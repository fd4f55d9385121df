#include "plan/test_thread.h"

#include "base/clock.h"
#include "base/console.h"
#include "plan/config.h"
#include "plan/testplan.h"
#include "plan/testresult.h"

namespace ovik {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

void count_result(TestSlot& s, int result) {
    if (result != -1) return;
    if (s.numbered()) bump(testresult.item[s.item].fail);
    testfail.store(-1, relaxed);
}

void run_slot(Slot id) {
    TestSlot& s = slot(id);
    if (!s.filled()) return;
    switch (id) {
        case Slot::CAN:
            count_result(s, s.func_on_device("can0"));
            break;
        case Slot::CAN2:
            count_result(s, s.func_on_device("can1"));
            break;
        case Slot::CAN0CAN1:
            count_result(s, s.func_on_pair("can0", "can1"));
            break;
        default:
            count_result(s, s.func());
            break;
    }
}

void run_cellular_slot(Slot id, const char* device) {
    TestSlot& s = slot(id);
    if (s.countdown <= 0) {
        s.countdown = s.interval;
        if (s.filled()) count_result(s, s.func_on_device(device));
    } else {
        --s.countdown;
    }
}

}  // namespace

void run_test_cycle() {
    for (Slot id = Slot::Serial; id <= Slot::GPS;
         id = static_cast<Slot>(static_cast<int>(id) + 1)) {
        run_slot(id);
    }
    run_cellular_slot(Slot::Cellular, config.modem_device[0].data());
    run_cellular_slot(Slot::Cellular2, config.modem_device[1].data());
    run_cellular_slot(Slot::Cellular3, config.modem_device[2].data());
    run_slot(Slot::WLAN);
    run_slot(Slot::TPM);
    run_slot(Slot::TPM2);
}

void test_main() {
    say("Enter test main thread !\n");
    build_test_items();
    while (teststop.load(relaxed) == 0) {
        const uint16_t status = run_status();
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
        run_test_cycle();
        sleep_s(1);
        bump(testresult.cycles);
    }
    say("Exit from test_main\n");
}

TestThread::~TestThread() {
    if (thread_.joinable()) thread_.join();
}

void TestThread::start() {
    thread_ = std::thread(test_main);
}

}  // namespace ovik
