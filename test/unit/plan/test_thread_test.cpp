#include "plan/test_thread.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/console.h"
#include "fake_clock.h"
#include "private_mounts.h"
#include "plan/config.h"
#include "plan/testplan.h"
#include "plan/testresult.h"

namespace ovik {
namespace {

using testsupport::FakeClock;

// Calls made by the stand-in tests of one cycle, in order.
std::vector<std::string> calls;
int lan3_result = 0;

int lan3() {
    calls.emplace_back("LAN3");
    return lan3_result;
}
int usb1() {
    calls.emplace_back("USB1");
    return 1;
}
int mem() {
    calls.emplace_back("MEM");
    return -2;
}
int serial() {
    calls.emplace_back("serial");
    return -1;
}
int tpm2() {
    calls.emplace_back("TPM2");
    return -1;
}
int can(const char* dev) {
    calls.emplace_back(std::string("CAN ") + dev);
    return 0;
}
int two_can(const char* a, const char* b) {
    calls.emplace_back(std::string("TwoCAN ") + a + " " + b);
    return -1;
}
int cell(const char* dev) {
    calls.emplace_back(std::string("cell ") + dev);
    return -1;
}

class TestThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Numbering LAN3 gives eth2 its address: only in the test's own network namespace.
        OVIK_NEED_PRIVATE_MOUNTS();
        quiet.store(1);
        testresult.clear();
        reset_testplan();
        testfail.store(0);
        teststop.store(0);
        calls.clear();
        lan3_result = 0;
        config = Configuration{};
    }
    void TearDown() override { quiet.store(0); }
    static uint32_t fails(std::size_t n) { return testresult.item[n].fail.load(); }
};

TEST_F(TestThreadTest, CatalogueOrderNumberingAndCounting) {
    // Filled in an order unlike the catalogue's.
    slot(Slot::TPM2).func = tpm2;
    slot(Slot::CAN0CAN1).func_on_pair = two_can;
    slot(Slot::MEM).func = mem;
    slot(Slot::CAN2).func_on_device = can;
    slot(Slot::USB1).func = usb1;
    slot(Slot::LAN3).func = lan3;
    slot(Slot::Serial).func = serial;
    build_test_items();

    const char* names[] = {"LAN3", "USB1", "MEM", "CAN2", "CAN0&CAN1", "TPM2", "", ""};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(testresult.item[i].name_text(), names[i]);

    run_test_cycle();
    EXPECT_EQ(calls, (std::vector<std::string>{"serial", "LAN3", "USB1", "MEM", "CAN can1",
                                               "TwoCAN can0 can1", "TPM2"}));
    // Only -1 counts; 1 and -2 are passes; the serial test counts no item.
    EXPECT_EQ((std::vector<uint32_t>{fails(0), fails(1), fails(2), fails(3), fails(4), fails(5)}),
              (std::vector<uint32_t>{0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(testfail.load(), -1);
}

TEST_F(TestThreadTest, ItemTableNeverGrowsPastEightEntries) {
    for (Slot s : {Slot::LAN2, Slot::LAN3, Slot::LAN4, Slot::USB1, Slot::MSATA, Slot::SSD,
                   Slot::MEM, Slot::SD, Slot::DIO, Slot::GPS, Slot::TPM}) {
        slot(s).func = usb1;
    }
    slot(Slot::LAN3).func = nullptr;  // keep eth2/eth3 out of this test
    slot(Slot::LAN4).func = nullptr;
    testresult.portfail[5].store(9);
    build_test_items();
    // Nine numbered tests: the ninth, TPM, finds no entry; nothing past entry 7 is written.
    EXPECT_EQ(testresult.item[7].name_text(), "GPS");
    EXPECT_EQ(testresult.portfail[5].load(), 0u);
}

TEST_F(TestThreadTest, CellularSlotsRunEveryIntervalPlusOneCycles) {
    config.modem_device[0] = {'/', 'd', 'e', 'v', '/', 'A'};
    config.modem_device[2] = {'/', 'd', 'e', 'v', '/', 'C'};
    slot(Slot::Cellular).func_on_device = cell;
    slot(Slot::Cellular).interval = slot(Slot::Cellular).countdown = 2;
    slot(Slot::Cellular3).func_on_device = cell;
    build_test_items();
    std::vector<int> first_runs;
    std::vector<int> third_runs;
    for (int cycle = 1; cycle <= 9; ++cycle) {
        calls.clear();
        run_test_cycle();
        for (const auto& c : calls) {
            if (c == "cell /dev/A") first_runs.push_back(cycle);
            if (c == "cell /dev/C") third_runs.push_back(cycle);
        }
    }
    EXPECT_EQ(first_runs, (std::vector<int>{3, 6, 9}));
    EXPECT_EQ(third_runs, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9})) << "interval 0";
    EXPECT_EQ(testresult.item[0].name_text(), "Cellular");
    EXPECT_EQ(testresult.item[1].name_text(), "Cellular3");
    EXPECT_EQ(fails(0), 3u);
    EXPECT_EQ(fails(1), 9u);
}

TEST_F(TestThreadTest, ThreadFollowsTheRunStatus) {
    FakeClock clock;
    slot(Slot::USB1).func = usb1;
    // Running, then a verdict ends the thread for good.
    set_run_status(wire::STATUS_RUNNING);
    std::thread stopper([] {
        while (testresult.cycles.load() < 3) std::this_thread::yield();
        set_run_status(wire::STATUS_OK);
    });
    test_main();
    stopper.join();
    EXPECT_GE(testresult.cycles.load(), 3u);
    EXPECT_EQ(calls.size(), testresult.cycles.load()) << "one call per cycle";
    EXPECT_EQ(testfail.load(), 0);
}

TEST_F(TestThreadTest, StopRequestEndsTheThreadAfterTheCycle) {
    FakeClock clock;
    set_run_status(wire::STATUS_DOWNLOAD);  // any status but 0, 2 and 16 runs cycles
    slot(Slot::USB1).func = [] {
        teststop.store(1);
        return 0;
    };
    test_main();
    EXPECT_EQ(testresult.cycles.load(), 1u) << "the cycle ends with its pause and its count";
}

TEST_F(TestThreadTest, IdleRunsNoTests) {
    FakeClock clock;
    slot(Slot::USB1).func = usb1;
    std::thread stopper([&clock] {
        while (clock.sleeps().size() < 5) std::this_thread::yield();
        teststop.store(1);
    });
    test_main();
    stopper.join();
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(testresult.cycles.load(), 0u);
}

}  // namespace
}  // namespace ovik
