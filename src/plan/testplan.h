// The test plan: the fixed catalogue of test slots, filled from the configuration, numbered
// into the item table when the test thread starts, and walked once per cycle.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "plan/testresult.h"

namespace ovik {

// Test function contract: -1 is a failure in this cycle, anything else a pass. Tests bound
// their own waits, report their own failures and never touch the item counters.
using TestFn = std::function<int()>;
using TestFnOnDevice = std::function<int(const char* device)>;
using TestFnOnPair = std::function<int(const char* first, const char* second)>;

enum class Slot : uint8_t {
    Serial,
    Serial2W,
    LAN2,
    LAN3,
    LAN4,
    ExStorage,
    USB1,
    MSATA,
    SSD,
    MEM,
    SD,
    DIO,
    CAN,
    CAN2,
    CAN0CAN1,
    GPS,
    Cellular,
    Cellular2,
    Cellular3,
    WLAN,
    TPM,
    TPM2,
};
inline constexpr std::size_t SLOT_COUNT = 22;

struct TestSlot {
    const char* name = nullptr;     // item name; nullptr for the serial slots, which count per port
    TestFn func;                    // the slot's test, when it takes no argument
    TestFnOnDevice func_on_device;  // CAN and cellular tests
    TestFnOnPair func_on_pair;      // the two-port CAN test
    uint32_t item = 0;
    int32_t interval = 0;  // cellular slots: the test runs every interval + 1 cycles
    int32_t countdown = 0;

    bool filled() const {
        return func != nullptr || func_on_device != nullptr || func_on_pair != nullptr;
    }
    bool numbered() const { return name != nullptr; }
    void clear() {
        func = nullptr;
        func_on_device = nullptr;
        func_on_pair = nullptr;
    }
};

// The slots in catalogue order, every one empty until the configuration fills it.
class TestPlan {
  public:
    TestPlan();
    TestSlot& slot(Slot s) { return slots_[static_cast<std::size_t>(s)]; }
    const TestSlot& slot(Slot s) const { return slots_[static_cast<std::size_t>(s)]; }
    TestSlot& operator[](std::size_t i) { return slots_[i]; }
    const TestSlot& operator[](std::size_t i) const { return slots_[i]; }

  private:
    std::array<TestSlot, SLOT_COUNT> slots_;
};

// Numbers the filled slots into the record's item table and clears the port counters.
void number_test_items(TestPlan& testplan, TestResult& record);

// number_test_items, then eth2 and eth3 get their addresses when their tests are on.
void build_test_items(TestPlan& testplan, TestResult& record);

}  // namespace ovik
