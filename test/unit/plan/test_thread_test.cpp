#include "plan/test_thread.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/console.h"
#include "eventually.h"
#include "fake_clock.h"
#include "plan/config.h"
#include "plan/testplan.h"
#include "plan/testresult.h"
#include "private_mounts.h"

namespace ovik {
namespace {

using testsupport::eventually;
using testsupport::FakeClock;

class TestThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Numbering LAN3 gives eth2 its address: only in the test's own network namespace.
        OVIK_NEED_PRIVATE_MOUNTS();
        quiet.store(1);
    }
    void TearDown() override { quiet.store(0); }

    // A stand-in test that notes its call and returns result.
    TestFn stand_in(const char* name, int result) {
        return [this, name, result] {
            calls_.emplace_back(name);
            return result;
        };
    }
    TestFnOnDevice stand_in_on_device(const char* name, int result) {
        return [this, name, result](const char* dev) {
            calls_.push_back(std::string(name) + " " + dev);
            return result;
        };
    }
    uint32_t fails(std::size_t n) const { return run_.testresult.item[n].fail.load(); }

    TestPlan plan_;
    RunState run_;
    Configuration config_;
    std::vector<std::string> calls_;
};

TEST_F(TestThreadTest, CatalogueOrderNumberingAndCounting) {
    // Filled in an order unlike the catalogue's.
    plan_.slot(Slot::TPM2).func = stand_in("TPM2", -1);
    plan_.slot(Slot::CAN0CAN1).func_on_pair = [this](const char* a, const char* b) {
        calls_.push_back(std::string("TwoCAN ") + a + " " + b);
        return -1;
    };
    plan_.slot(Slot::MEM).func = stand_in("MEM", -2);
    plan_.slot(Slot::CAN2).func_on_device = stand_in_on_device("CAN", 0);
    plan_.slot(Slot::USB1).func = stand_in("USB1", 1);
    plan_.slot(Slot::LAN3).func = stand_in("LAN3", 0);
    plan_.slot(Slot::Serial).func = stand_in("serial", -1);
    build_test_items(plan_, run_.testresult);

    const char* names[] = {"LAN3", "USB1", "MEM", "CAN2", "CAN0&CAN1", "TPM2", "", ""};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(run_.testresult.item[i].name_text(), names[i]);

    run_test_cycle(plan_, run_, config_);
    EXPECT_EQ(calls_, (std::vector<std::string>{"serial", "LAN3", "USB1", "MEM", "CAN can1",
                                                "TwoCAN can0 can1", "TPM2"}));
    // Only -1 counts; 1 and -2 are passes; the serial test counts no item.
    EXPECT_EQ((std::vector<uint32_t>{fails(0), fails(1), fails(2), fails(3), fails(4), fails(5)}),
              (std::vector<uint32_t>{0, 0, 0, 0, 1, 1}));
    EXPECT_TRUE(run_.failed());
}

TEST_F(TestThreadTest, ItemTableNeverGrowsPastEightEntries) {
    // Nine numbered tests, LAN3 and LAN4 left out so that no interface gets an address.
    for (Slot s : {Slot::LAN2, Slot::USB1, Slot::MSATA, Slot::SSD, Slot::MEM, Slot::SD, Slot::DIO,
                   Slot::GPS, Slot::TPM}) {
        plan_.slot(s).func = stand_in("any", 0);
    }
    run_.testresult.portfail[5].store(9);
    build_test_items(plan_, run_.testresult);
    // The ninth, TPM, finds no entry; nothing past entry 7 is written.
    EXPECT_EQ(run_.testresult.item[7].name_text(), "GPS");
    EXPECT_EQ(run_.testresult.portfail[5].load(), 0u);
}

TEST_F(TestThreadTest, CellularSlotsRunEveryIntervalPlusOneCycles) {
    config_.modem_device[0] = {'/', 'd', 'e', 'v', '/', 'A'};
    config_.modem_device[2] = {'/', 'd', 'e', 'v', '/', 'C'};
    plan_.slot(Slot::Cellular).func_on_device = stand_in_on_device("cell", -1);
    plan_.slot(Slot::Cellular).interval = plan_.slot(Slot::Cellular).countdown = 2;
    plan_.slot(Slot::Cellular3).func_on_device = stand_in_on_device("cell", -1);
    build_test_items(plan_, run_.testresult);
    std::vector<int> first_runs;
    std::vector<int> third_runs;
    for (int cycle = 1; cycle <= 9; ++cycle) {
        calls_.clear();
        run_test_cycle(plan_, run_, config_);
        for (const auto& c : calls_) {
            if (c == "cell /dev/A") first_runs.push_back(cycle);
            if (c == "cell /dev/C") third_runs.push_back(cycle);
        }
    }
    EXPECT_EQ(first_runs, (std::vector<int>{3, 6, 9}));
    EXPECT_EQ(third_runs, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9})) << "interval 0";
    EXPECT_EQ(run_.testresult.item[0].name_text(), "Cellular");
    EXPECT_EQ(run_.testresult.item[1].name_text(), "Cellular3");
    EXPECT_EQ(fails(0), 3u);
    EXPECT_EQ(fails(1), 9u);
}

TEST_F(TestThreadTest, ThreadRunsCyclesUntilTheVerdict) {
    FakeClock clock;
    plan_.slot(Slot::USB1).func = stand_in("USB1", 0);
    run_.set_status(wire::STATUS_RUNNING);
    {
        TestThread thread(plan_, run_, config_);
        thread.start();
        const bool cycled = eventually([this] { return run_.testresult.cycles.load() >= 3; });
        run_.set_status(wire::STATUS_OK);
        EXPECT_TRUE(cycled) << "cycles: " << run_.testresult.cycles.load();
    }  // the owner joins the thread, which the verdict has ended
    EXPECT_GE(run_.testresult.cycles.load(), 3u);
    EXPECT_EQ(calls_.size(), run_.testresult.cycles.load()) << "one call per cycle";
    EXPECT_FALSE(run_.failed());
}

TEST_F(TestThreadTest, StopRequestEndsTheThreadAfterTheCycle) {
    FakeClock clock;
    run_.set_status(wire::STATUS_DOWNLOAD);  // any status but 0, 2 and 16 runs cycles
    plan_.slot(Slot::USB1).func = [this] {
        run_.teststop.store(1);
        return 0;
    };
    test_main(plan_, run_, config_);
    EXPECT_EQ(run_.testresult.cycles.load(), 1u) << "the cycle ends with its pause and its count";
}

TEST_F(TestThreadTest, IdleRunsNoTests) {
    FakeClock clock;
    plan_.slot(Slot::USB1).func = stand_in("USB1", 0);
    {
        TestThread thread(plan_, run_, config_);
        thread.start();
        EXPECT_TRUE(eventually([&clock] { return clock.sleeps().size() >= 5; }));
        run_.teststop.store(1);
    }
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(run_.testresult.cycles.load(), 0u);
}

}  // namespace
}  // namespace ovik
